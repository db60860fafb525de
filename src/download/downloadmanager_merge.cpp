// Joining an installer file's part files into the file, and starting setup once every
// installer file is verified.
#include "download/downloadmanager.h"

#include "base/fileio.h"
#include "diagnostics/error.h"
#include "download/crcinforeader.h"
#include "download/filesystem.h"
#include "download/partstore.h"
#include "download/setuplauncher.h"

#include <windows.h>

#include <string>
#include <vector>

// Each part is checked again, appended with one write and deleted at once, so the disk
// holds about one copy of the file while it is merged.
void DownloadManager::MergePartFiles(size_t partCount, const CRCInfoEntry& entry) {
  if (!IsSafeFileName(currentName)) {
    Error::LogError(L"Rejected file name for merging: " + currentName, DL_MANAGER_INVALID_FILE_NAME,
                    VELMOT_HERE);
    return;
  }
  const std::wstring target = downloadFolder + L"/" + currentName;
  velmot::FileHandle out(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to create: " + target);
    return;
  }
  copyPercent = 0;
  copying = true;
  std::vector<uint8_t> buffer;
  bool merged = true;
  for (size_t i = 0; i < partCount && merged; ++i) {
    copyPercent =
        static_cast<uint64_t>(100.0 * static_cast<double>(i) / static_cast<double>(partCount));
    merged = AppendPart(i, entry, out.Get(), target, buffer);
  }
  out.Reset();
  if (!merged) DeleteOwnFile(target);
  copying = false;
}

// Appends part i to out when its CRC is still right, then deletes the part file.
bool DownloadManager::AppendPart(size_t i, const CRCInfoEntry& entry, HANDLE out,
                                 const std::wstring& target, std::vector<uint8_t>& buffer) {
  const std::wstring partPath = PartPath(i);
  velmot::FileHandle part = FileIO::OpenForReading(partPath);
  if (!part) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to open: " + partPath);
    return false;
  }
  uint64_t size = 0;
  if (!FileIO::SizeOf(part.Get(), size)) size = 0;
  // A part is never larger than the part size; a larger file is not ours to trust.
  const bool listed = i + 2 < entry.size();
  if (!listed || size > kPartSize) {
    Error::LogError(L"CRC Check of file : " + target + L" failed!", DL_MANAGER_CRC_INCORRECT,
                    VELMOT_HERE);
    return false;
  }
  DWORD read = 0;
  const PartStore::Check check = PartStore::ReadAndCheck(part.Get(), static_cast<DWORD>(size),
                                                         ParseCrcLine(entry[i + 2]), buffer, read);
  if (check == PartStore::Check::kReadFailed) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to read: " + partPath);
    return false;
  }
  if (check == PartStore::Check::kWrongCrc) {
    // The code says what went wrong; the last error would be left over from an earlier call.
    Error::LogError(L"CRC Check of file : " + target + L" failed!", DL_MANAGER_CRC_INCORRECT,
                    VELMOT_HERE);
    return false;
  }
  DWORD written = 0;
  if (read > 0 && !WriteFile(out, buffer.data(), read, &written, nullptr)) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to write to: " + target);
    return false;
  }
  if (written < read) return false;
  part.Reset();
  DeleteOwnFile(partPath);
  return true;
}

void DownloadManager::StartSetup() {
  SetupLauncher launcher(
      setupPublisher,
      [this](const std::wstring& text) {
        if (listener_) listener_->OnError(text);
      },
      [this] { watcher_.Stop(500); });
  launcher.shellStart = shellStart;
  launcher.wait = [this](DWORD ms) { return !WaitForStop(ms) && Active(); };
  launcher.Launch(setupPath, downloadFolder, workFolder);
}
