// What the job does about real networks and disks: telling a host that cannot be reached (or a
// network that answers with its own sign-in page) from a failed pass and waiting for it, renewing a
// refused download link, naming objects that were published inconsistently, and checking the free
// disk space before the job needs it.
#include "download/job/downloadmanager.h"

#include "base/fileio.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "download/store/crcinforeader.h"
#include "download/store/partstore.h"
#include "download/service/serviceclient.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

namespace {

// Room left over beside what the job itself writes (the log's gzip file, the file system's
// own bookkeeping).
constexpr uint64_t kDiskMargin = 16u * 1024u * 1024u;

std::wstring Signed(uint32_t value) { return std::to_wstring(static_cast<int32_t>(value)); }

// The drive a folder lies on, as the user names it: "C:" for a folder on drive C:,
// "\\server\share" on a network share, the mount folder of a volume mounted in a folder.
// When the system cannot tell: the path's drive letter, else the folder itself.
std::wstring VolumeOf(const std::wstring& folder) {
  // The volume's path is never longer than the folder's own, whatever MAX_PATH says.
  std::vector<wchar_t> volume(std::max<size_t>(folder.size(), MAX_PATH) + 2, L'\0');
  std::wstring text;
  if (GetVolumePathNameW(folder.c_str(), volume.data(), static_cast<DWORD>(volume.size()))) {
    text = volume.data();
  } else if (folder.size() >= 2 && folder[1] == L':') {
    text = folder.substr(0, 2);
  } else {
    text = folder;
  }
  while (text.size() > 1 && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
  return text;
}

// The folder as Explorer shows it.
std::wstring Shown(std::wstring folder) {
  std::replace(folder.begin(), folder.end(), L'/', L'\\');
  return folder;
}

bool SameVolume(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (towlower(a[i]) != towlower(b[i])) return false;
  }
  return true;
}

// Megabytes as users read them on a drive's properties: needed rounded up, free down.
std::wstring Megabytes(uint64_t bytes, bool roundUp) {
  const uint64_t mb = bytes / 1000000 + (roundUp && bytes % 1000000 != 0 ? 1 : 0);
  return std::to_wstring(mb) + L" MB";
}

bool SystemFreeSpace(const std::wstring& folder, uint64_t& freeBytes) {
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
  freeBytes = available.QuadPart;
  return true;
}

}  // namespace

bool DownloadManager::NoteFetch(FileDownload& worker) {
  const FileDownload::Summary& summary = worker.summary;
  if (summary.good) {
    if (!worker.connectionState.localPath.empty()) partArrived_ = true;
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
  if (summary.proxyRefused) {
    // The pass ends like one that could not reach the host; the run is not asked for the
    // sign-in again (ProxySignIn), so the job then ends with the proxy's text.
    proxyRefused_ = true;
    if (!proxyRecorded_) {
      proxyRecorded_ = true;
      Error::LogError(L"The company proxy refused the connection to " + state.host + L" (HTTP " +
                          std::to_wstring(worker.HttpStatus()) + L"): " +
                          velmot::texts::kProxyRefused,
                      DL_MANAGER_HTTP_STATUS_NOT_OK, VELMOT_HERE);
    }
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

// Waiting would only meet the same refusal, and the support page cannot give a sign-in that
// only the user or the IT department can.
void DownloadManager::EndAtProxy() {
  if (!listener_) return;
  listener_->OnError(velmot::texts::kProxyRefused);
  listener_->OnFinished(*this);
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
  // The same cancel as the window's request: a stop during the renewal must not wait out
  // the service's three attempts.
  const bool ok =
      ServiceClient(computerId)
          .RequestDownload(releaseName, workFolder, renewed, suffix, errorText, &renewalCancel_);
  if (!Active()) return false;
  if (!ok || !errorText.empty()) {
    Error::LogError(L"The web service gave no new download link: " + errorText,
                    DL_MANAGER_LINK_REFUSED, VELMOT_HERE);
    return false;
  }
  Error::LogMessage("The web service gave a new download link", VELMOT_HERE);
  descriptor.sasText = renewed.sasText;
  return true;
}

bool DownloadManager::EnoughDiskSpace(const CRCInfo& entries) {
  // What is still to come: each file not yet in the download folder is written at its
  // whole length into its merging file, less what an earlier run's merging file already
  // takes up. Part files of an earlier version go into it and are deleted: they need
  // nothing more.
  uint64_t toWrite = 0;
  for (const CRCInfoEntry& entry : entries) {
    if (entry.size() < 3 || !CRCInfoReader::IsSafeFileName(entry[0])) continue;
    const std::wstring local = GetLocalName(entry[0]);
    if (!CRCInfoReader::IsSafeFileName(local) || FileIO::Exists(downloadFolder + L"/" + local))
      continue;
    const uint64_t fileSize = CRCInfoReader::ParseSizeLine(entry[1]);
    uint64_t merging = 0;
    if (!FileIO::SizeOf(MergeFilePath(local), merging)) merging = 0;
    toWrite += fileSize - std::min(merging, fileSize);
  }
  if (toWrite == 0) return true;

  const std::wstring workVolume = VolumeOf(workFolder);
  const std::wstring downloadVolume = VolumeOf(downloadFolder);
  struct Need {
    std::wstring folder;
    std::wstring volume;
    uint64_t bytes;
  };
  std::vector<Need> needs;
  needs.push_back({downloadFolder, downloadVolume, toWrite + kDiskMargin});
  // The work folder keeps only the log.
  if (!SameVolume(workVolume, downloadVolume))
    needs.push_back({workFolder, workVolume, kDiskMargin});
  const auto query = settings.freeSpaceQuery ? settings.freeSpaceQuery : SystemFreeSpace;
  for (const Need& need : needs) {
    uint64_t available = 0;
    // A drive that cannot tell is not a reason to stop: the writes then find out.
    if (!query(need.folder, available) || available >= need.bytes) continue;
    const std::wstring text =
        L"There is not enough free space on drive " + need.volume +
        L" to save the Velmot installation files in the folder " + Shown(need.folder) +
        L".\r\nNeeded: " + Megabytes(need.bytes, true) + L", free: " + Megabytes(available, false) +
        L".\r\nPlease free some space on that drive and start the download again.";
    Error::LogError(text, ERROR_DISK_FULL, VELMOT_HERE);
    RedirectToSupport(text);
    return false;
  }
  return true;
}
