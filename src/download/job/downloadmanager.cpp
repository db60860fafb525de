// The download manager's life cycle and its job: construction, start, stop, pause, the
// passes of Run, the verification and the reactions to the workers' reports.
#include "download/job/downloadmanager.h"

#include "base/comapartment.h"
#include "base/scopedflag.h"
#include "base/systemtexts.h"
#include "diagnostics/computerid.h"
#include "diagnostics/error.h"
#include "download/service/serviceclient.h"

#include <velmot/config.h>

#include <shellapi.h>
#include <windows.h>

#include <algorithm>
#include <exception>
#include <utility>

namespace {

// Called on the manager's thread or a worker's: neither has COM of its own.
void OpenSupportPage() {
  velmot::ComApartment com;
  ShellExecuteW(nullptr, L"open", velmot::kSupportUrl, nullptr, nullptr, SW_SHOW);
}

}  // namespace

DownloadManager::DownloadManager(IDMListener* listener)
    : Orx_Thread(L"Velmot download manager"), listener_(listener) {
  ComputerId id;
  id.ComputeWide(computerId);
}

DownloadManager::~DownloadManager() {
  StopJob();
  watcher_.Stop(500);
}

void DownloadManager::StartJob(const std::wstring& listFile, const std::wstring& workFolderPath,
                               const std::wstring& downloadFolderPath) {
  listFileName = listFile;
  workFolder = workFolderPath;
  downloadFolder = downloadFolderPath;
  Start();
}

// Every worker is asked first, so that they all wind down together while the manager's
// thread ends; then each gets what is left of one common bound. The manager's own thread
// ends promptly: each of its waits notices the stop within kPartPollMs, and its one blocking
// wait, for the CRC info worker, is bounded the same way.
void DownloadManager::StopJob() {
  stopRequested_ = true;
  if (threadId.load() == GetCurrentThreadId())
    return;  // a listener on our own thread: Run sees the flag
  fetcher_.AskToStop();
  const ULONGLONG deadline = GetTickCount64() + PartFetcher::kStopMs;
  Stop(INFINITE);
  fetcher_.StopAll(deadline);
  watcher_.Stop(500);
}

void DownloadManager::TogglePause() { fetcher_.TogglePause(); }

ProgressCounters DownloadManager::Progress() const {
  ProgressCounters p;
  p.totalBytes = totalBytes.load();
  p.finishedBytes = finishedBytes.load();
  p.inProgressBytes = inProgressBytes.load();
  p.copyPercent = copyPercent.load();
  p.verifiedBytes = verifiedBytes.load();
  p.presentBytes = presentBytes.load();
  p.copying = copying.load();
  p.verifying = verifying.load();
  p.supportRedirected = supportRedirected.load();
  const uint64_t retry = networkRetryTick.load();
  if (retry != 0) {
    const uint64_t now = GetTickCount64();
    // Rounded up: the wait is shown until its very end.
    p.networkRetrySeconds = retry > now ? (retry - now + 999) / 1000 : 1;
    p.signInPage = signInPageSeen.load();
  }
  return p;
}

size_t DownloadManager::WorkerCount() { return fetcher_.WorkerCount(); }

unsigned DownloadManager::ConnectionsOpened() { return fetcher_.ConnectionsOpened(); }

void DownloadManager::Run() {
  RunJob();
  // Later deletions in the work folder (the log upload's own file) are nobody's fault.
  watcher_.Stop(500);
}

void DownloadManager::OnStopRequested() { renewalCancel_.Cancel(); }

// The job is over: the window must not stay in a phase that has ended, nor wait without
// a word.
void DownloadManager::OnEscapedException(const std::exception* e) {
  if (e) {
    Error::LogError(std::string(velmot::texts::kManagerMalfunction) + e->what(),
                    DL_MANAGER_WIN32_EXCEPTION, VELMOT_HERE);
  }
  copying = false;
  verifying = false;
  watcher_.Stop(500);
  if (listener_ && !stopRequested_) listener_->OnError(velmot::texts::kJobMalfunction);
}

bool DownloadManager::RequestDownload(const std::wstring& releaseName, std::wstring& errorText) {
  this->releaseName = releaseName;
  return ServiceClient(computerId)
      .RequestDownload(releaseName, workFolder, descriptor, productSuffix, errorText);
}

void DownloadManager::PostLogFile(DWORD budgetMs) {
  ServiceClient(computerId).PostLogFile(workFolder, budgetMs);
}

