// The product's whole job against the loopback test servers, beside a bare WinINet loop over
// the same objects (the ceiling under this HTTP stack):
//   job_bench.exe [runs] [--mb N] [--bound S] [--curl-list FILE --curl-done FILE]
//                 [--link NAME,RTT,MBIT,CUT,STATSFILE]...
// A release of one small setup and N MB of data (default 200) is published on the test file
// host and at the test web service. Each run copies velmot-dm.exe into a fresh folder,
// launches it and times launch to a started setup, sampling the process's committed memory
// every few milliseconds; the bare loop fetches every part object with a fresh session per
// object and 512 KiB reads, keeping nothing. With --curl-list the object URLs are written to
// FILE and the objects stay published until FILE given by --curl-done exists, so that
// tools/bench-job can time curl over them (the list holds object paths; the script adds the
// host). Each --link names an emulated link in front of the file host
// (tests/servers/link.js, started by tools/bench-job): its host name, round trip (ms), rate
// (Mbit/s), cut (s, 0: none) and its counts file. With links the job and the bare loop run
// through each link in turn instead of on loopback, and the counts tell how many TCP
// connections each opened and how many bytes crossed the link. A job that has not started
// its setup after --bound seconds (default 600) is stopped and reported unfinished. Run
// through tools/bench-job.
#include "benchsupport.h"
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/guirelease.h"
#include "support/testenv.h"

#include "download/store/crcinforeader.h"
#include "download/fetch/filedownload.h"
#include "net/connection.h"

#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <velmot/config.h>

#include <nlohmann/json.hpp>

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
const DWORD kCurlBoundMs = 3600000;

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
  double cpuSeconds = 0;  // the program's user and kernel time
};

double CpuSeconds(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  auto value = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (value(kernel) + value(user)) / 1e7;
}

// Launch to a started setup, in a fresh folder, with the process sampled throughout.
JobRun RunJob(GuiRelease& release, const std::vector<uint8_t>& data, DWORD boundMs) {
  JobRun run;
  testsupport::TempFolder folder(L"job");
  const std::wstring marker = folder.File(testsupport::kSetupMarker);
  const std::wstring local = CRCInfoReader::LocalName(testsupport::FromUtf8(kDataName), L"_7");
  const std::wstring merged = folder.File(local);
  // The merging file is made when the data file's parts start.
  const std::wstring merging = merged + L".merging";
  DmProcess program(folder.Path(), release.ExeName());
  const double begin = Seconds();
  if (!program.Start()) return run;
  HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, program.ProcessId());
  bool windowUp = false;
  const ULONGLONG end = GetTickCount64() + boundMs;
  while (GetTickCount64() < end) {
    const SIZE_T now = process ? Committed(process) : 0;
    if (!windowUp && program.FindWindowByCaption(release.Caption(), 0) != nullptr) {
      windowUp = true;
      run.idle = now;
      run.windowAt = Seconds() - begin;
    }
    if (run.lastPartAt == 0 && testsupport::FileExists(merging)) run.lastPartAt = Seconds() - begin;
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
  if (process) run.cpuSeconds = CpuSeconds(process);
  if (run.setupStarted) program.WaitForExit(60000);
  if (program.WaitForExit(0) == STILL_ACTIVE) program.Kill();
  if (process) CloseHandle(process);
  run.filesIdentical = testsupport::ReadFileBytes(merged) == data;
  testsupport::RemoveTree(release.workFolder);
  return run;
}

std::vector<std::string> Options(int argc, char** argv, const char* name) {
  std::vector<std::string> values;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) values.push_back(argv[++i]);
  return values;
}

std::string Option(int argc, char** argv, const char* name) {
  const std::vector<std::string> values = Options(argc, argv, name);
  return values.empty() ? std::string() : values.back();
}

// An emulated link in front of the file host, and the counts its relay keeps.
struct Link {
  std::wstring host;
  double rttMs = 0, mbit = 0, cutSeconds = 0;
  std::wstring statsFile;

