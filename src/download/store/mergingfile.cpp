#include "download/store/mergingfile.h"

#include "base/fileio.h"
#include "diagnostics/error.h"
#include "download/store/partstore.h"

#include <utility>

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

constexpr uint64_t kPartSize = CRCInfoReader::kPartSize;

}  // namespace

std::wstring MergingFile::PathFor(const std::wstring& downloadFolder,
                                  const std::wstring& localName) {
  return downloadFolder + L"/" + localName + L".merging";
}

MergingFile::MergingFile(const std::wstring& downloadFolder, const std::wstring& workFolder,
                         const std::wstring& localName, const CRCInfoEntry& entry, Hooks hooks)
    : downloadFolder_(downloadFolder),
      workFolder_(workFolder),
      localName_(localName),
      path_(PathFor(downloadFolder, localName)),
      entry_(entry),
      hooks_(std::move(hooks)) {}

std::wstring MergingFile::PartPath(size_t k) const {
  return PartStore::PartPath(workFolder_, localName_, k);
}

MergingFile::Outcome MergingFile::Prepare(std::vector<size_t>& missing) {
  missing.clear();
  uint64_t fileSize = 0;
  if (!CRCInfoReader::IsConsistent(entry_, fileSize)) return Outcome::kNotReady;
  // Shared for writing: the part workers write their regions through handles of their own.
  velmot::FileHandle file(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to create: " + path_);
    return Outcome::kWriteFailed;
  }
  uint64_t onDisk = 0;
  if (!FileIO::SizeOf(file.Get(), onDisk)) onDisk = 0;
  std::vector<uint8_t> buffer;
  const size_t partCount = entry_.size() - 2;
  for (size_t k = 0; k < partCount; ++k) {
    if (hooks_.stopped()) return Outcome::kNotReady;
    const uint64_t offset = static_cast<uint64_t>(k) * kPartSize;
    const uint64_t bytes = CRCInfoReader::PartBytes(fileSize, k);
    DWORD read = 0;
    if (offset + bytes <= onDisk && Seek(file.Get(), offset) &&
        PartStore::ReadAndCheck(file.Get(), static_cast<DWORD>(bytes),
                                CRCInfoReader::ParseCrcLine(entry_[k + 2]), buffer,
                                read) == PartStore::Check::kGood &&
        read == bytes) {
      hooks_.regionHeld(bytes);
    } else {
      missing.push_back(k);
    }
  }
  // Grown (or cut) to the listed length once, so that every part can go to its offset.
  if (!SetLength(file.Get(), fileSize)) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to set the length of: " + path_);
    return Outcome::kWriteFailed;
  }
  Outcome outcome = Outcome::kReady;
  TakePartFiles(file.Get(), fileSize, missing, buffer, outcome);
  return outcome;
}

// Part files of an earlier run fill the regions they belong to; a wrong one is deleted so
// that its part is fetched afresh. Each goes only after the file's bytes are on the disk.
bool MergingFile::TakePartFiles(HANDLE file, uint64_t fileSize, std::vector<size_t>& missing,
                                std::vector<uint8_t>& buffer, Outcome& outcome) {
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
                                CRCInfoReader::ParseCrcLine(entry_[k + 2]), buffer,
                                read) != PartStore::Check::kGood) {
      part.Reset();
      hooks_.deleteOwn(partPath);
      stillMissing.push_back(k);
      continue;
    }
    part.Reset();
    DWORD written = 0;
    if (!Seek(file, static_cast<uint64_t>(k) * kPartSize) ||
        !WriteFile(file, buffer.data(), read, &written, nullptr) || written != read) {
      VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to write to: " + path_);
      outcome = Outcome::kWriteFailed;
      return false;
    }
    hooks_.regionHeld(bytes);
    taken.push_back(partPath);
  }
  if (!taken.empty() && !FlushFileBuffers(file)) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to write to: " + path_);
    outcome = Outcome::kNotReady;
    return false;
  }
  for (const std::wstring& partPath : taken) hooks_.deleteOwn(partPath);
  missing.swap(stillMissing);
  return true;
}

bool MergingFile::Finish() {
  const std::wstring target = downloadFolder_ + L"/" + localName_;
  velmot::FileHandle out(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to open: " + path_);
    return false;
  }
  uint64_t listed = 0;
  uint64_t onDisk = 0;
  if (!CRCInfoReader::IsConsistent(entry_, listed) || !FileIO::SizeOf(out.Get(), onDisk) ||
      onDisk != listed) {
    Error::LogError(L"Merged file " + path_ + L" has " + std::to_wstring(onDisk) + L" bytes, but " +
                        std::to_wstring(listed) + L" are listed",
                    DL_MANAGER_CRC_INCORRECT, VELMOT_HERE);
    out.Reset();
    DeleteFileW(path_.c_str());
    return false;
  }
  if (!FlushFileBuffers(out.Get())) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to write to: " + path_);
    return false;
  }
  out.Reset();
  if (!MoveFileExW(path_.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    VELMOT_LOG_LAST_ERROR(L"Merging part files failed. Unable to rename " + path_ + L" to " +
                          target);
    return false;
  }
  return true;
}
