// The product's whole job against the loopback test servers, beside a bare WinINet loop over
// the same objects (the ceiling under this HTTP stack):
//   job_bench.exe [runs] [--mb N] [--curl-list FILE --curl-done FILE]
// A release of one small setup and N MB of data (default 200) is published on the test file
// host and at the test web service. Each run copies velmot-dm.exe into a fresh folder,
// launches it and times launch to a started setup, sampling the process's committed memory
// every few milliseconds; the bare loop fetches every part object with a fresh session per
// object and 512 KiB reads, keeping nothing. With --curl-list the object URLs are written to
// FILE and the objects stay published until FILE given by --curl-done exists, so that
// tools/bench-job can time curl over them. Run through tools/bench-job.
#include "benchsupport.h"
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/guirelease.h"
#include "support/testenv.h"

#include "download/crcinforeader.h"
#include "download/filedownload.h"
#include "net/connection.h"

#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <velmot/config.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bench::BareFetch;
using bench::Median;
using bench::Seconds;

using testsupport::DmProcess;
using testsupport::GuiRelease;

const char kDataName[] = "VelmotData.bin";
const DWORD kJobBoundMs = 600000;

// Committed bytes of a process. Wine reports no PrivateUsage; PagefileUsage counts the same
// private commit there.
SIZE_T Committed(HANDLE process) {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof(counters))) {
    return 0;
  }
  return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

struct JobRun {
  bool setupStarted = false;
  bool filesIdentical = false;
  double seconds = 0;
  SIZE_T idle = 0;  // committed bytes once the window is up, before any part arrives
  SIZE_T peak = 0;
  // Seconds from launch: the window is up, the last part file is written, the data file
  // carries its final name (merged), the setup has started.
  double windowAt = 0, lastPartAt = 0, mergedAt = 0;
};

// Launch to a started setup, in a fresh folder, with the process sampled throughout.
JobRun RunJob(GuiRelease& release, const std::vector<uint8_t>& data) {
  JobRun run;
  testsupport::TempFolder folder(L"job");
  const std::wstring marker = folder.File(testsupport::kSetupMarker);
  const std::wstring local = CRCInfoReader::LocalName(testsupport::FromUtf8(kDataName), L"_7");
  const std::wstring merged = folder.File(local);
  const std::wstring lastPart = release.workFolder + L"/" + local + L"part" +
                                std::to_wstring(CRCInfoReader::PartCount(data.size()) - 1);
  DmProcess program(folder.Path(), release.ExeName());
  const double begin = Seconds();
  if (!program.Start()) return run;
  HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, program.ProcessId());
  bool windowUp = false;
  const ULONGLONG end = GetTickCount64() + kJobBoundMs;
  while (GetTickCount64() < end) {
    const SIZE_T now = process ? Committed(process) : 0;
    if (!windowUp && program.FindWindowByCaption(release.Caption(), 0) != nullptr) {
      windowUp = true;
      run.idle = now;
      run.windowAt = Seconds() - begin;
    }
    if (run.lastPartAt == 0 && testsupport::FileExists(lastPart))
      run.lastPartAt = Seconds() - begin;
    if (run.mergedAt == 0 && testsupport::FileExists(merged)) run.mergedAt = Seconds() - begin;
    if (windowUp) run.peak = std::max(run.peak, now);
    if (testsupport::FileExists(marker)) {
      run.seconds = Seconds() - begin;
      run.setupStarted = true;
      break;
    }
    if (program.WaitForExit(0) != STILL_ACTIVE && !testsupport::FileExists(marker)) break;
    Sleep(2);
  }
  program.WaitForExit(60000);
  if (process) CloseHandle(process);
  run.filesIdentical = testsupport::ReadFileBytes(merged) == data;
  testsupport::RemoveTree(release.workFolder);
  return run;
}

std::string Option(int argc, char** argv, const char* name) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return std::string();
}

std::vector<uint8_t> FakeSetup() {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring build(self, n);
  build = build.substr(0, build.find_last_of(L"\\/"));  // BUILD/bench
  build = build.substr(0, build.find_last_of(L"\\/"));  // BUILD
  return testsupport::ReadFileBytes(build + L"/tests/fakesetup.exe");
}

