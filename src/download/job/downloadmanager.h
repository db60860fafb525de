// Drives the whole download job on its own thread and keeps its policy: up to eight passes
// of fetching the CRC info document, taking in what is on disk, fetching the missing parts
// straight into each file's merging file, verifying, and finally starting setup; the waits
// of an outage and the renewal of a refused link. Reports to the window through
// IDMListener; records every failure in the error log and throws nothing.
//
// The work behind the named operations is done in the rooms beside this one:
//   fetch/   PartFetcher (the job's session and the parts in flight) over FileDownload
//   store/   CRCInfoReader (the document and the name rules, pure), MergingFile (a file while
//            its parts arrive), PartStore (the one checked read), the file helpers and the
//            folder watcher
//   setup/   SetupLauncher (with SetupSignature and NormalPriorityScope)
//   service/ ServiceClient (download request, log upload)
//
// Threads: the UI thread constructs it, calls StartJob and TogglePause (which never waits
// on disk work); the window's request worker makes the download request; the window's
// close task calls StopJob (bounded: a few seconds at most) and PostLogFile; Run and what it
// calls run on the manager's thread; the PartFetcher::Job reactions on the reporting
// worker's thread. The counters and flags below are read without a lock, as a
// ProgressCounters snapshot.
#pragma once

#include "base/handles.h"
#include "base/orx_thread.h"
#include "download/store/crcinforeader.h"
#include "download/fetch/filedownload.h"
#include "download/fetch/partfetcher.h"
#include "download/store/filesystemwatcher.h"
#include "download/job/idmlistener.h"
#include "download/store/mergingfile.h"
#include "download/store/partstore.h"
#include "download/job/downloadsettings.h"
#include "download/job/progresscounters.h"
#include "download/service/serviceclient.h"
#include "net/uploadcancel.h"

#include <velmot/config.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class DownloadManager : public Orx_Thread, private PartFetcher::Job {
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
  // The job's waits, limits and system calls (set before StartJob).
  DownloadSettings settings;

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

  // PartFetcher::Job
  bool Running() const override { return Active(); }
  bool EndsPass(FileDownload& worker) override { return NoteFetch(worker); }
  void PartWritten(uint64_t bytes) override { finishedBytes += bytes; }
  void PartProgressed(FileDownload& worker) override;

 private:
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
  // Free space on the work folder's and the download folder's drives against what the
  // rest of the job needs; when short, tells the user and ends the job like a write failure.
  bool EnoughDiskSpace(const CRCInfo& entries);
  bool Verify();
  void FailAfterLastPass();
  void FindSetupExecutable(const CRCInfo& entries);
  // Records DL_MANAGER_INVALID_FILE_NAME and returns false for a hostile listed name.
  bool AcceptListedName(const std::wstring& listed);
  std::wstring PartPath(size_t k) const;
  bool FetchCRCInfoCopy(std::unique_ptr<FileDownload>& worker, std::string& copy, bool& gone);
  PartStore::Check CheckParts(HANDLE file, const CRCInfoEntry& entry, const std::wstring& path);
  void CountPresentFile(const std::wstring& target);
  // Records a broken document and returns false for an entry that cannot describe a whole
  // file (its size line does not read, or its CRC lines do not match the size).
  bool AcceptEntry(const CRCInfoEntry& entry);
  bool QueueMissingParts(const CRCInfoEntry& entry, const std::vector<size_t>& missing,
                         size_t& first, size_t& end);
  bool WaitForParts(size_t first, size_t end);
  // Where the file with this local name is written until it is whole.
  std::wstring MergeFilePath(const std::wstring& localName) const;
  // The current file's merging file, counting its good regions into the job's bytes.
  MergingFile CurrentMergingFile(const CRCInfoEntry& entry);
  // Lists the parts whose regions the merging file does not hold rightly yet. False when
  // it cannot be read, grown or written (the user is sent to support), or after a stop.
  bool PrepareMergingFile(const CRCInfoEntry& entry, std::vector<size_t>& missing);
  void FinishMerge(const CRCInfoEntry& entry);
  void RejectCheckedFile(const std::wstring& path, const CRCInfoEntry& entry, bool readFailed);

  // How often the manager looks at its part workers while they run.
  static constexpr DWORD kPartPollMs = 100;

  IDMListener* listener_;
  // Guards the once-per-job records below (taken by workers' reports too).
  velmot::CriticalSection lock_;
  FileSystemWatcher watcher_;
  // The parts in flight; after the watcher, which it tells of its workers' deletions.
  PartFetcher fetcher_{*this, inProgressBytes, watcher_};
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
};
