// The download manager's work on one installer file: names, totals, reuse of what is on
// disk, and the part workers, fetched strictly one after another.
#include "download/downloadmanager.h"

#include "diagnostics/error.h"

#include <windows.h>

#include <cwchar>
#include <exception>
#include <limits>
#include <string>

namespace {

// Longer names would push the part files past the classic path limit.
const size_t kMaxFileNameLength = 200;

bool IsReservedDeviceName(const std::wstring& name) {
  std::wstring base = name.substr(0, name.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" ||
      base == L"CONIN$" || base == L"CONOUT$") {
    return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
    wchar_t d = base[3];
    return (d >= L'0' && d <= L'9') || d == L'\u00B9' || d == L'\u00B2' || d == L'\u00B3';
  }
  return false;
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool DownloadManager::IsSafeFileName(const std::wstring& name) {
  if (name.empty() || name.size() > kMaxFileNameLength) return false;
  for (wchar_t c : name) {
    if (c < 0x20 || std::wcschr(L"<>:\"/\\|?*", c) != nullptr) return false;
  }
  if (name.find(L"..") != std::wstring::npos) return false;
  if (name.back() == L'.' || name.back() == L' ') return false;
  return !IsReservedDeviceName(name);
}

uint64_t DownloadManager::ParseSizeLine(const std::wstring& line) {
  size_t start = line.find_first_not_of(L" \t");
  if (start == std::wstring::npos || line[start] == L'-') return 0;
  return std::wcstoull(line.c_str() + start, nullptr, 0);
}

int32_t DownloadManager::ParseCrcLine(const std::wstring& line) {
  long long value = std::wcstoll(line.c_str(), nullptr, 10);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// Names of fewer than seven characters (without ".exe") have no room for the suffix
// seven characters before their end; they carry it at the end instead.
std::wstring DownloadManager::GetLocalName(const std::wstring& name) const {
  std::wstring local = name;
  if (name.find(L".exe") != std::wstring::npos) {
    local.insert(local.size() - 4, productSuffix);
  } else if (name.size() >= 7) {
    local.insert(local.size() - 7, productSuffix);
  } else {
    local += productSuffix;
  }
  return local;
}

bool DownloadManager::DeleteOwnFile(const std::wstring& path) {
  watcher_.ExpectChange(path);
  return DeleteFileW(path.c_str()) != 0;
}

bool DownloadManager::AcceptListedName(const std::wstring& listed) {
  if (IsSafeFileName(listed) && IsSafeFileName(GetLocalName(listed))) return true;
  Error::LogError(L"Rejected file name in the CRC info document: " + listed,
                  DL_MANAGER_INVALID_FILE_NAME, VELMOT_HERE);
  return false;
}

std::wstring DownloadManager::PartPath(size_t k) const {
  return workFolder + L"/" + currentName + L"part" + std::to_wstring(k);
}

void DownloadManager::ComputeTotals(const CRCInfo& entries) {
  uint64_t total = 0;
  for (const CRCInfoEntry& entry : entries) {
    if (entry.size() < 2) continue;
    total += ParseSizeLine(entry[1]);
    if (!IsSafeFileName(entry[0])) continue;
    std::wstring local = GetLocalName(entry[0]);
    if (!IsSafeFileName(local)) continue;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW((downloadFolder + L"/" + local).c_str(), GetFileExInfoStandard, &data)) {
      finishedBytes += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
  }
  totalBytes = total;
}

// A worker is running, or was started and its thread has not ended yet.
static bool IsActive(FileDownload& worker, bool started) {
  if (!started) return false;
  int32_t state = worker.state.load();
  if (state == FILE_DOWNLOAD_RUNNING) return true;
  return state == FILE_DOWNLOAD_IDLE && !worker.WaitForEnd(0);
}

// One part at a time: a late report of an earlier file's last worker must not start a
// second worker beside the one the manager has just started.
bool DownloadManager::StartNextWorker() {
  for (WorkerSlot& slot : workers_) {
    if (IsActive(*slot.worker, slot.started)) return false;
  }
  for (WorkerSlot& slot : workers_) {
    if (!slot.started) {
      slot.started = true;
      slot.worker->Start();
      return true;
    }
  }
  return false;
}

// A worker that ended Idle (an unexpected failure) sends no report: it counts as ended,
// and the manager starts the next part itself.
bool DownloadManager::WorkersEnded(size_t first, size_t end, bool& allFinished) {
  allFinished = true;
  bool allEnded = true;
  bool endedQuietly = false;
  for (size_t i = first; i < end && i < workers_.size(); ++i) {
    const WorkerSlot& slot = workers_[i];
    int32_t state = slot.worker->state.load();
    if (state == FILE_DOWNLOAD_FINISHED) continue;
    allFinished = false;
    if (state == FILE_DOWNLOAD_WRITE_FAILED) continue;
    if (slot.started && state == FILE_DOWNLOAD_IDLE && slot.worker->WaitForEnd(0)) {
      endedQuietly = true;
      continue;
    }
    allEnded = false;
  }
  if (endedQuietly && StartNextWorker()) allEnded = false;
  return allEnded;
}

void DownloadManager::DownloadFileFromCRCInfo(const CRCInfoEntry& entry) {
  if (entry.size() < 3) return;
  try {
    if (!AcceptListedName(entry[0])) return;
    currentName = GetLocalName(entry[0]);
    const std::wstring target = downloadFolder + L"/" + currentName;
    if (FileExists(target)) {
      velmot::FileHandle file(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file) {
        DWORD err = GetLastError();
        Error::LogError(L"DownloadManager::DownloadFileFromCRCInfo unable to read file" + target, err,
                        VELMOT_HERE);
        return;
      }
      LARGE_INTEGER size;
      if (GetFileSizeEx(file.Get(), &size)) presentBytes += static_cast<uint64_t>(size.QuadPart);
      return;
    }

    const size_t parts = entry.size() - 2;
    const uint64_t fileSize = ParseSizeLine(entry[1]);
    size_t first = 0;
    size_t end = 0;
    {
      velmot::CriticalSectionLock hold(lock_);
      first = workers_.size();
      for (size_t k = 0; k < parts; ++k) {
        if (!Active()) return;
        uint64_t offset = static_cast<uint64_t>(k) * kPartSize;
        uint64_t partBytes = fileSize > offset && fileSize - offset < kPartSize ? fileSize - offset
                                                                                : kPartSize;
        const std::wstring partPath = PartPath(k);
        const int32_t expectedCrc = ParseCrcLine(entry[k + 2]);
        if (FileExists(partPath)) {
          if (CRCCheckFile(partPath, expectedCrc)) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            uint64_t onDisk = partBytes;
            if (GetFileAttributesExW(partPath.c_str(), GetFileExInfoStandard, &data)) {
              onDisk = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            }
            finishedBytes += onDisk;
            presentBytes += onDisk;
            continue;
          }
          DeleteOwnFile(partPath);
        }
        const std::wstring objectPath = basePath + L"/" + descriptor.downloadSubdir + L"/" +
                                        std::to_wstring(k) + L"_" + entry[0];
        OutputDebugStringW(objectPath.c_str());

        WorkerSlot slot;
        slot.worker.reset(new FileDownload());
        slot.worker->connectionState.host = descriptor.hostName;
        slot.worker->connectionState.objectPath = objectPath;
        slot.worker->connectionState.objectSuffix = descriptor.sasText;
        slot.worker->connectionState.localPath = partPath;
        slot.worker->expectedCrc = expectedCrc;
        slot.worker->listener = this;
        slot.worker->paused = paused_;
        slot.partBytes = partBytes;
        workers_.push_back(std::move(slot));
      }
      end = workers_.size();
      StartNextWorker();
    }

    bool allFinished = true;
    for (;;) {
      bool ended = false;
      {
        velmot::CriticalSectionLock hold(lock_);
        ended = WorkersEnded(first, end, allFinished);
      }
      if (!Active() || supportRedirected) return;  // the part files stay for the next run
      Sleep(100);
      if (ended) break;
    }
    if (Active() && allFinished) MergePartFiles(parts, entry);
  } catch (const std::exception& e) {
    Error::LogError(std::string("DownloadManager: Obviously a major malfunction. Stopping download. "
                                "Message: ") + e.what(),
                    DL_MANAGER_WIN32_EXCEPTION, VELMOT_HERE);
  }
}
