// The installer file while its parts arrive, and starting setup once every installer file
// is verified.
//
// An installer file is written as "<name>.merging" beside it, made as long as the listed
// file from the start; every part, checked in memory, is written at its own offset as soon
// as it arrives, in whatever order the parts come. When the last part is in, only the flush
// and the rename remain: the file takes the installer's name only once it is whole and on
// disk. A kill or a power cut at any moment loses at most the parts in flight and never
// leaves a broken file under the installer's name: the next run checks every part's region
// of the file by CRC and fetches only the regions that fail. Part files an earlier version
// left in the work folder are written into their regions and then deleted. The disk holds
// the file itself and nothing more.
#include "download/downloadmanager.h"

#include "base/fileio.h"
#include "base/scopedflag.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "download/crcinforeader.h"
#include "download/filesystem.h"
#include "download/partstore.h"
#include "download/setuplauncher.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

bool SetLength(HANDLE file, uint64_t length) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(length);
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

bool Seek(HANDLE file, uint64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

std::wstring DownloadManager::MergeFilePath(const std::wstring& localName) const {
  return downloadFolder + L"/" + localName + L".merging";
}

void DownloadManager::CountRegion(uint64_t bytes) {
  finishedBytes += bytes;
  presentBytes += bytes;
}

bool DownloadManager::PrepareMergingFile(const CRCInfoEntry& entry, std::vector<size_t>& missing) {
  missing.clear();
  uint64_t fileSize = 0;
  if (!CRCInfoReader::IsConsistent(entry, fileSize)) return false;
  const std::wstring path = MergeFilePath(currentName);
  // Shared for writing: the part workers write their regions through handles of their own.
  velmot::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to create: " + path);
    RedirectToSupport(velmot::texts::kSupportRedirect);
    return false;
  }
  uint64_t onDisk = 0;
  if (!FileIO::SizeOf(file.Get(), onDisk)) onDisk = 0;
  std::vector<uint8_t> buffer;
  const size_t partCount = entry.size() - 2;
  for (size_t k = 0; k < partCount; ++k) {
    if (stopRequested_) return false;
    const uint64_t offset = static_cast<uint64_t>(k) * kPartSize;
    const uint64_t bytes = CRCInfoReader::PartBytes(fileSize, k);
    DWORD read = 0;
    if (offset + bytes <= onDisk && Seek(file.Get(), offset) &&
        PartStore::ReadAndCheck(file.Get(), static_cast<DWORD>(bytes),
                                CRCInfoReader::ParseCrcLine(entry[k + 2]), buffer,
                                read) == PartStore::Check::kGood &&
        read == bytes) {
      CountRegion(bytes);
    } else {
      missing.push_back(k);
    }
  }
  // Grown (or cut) to the listed length once, so that every part can go to its offset.
  if (!SetLength(file.Get(), fileSize)) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to set the length of: " + path);
    RedirectToSupport(velmot::texts::kSupportRedirect);
    return false;
  }
  return TakePartFiles(file.Get(), entry, fileSize, missing, buffer);
}

// Part files of an earlier run fill the regions they belong to; a wrong one is deleted so
// that its part is fetched afresh. Each goes only after the file's bytes are on the disk.
bool DownloadManager::TakePartFiles(HANDLE file, const CRCInfoEntry& entry, uint64_t fileSize,
                                    std::vector<size_t>& missing, std::vector<uint8_t>& buffer) {
  std::vector<size_t> stillMissing;
  std::vector<std::wstring> taken;
  for (size_t k : missing) {
    const std::wstring partPath = PartPath(k);
    if (!FileIO::Exists(partPath)) {
      stillMissing.push_back(k);
      continue;
    }
    const uint64_t bytes = CRCInfoReader::PartBytes(fileSize, k);
    velmot::FileHandle part = FileIO::OpenForReading(partPath);
    uint64_t size = 0;
    DWORD read = 0;
    if (!part || !FileIO::SizeOf(part.Get(), size) || size != bytes ||
        PartStore::ReadAndCheck(part.Get(), static_cast<DWORD>(bytes),
                                CRCInfoReader::ParseCrcLine(entry[k + 2]), buffer,
                                read) != PartStore::Check::kGood) {
      part.Reset();
      DeleteOwnFile(partPath);
      stillMissing.push_back(k);
      continue;
    }
    part.Reset();
    DWORD written = 0;
    if (!Seek(file, static_cast<uint64_t>(k) * kPartSize) ||
        !WriteFile(file, buffer.data(), read, &written, nullptr) || written != read) {
      VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to write to: " +
                            MergeFilePath(currentName));
      RedirectToSupport(velmot::texts::kSupportRedirect);
      return false;
    }
    CountRegion(bytes);
    taken.push_back(partPath);
  }
  if (!taken.empty() && !FlushFileBuffers(file)) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to write to: " +
                          MergeFilePath(currentName));
    return false;
  }
  for (const std::wstring& partPath : taken) DeleteOwnFile(partPath);
  missing.swap(stillMissing);
  return true;
}

void DownloadManager::MergePartFiles(size_t /*partCount*/, const CRCInfoEntry& entry) {
  if (!CRCInfoReader::IsSafeFileName(currentName)) {
    Error::LogError(L"Rejected file name for merging: " + currentName, DL_MANAGER_INVALID_FILE_NAME,
                    VELMOT_HERE);
    return;
  }
  std::vector<size_t> missing;
  if (PrepareMergingFile(entry, missing) && missing.empty()) FinishMerge(entry);
}

// Gives the whole file the installer's name; a file of the wrong length never gets it.
void DownloadManager::FinishMerge(const CRCInfoEntry& entry) {
  const std::wstring target = downloadFolder + L"/" + currentName;
  const std::wstring temporary = MergeFilePath(currentName);
  velmot::FileHandle out(CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to open: " + temporary);
    return;
  }
  // Only the flush is left: the window shows it as the end of the merge.
  copyPercent = 100;
  velmot::ScopedFlag copyingNow(copying);
  uint64_t listed = 0;
  uint64_t onDisk = 0;
  if (!CRCInfoReader::IsConsistent(entry, listed) || !FileIO::SizeOf(out.Get(), onDisk) ||
      onDisk != listed) {
    Error::LogError(L"Merged file " + temporary + L" has " + std::to_wstring(onDisk) +
                        L" bytes, but " + std::to_wstring(listed) + L" are listed",
                    DL_MANAGER_CRC_INCORRECT, VELMOT_HERE);
    out.Reset();
    DeleteFileW(temporary.c_str());
    return;
  }
  if (!FlushFileBuffers(out.Get())) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to write to: " + temporary);
    return;
  }
  out.Reset();
  if (!MoveFileExW(temporary.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to rename " + temporary + L" to " +
                          target);
  }
}

void DownloadManager::StartSetup() {
  SetupLauncher launcher(
      setupPublisher,
      [this](const std::wstring& text) {
        if (listener_) listener_->OnError(text);
      },
      [this] { watcher_.Stop(500); });
  launcher.shellStart = shellStart;
  // On the stop event rather than WaitForStop, which returns at once without a running
  // thread: tests call StartSetup on their own thread. StopJob raises the flag before the
  // event is signalled.
  launcher.wait = [this](DWORD ms) {
    WaitForSingleObject(StopEvent(), ms);
    return !stopRequested_.load();
  };
  launcher.Launch(setupPath, downloadFolder, workFolder, appDataFolder);
}
