// The job's files on disk: where part files live, and the one checked read that reuse,
// merge and verification share (read one part's bytes, compare their CRC-32 with the
// listed value). Stateless; any thread. Nothing is recorded here: each caller records a
// failure under its own fixed text.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class PartStore {
 public:
  enum class Check { kGood, kReadFailed, kWrongCrc };

  // "<workFolder>/<localName>part<k>".
  static std::wstring PartPath(const std::wstring& workFolder, const std::wstring& localName,
                               size_t k);

  // Reads up to bytes bytes from the file's current position with one ReadFile into buffer
  // (grown when needed, never shrunk) and checks them against expectedCrc. read is what
  // was read. On kReadFailed the thread's last error is the read's.
  static Check ReadAndCheck(HANDLE file, DWORD bytes, int32_t expectedCrc,
                            std::vector<uint8_t>& buffer, DWORD& read);

  // True when the part file at path is at most one part long and its bytes have the
  // expected CRC. A file that cannot be opened or read is recorded with openFailure /
  // readFailure (and the path) and is not good.
  static bool PartIsGood(const std::wstring& path, int32_t expectedCrc,
                         const std::wstring& openFailure, const std::wstring& readFailure);
};
