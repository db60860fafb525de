// The compressor interface of the gzip writer: open mode and compression parameters.
#pragma once

#include <cstdint>
#include <vector>

namespace zlib {

class CZipper {
 public:
  virtual ~CZipper() = default;
  virtual bool SetMode(int newMode) {
    mode = newMode;
    return true;
  }
  virtual bool Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual bool Write(const void* data, uint32_t length) = 0;
  virtual bool WriteString(const wchar_t* text) = 0;
  virtual int Read(void* buffer, uint32_t length) = 0;
  virtual int ReadAll(std::vector<uint8_t>& buffer) = 0;
  virtual int ApplyParameters() = 0;

  int32_t mode = 0;      // 0 closed, 1 writing, 2 reading
  int32_t level = -1;    // zlib's default level
  int32_t strategy = 0;  // zlib's default strategy
};

}  // namespace zlib