void WriteText(const std::string& path, const std::string& text) {
  testsupport::WriteFileBytes(testsupport::FromUtf8(path),
                              std::vector<uint8_t>(text.begin(), text.end()));
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 && argv[1][0] != '-' ? std::max(1, atoi(argv[1])) : 3;
  const std::string mbOption = Option(argc, argv, "--mb");
  const uint64_t dataBytes =
      (mbOption.empty() ? 200 : std::strtoull(mbOption.c_str(), nullptr, 10)) * 1000000ull;
  const std::string curlList = Option(argc, argv, "--curl-list");
  const std::string curlDone = Option(argc, argv, "--curl-done");
  if (testsupport::Get(L"VELMOT_FILEHOST_NAME").empty()) {
    std::fprintf(stderr, "VELMOT_FILEHOST_NAME is not set (run through tools/bench-job)\n");
    return 2;
  }
  const std::vector<uint8_t> setup = FakeSetup();
  if (setup.empty()) {
    std::fprintf(stderr, "BUILD/tests/fakesetup.exe is missing (build the fakesetup target)\n");
    return 2;
  }

  GuiRelease release(L"VelmotBench");
  const std::vector<uint8_t> data = testsupport::RandomBytes(static_cast<size_t>(dataBytes), 15);
  release.AddFile("Setup.exe", setup);
  release.AddFile(kDataName, data);
  release.Publish();
  std::vector<std::wstring> objects = {release.host.ObjectPath("rel/0_Setup.exe")};
  for (size_t k = 0; k < CRCInfoReader::PartCount(data.size()); ++k)
    objects.push_back(release.host.ObjectPath("rel/" + std::to_string(k) + "_" + kDataName));
  const uint64_t totalBytes = data.size() + setup.size();
  const double mb = static_cast<double>(totalBytes) / 1e6;
  const std::wstring host = release.host.Host();
  std::printf("release: %zu objects, %llu bytes (setup %zu + data %llu), %d runs (median)\n",
              objects.size(), static_cast<unsigned long long>(totalBytes), setup.size(),
              static_cast<unsigned long long>(data.size()), runs);
  std::fflush(stdout);

  BareFetch(host, objects[0]);  // the first HTTPS request of a process costs ~0.4 s
  std::vector<double> job, bare;
  SIZE_T peakAboveIdle = 0;
  bool allGood = true;
  for (int i = 0; i < runs; ++i) {
    const JobRun run = RunJob(release, data);
    allGood = allGood && run.setupStarted && run.filesIdentical;
    job.push_back(run.seconds);
    const SIZE_T above = run.peak > run.idle ? run.peak - run.idle : 0;
    peakAboveIdle = std::max(peakAboveIdle, above);
    std::printf(
        "job run %d: %s at %.2f s (window %.2f s, last part written %.2f s, merged %.2f s), "
        "files %s, committed idle %.1f MiB, peak %.1f MiB\n",
        i + 1, run.setupStarted ? "setup started" : "SETUP NOT STARTED", run.seconds, run.windowAt,
        run.lastPartAt, run.mergedAt, run.filesIdentical ? "identical" : "DIFFER",
        run.idle / 1048576.0, run.peak / 1048576.0);
    std::fflush(stdout);

    const double begin = Seconds();
    uint64_t got = 0;
    for (const std::wstring& object : objects) got += BareFetch(host, object);
    bare.push_back(Seconds() - begin);
    if (got != totalBytes) {
      std::fprintf(stderr, "bare run %d read %llu bytes\n", i + 1, (unsigned long long)got);
      allGood = false;
    }
  }

  const double jobRate = mb / Median(job), bareRate = mb / Median(bare);
  std::printf("whole job (launch to started setup): %.2f s  %.1f MB/s\n", Median(job), jobRate);
  std::printf("bare WinINet loop over the objects:  %.2f s  %.1f MB/s\n", Median(bare), bareRate);
  std::printf("ratio job / bare: %.2f (aim >= 0.95)\n", jobRate / bareRate);
  std::printf(
      "peak committed memory above idle: %.1f MiB = %.2f x the part size (aim <= 3); Wine "
      "reports no PrivateUsage, so this is PagefileUsage\n",
      peakAboveIdle / 1048576.0,
      static_cast<double>(peakAboveIdle) / static_cast<double>(CRCInfoReader::kPartSize));
  std::printf("RATES job=%.3f bare=%.3f mb=%.3f\n", jobRate, bareRate, mb);
  std::fflush(stdout);

  if (!curlList.empty()) {
    std::string list;
    for (const std::wstring& object : objects)
      list += "https://" + testsupport::ToUtf8(host) + testsupport::ToUtf8(object) + "\n";
    WriteText(curlList + ".tmp", list);
    MoveFileExW(testsupport::FromUtf8(curlList + ".tmp").c_str(),
                testsupport::FromUtf8(curlList).c_str(), MOVEFILE_REPLACE_EXISTING);
    const std::wstring done = testsupport::FromUtf8(curlDone);
    const ULONGLONG end = GetTickCount64() + kJobBoundMs;
    while (!testsupport::FileExists(done) && GetTickCount64() < end) Sleep(100);
  }
  return allGood ? 0 : 1;
}
