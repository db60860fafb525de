// What the job does about real networks and disks: telling a host that cannot be reached (or a
// network that answers with its own sign-in page) from a failed pass and waiting for it, renewing a
// refused download link, and naming objects that were published inconsistently.
#include "download/downloadmanager.h"

#include "diagnostics/error.h"
#include "download/serviceclient.h"

#include <windows.h>

#include <string>

namespace {

std::wstring Signed(uint32_t value) { return std::to_wstring(static_cast<int32_t>(value)); }

}  // namespace

bool DownloadManager::NoteFetch(FileDownload& worker) {
  const FileDownload::Summary& summary = worker.summary;
  if (summary.good) {
    reachedHost_ = true;
    return false;
  }
  const ConnectionState& state = worker.connectionState;
  const std::wstring object =
      state.host + (state.objectPath.compare(0, 1, L"/") == 0 ? L"" : L"/") + state.objectPath;
  velmot::CriticalSectionLock hold(lock_);
  if (summary.signInPage) {
    if (!signInRecorded_) {
      signInRecorded_ = true;
      Error::LogError(L"The network answered with a web page instead of the download from " +
                          state.host +
                          L": a hotel, airport or company network may want a sign-in in a web "
                          L"browser first",
                      DL_MANAGER_SIGN_IN_PAGE, VELMOT_HERE);
    }
    signInPageSeen = true;
    networkDown_ = true;
    return true;
  }
  if (summary.unreachable) {
    signInPageSeen = false;
    networkDown_ = true;
    return true;
  }
  if (worker.HttpStatus() == 403) {
    Error::LogError(L"The file host refused the download link (HTTP 403" +
                        (state.storageError.empty() ? L"" : L", " + state.storageError) +
                        L") for: " + object,
                    DL_MANAGER_LINK_REFUSED, VELMOT_HERE);
    linkRefused_ = true;
    return true;
  }
  if (summary.sameWrongCrc && staleObjects_.insert(object).second) {
    Error::LogError(L"The file host's object " + object +
                        L" came back with the same wrong CRC on every attempt (found " +
                        Signed(summary.foundCrc) + L", the CRC info document lists " +
                        std::to_wstring(worker.expectedCrc) +
                        L"): the release was published inconsistently, the object and the "
                        L"CRC info document come from different files",
                    DL_MANAGER_PUBLISHED_INCONSISTENTLY, VELMOT_HERE);
  }
  return false;
}

// The workers still queued belong to a pass that has ended; the next pass queues its own.
void DownloadManager::DropQueuedWorkers() {
  for (size_t i = workers_.size(); i-- > 0;) {
    if (!workers_[i].started) workers_.erase(workers_.begin() + static_cast<ptrdiff_t>(i));
  }
}

bool DownloadManager::WaitForNetwork(DWORD ms) {
  Error::ReportMessage(L"The file host " + descriptor.hostName +
                           L" could not be reached; the next try comes in " +
                           std::to_wstring(ms / 1000) + L" s",
                       VELMOT_HERE);
  networkRetryTick = GetTickCount64() + ms;
  const bool stopped = WaitForStop(ms);
  networkRetryTick = 0;
  return !stopped && Active();
}

// The same download request as at the start, on the manager's thread; only the new link
// text is taken: the folder and host stay as the job has them.
bool DownloadManager::RenewLink() {
  DownloadDescriptor renewed;
  std::wstring suffix;
  std::wstring errorText;
  const bool ok = ServiceClient(computerId)
                      .RequestDownload(releaseName_, workFolder, renewed, suffix, errorText);
  if (!ok || !errorText.empty() || !Active()) {
    Error::LogError(L"The web service gave no new download link: " + errorText,
                    DL_MANAGER_LINK_REFUSED, VELMOT_HERE);
    return false;
  }
  Error::LogMessage("The web service gave a new download link", VELMOT_HERE);
  descriptor.sasText = renewed.sasText;
  return true;
}