  std::string Label() const {
    char text[96];
    std::snprintf(text, sizeof(text), "%g ms / %g Mbit/s", rttMs, mbit);
    std::string label = text;
    if (cutSeconds > 0) {
      std::snprintf(text, sizeof(text), ", every connection cut after %g s", cutSeconds);
      label += text;
    }
    return label;
  }
  double LineSeconds(uint64_t bytes) const { return static_cast<double>(bytes) * 8 / (mbit * 1e6); }
};

// NAME,RTT,MBIT,CUT,STATSFILE
Link ParseLink(const std::string& text) {
  std::vector<std::string> fields;
  for (size_t at = 0;;) {
    const size_t comma = text.find(',', at);
    fields.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  Link link;
  if (fields.size() != 5) return link;
  link.host = testsupport::FromUtf8(fields[0]);
  link.rttMs = std::atof(fields[1].c_str());
  link.mbit = std::atof(fields[2].c_str());
  link.cutSeconds = std::atof(fields[3].c_str());
  link.statsFile = testsupport::FromUtf8(fields[4]);
  return link;
}

struct LinkCounts {
  int64_t accepted = 0, open = 0, bytes = 0, cpuMs = 0;
};

LinkCounts ReadCounts(const Link& link) {
  LinkCounts counts;
  const std::vector<uint8_t> bytes = testsupport::ReadFileBytes(link.statsFile);
  const nlohmann::json json = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (!json.is_object()) return counts;
  counts.accepted = json.value("accepted", int64_t{0});
  counts.open = json.value("open", int64_t{0});
  counts.bytes = json.value("bytesToClients", int64_t{0});
  counts.cpuMs = json.value("cpuMs", int64_t{0});
  return counts;
}

// The counts once every connection the client had open is closed (bounded: Wine closes a
// finished program's connections as it ends).
LinkCounts SettledCounts(const Link& link) {
  LinkCounts counts = ReadCounts(link);
  for (int i = 0; i < 50 && counts.open > 0; ++i) {
    Sleep(100);
    counts = ReadCounts(link);
  }
  return counts;
}

// What every set of runs shares: the release, its objects and how to run it.
struct Bench {
  GuiRelease& release;
  const std::vector<uint8_t>& data;
  std::vector<std::wstring> objects;
  uint64_t totalBytes;
  int runs;
  DWORD boundMs;
};

void PrintJobRun(int index, const JobRun& run, const Bench& bench) {
  if (!run.setupStarted && run.seconds == 0) {
    std::printf(
        "job run %d: NOT FINISHED after %.0f s (window %.2f s), committed peak %.1f MiB, "
        "program CPU %.1f s\n",
        index, bench.boundMs / 1000.0, run.windowAt, run.peak / 1048576.0, run.cpuSeconds);
  } else {
    std::printf(
        "job run %d: %s at %.2f s (window %.2f s, data file's parts begun %.2f s, its final "
        "name %.2f s), "
        "files %s, committed idle %.1f MiB, peak %.1f MiB, program CPU %.1f s (%.0f %% of one "
        "core)\n",
        index, run.setupStarted ? "setup started" : "SETUP NOT STARTED", run.seconds, run.windowAt,
        run.lastPartAt, run.mergedAt, run.filesIdentical ? "identical" : "DIFFER",
        run.idle / 1048576.0, run.peak / 1048576.0, run.cpuSeconds,
        run.seconds > 0 ? 100 * run.cpuSeconds / run.seconds : 0.0);
  }
  std::fflush(stdout);
}

SIZE_T AboveIdle(const JobRun& run) { return run.peak > run.idle ? run.peak - run.idle : 0; }

// The bare loop over every object; false when it read other than the release's bytes.
bool BareLoop(const Bench& bench, const std::wstring& host, double& seconds) {
  const double begin = Seconds();
  uint64_t got = 0;
  for (const std::wstring& object : bench.objects) got += BareFetch(host, object);
  seconds = Seconds() - begin;
  if (got == bench.totalBytes) return true;
  std::fprintf(stderr, "bare loop read %llu bytes\n", static_cast<unsigned long long>(got));
  return false;
}

// The bound: a body buffer per part in flight and one more, and 16 MiB.
void PrintPeak(SIZE_T peakAboveIdle) {
  const double aim = (velmot::kPartsInFlight + 1.0) * CRCInfoReader::kPartSize + 16 * 1048576.0;
  std::printf(
      "peak committed memory above idle: %.1f MiB = %.2f x the part size (aim <= %.1f MiB: "
      "(%u parts in flight + 1) x the part + 16 MiB); Wine reports no PrivateUsage, so this "
      "is PagefileUsage\n",
      peakAboveIdle / 1048576.0,
      static_cast<double>(peakAboveIdle) / static_cast<double>(CRCInfoReader::kPartSize),
      aim / 1048576.0, velmot::kPartsInFlight);
}

// The job and the bare loop on loopback, as the plain comparison of the two.
bool LoopbackRuns(const Bench& bench, const std::wstring& host) {
  std::vector<double> job, bare;
  SIZE_T peakAboveIdle = 0;
  bool allGood = true;
  for (int i = 0; i < bench.runs; ++i) {
    const JobRun run = RunJob(bench.release, bench.data, bench.boundMs);
    allGood = allGood && run.setupStarted && run.filesIdentical;
    job.push_back(run.seconds);
    peakAboveIdle = std::max(peakAboveIdle, AboveIdle(run));
    PrintJobRun(i + 1, run, bench);
    double seconds = 0;
    allGood = BareLoop(bench, host, seconds) && allGood;
    bare.push_back(seconds);
  }
  const double mb = static_cast<double>(bench.totalBytes) / 1e6;
  const double jobRate = mb / Median(job), bareRate = mb / Median(bare);
  std::printf("whole job (launch to started setup): %.2f s  %.1f MB/s\n", Median(job), jobRate);
  std::printf("bare WinINet loop over the objects:  %.2f s  %.1f MB/s\n", Median(bare), bareRate);
  std::printf("ratio job / bare: %.2f (aim >= 0.95)\n", jobRate / bareRate);
  PrintPeak(peakAboveIdle);
  std::printf("RATES job=%.3f bare=%.3f mb=%.3f\n", jobRate, bareRate, mb);
  std::fflush(stdout);
  return allGood;
}

// The job and (on a link without cuts) the bare loop through one link, with the
// connections the relay accepted and the bytes it carried to the client for each run.
bool LinkRuns(const Link& link, const Bench& bench) {
  const double line = link.LineSeconds(bench.totalBytes);
  std::printf("link %s: the line alone %.2f s\n", link.Label().c_str(), line);
  std::vector<double> job, bare;
  SIZE_T peakAboveIdle = 0;
  bool allGood = true, finished = true;
  LinkCounts before = SettledCounts(link);
  for (int i = 0; i < bench.runs; ++i) {
    const double begin = Seconds();
    const JobRun run = RunJob(bench.release, bench.data, bench.boundMs);
    const double wall = Seconds() - begin;
    const LinkCounts after = SettledCounts(link);
    finished = finished && run.setupStarted;
    allGood = allGood && run.setupStarted && run.filesIdentical;
    job.push_back(run.setupStarted ? run.seconds : wall);
    peakAboveIdle = std::max(peakAboveIdle, AboveIdle(run));
    PrintJobRun(i + 1, run, bench);
    std::printf(
        "  through the link: TCP connections %lld, %.1f MB (%.2f x the release); relay "
        "CPU %.0f %% of one core\n",
        static_cast<long long>(after.accepted - before.accepted),
        (after.bytes - before.bytes) / 1e6,
        static_cast<double>(after.bytes - before.bytes) / bench.totalBytes,
        (after.cpuMs - before.cpuMs) / (10 * wall));
    std::printf(
        "LINKJOB rtt=%g mbit=%g cut=%g finished=%d seconds=%.3f line=%.3f conns=%lld "
        "bytes=%lld peak=%.1f\n",
        link.rttMs, link.mbit, link.cutSeconds, run.setupStarted ? 1 : 0, job.back(), line,
        static_cast<long long>(after.accepted - before.accepted),
        static_cast<long long>(after.bytes - before.bytes), AboveIdle(run) / 1048576.0);
    std::fflush(stdout);
    before = after;
    if (link.cutSeconds > 0) continue;  // one connection cannot carry a part through cuts
    double seconds = 0;
    allGood = BareLoop(bench, link.host, seconds) && allGood;
    const LinkCounts afterBare = SettledCounts(link);
    bare.push_back(seconds);
    std::printf("bare run %d: %.2f s, TCP connections %lld, relay CPU %.0f %% of one core\n", i + 1,
                seconds, static_cast<long long>(afterBare.accepted - after.accepted),
                (afterBare.cpuMs - after.cpuMs) / (10 * seconds));
    std::fflush(stdout);
    before = afterBare;
  }
  if (finished) {
    std::printf("whole job (launch to started setup): %.2f s, share of the line %.2f\n",
                Median(job), line / Median(job));
  } else {
    std::printf("whole job: not finished after %.0f s\n", bench.boundMs / 1000.0);
  }
  if (!bare.empty())
    std::printf("bare WinINet loop on one connection: %.2f s, share of the line %.2f\n",
                Median(bare), line / Median(bare));
  PrintPeak(peakAboveIdle);
  std::fflush(stdout);
  return allGood;
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
  const std::string bound =
      Option(argc, argv, "--bound").empty() ? "600" : Option(argc, argv, "--bound");
  std::vector<Link> links;
  for (const std::string& text : Options(argc, argv, "--link")) {
    links.push_back(ParseLink(text));
    if (links.back().host.empty() || links.back().mbit <= 0) {
      std::fprintf(stderr, "bad --link %s (NAME,RTT,MBIT,CUT,STATSFILE)\n", text.c_str());
      return 2;
    }
  }
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
  const std::wstring host = release.host.Host();
  std::printf("release: %zu objects, %llu bytes (setup %zu + data %llu), %d runs (median)\n",
              objects.size(), static_cast<unsigned long long>(totalBytes), setup.size(),
              static_cast<unsigned long long>(data.size()), runs);
  std::fflush(stdout);

  BareFetch(host, objects[0]);  // the first HTTPS request of a process costs ~0.4 s
  const DWORD boundMs = static_cast<DWORD>(1000 * std::max(1.0, std::atof(bound.c_str())));
  const Bench bench{release, data, objects, totalBytes, runs, boundMs};
  bool allGood = true;
  if (links.empty()) {
    allGood = LoopbackRuns(bench, host);
  } else {
    for (const Link& link : links) {
      // The release names its host at the web service: publish it again behind this link.
      SetEnvironmentVariableW(L"VELMOT_FILEHOST_NAME", link.host.c_str());
      release.service.reset();
      release.Publish();
      allGood = LinkRuns(link, bench) && allGood;
    }
  }

  if (!curlList.empty()) {
    std::string list;
    for (const std::wstring& object : objects) list += testsupport::ToUtf8(object) + "\n";
    WriteText(curlList + ".tmp", list);
    MoveFileExW(testsupport::FromUtf8(curlList + ".tmp").c_str(),
                testsupport::FromUtf8(curlList).c_str(), MOVEFILE_REPLACE_EXISTING);
    const std::wstring done = testsupport::FromUtf8(curlDone);
    const ULONGLONG end = GetTickCount64() + kCurlBoundMs;
    while (!testsupport::FileExists(done) && GetTickCount64() < end) Sleep(100);
  }
  return allGood ? 0 : 1;
}
