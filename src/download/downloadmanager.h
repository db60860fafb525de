// Drives the whole download job on its own thread: up to eight passes of fetching the CRC
// info document, reusing what is on disk, downloading missing parts one at a time with
// FileDownload workers, merging, verifying, and finally starting setup. Reports to the
// window through IDMListener; records every failure in the error log and throws nothing.
//
// Threads: the UI thread constructs it, calls RequestDownload, StartJob and TogglePause;
// the window's close task calls StopJob and PostLogFile; Run and what it calls run on the
// manager's thread; the IDownloadListener reactions on the reporting worker's thread.
// The counters and flags below are read without the lock by the statistics display.
#pragma once

#include "app/handles.h"
#include "app/orx_thread.h"
#include "download/filedownload.h"
#include "download/filesystemwatcher.h"
#include "download/idmlistener.h"
#include "download/idownloadlistener.h"

#include <velmot/config.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One installer file of the CRC info document: line 0 the listed name, line 1 the size,
// lines 2.. the signed decimal CRC-32 of part 0, 1, ...
using CRCInfoEntry = std::vector<std::wstring>;
using CRCInfo = std::vector<CRCInfoEntry>;

// What the web service tells about the release (filled by RequestDownload).
struct DownloadDescriptor {
  std::wstring productCode;
  std::wstring companyName;
  std::wstring downloadSubdir;
  std::wstring hostName;
  std::wstring sasText;
};

class DownloadManager : public Orx_Thread, public IDownloadListener {
 public:
  static constexpr uint32_t kPartSize = 10000000;  // ten million bytes, not 10 MiB
  static constexpr int kMaxPasses = 8;

  explicit DownloadManager(IDMListener* listener);
  ~DownloadManager() override;

  // The download request to the web service (UI thread, before StartJob).
  bool RequestDownload(const std::wstring& releaseName, std::wstring& errorText);

  void StartJob(const std::wstring& fileHost, const std::wstring& basePath,
                const std::wstring& listFileName, const std::wstring& workFolder,
                const std::wstring& downloadFolder);
  void StopJob();
  void TogglePause();

  // The log upload at window close.
  void PostLogFile();

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

  // Descriptor and job settings (set by RequestDownload / StartJob, or directly by tests).
  DownloadDescriptor descriptor;
  std::wstring productSuffix;
  std::wstring computerId;
  std::wstring fileHost;
  std::wstring listFileName;
  std::wstring currentName;
  std::wstring basePath;
  std::wstring downloadFolder;
  std::wstring workFolder;
  std::wstring setupPath;
  // Required signer of the setup executable; empty: the signature is only recorded.
  std::wstring setupPublisher = velmot::kSetupPublisher;

  // Shared counters and flags.
  std::atomic<uint64_t> totalBytes{0};
  std::atomic<uint64_t> finishedBytes{0};
  std::atomic<uint64_t> inProgressBytes{0};
  std::atomic<uint64_t> copyPercent{0};
  std::atomic<uint64_t> verifiedBytes{0};
  std::atomic<uint64_t> presentBytes{0};
  std::atomic<bool> copying{false};
  std::atomic<bool> verifying{false};
  std::atomic<bool> supportRedirected{false};

  // Number of workers created in this job (for tests and the statistics).
  size_t WorkerCount();

 protected:
  void Run() override;

 public:
  // True for a plain file name that stays inside the folder it is joined to: no path
  // separator, drive, "..", reserved device name (CON, NUL, COM1, ...), trailing dot or
  // blank, or character Windows forbids. Names from the CRC info document come from the
  // network and are checked with this before anything touches the disk.
  static bool IsSafeFileName(const std::wstring& name);
  // Line 1 of an entry (automatic base, 64-bit) and a CRC line (signed 32-bit, clamped).
  static uint64_t ParseSizeLine(const std::wstring& line);
  static int32_t ParseCrcLine(const std::wstring& line);

 private:
  // A worker with what the manager knows about it. started: Start was called (a worker
  // is started at most once); partBytes: the length of its part, for the byte counters.
  struct WorkerSlot {
    std::unique_ptr<FileDownload> worker;
    uint64_t partBytes = 0;
    bool started = false;
  };

  bool Active() const { return running.load() && !stopRequested_.load(); }
  void RunJob();
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
  bool FetchCRCInfoCopy(FileDownload& worker, std::string& copy, bool& gone);
  static void ParseCRCInfo(const std::string& text, CRCInfo& entries);
  bool WorkFolderIsRemovable() const;

  IDMListener* listener_;
  std::vector<WorkerSlot> workers_;
  velmot::CriticalSection lock_;
  FileSystemWatcher watcher_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> releaseGone_{false};
  bool paused_ = false;  // under lock_: workers created later start in the same state
};