void DownloadManager::RunJob() {
  setupPath.clear();
  Error::Clear();
  fetcher_.BeginJob(settings.partsInFlight, settings.stallMs);
  // The work folder is watched from the start so that parts removed by someone else show
  // up in the uploaded log; it may not exist yet on a first run.
  CreateDirectoryW(workFolder.c_str(), nullptr);
  watcher_.Watch(workFolder);

  // An outage is the time since the first pass in a row that brought no part: a host that
  // serves the document but never a part must not keep the job waiting for ever.
  uint64_t outageStart = 0;
  DWORD networkWaitMs = settings.networkFirstWaitMs;
  bool renewedThisPass = false;
  for (int pass = 0;;) {
    const PassEnd end = RunPass();
    if (end == PassEnd::kOver) return;
    if (end == PassEnd::kVerified) {
      StartSetup();  // an empty setupPath tells the user that setup is missing
      if (!setupPath.empty() && listener_) listener_->OnFinished(*this);
      return;
    }
    if (partArrived_ || end != PassEnd::kUnreachable) {
      outageStart = 0;
      networkWaitMs = settings.networkFirstWaitMs;
    }
    if (end == PassEnd::kLinkRefused && !renewedThisPass) {
      renewedThisPass = true;
      // The pass is run again with the new link; what it verified stays on disk.
      if (RenewLink()) continue;
    }
    if (end == PassEnd::kUnreachable && proxyRefused_) {
      EndAtProxy();
      return;
    }
    if (end == PassEnd::kUnreachable) {
      const uint64_t now = GetTickCount64();
      if (outageStart == 0) outageStart = now;
      if (now - outageStart < settings.outageBudgetMs) {
        if (!WaitForNetwork(networkWaitMs)) return;
        networkWaitMs = std::min(networkWaitMs * 2, settings.networkMaxWaitMs);
        continue;
      }
    }
    renewedThisPass = false;
    if (++pass >= kMaxPasses) {
      FailAfterLastPass();
      return;
    }
  }
}

DownloadManager::PassEnd DownloadManager::RunPass() {
  networkDown_ = false;
  linkRefused_ = false;
  partArrived_ = false;
  finishedBytes = 0;
  CRCInfo entries;
  if (!ReadCRCInfo(entries)) return PassEnd::kOver;  // the release is gone, or a stop
  if (Interrupted()) return linkRefused_ ? PassEnd::kLinkRefused : PassEnd::kUnreachable;
  ComputeTotals(entries);
  passEntries_ = entries;
  if (!EnoughDiskSpace(entries)) return PassEnd::kOver;
  for (const CRCInfoEntry& entry : entries) {
    if (!Active() || supportRedirected || Interrupted()) break;
    DownloadFileFromCRCInfo(entry);
  }
  // After the write-failure redirect the window has been told the job is over.
  if (!Active() || supportRedirected) return PassEnd::kOver;
  if (Interrupted()) return linkRefused_ ? PassEnd::kLinkRefused : PassEnd::kUnreachable;
  FindSetupExecutable(entries);
  if (Verify()) return PassEnd::kVerified;
  if (!Active() || releaseGone_ || supportRedirected) return PassEnd::kOver;
  if (Interrupted()) return linkRefused_ ? PassEnd::kLinkRefused : PassEnd::kUnreachable;
  return PassEnd::kFailed;
}

void DownloadManager::FailAfterLastPass() {
  Error::LogError(std::string(velmot::texts::kGiveUpRecord), DL_MANAGER_MAX_ATTEMPTS_EXCEEDED,
                  VELMOT_HERE);
  if (listener_) listener_->OnError(velmot::texts::kGiveUp);
  OpenSupportPage();
}

void DownloadManager::FindSetupExecutable(const CRCInfo& entries) {
  for (const CRCInfoEntry& entry : entries) {
    if (entry.empty() || !CRCInfoReader::IsSafeFileName(entry[0])) continue;
    std::wstring path = downloadFolder + L"/" + GetLocalName(entry[0]);
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, L".exe") == 0) setupPath = path;
  }
}

bool DownloadManager::Verify() {
  verifiedBytes = 0;
  velmot::ScopedFlag verifyingNow(verifying);
  CRCInfo entries;
  if (!ReadCRCInfo(entries) || entries.empty()) return false;
  // Counted afresh from the files on disk, so that the pass's parts are not counted twice.
  finishedBytes = 0;
  ComputeTotals(entries);
  presentBytes = 0;
  for (const CRCInfoEntry& entry : entries) {
    if (!Active() || !CheckFileFromCRCInfo(entry)) return false;
  }
  return true;
}

// Not under the lock: OnError may show a message box for as long as the user likes, and the
// other workers' reports and StopJob must not wait for it.
bool DownloadManager::RedirectToSupport(const std::wstring& text) {
  bool expected = false;
  if (!supportRedirected.compare_exchange_strong(expected, true)) return false;
  if (listener_) listener_->OnError(text);
  OpenSupportPage();
  if (listener_) listener_->OnFinished(*this);
  return true;
}

void DownloadManager::PartProgressed(FileDownload& worker) {
  if (worker.state.load() == FILE_DOWNLOAD_WRITE_FAILED &&
      RedirectToSupport(velmot::texts::kSupportRedirect)) {
    return;
  }
  if (listener_) listener_->OnProgress(*this);
}
