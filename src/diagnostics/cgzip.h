// Writes (and reads) gzip files over zlib's gz functions. One thread at a time; not
// copied. Failures show in the results only.
#pragma once

#include "diagnostics/czipper.h"

#include <zlib.h>

#include <cstdint>
#include <vector>

namespace zlib {

class CGZip : public CZipper {
 public:
  CGZip() = default;
  ~CGZip() override;
  CGZip(const CGZip&) = delete;
  CGZip& operator=(const CGZip&) = delete;

  bool Open(const wchar_t* path, int mode);  // 1 write, 2 read
  bool Close() override;
  bool IsOpen() const override;
  bool Write(const void* data, uint32_t length) override;
  bool WriteString(const wchar_t* text) override;
  int Read(void* buffer, uint32_t length) override;
  int ReadAll(std::vector<uint8_t>& buffer) override;
  int ApplyParameters() override;

 private:
  gzFile handle_ = nullptr;
  int32_t readSize_ = 0;
};

}  // namespace zlib
