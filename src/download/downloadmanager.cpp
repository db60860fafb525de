// The download manager's life cycle and its job: construction, start, stop, pause, the
// passes of Run, the verification and the reactions to the workers' reports.
#include "download/downloadmanager.h"

#include "diagnostics/computerid.h"
#include "diagnostics/error.h"

#include <velmot/config.h>

#include <shellapi.h>
#include <windows.h>

#include <exception>
#include <utility>

namespace {

const wchar_t kSupportRedirectText[] =
    L"Something is preventing the Download Manager from saving the installation files.\r\n"
    L"You will now be re-directed to the Velmot Support Center.";
const wchar_t kGiveUpText[] =
    L"Downloading setup failed.\rYou are now directed to our Support Center for help.";
const char kGiveUpRecord[] =
    "Maximum download attempts exceeded. If there are no network or file errors, it could be "
    "that the files are removed from disk after writing";

void OpenSupportPage() {
  ShellExecuteW(nullptr, L"open", velmot::kSupportUrl, nullptr, nullptr, SW_SHOW);
}

}  // namespace

DownloadManager::DownloadManager(IDMListener* listener) : listener_(listener) {
  ComputerId id;
  id.ComputeWide(computerId);
}

DownloadManager::~DownloadManager() {
  StopJob();
  watcher_.Stop(500);
}

void DownloadManager::StartJob(const std::wstring& fileHostName, const std::wstring& basePathText,
                               const std::wstring& listFile, const std::wstring& workFolderPath,
                               const std::wstring& downloadFolderPath) {
  fileHost = fileHostName;
  basePath = basePathText;
  listFileName = listFile;
  workFolder = workFolderPath;
  downloadFolder = downloadFolderPath;
  Start();
}

// The workers are taken out of the list under the lock and stopped outside it: a worker
// whose report passed the running test just before the stop may be waiting for the lock,
// and it must get it (and find the job stopped) for its thread to end.
void DownloadManager::StopJob() {
  stopRequested_ = true;
  if (threadId.load() == GetCurrentThreadId()) return;  // a listener on our own thread: Run sees the flag
  Stop(INFINITE);
  std::vector<WorkerSlot> taken;
  {
    velmot::CriticalSectionLock hold(lock_);
    inProgressBytes = 0;
    taken.swap(workers_);
  }
  for (WorkerSlot& slot : taken) slot.worker->Stop(INFINITE);
  taken.clear();
  watcher_.Stop(500);
}

void DownloadManager::TogglePause() {
  velmot::CriticalSectionLock hold(lock_);
  paused_ = !paused_;
  for (WorkerSlot& slot : workers_) slot.worker->paused = !slot.worker->paused.load();
}

size_t DownloadManager::WorkerCount() {
  velmot::CriticalSectionLock hold(lock_);
  return workers_.size();
}

void DownloadManager::Run() {
  InstallStructuredExceptionTranslator();
  try {
    RunJob();
  } catch (const std::exception& e) {
    Error::LogError(std::string("DownloadManager: Obviously a major malfunction. Stopping download. "
                                "Message: ") + e.what(),
                    DL_MANAGER_WIN32_EXCEPTION, VELMOT_HERE);
  }
  // Later deletions in the work folder (the log upload's own file) are nobody's fault.
  watcher_.Stop(500);
}

void DownloadManager::RunJob() {
  setupPath.clear();
  Error::Clear();
  // The work folder is watched from the start so that parts removed by someone else show
  // up in the uploaded log; it may not exist yet on a first run.
  CreateDirectoryW(workFolder.c_str(), nullptr);
  watcher_.Watch(workFolder);

  for (int pass = 0;;) {
    finishedBytes = 0;
    CRCInfo entries;
    if (!ReadCRCInfo(entries)) return;  // the release is gone, or a stop
    ComputeTotals(entries);
    for (const CRCInfoEntry& entry : entries) {
      if (!Active() || supportRedirected) break;
      DownloadFileFromCRCInfo(entry);
    }
    // After the write-failure redirect the window has been told the job is over.
    if (!Active() || supportRedirected) return;
    FindSetupExecutable(entries);
    if (Verify()) {
      if (setupPath.empty()) {
        StartSetup();  // tells the user that setup is missing; the window stays open
        return;
      }
      StartSetup();
      if (listener_) listener_->OnFinished(*this);
      return;
    }
    if (!Active() || releaseGone_ || supportRedirected) return;
    if (++pass >= kMaxPasses) {
      FailAfterLastPass();
      return;
    }
  }
}

void DownloadManager::FailAfterLastPass() {
  Error::LogError(std::string(kGiveUpRecord), DL_MANAGER_MAX_ATTEMPTS_EXCEEDED, VELMOT_HERE);
  if (listener_) listener_->OnError(kGiveUpText);
  OpenSupportPage();
}

void DownloadManager::FindSetupExecutable(const CRCInfo& entries) {
  for (const CRCInfoEntry& entry : entries) {
    if (entry.empty() || !IsSafeFileName(entry[0])) continue;
    std::wstring path = downloadFolder + L"/" + GetLocalName(entry[0]);
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, L".exe") == 0) setupPath = path;
  }
}

bool DownloadManager::Verify() {
  verifiedBytes = 0;
  verifying = true;
  CRCInfo entries;
  if (!ReadCRCInfo(entries) || entries.empty()) {
    verifying = false;
    return false;
  }
  ComputeTotals(entries);
  presentBytes = 0;
  for (const CRCInfoEntry& entry : entries) {
    if (!Active() || !CheckFileFromCRCInfo(entry)) {
      verifying = false;
      return false;
    }
  }
  verifying = false;
  return true;
}

// The next part starts from the finished one's report, without waiting for the manager's
// polling; the running test is repeated under the lock so that nothing starts once
// StopJob has begun to take the workers.
void DownloadManager::OnDownloadFinished(FileDownload* worker) {
  if (!Active()) return;
  velmot::CriticalSectionLock hold(lock_);
  if (!Active()) return;
  uint64_t bytes = kPartSize;
  for (const WorkerSlot& slot : workers_) {
    if (slot.worker.get() == worker) bytes = slot.partBytes;
  }
  StartNextWorker();
  finishedBytes += bytes;
}

void DownloadManager::OnDownloadProgress(FileDownload* worker) {
  if (!Active()) return;
  if (worker->state.load() == FILE_DOWNLOAD_WRITE_FAILED) {
    bool expected = false;
    if (supportRedirected.compare_exchange_strong(expected, true)) {
      // Not under the lock: OnError may show a message box for as long as the user likes,
      // and the other workers' reports and StopJob must not wait for it.
      if (listener_) listener_->OnError(kSupportRedirectText);
      OpenSupportPage();
      if (listener_) listener_->OnFinished(*this);
      return;
    }
  }
  {
    velmot::CriticalSectionLock hold(lock_);
    if (!Active()) return;
    uint64_t sum = 0;
    for (const WorkerSlot& slot : workers_) {
      if (slot.worker->state.load() != FILE_DOWNLOAD_FINISHED) sum += slot.worker->PartDataSize();
    }
    inProgressBytes = sum;
  }
  if (listener_) listener_->OnProgress(*this);
}
