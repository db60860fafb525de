#include "base/fileio.h"

velmot::FileHandle FileIO::OpenForReading(const std::wstring& path, DWORD flags) {
  return velmot::FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, flags, nullptr));
}

bool FileIO::SizeOf(HANDLE file, uint64_t& size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(file, &value)) return false;
  size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool FileIO::SizeOf(const std::wstring& path, uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool FileIO::Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
