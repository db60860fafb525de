// The small file operations the whole program shares: opening a file for reading, its
// size, whether a path exists. Nothing is recorded: the caller records a failure under its
// own text, reading GetLastError() right after the call. Stateless; any thread.
#pragma once

#include "base/handles.h"

#include <cstdint>
#include <string>

class FileIO {
 public:
  // Shared read, existing files only. The owner is invalid on failure.
  static velmot::FileHandle OpenForReading(const std::wstring& path,
                                           DWORD flags = FILE_ATTRIBUTE_NORMAL);
  // The size of an open file, or of the file at path (without opening it); false when it
  // cannot be read.
  static bool SizeOf(HANDLE file, uint64_t& size);
  static bool SizeOf(const std::wstring& path, uint64_t& size);
  static bool Exists(const std::wstring& path);
};
