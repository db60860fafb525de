// What the benchmarks share: a clock, the median, and the bare WinINet loop that is the
// ceiling under this HTTP stack. Header-only: every bench/<name>.cpp is its own executable.
#pragma once

#include "download/fetch/filedownload.h"
#include "net/connection.h"

#include <windows.h>
#include <wininet.h>

#include <velmot/config.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

inline double Seconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One object over a fresh session, the product's flags and agent, 512 KiB reads into one
// reused buffer, nothing kept. Returns the bytes read.
inline uint64_t BareFetch(const std::wstring& host, const std::wstring& path) {
  HINTERNET root = InternetOpenW(L"", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET connect = InternetConnectW(root, host.c_str(), INTERNET_DEFAULT_HTTPS_PORT, nullptr,
                                       nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET request = HttpOpenRequestW(connect, L"GET", path.c_str(), nullptr, nullptr, nullptr,
                                       Connection::kRequestFlags, 0);
  const std::wstring header = std::wstring(L"User-Agent: ") + velmot::kUserAgent + L"\r\n";
  uint64_t total = 0;
  if (request &&
      HttpSendRequestW(request, header.c_str(), static_cast<DWORD>(header.size()), nullptr, 0)) {
    static std::vector<uint8_t> buffer(FileDownload::kChunkSize);
    DWORD read = 0;
    while (InternetReadFile(request, buffer.data(), FileDownload::kChunkSize, &read) && read > 0)
      total += read;
  }
  if (request) InternetCloseHandle(request);
  if (connect) InternetCloseHandle(connect);
  if (root) InternetCloseHandle(root);
  return total;
}

}  // namespace bench
