// Drives the whole download job on its own thread: up to eight passes of fetching the CRC
// info document, reusing what is on disk, downloading missing parts with FileDownload
// workers (up to partsInFlight side by side, over one HttpSession whose connections stay
// alive for the whole job) straight into each file's merging file, verifying, and finally
// starting setup. Reports to the
// window through IDMListener; records every failure in the error log and throws nothing.
//
// The named operations stay here; the work behind them is done by small classes:
// CRCInfoReader (the document and the name rules, pure), PartStore (part paths and the one
// checked read shared by reuse, merge and verification), ServiceClient (download request,
// log upload) and SetupLauncher (work folder removal, starting setup).
//
// Threads: the UI thread constructs it, calls StartJob and TogglePause (which never waits
// on disk work: no file is read while the lock is held); the window's request worker makes
// the download request; the window's close task calls StopJob (bounded: a few seconds at
// most) and PostLogFile; Run and what it calls run on the
// manager's thread; the IDownloadListener reactions on the reporting worker's thread.
// The counters and flags below are read without the lock, as a ProgressCounters snapshot.
#pragma once

#include "base/handles.h"
#include "base/orx_thread.h"
#include "download/crcinforeader.h"
#include "download/filedownload.h"
#include "download/filesystemwatcher.h"
#include "download/idmlistener.h"
#include "download/idownloadlistener.h"
#include "download/partstore.h"
#include "download/progresscounters.h"
#include "download/serviceclient.h"
#include "net/httpsession.h"
#include "net/uploadcancel.h"

