// Joining an installer file's part files into the file, and starting setup once every
// installer file is verified.
//
// The parts are appended to a temporary file beside the installer ("<name>.merging"), which
// takes the installer's name only once it is whole and on disk. Each part is flushed into
// it before its part file is deleted, so a kill or a power cut at any moment loses nothing
// and never leaves a broken file under the installer's name: the next run keeps the
// temporary file's checked prefix and fetches none of the parts it holds. The disk holds
// the file plus at most one part while it is merged.
#include "download/downloadmanager.h"

#include "base/fileio.h"
#include "base/scopedflag.h"
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

}  // namespace

std::wstring DownloadManager::MergeFilePath(const std::wstring& localName) const {
  return downloadFolder + L"/" + localName + L".merging";
}

// Finds the number of leading parts that the temporary file holds with the right CRC and
// cuts the file after them, so that appending goes on right behind the last good part.
// False when the file cannot be read or cut: nothing may then be appended to it.
bool DownloadManager::KeepCheckedPrefix(HANDLE file, const CRCInfoEntry& entry,
                                        std::vector<uint8_t>& buffer, size_t& good) {
  good = 0;
  uint64_t onDisk = 0;
  uint64_t fileSize = 0;
  LARGE_INTEGER start = {};
  if (!FileIO::SizeOf(file, onDisk) || !CRCInfoReader::IsConsistent(entry, fileSize) ||
      !SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
    return false;
  }
  const size_t partCount = entry.size() - 2;
  uint64_t offset = 0;
  while (good < partCount) {
    const uint64_t bytes = CRCInfoReader::PartBytes(fileSize, good);
    if (offset + bytes > onDisk) break;
    DWORD read = 0;
    if (PartStore::ReadAndCheck(file, static_cast<DWORD>(bytes), ParseCrcLine(entry[good + 2]),
                                buffer, read) != PartStore::Check::kGood ||
        read != bytes) {
      break;
    }
    offset += bytes;
    ++good;
  }
  // Also places the file pointer at the end, where appending goes on.
  if (!SetLength(file, offset)) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to shorten: " +
                          MergeFilePath(currentName));
    good = 0;
    return false;
  }
  return true;
}

// Parts that an interrupted merge already holds: they are neither fetched nor reused, and
// count as finished.
size_t DownloadManager::PartsAlreadyMerged(const CRCInfoEntry& entry) {
  const std::wstring path = MergeFilePath(currentName);
  if (!FileIO::Exists(path)) return 0;
  velmot::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return 0;
  std::vector<uint8_t> buffer;
  size_t merged = 0;
  if (!KeepCheckedPrefix(file.Get(), entry, buffer, merged)) return 0;
  uint64_t bytes = 0;
  if (merged > 0 && FileIO::SizeOf(file.Get(), bytes)) {
    finishedBytes += bytes;
    presentBytes += bytes;
  }
  return merged;
}

void DownloadManager::MergePartFiles(size_t partCount, const CRCInfoEntry& entry) {
  if (!IsSafeFileName(currentName)) {
    Error::LogError(L"Rejected file name for merging: " + currentName, DL_MANAGER_INVALID_FILE_NAME,
                    VELMOT_HERE);
    return;
  }
  const std::wstring target = downloadFolder + L"/" + currentName;
  const std::wstring temporary = MergeFilePath(currentName);
  velmot::FileHandle out(CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to create: " + temporary);
    return;
  }
  // The percentage first: the window shows it as soon as it sees the merge begin.
  copyPercent = 0;
  velmot::ScopedFlag copyingNow(copying);
  std::vector<uint8_t> buffer;
  size_t merged = 0;
  if (!KeepCheckedPrefix(out.Get(), entry, buffer, merged)) return;
  // A kill between a part's flush and its deletion leaves the part behind.
  for (size_t i = 0; i < merged && i < partCount; ++i) {
    if (FileIO::Exists(PartPath(i))) DeleteOwnFile(PartPath(i));
  }
  for (size_t i = merged; i < partCount; ++i) {
    if (stopRequested_) return;  // what is merged so far stays for the next run
    copyPercent =
        static_cast<uint64_t>(100.0 * static_cast<double>(i) / static_cast<double>(partCount));
    if (!AppendPart(i, entry, out.Get(), target, buffer)) return;
  }
  FinishMerge(out, temporary, target, entry);
}

// Gives the whole temporary file the installer's name; a file of the wrong length never
// gets it.
void DownloadManager::FinishMerge(velmot::FileHandle& out, const std::wstring& temporary,
                                  const std::wstring& target, const CRCInfoEntry& entry) {
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

// Appends part i to out when its length and CRC are right, flushes it to disk, then
// deletes the part file.
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
  uint64_t fileSize = 0;
  const bool listed = i + 2 < entry.size() && CRCInfoReader::IsConsistent(entry, fileSize);
  // A part has exactly its listed length; any other file is not ours to trust.
  if (!listed || size != CRCInfoReader::PartBytes(fileSize, i)) {
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
  // The part may only go once its bytes are on the disk, not in a cache a power cut empties.
  if (!FlushFileBuffers(out)) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to write to: " + target);
    return false;
  }
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
  // On the stop event rather than WaitForStop, which returns at once without a running
  // thread: tests call StartSetup on their own thread. StopJob raises the flag before the
  // event is signalled.
  launcher.wait = [this](DWORD ms) {
    WaitForSingleObject(StopEvent(), ms);
    return !stopRequested_.load();
  };
  launcher.Launch(setupPath, downloadFolder, workFolder, appDataFolder);
}
