// What the job does about real networks and disks: telling a host that cannot be reached from a
// failed pass and waiting for it.
#include "download/downloadmanager.h"

#include "diagnostics/error.h"

#include <windows.h>

#include <string>

bool DownloadManager::NoteFetch(FileDownload& worker) {
  const FileDownload::Summary& summary = worker.summary;
  if (summary.good) {
    reachedHost_ = true;
    return false;
  }
  velmot::CriticalSectionLock hold(lock_);
  if (summary.unreachable) {
    networkDown_ = true;
    return true;
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