#include <velmot/config.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class DownloadManager : public Orx_Thread, public IDownloadListener {
 public:
  static constexpr uint32_t kPartSize = CRCInfoReader::kPartSize;
  static constexpr int kMaxPasses = 8;

  explicit DownloadManager(IDMListener* listener);
  ~DownloadManager() override;

  // The download request to the web service (UI thread, before StartJob).
  bool RequestDownload(const std::wstring& releaseName, std::wstring& errorText);

  // The file host and its folder come from the descriptor (RequestDownload); the program
  // has no host of its own.
  void StartJob(const std::wstring& listFileName, const std::wstring& workFolder,
                const std::wstring& downloadFolder);
  void StopJob();
  void TogglePause();

  // The log upload at window close, within budgetMs for all its attempts.
  void PostLogFile(DWORD budgetMs = INFINITE);

  // Job steps, public so that tests can drive them one by one.
  std::wstring GetLocalName(const std::wstring& name) const;
  bool DeleteOwnFile(const std::wstring& path);
  void ComputeTotals(const CRCInfo& entries);
  void DownloadFileFromCRCInfo(const CRCInfoEntry& entry);
  void MergePartFiles(size_t partCount, const CRCInfoEntry& entry);
  void StartSetup();
  bool ReadCRCInfo(CRCInfo& entries);
  bool CRCCheckFile(const std::wstring& path, int32_t expectedCrc);
  bool CheckFileFromCRCInfo(const CRCInfoEntry& entry);

  // IDownloadListener
  void OnDownloadFinished(FileDownload* worker) override;
  void OnDownloadProgress(FileDownload* worker) override;
  void OnDeletingOwnFile(FileDownload* worker, const std::wstring& path) override;
  void OnOwnFileKept(FileDownload* worker, const std::wstring& path) override;

  // Descriptor and job settings (set by RequestDownload / StartJob, or directly by tests).
  DownloadDescriptor descriptor;
  // The release as the download request named it; a refused link is renewed with it.
  std::wstring releaseName;
  std::wstring productSuffix;
  std::wstring computerId;
  // The CRC info document's name; it also picks the folder (CRCInfoReader::ObjectFolder).
  std::wstring listFileName;
  std::wstring currentName;
  std::wstring downloadFolder;
  std::wstring workFolder;
  // The user's local application data: the work folder's files are removed after a good
  // job only when the work folder is a direct child of it.
  std::wstring appDataFolder;
  std::wstring setupPath;
  // Required signer of the setup executable; empty: the signature is only recorded.
  std::wstring setupPublisher = velmot::kSetupPublisher;

  // How the job rides out real networks and disks (tests shorten the waits or replace the
  // system calls; set before StartJob). A pass in which the file host could not be reached
  // at all waits networkFirstWaitMs, doubling up to networkMaxWaitMs, and does not count
  // toward kMaxPasses until the outage has lasted outageBudgetMs.
  DWORD networkFirstWaitMs = 2000;
  DWORD networkMaxWaitMs = 60000;
  uint64_t outageBudgetMs = 10 * 60 * 1000;
  // Parts fetched side by side (1: one after another); halved, down to one, for the rest of
  // the job each time the host says it is busy. A part's connection that brings no byte
  // for stallMs has its attempt ended and resumed.
  unsigned partsInFlight = velmot::kPartsInFlight;
  DWORD stallMs = FileDownload::kStallMs;
  // Free bytes for this user on the drive of a folder; default GetDiskFreeSpaceExW.
  std::function<bool(const std::wstring& folder, uint64_t& freeBytes)> freeSpaceQuery;
  // Starts setup with the shell and returns ShellExecuteW's result; default ShellExecuteW.
  std::function<intptr_t(const std::wstring& file, const std::wstring& folder)> shellStart;

  // Shared counters and flags, written by the job's threads. The window and the speed meter
  // read them through Progress(); tests set and read them directly.
  std::atomic<uint64_t> totalBytes{0};
  std::atomic<uint64_t> finishedBytes{0};
  std::atomic<uint64_t> inProgressBytes{0};
  std::atomic<uint64_t> copyPercent{0};
  std::atomic<uint64_t> verifiedBytes{0};
  std::atomic<uint64_t> presentBytes{0};
  std::atomic<bool> copying{false};
  std::atomic<bool> verifying{false};
  std::atomic<bool> supportRedirected{false};

  // While the job waits for the network: when the next try comes (GetTickCount64), else 0;
  // and whether the last failure was a web page (a network that wants a sign-in).
  std::atomic<uint64_t> networkRetryTick{0};
  std::atomic<bool> signInPageSeen{false};

  // A consistent-enough copy of the counters above for the window and the speed meter
  // (each member is read atomically; any thread).
  ProgressCounters Progress() const;

  // Number of workers created in this job (for tests and the statistics).
  size_t WorkerCount();
  // Connections the job's session opened so far (a request that found none to reuse).
  unsigned ConnectionsOpened();

 protected:
  void Run() override;
  // Cancels a link renewal in flight (the thread's stop waits for nothing else that long).
  void OnStopRequested() override;
  void OnEscapedException(const std::exception* e) override;

 private:
  // A worker with what the manager knows about it. started: Start was called (a worker
  // is started at most once); partBytes: the length of its part, for the byte counters.
  struct WorkerSlot {
    std::unique_ptr<FileDownload> worker;
    uint64_t partBytes = 0;
    bool started = false;
  };

  // How a pass ended. kUnreachable: the host could not be reached (or answered with a
  // web page); kLinkRefused: it refused the download link (403).
  enum class PassEnd { kVerified, kFailed, kUnreachable, kLinkRefused, kOver };

  bool Active() const { return running.load() && !stopRequested_.load(); }
  bool Interrupted() const { return networkDown_.load() || linkRefused_.load(); }
  void RunJob();
  PassEnd RunPass();
  // Looks at a fetch that did not succeed; true when it ends the pass (the host could not
  // be reached, a web page came instead, the link was refused). Records each such cause.
  bool NoteFetch(FileDownload& worker);
  bool WaitForNetwork(DWORD ms);
  // Shows text, opens the support page and tells the window the job is over; at most once
  // per manager (false when it already happened).
  bool RedirectToSupport(const std::wstring& text);
  bool RenewLink();
  // The company proxy refused the file host and the run will not ask for a sign-in again:
  // tells the user what to do and the window that the job is over (no support page).
  void EndAtProxy();
  // Removes the workers of this pass that were never started (lock held).
  void DropQueuedWorkers();
  // Free space on the work folder's and the download folder's drives against what the
  // rest of the job needs; when short, tells the user and ends the job like a write failure.
  bool EnoughDiskSpace(const CRCInfo& entries);
  bool Verify();
  void FailAfterLastPass();
  void FindSetupExecutable(const CRCInfo& entries);
  // Records DL_MANAGER_INVALID_FILE_NAME and returns false for a hostile listed name.
  bool AcceptListedName(const std::wstring& listed);
  std::wstring PartPath(size_t k) const;
  // The next part's worker, when none is running (lock held). Returns whether one started.
  bool StartNextWorker();
  // Notes whether every given worker has ended (lock held).
  bool WorkersEnded(size_t first, size_t end, bool& allFinished);
  // The bytes that running workers hold and have not written yet (lock held).
  void RecountInProgress();
  bool FetchCRCInfoCopy(std::unique_ptr<FileDownload>& worker, std::string& copy, bool& gone);
  PartStore::Check CheckParts(HANDLE file, const CRCInfoEntry& entry, const std::wstring& path);
  void CountPresentFile(const std::wstring& target);
  // Records a broken document and returns false for an entry that cannot describe a whole
  // file (its size line does not read, or its CRC lines do not match the size).
  bool AcceptEntry(const CRCInfoEntry& entry);
  bool QueueMissingParts(const CRCInfoEntry& entry, const std::vector<size_t>& missing,
                         size_t& first, size_t& end);
  // A worker for objectPath on the job's session, with the job's settings.
  FileDownload* NewWorker(const std::wstring& objectPath);
  bool WaitForParts(size_t first, size_t end);
  void WatchWorkers(size_t first, size_t end);
  // Where the file with this local name is written until it is whole.
  std::wstring MergeFilePath(const std::wstring& localName) const;
  // Opens (or makes) the merging file at the listed length and lists the parts whose
  // regions it does not hold rightly yet, after taking in part files of an earlier run.
  // False when it cannot be read, grown or written (recorded), or after a stop.
  bool PrepareMergingFile(const CRCInfoEntry& entry, std::vector<size_t>& missing);
  bool TakePartFiles(HANDLE file, const CRCInfoEntry& entry, uint64_t fileSize,
                     std::vector<size_t>& missing, std::vector<uint8_t>& buffer);
  void CountRegion(uint64_t bytes);
  void FinishMerge(const CRCInfoEntry& entry);
  void RejectCheckedFile(const std::wstring& path, const CRCInfoEntry& entry, bool readFailed);

  // How often the manager looks at its part workers while they run.
  static constexpr DWORD kPartPollMs = 100;
  // How long a stop waits for part workers (all together) and for the CRC info worker
  // before leaving them to end by themselves; keeps a close within its few seconds.
  static constexpr DWORD kWorkerStopMs = 750;

  // Waits for worker until deadline (a GetTickCount64 value); one that has not ended by
  // then is detached and abandoned.
  static void StopOrAbandon(std::unique_ptr<FileDownload> worker, ULONGLONG deadline);

  IDMListener* listener_;
  // The job's connections; made at the start of Run, kept by the workers that use them.
  std::shared_ptr<HttpSession> session_;
  std::atomic<unsigned> inFlightLimit_{1};
  uint32_t busySeen_ = 0;  // under lock_: busy answers of the current file's workers seen
  // Under lock_: by object path, the bytes of parts whose workers ran out of attempts.
  std::map<std::wstring, FileDownload::KeptBytes> keptBytes_;
  std::vector<WorkerSlot> workers_;
  velmot::CriticalSection lock_;
  FileSystemWatcher watcher_;
  // Aborts the renewal's download request on a stop; once cancelled it stays so (a stopped
  // job does not run again).
  UploadCancel renewalCancel_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> releaseGone_{false};
  std::atomic<bool> networkDown_{false};   // this pass: the host could not be reached
  std::atomic<bool> linkRefused_{false};   // this pass: the host refused the link (403)
  std::atomic<bool> proxyRefused_{false};  // the proxy refused the sign-in (for the whole run)
  std::atomic<bool> partArrived_{false};   // this pass: some part was fetched and kept
  CRCInfo passEntries_;                    // the document of the current pass
  // Under lock_: the objects already recorded as published inconsistently, and whether the
  // sign-in page was recorded (once per job each).
  std::set<std::wstring> staleObjects_;
  bool signInRecorded_ = false;
  bool proxyRecorded_ = false;
  bool paused_ = false;  // under lock_: workers created later start in the same state
};
