#include "download/store/partstore.h"

#include "base/fileio.h"
#include "diagnostics/error.h"
#include "download/store/crc.h"
#include "download/store/crcinforeader.h"
#include "download/store/filesystem.h"

namespace {

// One table for the whole process: Compute only reads it, so threads may share it.
const CRC& SharedCrc() {
  static const CRC crc = [] {
    CRC built;
    built.BuildTable();
    return built;
  }();
  return crc;
}

}  // namespace

std::wstring PartStore::PartPath(const std::wstring& workFolder, const std::wstring& localName,
                                 size_t k) {
  return workFolder + L"/" + localName + L"part" + std::to_wstring(k);
}

PartStore::Check PartStore::ReadAndCheck(HANDLE file, DWORD bytes, int32_t expectedCrc,
                                         std::vector<uint8_t>& buffer, DWORD& read) {
  read = 0;
  if (buffer.size() < bytes) buffer.resize(bytes);
  if (bytes > 0 && !ReadFile(file, buffer.data(), bytes, &read, nullptr)) return Check::kReadFailed;
  const int32_t found = static_cast<int32_t>(SharedCrc().Compute(buffer.data(), read));
  return found == expectedCrc ? Check::kGood : Check::kWrongCrc;
}

bool PartStore::PartIsGood(const std::wstring& path, int32_t expectedCrc,
                           const std::wstring& openFailure, const std::wstring& readFailure) {
  velmot::FileHandle file = FileIO::OpenForReading(path);
  if (!file) {
    VELMOT_LOG_LAST_ERROR(openFailure + path);
    return false;
  }
  // A part file is at most one part; a larger one cannot be right and is not read whole.
  uint64_t size = 0;
  if (!FileIO::SizeOf(file.Get(), size)) size = 0;
  if (size > CRCInfoReader::kPartSize) return false;
  std::vector<uint8_t> buffer;
  DWORD read = 0;
  const Check check = ReadAndCheck(file.Get(), static_cast<DWORD>(size), expectedCrc, buffer, read);
  if (check == Check::kReadFailed) {
    VELMOT_LOG_LAST_ERROR(readFailure + path);
    return false;
  }
  return check == Check::kGood;
}
