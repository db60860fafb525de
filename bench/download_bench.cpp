// Throughput and memory of the file download worker against the test file host, beside a
// bare WinINet loop over the same object (the ceiling under this HTTP stack).
//   download_bench.exe /<folder>/<object> [runs]
// Host from VELMOT_FILEHOST_NAME (tools/test-env sets it); run through tools/bench-download,
// which also times curl over the same object.
#include "benchsupport.h"
#include "download/fetch/filedownload.h"

#include "diagnostics/error.h"

#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <velmot/config.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench::BareFetch;
using bench::Median;
using bench::Seconds;

PROCESS_MEMORY_COUNTERS_EX Memory() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                       sizeof(counters));
  return counters;
}

double MiB(SIZE_T bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

bool WorkerFetch(FileDownload& worker) {
  worker.Start();
  return worker.WaitForEnd(120000) && worker.state.load() == FILE_DOWNLOAD_FINISHED;
}

struct Timings {
  std::vector<double> worker, bare, inMemory, crcOnly;
};

FileDownload* Aim(FileDownload& w, const std::wstring& host, const std::wstring& path) {
  w.connectionState.host = host;
  w.connectionState.objectPath = path;
  return &w;
}

// One round: an in-memory fetch (and its CRC alone), a worker writing the part, a bare loop.
void Round(int i, const std::wstring& host, const std::wstring& path, const std::wstring& part,
           int32_t expected, uint64_t size, const CRC& crc, Timings& t) {
  {
    FileDownload m;
    double begin = Seconds();
    WorkerFetch(*Aim(m, host, path));
    t.inMemory.push_back(Seconds() - begin);
    begin = Seconds();
    volatile uint32_t sink =
        crc.Compute(m.PartData().data(), static_cast<uint32_t>(m.PartData().size()));
    (void)sink;
    t.crcOnly.push_back(Seconds() - begin);
  }
  Error::Clear();
  FileDownload w;
  Aim(w, host, path);
  w.connectionState.localPath = part;
  w.expectedCrc = expected;
  double begin = Seconds();
  bool ok = WorkerFetch(w);
  t.worker.push_back(Seconds() - begin);
  if (!ok || Error::HasErrors()) std::fprintf(stderr, "worker run %d had errors\n", i);

  begin = Seconds();
  uint64_t got = BareFetch(host, path);
  t.bare.push_back(Seconds() - begin);
  if (got != size)
    std::fprintf(stderr, "bare run %d read %llu bytes\n", i, (unsigned long long)got);
}

void Report(const Timings& t, uint64_t size, int runs, SIZE_T idlePrivate, SIZE_T heldPrivate) {
  PROCESS_MEMORY_COUNTERS_EX end = Memory();
  const double mb = static_cast<double>(size) / 1e6;
  const double workerRate = mb / Median(t.worker), bareRate = mb / Median(t.bare);
  std::printf("object: %llu bytes, %d runs (median)\n", (unsigned long long)size, runs);
  std::printf("worker (fetch + CRC + write): %.3f s  %.1f MB/s\n", Median(t.worker), workerRate);
  std::printf("worker, in memory (no CRC):    %.3f s  %.1f MB/s\n", Median(t.inMemory),
              mb / Median(t.inMemory));
  std::printf("CRC-32 of the object alone:   %.3f s\n", Median(t.crcOnly));
  std::printf("bare WinINet loop:            %.3f s  %.1f MB/s\n", Median(t.bare), bareRate);
  std::printf("ratio worker / bare: %.2f\n", workerRate / bareRate);
  std::printf(
      "committed memory (PagefileUsage; Wine reports no PrivateUsage): idle %.1f MiB, "
      "holding one object %.1f MiB (+%.1f MiB = %.2f x the object), peak pagefile "
      "%.1f MiB (+%.2f x the object over idle)\n",
      MiB(idlePrivate), MiB(heldPrivate), MiB(heldPrivate - idlePrivate),
      static_cast<double>(heldPrivate - idlePrivate) / static_cast<double>(size),
      MiB(end.PeakPagefileUsage),
      (static_cast<double>(end.PeakPagefileUsage) - static_cast<double>(idlePrivate)) /
          static_cast<double>(size));
  std::printf("RATES worker=%.3f bare=%.3f\n", workerRate, bareRate);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: download_bench.exe /<folder>/<object> [runs]\n");
    return 2;
  }
  wchar_t hostBuffer[256] = {};
  GetEnvironmentVariableW(L"VELMOT_FILEHOST_NAME", hostBuffer, 256);
  const std::wstring host = hostBuffer;
  const std::string narrowPath = argv[1];
  const std::wstring path(narrowPath.begin(), narrowPath.end());  // ASCII object paths
  const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 7;
  if (host.empty()) {
    std::fprintf(stderr, "VELMOT_FILEHOST_NAME is not set (run under tools/test-env)\n");
    return 2;
  }

  // Warm-up (the first HTTPS request of a process costs ~0.4 s) and the object's CRC.
  FileDownload probe;
  const SIZE_T idlePrivate = Memory().PagefileUsage;
  if (!WorkerFetch(*Aim(probe, host, path)) || probe.PartData().empty()) {
    std::fprintf(stderr, "could not fetch %ls from %ls\n", path.c_str(), host.c_str());
    return 1;
  }
  const uint64_t size = probe.PartData().size();
  CRC crc;
  crc.BuildTable();
  const int32_t expected =
      static_cast<int32_t>(crc.Compute(probe.PartData().data(), static_cast<uint32_t>(size)));
  const SIZE_T heldPrivate = Memory().PagefileUsage;
  probe.ReleasePartData();
  BareFetch(host, path);

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder =
      std::wstring(temp) + L"velmot-bench-" + std::to_wstring(GetCurrentProcessId());
  std::wstring part = folder + L"/bench.exepart0";
  Timings timings;
  for (int i = 0; i < runs; ++i) Round(i, host, path, part, expected, size, crc, timings);
  DeleteFileW(part.c_str());
  RemoveDirectoryW(folder.c_str());
  Report(timings, size, runs, idlePrivate, heldPrivate);
  return 0;
}
