// CRC-32 throughput: ours (CRC::Compute) against zlib's crc32() over the same 100 MB buffer,
// median of several runs each. Prints MB/s (10^6 bytes per second). Not a test.
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "download/store/crc.h"

namespace {

const uint32_t kBufferBytes = 100u * 1000u * 1000u;
const int kRuns = 7;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename F>
double MedianMegabytesPerSecond(F compute, uint32_t& result) {
  std::vector<double> rates;
  for (int run = 0; run < kRuns; ++run) {
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    result = compute();
    QueryPerformanceCounter(&end);
    rates.push_back(kBufferBytes / 1e6 / Seconds(start, end));
  }
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

}  // namespace

int main() {
  std::vector<uint8_t> buffer(kBufferBytes);
  std::mt19937 rng(2024);
  for (auto& b : buffer) b = static_cast<uint8_t>(rng());

  CRC crc;
  crc.BuildTable();
  uint32_t ours = 0;
  uint32_t theirs = 0;
  // Every length up to 4 KiB at every alignment first: the fast paths must match zlib.
  for (uint32_t offset = 0; offset < 16; ++offset) {
    for (uint32_t length = 0; length <= 4096; ++length) {
      const uint8_t* p = buffer.data() + offset;
      if (crc.Compute(p, length) != static_cast<uint32_t>(crc32(0, p, length))) {
        std::printf("MISMATCH at offset %u length %u\n", offset, length);
        return 1;
      }
    }
  }
  // Two rounds, best median of each: the machine is shared and its load changes.
  double oursRate =
      MedianMegabytesPerSecond([&] { return crc.Compute(buffer.data(), kBufferBytes); }, ours);
  double zlibRate = MedianMegabytesPerSecond(
      [&] { return static_cast<uint32_t>(crc32(0, buffer.data(), kBufferBytes)); }, theirs);
  oursRate = std::max(
      oursRate,
      MedianMegabytesPerSecond([&] { return crc.Compute(buffer.data(), kBufferBytes); }, ours));
  zlibRate = std::max(
      zlibRate,
      MedianMegabytesPerSecond(
          [&] { return static_cast<uint32_t>(crc32(0, buffer.data(), kBufferBytes)); }, theirs));

  std::printf("CRC-32 over %u bytes, median of %d runs (best of two rounds)\n", kBufferBytes,
              kRuns);
  std::printf("  CRC::Compute   %8.0f MB/s  crc 0x%08x\n", oursRate, ours);
  std::printf("  zlib crc32()   %8.0f MB/s  crc 0x%08x  (zlib %s)\n", zlibRate, theirs,
              zlibVersion());
  std::printf("  ratio ours/zlib %.2f%s\n", oursRate / zlibRate,
              ours == theirs ? "" : "  RESULTS DIFFER");
  return ours == theirs ? 0 : 1;
}
