// Whole jobs under random faults: each run publishes a random release (1-4 files, sizes drawn
// around the part boundaries: empty, one byte, exactly one part, one part and a byte, larger),
// runs velmot-dm.exe under Wine against the file host with 0-3 faults drawn from dropped and
// broken connections inside an object, corrupt bytes, 5xx answers, 503 ServerBusy, a 403 (the
// link is renewed), stalls, slow rates, a cut whose next request gets the whole object though
// it asks for a range, a cut after which the object's ETag changes, outages, sign-in pages, a
// kill followed by a rerun, a part file deleted from outside and a full disk, and checks
// afterwards what must hold whatever the faults:
//   - setup is started only when every installer file holds exactly the published bytes;
//   - no file carrying an installer's final name is ever incomplete (sampled every few ms);
//   - no run passes its time bound (drawn from its sizes and faults, generously);
//   - no part is fetched again after it was seen whole on disk, unless the run deleted it;
//   - no byte range of a part is fetched again once the file host sent it, nor a range asked
//     past what it sent, but for the restarts written in CheckRefetches;
//   - nothing carrying the run's names is written outside the download and work folders;
//   - a run that did not start setup uploaded its log, and the log parses;
//   - a run ends either in setup or in a box with one of the program's clear failure texts.
// The full disk is made through the manager's free-space query, so those runs build the
// window in this process; all others run the real program.
//
// tools/test runs the short form: 20 runs, seed 73, small files (at most a couple of files
// past one part) and short stalls, slow rates and outages. tools/soak runs the full form
// (VELMOT_SOAK_SCALE=full): sizes up to 60 MB and stalls past the 120 s receive time-out.
// VELMOT_SOAK_RUNS=N and VELMOT_SOAK_SEED=S pick the runs (the same N and S repeat the same
// runs); VELMOT_SOAK_RUN=R repeats the one run whose seed R was printed; VELMOT_SOAK_MINUTES=M
// starts no run after M minutes; VELMOT_SOAK_DRY=1 prints the runs' plans without running them.
// VELMOT_SOAK_SHARD=k/K makes this process run only the runs i with i % K == k (tools/soak
// --jobs K starts K such processes side by side: most of a campaign's time is spent waiting on
// stalls and outages, not computing).
#include "base/handles.h"
#include "base/systemtexts.h"
#include "download/store/crcinforeader.h"
#include "download/job/downloadmanager.h"
#include "download/store/partstore.h"
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/guirelease.h"
#include "support/inprocesswindow.h"
#include "support/testenv.h"
#include "support/testservers.h"
#include "ui/downloaddialog.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

using testsupport::DmProcess;
using testsupport::GuiRelease;
using testsupport::Narrow;

namespace {

const size_t kPart = CRCInfoReader::kPartSize;

// The file host's answers first (up to kSignIn), then the faults from outside.
enum Fault {
  kDrop,
  kBroken,
  kCorrupt,
  kServerError,
  kBusy,
  kRefused,
  kStall,
  kSlow,
  kRangeIgnored,
  kObjectChanged,
  kSignIn,
  kOutage,
  kKill,
  kDeletePart,
  kDiskFull,
  kFaultKinds
};
const char* const kFaultNames[kFaultKinds] = {
    "dropped connection", "broken connection",   "corrupt bytes", "5xx answer",
    "503 ServerBusy",     "403, link renewed",   "stall",         "slow rate",
    "cut, range ignored", "cut, object changed", "sign-in page",  "outage",
    "kill and rerun",     "part deleted",        "disk full"};

// A fault the file host makes: one step (two for a cut followed by a changed answer).
bool IsHostFault(Fault kind) { return kind <= kSignIn; }
// A cut at fault.attempt whose next request of the object is answered otherwise: with the
// whole object though it asked for a range, or with another ETag from then on.
bool IsCutThenChange(Fault kind) { return kind == kRangeIgnored || kind == kObjectChanged; }

enum Violation {
  kBadSetup,
  kIncomplete,
  kOverTime,
  kFetchedAgain,
  kResumedPast,
  kWroteOutside,
  kLogUnreadable,
  kUnclearEnd,
  kViolationKinds
};
const char* const kViolationNames[kViolationKinds] = {"setup started on files unlike the source",
                                                      "final name on an incomplete file",
                                                      "run over its time bound",
                                                      "received bytes fetched again",
                                                      "range asked past the bytes sent",
                                                      "written outside download/work folder",
                                                      "log upload missing or unreadable",
                                                      "ended without setup or a clear text"};

// VELMOT_SOAK_SHARD=k/K: this process's share of the runs (0/1 when unset or malformed).
void Shard(unsigned long& shard, unsigned long& shards) {
  shard = 0;
  shards = 1;
  const char* text = getenv("VELMOT_SOAK_SHARD");
  unsigned long k = 0, count = 0;
  if (text && std::sscanf(text, "%lu/%lu", &k, &count) == 2 && count > 0 && k < count) {
    shard = k;
    shards = count;
  }
}

bool FullScale() {
  const char* scale = getenv("VELMOT_SOAK_SCALE");
  return scale && std::string(scale) == "full";
}

// The seed of run i: depends on the campaign's seed and i only (not on N).
unsigned long RunSeed(unsigned long seed, unsigned long i) {
  uint64_t z = static_cast<uint64_t>(seed) * 0x9E3779B97F4A7C15ull + i + 1;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<unsigned long>((z ^ (z >> 31)) % 4000000000ull);
}

// UTC in the file host's log format (JavaScript's toISOString): comparable as text.
std::string IsoNow() {
  SYSTEMTIME t;
  GetSystemTime(&t);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return text;
}

// ---- The plan of one run -------------------------------------------------------------------

struct FileSpec {
  std::string listed;
  size_t size = 0;
  size_t firstPart = 0;  // index of its first part in GuiRelease::parts
  size_t Parts() const { return (size + kPart - 1) / kPart; }
};

struct FaultSpec {
  Fault kind = kDrop;
  int file = -1;         // behaviour faults: -1 is the CRC info document
  size_t part = 0;       // ... or this part of that file (also the deleted part)
  size_t attempt = 0;    // the object's request the fault spoils (0: the first)
  double where = 0;      // offset into the object, as a fraction of its size
  int value = 0;         // status code, stall ms, seconds of a slow object
  DWORD atMs = 0;        // outage, kill: after the start
  DWORD lengthMs = 0;    // outage
  int fromQuery = 0;     // disk full: the free-space query from which the disk is full
  bool applied = false;  // the run met it
};

struct Plan {
  unsigned long seed = 0;
  bool full = false;
  std::vector<FileSpec> files;
  std::vector<FaultSpec> faults;
  bool inProcess = false;  // a full disk: the window runs in this process
  DWORD boundMs = 0;
  uint64_t Bytes() const {
    uint64_t sum = 0;
    for (const FileSpec& f : files) sum += f.size;
    return sum;
  }
};

Plan Draw(unsigned long seed, bool full, size_t setupSize) {
  std::mt19937 random(seed);
  auto between = [&](uint64_t low, uint64_t high) {
    return std::uniform_int_distribution<uint64_t>(low, high)(random);
  };
  Plan plan;
  plan.seed = seed;
  plan.full = full;
  const std::string tag = std::to_string(seed);
  const size_t files = static_cast<size_t>(between(1, 4));
  for (size_t i = 0; i < files; ++i) {
    FileSpec file;
    if (i == 0) {
      // The setup: the fake setup, in the full form padded to a drawn size (an exe's
      // trailing bytes do not stop it from running).
      file.listed = "Setup" + tag + ".exe";
      const size_t sizes[] = {setupSize, kPart, kPart + 1,
                              static_cast<size_t>(between(setupSize, 60000000))};
      file.size = full ? sizes[between(0, 3)] : setupSize;
    } else {
      file.listed = "Data" + tag + "-" + std::to_string(i) + ".bin";
      if (full) {
        const size_t sizes[] = {0,
                                1,
                                kPart,
                                kPart + 1,
                                static_cast<size_t>(between(2, 999999)),
                                static_cast<size_t>(between(1000000, 60000000))};
        file.size = sizes[between(0, 5)];
      } else {
        // Small, with now and then one part exactly or one part and a byte.
        const size_t sizes[] = {0, 1, static_cast<size_t>(between(2, 300000)), kPart, kPart + 1};
        const uint64_t roll = between(0, 29);
        file.size = roll < 28 ? sizes[roll % 3] : sizes[3 + (roll - 28)];
      }
    }
    plan.files.push_back(file);
  }

  // Moments from outside fall within what an undisturbed run of this release takes here
  // (about 3 s of start, request and setup, and 15 MB/s or more), so that most kills and
  // outages meet the job at work rather than after its end.
  const uint64_t expectedMs = 3000 + plan.Bytes() / 15000;
  const size_t faults = static_cast<size_t>(between(0, 3));
  bool kill = false;
  std::set<std::pair<int, size_t>> spoiled;  // (object, request) already spoiled
  std::vector<std::pair<int, size_t>> objects = {{-1, 0}};
  std::vector<std::pair<int, size_t>> multiPartParts, allParts;
  for (size_t i = 0; i < plan.files.size(); ++i) {
    for (size_t k = 0; k < plan.files[i].Parts(); ++k) {
      objects.push_back({static_cast<int>(i), k});
      allParts.push_back({static_cast<int>(i), k});
      if (plan.files[i].Parts() > 1) multiPartParts.push_back({static_cast<int>(i), k});
    }
  }
  while (plan.faults.size() < faults) {
    FaultSpec fault;
    fault.kind = static_cast<Fault>(between(0, kFaultKinds - 1));
    // A kill needs the program in its own process; the full disk needs the window here.
    if ((fault.kind == kKill || fault.kind == kDiskFull) && (kill || plan.inProcess)) continue;
    switch (fault.kind) {
      case kOutage:
        fault.atMs = static_cast<DWORD>(between(0, expectedMs * 3 / 4));
        fault.lengthMs = static_cast<DWORD>(full ? between(2000, 30000) : between(1000, 2500));
        break;
      case kKill:
        kill = true;
        fault.atMs = static_cast<DWORD>(between(300, expectedMs));
        break;
      case kDeletePart: {
        const auto& pool = multiPartParts.empty() ? allParts : multiPartParts;
        const auto target = pool[between(0, pool.size() - 1)];
        fault.file = target.first;
        fault.part = target.second;
        break;
      }
      case kDiskFull:
        plan.inProcess = true;
        fault.fromQuery = static_cast<int>(between(1, 2));
        break;
      default: {
        const auto target = objects[between(0, objects.size() - 1)];
        fault.file = target.first;
        fault.part = target.second;
        // The document is always fetched twice in a pass, a part once: a later request of a
        // part comes only after an earlier fault on it. A cut followed by a changed answer
        // spoils two requests in a row.
        fault.attempt = target.first < 0 ? between(0, 1) : 0;
        const int object = target.first * 100000 + static_cast<int>(target.second);
        const size_t steps = IsCutThenChange(fault.kind) ? 2 : 1;
        auto free = [&](size_t attempt) {
          for (size_t k = 0; k < steps; ++k)
            if (spoiled.count({object, attempt + k})) return false;
          return true;
        };
        while (!free(fault.attempt)) ++fault.attempt;
        for (size_t k = 0; k < steps; ++k) spoiled.insert({object, fault.attempt + k});
        fault.where = std::uniform_real_distribution<double>(0.0, 1.0)(random);
        if (fault.kind == kServerError) fault.value = 500 + static_cast<int>(between(0, 3));
        // The cut before the changed answer: 0 a clean close, 1 bytes that are no TLS record.
        if (IsCutThenChange(fault.kind)) fault.value = static_cast<int>(between(0, 1));
        if (fault.kind == kStall)
          fault.value = static_cast<int>(full ? 125000 : between(1000, 2500));
        if (fault.kind == kSlow)
          fault.value = static_cast<int>(full ? between(2, 15) : between(1, 2));
        break;
      }
    }
    plan.faults.push_back(fault);
  }

  // The time bound: generous for a loaded machine, so that only a hang or a wait far beyond
  // what the faults explain passes it.
  const uint64_t mb = (plan.Bytes() + 999999) / 1000000;
  uint64_t bound = (full ? 120000 : 60000) + mb * 1000;
  for (const FaultSpec& fault : plan.faults) {
    switch (fault.kind) {
      case kStall:
        bound += static_cast<uint64_t>(fault.value) + 150000;
        break;
      case kSlow:
        bound += static_cast<uint64_t>(fault.value) * 1000 + 20000;
        break;
      case kOutage:
        bound += 2 * fault.lengthMs + 70000;
        break;
      case kKill:
        bound += (full ? 120000 : 60000) + mb * 1000;
        break;
      default:
        bound += 20000;
        break;
    }
  }
  plan.boundMs = static_cast<DWORD>(bound);
  return plan;
}

std::string Describe(const Plan& plan) {
  std::string text = std::to_string(plan.files.size()) + " files (";
  for (size_t i = 0; i < plan.files.size(); ++i)
    text += (i ? " " : "") + std::to_string(plan.files[i].size);
  text += " bytes), faults:";
  if (plan.faults.empty()) text += " none";
  for (const FaultSpec& f : plan.faults) {
    text += std::string(" [") + kFaultNames[f.kind];
    if (f.kind == kOutage) text += " " + std::to_string(f.lengthMs) + " ms";
    if (f.kind == kOutage || f.kind == kKill) text += " at " + std::to_string(f.atMs) + " ms";
    if (f.kind == kDiskFull) text += " from query " + std::to_string(f.fromQuery);
    if (f.kind == kDeletePart)
      text += " part " + std::to_string(f.part) + " of file " + std::to_string(f.file);
    if (IsHostFault(f.kind)) {
      text += f.file < 0
                  ? " on the document"
                  : " on part " + std::to_string(f.part) + " of file " + std::to_string(f.file);
      text += ", request " + std::to_string(f.attempt + 1);
      if (IsCutThenChange(f.kind)) text += f.value ? " broken" : " closed";
    }
    text += "]";
  }
  return text;
}

// ---- One run -------------------------------------------------------------------------------

struct Outcome {
  bool setupStarted = false;
  bool clearFailure = false;
  std::wstring box;
  DWORD ms = 0;
  int violations[kViolationKinds] = {};
  std::vector<std::string> notes;
  std::vector<Fault> met;  // the faults the run met
  void Violate(Violation kind, const std::string& note) {
    ++violations[kind];
    notes.push_back(std::string(kViolationNames[kind]) + ": " + note);
  }
};

// The run's release on the servers, with what the checks need to know about it.
struct Stage {
  Plan plan;
  GuiRelease release{L"VelmotSoak"};
  std::vector<std::wstring> localNames;
  // The computer id the run's window or program sends (a window built here is given it, the
  // real program reads it from VELMOT_TEST_COMPUTER_ID), so that its log upload is found by
  // name and no other run's upload, beside it or from an earlier campaign, can stand in.
  std::string uploadComputer;
  std::string killedAt;  // when a kill fault ended the program (IsoNow), or empty
  std::string ObjectOf(int file, size_t part) const {
    if (file < 0) return "rel/" + Narrow(release.name) + ".txt";
    return "rel/" + std::to_string(part) + "_" + plan.files[static_cast<size_t>(file)].listed;
  }
  size_t SizeOf(int file, size_t part) const {
    if (file < 0) return release.document.size();
    return release.parts[plan.files[static_cast<size_t>(file)].firstPart + part].size();
  }
  std::wstring FinalPath(size_t i) const { return release.DownloadFolder() + L"/" + localNames[i]; }
  bool Identical(size_t i, const std::vector<uint8_t>& bytes) const {
    const FileSpec& file = plan.files[i];
    if (bytes.size() != file.size) return false;
    for (size_t k = 0; k < file.Parts(); ++k) {
      const std::vector<uint8_t>& part = release.parts[file.firstPart + k];
      if (!std::equal(part.begin(), part.end(), bytes.begin() + k * kPart)) return false;
    }
    return true;
  }
};

void Publish(Stage& stage, const std::vector<uint8_t>& setup) {
  Plan& plan = stage.plan;
  for (size_t i = 0; i < plan.files.size(); ++i) {
    FileSpec& file = plan.files[i];
    std::vector<uint8_t> bytes;
    if (i == 0) {
      bytes = setup;
      const std::vector<uint8_t> padding =
          testsupport::RandomBytes(file.size - setup.size(), plan.seed);
      bytes.insert(bytes.end(), padding.begin(), padding.end());
    } else {
      bytes = testsupport::RandomBytes(file.size, static_cast<unsigned>(plan.seed + i));
    }
    file.firstPart = stage.release.parts.size();
    stage.release.AddFile(file.listed, bytes);
    stage.localNames.push_back(CRCInfoReader::LocalName(testsupport::FromUtf8(file.listed), L"_7"));
  }
  stage.release.Publish();
  // The faults that are answers of the file host, per object and request; an object changed
  // at request k answers with its new ETag from then on (later steps and "then").
  std::map<std::string, nlohmann::json> attempts;
  std::map<std::string, size_t> changedFrom;
  for (const FaultSpec& fault : plan.faults) {
    if (!IsHostFault(fault.kind)) continue;
    const std::string object = stage.ObjectOf(fault.file, fault.part);
    const size_t size = stage.SizeOf(fault.file, fault.part);
    const size_t at = std::min(size ? size - 1 : 0, static_cast<size_t>(fault.where * size));
    nlohmann::json step;
    nlohmann::json next;  // the request after a cut
    switch (fault.kind) {
      case kDrop:
        step = {{"closeAfter", at}};
        break;
      case kBroken:
        step = {{"brokenAfter", at}};
        break;
      case kBusy:
        step = {{"status", 503}, {"storageError", "ServerBusy"}};
        break;
      case kRangeIgnored:
      case kObjectChanged:
        step = {{fault.value ? "brokenAfter" : "closeAfter", at}};
        next = fault.kind == kRangeIgnored ? nlohmann::json{{"ignoreRange", true}}
                                           : nlohmann::json::object();
        if (fault.kind == kObjectChanged) changedFrom[object] = fault.attempt + 1;
        break;
      case kCorrupt:
        step = {{"corruptAt", at}};
        break;
      case kServerError:
        step = {{"status", fault.value}};
        break;
      case kRefused:
        step = {{"status", 403}};
        break;
      case kStall:
        step = {{"stallAfter", at}, {"stallMs", fault.value}};
        break;
      case kSlow:
        step = {{"rate", std::max<size_t>(20, size / static_cast<size_t>(fault.value))}};
        break;
      case kSignIn:
        step = {{"contentType", "text/html; charset=utf-8"},
                {"body", "<html><body>Sign in to use this network.</body></html>"}};
        break;
      default:
        break;
    }
    nlohmann::json& list = attempts[object];
    if (list.is_null()) list = nlohmann::json::array();
    const size_t last = fault.attempt + (IsCutThenChange(fault.kind) ? 1 : 0);
    while (list.size() <= last) list.push_back(nlohmann::json::object());
    list[fault.attempt] = step;
    if (IsCutThenChange(fault.kind)) list[last] = next;
  }
  for (auto& entry : attempts) {
    nlohmann::json behaviour = {{"attempts", entry.second}};
    auto changed = changedFrom.find(entry.first);
    if (changed != changedFrom.end()) {
      const std::string etag = "changed-" + std::to_string(plan.seed);
      for (size_t k = changed->second; k < entry.second.size(); ++k)
        behaviour["attempts"][k]["etag"] = etag;
      behaviour["then"] = {{"etag", etag}};
    }
    stage.release.host.SetBehaviour(entry.first, behaviour);
  }
}

// Watches the disk while the program runs, every few milliseconds: final names on files of
// the wrong size, parts seen whole (in their part files, in an interrupted merge or in the
// finished file); and applies the faults that come from outside: outages and deletions.
class Watcher {
 public:
  Watcher(Stage& stage, ULONGLONG started) : stage_(stage), started_(started) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Watcher() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Per part: times it was seen whole ("w") or deleted by the run ("d"), in order.
  std::map<std::pair<size_t, size_t>, std::vector<std::pair<std::string, char>>> events;
  std::vector<std::string> incomplete;

 private:
  void Seen(size_t i, size_t k, const std::string& now) {
    auto& list = events[{i, k}];
    if (list.empty() || list.back().second != 'w') list.push_back({now, 'w'});
  }

  void Run() {
    const Plan& plan = stage_.plan;
    std::set<std::wstring> reported;
    while (!stop_) {
      const std::string now = IsoNow();
      const ULONGLONG tick = GetTickCount64();
      for (FaultSpec& fault : stage_.plan.faults) {
        if (fault.kind == kOutage && !fault.applied && tick >= started_ + fault.atMs) {
          stage_.release.host.GoDown(fault.lengthMs);
          fault.applied = true;
        }
      }
      for (size_t i = 0; i < plan.files.size(); ++i) {
        const FileSpec& file = plan.files[i];
        const std::wstring final = stage_.FinalPath(i);
        uint64_t size = 0;
        if (testsupport::FileSize(final, size)) {
          if (size != file.size) {
            if (reported.insert(final).second)
              incomplete.push_back(Narrow(stage_.localNames[i]) + " seen with " +
                                   std::to_string(size) + " of " + std::to_string(file.size) +
                                   " bytes");
          } else {
            for (size_t k = 0; k < file.Parts(); ++k) Seen(i, k, now);
          }
        }
        // The merging file has its whole length from the start: a part is in once its region
        // ends with the part's own last bytes (a checked part is written in one piece).
        for (size_t k = 0; k < file.Parts(); ++k) {
          if (testsupport::RegionEndsWith(final + L".merging", k * kPart,
                                          stage_.release.parts[file.firstPart + k])) {
            Seen(i, k, now);
          }
        }
        for (size_t k = 0; k < file.Parts(); ++k) {
          const std::wstring path =
              PartStore::PartPath(stage_.release.workFolder, stage_.localNames[i], k);
          if (!testsupport::FileSize(path, size) ||
              size != stage_.release.parts[file.firstPart + k].size())
            continue;
          Seen(i, k, now);
          for (FaultSpec& fault : stage_.plan.faults) {
            if (fault.kind == kDeletePart && !fault.applied && fault.file == static_cast<int>(i) &&
                fault.part == k && DeleteFileW(path.c_str())) {
              fault.applied = true;
              events[{i, k}].push_back({IsoNow(), 'd'});
            }
          }
        }
      }
      Sleep(3);
    }
  }

  Stage& stage_;
  ULONGLONG started_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool IsClearFailure(const std::wstring& text) {
  return text == velmot::texts::kGiveUp ||
         text.compare(0, 40, L"There is not enough free space on drive ") == 0;
}

// The real program; a kill fault ends it at its moment and starts it again.
void RunProgram(Stage& stage, ULONGLONG started, Outcome& outcome) {
  GuiRelease& release = stage.release;
  FaultSpec* kill = nullptr;
  for (FaultSpec& fault : stage.plan.faults)
    if (fault.kind == kKill) kill = &fault;
  // Inherited by the program (and by its restart after a kill).
  SetEnvironmentVariableW(L"VELMOT_TEST_COMPUTER_ID",
                          testsupport::FromUtf8(stage.uploadComputer).c_str());
  auto program = std::make_unique<DmProcess>(release.DownloadFolder(), release.ExeName());
  if (!program->Start()) {
    outcome.notes.push_back("the program did not start");
    return;
  }
  const ULONGLONG end = started + stage.plan.boundMs;
  bool killDue = kill != nullptr;
  bool ended = false;
  while (GetTickCount64() < end) {
    if (killDue && GetTickCount64() >= started + kill->atMs) {
      killDue = false;
      if (program->WaitForExit(0) == STILL_ACTIVE) {
        stage.killedAt = IsoNow();
        program->Kill();
        kill->applied = true;
        // The old copy's removal goes first: it deletes the exe the new one copies in.
        program.reset();
        program = std::make_unique<DmProcess>(release.DownloadFolder(), release.ExeName());
        if (!program->Start()) {
          outcome.notes.push_back("the program did not start again after the kill");
          return;
        }
      }
    }
    // Ended (before its kill was due, if one was: that kill met nothing).
    if (program->WaitForExit(0) != STILL_ACTIVE) {
      ended = true;
      break;
    }
    if (!program->Window()) program->FindWindowByCaption(release.Caption(), 0);
    if (program->Window()) {
      HWND box = program->FindMessageBox(L"Error", 0);
      if (box) {
        outcome.box = testsupport::BoxText(box);
        program->PostClose();
        const ULONGLONG left = end > GetTickCount64() ? end - GetTickCount64() : 0;
        ended = program->WaitForExit(static_cast<DWORD>(std::min<ULONGLONG>(left, 60000))) !=
                STILL_ACTIVE;
        break;
      }
    } else {
      Sleep(20);
    }
  }
  outcome.ms = static_cast<DWORD>(GetTickCount64() - started);
  if (!ended) {
    outcome.Violate(kOverTime, "still running after " + std::to_string(stage.plan.boundMs) + " ms");
    program->Kill();
  }
}

// The window in this process, with the disk full from the drawn free-space query on.
void RunInProcess(Stage& stage, HMODULE resources, ULONGLONG started, Outcome& outcome) {
  FaultSpec* full = nullptr;
  for (FaultSpec& fault : stage.plan.faults)
    if (fault.kind == kDiskFull) full = &fault;
  std::vector<std::wstring> boxes;
  int queries = 0;
  bool quit = false;
  {
    DownloadDialog dialog(resources, stage.release.ModulePath());
    dialog.manager.computerId = testsupport::FromUtf8(stage.uploadComputer);
    dialog.manager.settings.freeSpaceQuery = [&](const std::wstring& folder, uint64_t& freeBytes) {
      if (++queries >= full->fromQuery) {
        full->applied = true;
        freeBytes = 12345678;
        return true;
      }
      ULARGE_INTEGER available = {};
      if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
      freeBytes = available.QuadPart;
      return true;
    };
    dialog.Show();
    quit = testsupport::RunUntilQuit(dialog.Window(), stage.plan.boundMs, boxes);
    outcome.ms = static_cast<DWORD>(GetTickCount64() - started);
    if (!quit) {
      PostMessageW(dialog.Window(), WM_CLOSE, 0, 0);
      testsupport::RunUntilQuit(dialog.Window(), 60000, boxes);
    }
  }
  if (!quit)
    outcome.Violate(kOverTime,
                    "the window still open after " + std::to_string(stage.plan.boundMs) + " ms");
  if (!boxes.empty()) outcome.box = boxes.front();
}

// Entries carrying the run's names outside the download and work folders.
void FindStrays(const std::wstring& folder, int depth, const Stage& stage,
                std::vector<std::string>& strays) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"/*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  const std::wstring tag = std::to_wstring(stage.plan.seed);
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"/" + name;
    if (path == stage.release.DownloadFolder() || path == stage.release.workFolder) continue;
    const bool ours = name.find(stage.release.name) != std::wstring::npos ||
                      name.find(L"Setup" + tag) != std::wstring::npos ||
                      name.find(L"Data" + tag) != std::wstring::npos;
    if (ours) strays.push_back(Narrow(path));
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && depth > 0 &&
        !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      FindStrays(path, depth - 1, stage, strays);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

bool LogParses(const std::string& text) {
  const nlohmann::json log = nlohmann::json::parse(text, nullptr, false);
  if (log.is_discarded() || !log.is_array()) return false;
  for (const nlohmann::json& record : log) {
    if (!record.is_object() || record.size() != 6) return false;
    for (const char* member : {"detailed_message", "file", "message"})
      if (!record.contains(member) || !record[member].is_string()) return false;
    for (const char* member : {"error_number", "line", "log_index"})
      if (!record.contains(member) || !record[member].is_number_integer()) return false;
  }
  return true;
}

// Bytes of a part that the host counts as sent but that may never have reached the program
// when the answer was cut: what sat in the kernel's buffers, and the program's read in
// progress, which Wine's InternetReadFile loses whole when the connection breaks (reads
// are at most 512 KiB). A clean close loses none.
const uint64_t kInFlight = 768 * 1024;

// A member of a record, null when it has none.
const nlohmann::json& Member(const nlohmann::json& record, const char* name) {
  static const nlohmann::json none;
  auto found = record.find(name);
  return found == record.end() ? none : *found;
}

// The start N of "bytes=N-" / "bytes=N-M"; false for no or another Range.
bool RangeStart(const nlohmann::json& range, uint64_t& start) {
  if (!range.is_string()) return false;
  unsigned long long n = 0;
  if (std::sscanf(range.get<std::string>().c_str(), "bytes=%llu-", &n) != 1) return false;
  start = n;
  return true;
}

// No byte range of a part fetched again once received, read from the file host's answers
// file (what it sent of each part, from which byte) in the order of the requests. The host's
// count of sent bytes is an upper bound of what reached the program, so per part:
//   have     the end of the bytes the latest answer with the part's bytes carried (start +
//            sent; a 200 counts from 0, a 206 from its start): the most the program can hold;
//   a request from byte N (N of its Range, 0 without one) must not ask past what was sent
//            (N > have: "range asked past the bytes sent"), and is a refetch when N < have -
//            slack, slack being 0 after an answer that went out whole and kInFlight after a
//            cut; unless a restart is due, which only these make:
//     - a 412 (the object changed: the part starts over with a plain GET);
//     - a delivery that completed the part holding the flipped byte of a corruption (the
//       part fails its check and is fetched whole);
//     - the run deleted the part, or killed the program, since the part's previous request
//       (a new program may resume from what it kept on disk, anywhere up to have);
//     - for a program that never resumes inside a part (no request of the run carried a
//       Range: the engine before resuming landed), an answer that ended before the part's
//       end: such a program fetches a cut part whole again.
// A 200 to a ranged request (the host ignored Range) restarts the count (have = its sent
// bytes); the request is judged by its N like any other. A program that resumes must resume
// every cut part, so for it a plain GET after a cut past kInFlight is a refetch.
// JudgePart applies this to one part's answers in the order of their requests, with the
// moments a restart was forced from outside (resets), and returns the violations found.
std::vector<std::pair<Violation, std::string>> JudgePart(
    const std::string& path, const std::vector<const nlohmann::json*>& list, bool resumes,
    const std::vector<std::string>& resets) {
  std::vector<std::pair<Violation, std::string>> found;
  uint64_t have = 0;
  bool wholeAnswer = false;
  bool restartDue = false;
  int64_t corrupt = -1;  // a flipped byte the program may hold
  std::string previous;
  for (const nlohmann::json* a : list) {
    const std::string time = a->value("time", "");
    for (const std::string& reset : resets)
      if (reset > previous && reset <= time) restartDue = true;
    previous = time;
    uint64_t from = 0;
    const bool ranged = RangeStart(Member(*a, "range"), from);
    const uint64_t slack = wholeAnswer ? 0 : kInFlight;
    if (ranged && from > have) {
      found.push_back({kResumedPast, path + " asked from byte " + std::to_string(from) + " at " +
                                         time + ", the host had sent " + std::to_string(have)});
    } else if (from + slack < have && !restartDue) {
      found.push_back({kFetchedAgain, path + " asked from byte " + std::to_string(from) + " at " +
                                          time + " after bytes up to " + std::to_string(have) +
                                          " were sent"});
      restartDue = true;  // one refetch, one violation
    }
    const int status = a->value("status", 0);
    if (status == 412) restartDue = true;
    const nlohmann::json& first = Member(*a, "start");
    if (!first.is_number_integer() || first.get<int64_t>() < 0) continue;  // none of its bytes
    const uint64_t start = first.get<uint64_t>();
    const uint64_t length = a->value("objectLength", uint64_t{0});
    have = start + a->value("sent", uint64_t{0});
    wholeAnswer = a->value("complete", false) && have == length;
    if (status == 200 || (corrupt >= 0 && static_cast<uint64_t>(corrupt) >= start)) corrupt = -1;
    if (Member(*a, "corruptAt").is_number_integer()) {
      const uint64_t at = Member(*a, "corruptAt").get<uint64_t>();
      if (at >= start && at < have) corrupt = static_cast<int64_t>(at);
    }
    restartDue = (corrupt >= 0 && have >= length) || (!resumes && have < length);
  }
  return found;
}

// The rule above over the run's parts, from the answers file once every request's answer has
// ended there.
void CheckRefetches(const Stage& stage, const Watcher& watcher,
                    const std::map<std::string, std::pair<size_t, size_t>>& partOf,
                    Outcome& outcome) {
  const testsupport::FileHostNamespace& host = stage.release.host;
  // An answer's line is written when it has ended, a moment after the program saw its end.
  std::vector<nlohmann::json> requests, answers;
  std::set<std::string> unanswered;  // parts with a request whose answer has no line yet
  const ULONGLONG until = GetTickCount64() + 15000;
  do {
    requests = host.Requests();
    answers = host.Answers();
    std::set<std::pair<std::string, std::string>> lines;
    for (const nlohmann::json& a : answers)
      lines.insert({a.value("time", ""), a.value("path", "")});
    unanswered.clear();
    for (const nlohmann::json& r : requests)
      if (!lines.count({r.value("time", ""), r.value("path", "")}))
        unanswered.insert(r.value("decodedPath", ""));
    if (unanswered.empty()) break;
    Sleep(100);
  } while (GetTickCount64() < until);
  for (const std::string& path : unanswered)
    if (partOf.count(path)) outcome.notes.push_back(path + ": an answer never ended, not checked");

  bool resumes = false;
  std::map<std::string, std::vector<const nlohmann::json*>> byPart;
  for (const nlohmann::json& a : answers) {
    uint64_t ignored = 0;
    resumes = resumes || RangeStart(Member(a, "range"), ignored);
    const std::string path = a.value("decodedPath", "");
    if (partOf.count(path) && !unanswered.count(path)) byPart[path].push_back(&a);
  }
  for (auto& entry : byPart) {
    std::vector<const nlohmann::json*>& list = entry.second;
    std::stable_sort(list.begin(), list.end(),
                     [](const nlohmann::json* a, const nlohmann::json* b) {
                       return a->value("time", "") < b->value("time", "");
                     });
    // Restarts forced from outside: the part deleted by the run, the program killed.
    std::vector<std::string> resets;
    if (!stage.killedAt.empty()) resets.push_back(stage.killedAt);
    auto events = watcher.events.find(partOf.at(entry.first));
    if (events != watcher.events.end())
      for (const auto& event : events->second)
        if (event.second == 'd') resets.push_back(event.first);
    for (const auto& finding : JudgePart(entry.first, list, resumes, resets))
      outcome.Violate(finding.first, finding.second);
  }
}

void Check(Stage& stage, const Watcher& watcher, Outcome& outcome) {
  const Plan& plan = stage.plan;
  for (const std::string& note : watcher.incomplete) outcome.Violate(kIncomplete, note);
  // Whatever carries a final name at the end holds the published bytes.
  for (size_t i = 0; i < plan.files.size(); ++i) {
    if (!testsupport::FileExists(stage.FinalPath(i))) {
      if (outcome.setupStarted)
        outcome.Violate(kBadSetup, Narrow(stage.localNames[i]) + " missing when setup started");
      continue;
    }
    if (!stage.Identical(i, testsupport::ReadFileBytes(stage.FinalPath(i))))
      outcome.Violate(outcome.setupStarted ? kBadSetup : kIncomplete,
                      Narrow(stage.localNames[i]) + " differs from the published file");
  }
  if (outcome.ms > plan.boundMs && outcome.violations[kOverTime] == 0)
    outcome.Violate(kOverTime, std::to_string(outcome.ms) + " ms, bound " +
                                   std::to_string(plan.boundMs) + " ms");

  // A request for a part after it was seen whole, with no deletion by the run in between.
  std::map<std::string, std::pair<size_t, size_t>> partOf;
  for (size_t i = 0; i < plan.files.size(); ++i)
    for (size_t k = 0; k < plan.files[i].Parts(); ++k)
      partOf[Narrow(stage.release.host.ObjectPath(stage.ObjectOf(static_cast<int>(i), k)))] = {i,
                                                                                               k};
  std::map<std::string, size_t> answered;
  for (const nlohmann::json& request : stage.release.host.Requests()) {
    const std::string path = request.value("decodedPath", "");
    if (!request.value("refused", false)) ++answered[path];
    auto part = partOf.find(path);
    if (part == partOf.end()) continue;
    auto events = watcher.events.find(part->second);
    if (events == watcher.events.end()) continue;
    const std::string time = request.value("time", "");
    char last = 0;
    std::string seen;
    for (const auto& event : events->second) {
      if (event.first >= time) break;
      last = event.second;
      seen = event.first;
    }
    if (last == 'w')
      outcome.Violate(kFetchedAgain,
                      path + " requested at " + time + ", whole on disk since " + seen);
  }
  // Whether the file host's faults were met: their object got as many requests (a cut and
  // the changed answer after it: both).
  for (FaultSpec& fault : stage.plan.faults) {
    if (IsHostFault(fault.kind))
      fault.applied =
          answered[Narrow(stage.release.host.ObjectPath(stage.ObjectOf(fault.file, fault.part)))] >
          fault.attempt + (IsCutThenChange(fault.kind) ? 1 : 0);
  }
  CheckRefetches(stage, watcher, partOf, outcome);

  std::vector<std::string> strays;
  const std::wstring appData =
      stage.release.workFolder.substr(0, stage.release.workFolder.rfind(L'/'));
  FindStrays(appData, 4, stage, strays);
  const std::wstring profile = appData.substr(0, appData.rfind(L'/', appData.rfind(L'/') - 1));
  FindStrays(profile, 1, stage, strays);
  for (const std::string& stray : strays) outcome.Violate(kWroteOutside, stray);

  if (!outcome.setupStarted) {
    const std::vector<std::string> logs = testsupport::ServiceUploads(stage.uploadComputer);
    if (logs.empty()) outcome.Violate(kLogUnreadable, "no upload under the run's computer id");
    for (const std::string& log : logs)
      if (!LogParses(log))
        outcome.Violate(kLogUnreadable, "an upload does not parse: " + log.substr(0, 200));
    if (!outcome.clearFailure)
      outcome.Violate(kUnclearEnd, outcome.box.empty() ? "no box" : "box: " + Narrow(outcome.box));
  }
}

Outcome RunOnce(Plan plan, HMODULE resources, const std::vector<uint8_t>& setup) {
  Outcome outcome;
  Stage stage;
  stage.plan = std::move(plan);
  Publish(stage, setup);
  const ULONGLONG started = GetTickCount64();
  stage.uploadComputer = testsupport::UniqueId("soak-" + std::to_string(stage.plan.seed));
  {
    Watcher watcher(stage, started);
    if (stage.plan.inProcess) {
      RunInProcess(stage, resources, started, outcome);
    } else {
      RunProgram(stage, started, outcome);
    }
    // Setup is started through the shell and writes its marker a moment later; a run that
    // ended in a box started none.
    outcome.setupStarted = stage.release.SetupStarted(outcome.box.empty() ? 10000 : 0);
    outcome.clearFailure = !outcome.setupStarted && IsClearFailure(outcome.box);
    watcher.Stop();
    Check(stage, watcher, outcome);
  }
  for (const FaultSpec& fault : stage.plan.faults)
    if (fault.applied) outcome.met.push_back(fault.kind);
  return outcome;
}

// ---- The campaign --------------------------------------------------------------------------

struct Totals {
  int runs = 0;
  int setup = 0;
  int failedClearly = 0;
  int drawn[kFaultKinds] = {};
  int applied[kFaultKinds] = {};
  int violations[kViolationKinds] = {};
  DWORD longestMs = 0;
  unsigned long longestSeed = 0;
  std::vector<std::string> failing;
};

void Print(const Totals& t, unsigned long seed, bool full, ULONGLONG ms) {
  std::printf("soak runs %d (seed %lu, %s form) in %.0f s\n", t.runs, seed, full ? "full" : "short",
              static_cast<double>(ms) / 1000.0);
  std::printf("soak outcome setup started %d, failed with a clear message %d, other %d\n", t.setup,
              t.failedClearly, t.runs - t.setup - t.failedClearly);
  for (int k = 0; k < kFaultKinds; ++k)
    std::printf("soak fault %-20s drawn %4d met %4d\n", kFaultNames[k], t.drawn[k], t.applied[k]);
  for (int k = 0; k < kViolationKinds; ++k)
    std::printf("soak violation %-42s %d\n", kViolationNames[k], t.violations[k]);
  std::printf("soak longest run %.1f s (seed %lu)\n", static_cast<double>(t.longestMs) / 1000.0,
              t.longestSeed);
  for (const std::string& line : t.failing) std::printf("soak FAILED %s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

// The refetch rule on answers as the file host writes them, for a program that resumes inside
// parts and for one that does not: every restart it allows, and the refetches it must catch.
TEST(Soak, TheRefetchRuleAllowsOnlyItsRestarts) {
  const uint64_t kLength = 2000000;
  // {range, status, start (-1: none of the part's bytes), sent, corruptAt (-1: none)}
  struct Answer {
    const char* range;
    int status;
    int64_t start;
    uint64_t sent;
    int64_t corruptAt;
  };
  const Answer whole = {nullptr, 200, 0, kLength, -1};
  const Answer cut = {nullptr, 200, 0, 1000000, -1};
  const Answer rest = {"bytes=1000000-", 206, 1000000, 1000000, -1};
  struct Case {
    const char* name;
    bool resumes;
    std::vector<Answer> answers;
    bool resetBeforeLast;  // the part deleted (or the program killed) before the last request
    std::vector<Violation> expected;
  };
  const std::vector<Case> cases = {
      {"a resumed cut", true, {cut, rest}, false, {}},
      {"a resume a little before the cut",
       true,
       {cut, {"bytes=900000-", 206, 900000, 1100000, -1}},
       false,
       {}},
      {"a resume far before the cut",
       true,
       {cut, {"bytes=100000-", 206, 100000, 1900000, -1}},
       false,
       {kFetchedAgain}},
      {"a resume past the cut",
       true,
       {cut, {"bytes=1200000-", 206, 1200000, 800000, -1}},
       false,
       {kResumedPast}},
      {"a cut part fetched whole by a resuming program",
       true,
       {cut, whole},
       false,
       {kFetchedAgain}},
      {"a cut part fetched whole by a program that never resumes", false, {cut, whole}, false, {}},
      {"a cut before any real amount", true, {{nullptr, 200, 0, 1000, -1}, whole}, false, {}},
      {"the range ignored, then resumed within the new count",
       true,
       {cut, {"bytes=1000000-", 200, 0, 300000, -1}, {"bytes=300000-", 206, 300000, 1700000, -1}},
       false,
       {}},
      {"412, then a plain GET", true, {cut, {"bytes=1000000-", 412, -1, 0, -1}, whole}, false, {}},
      {"503 between a cut and its resume",
       true,
       {cut, {"bytes=1000000-", 503, -1, 0, -1}, rest},
       false,
       {}},
      {"503 between a cut and a whole refetch (never resumes)",
       false,
       {cut, {nullptr, 503, -1, 0, -1}, whole},
       false,
       {}},
      {"a whole answer fetched again", true, {whole, whole}, false, {kFetchedAgain}},
      {"a whole answer fetched again (never resumes)",
       false,
       {whole, whole},
       false,
       {kFetchedAgain}},
      {"a whole answer's last byte asked again",
       true,
       {whole, {"bytes=1999999-", 206, 1999999, 1, -1}},
       false,
       {kFetchedAgain}},
      {"a corrupt whole answer fetched again",
       false,
       {{nullptr, 200, 0, kLength, 5}, whole},
       false,
       {}},
      {"a corrupt byte received before a cut, the part completed, then fetched whole",
       true,
       {{nullptr, 200, 0, 1000000, 5}, rest, whole},
       false,
       {}},
      {"a corrupt byte past the cut is not held",
       true,
       {{nullptr, 200, 0, 1000000, 1500000}, rest, whole},
       false,
       {kFetchedAgain}},
      {"a whole part deleted, then fetched again", true, {whole, whole}, true, {}},
      {"a sign-in page carries none of the part's bytes",
       true,
       {{nullptr, 200, -1, 56, -1}, whole},
       false,
       {}},
  };
  for (const Case& c : cases) {
    std::vector<nlohmann::json> lines;
    for (size_t i = 0; i < c.answers.size(); ++i) {
      const Answer& a = c.answers[i];
      nlohmann::json line = {{"time", "2026-12-09T10:00:0" + std::to_string(2 * i) + ".000Z"},
                             {"range", a.range ? nlohmann::json(a.range) : nlohmann::json()},
                             {"status", a.status},
                             {"start", a.start < 0 ? nlohmann::json() : nlohmann::json(a.start)},
                             {"objectLength", kLength},
                             {"sent", a.sent}};
      line["complete"] = a.start >= 0 && a.start + a.sent == kLength;
      if (a.corruptAt >= 0) line["corruptAt"] = a.corruptAt;
      lines.push_back(line);
    }
    std::vector<const nlohmann::json*> list;
    for (const nlohmann::json& line : lines) list.push_back(&line);
    std::vector<std::string> resets;
    if (c.resetBeforeLast)
      resets.push_back("2026-12-09T10:00:0" + std::to_string(2 * c.answers.size() - 3) + ".000Z");
    std::vector<Violation> kinds;
    for (const auto& finding : JudgePart("/ns/rel/0_x.bin", list, c.resumes, resets))
      kinds.push_back(finding.first);
    EXPECT_EQ(c.expected, kinds) << c.name;
  }
}

TEST(Soak, WholeJobsUnderRandomFaultsKeepEveryInvariant) {
  testsupport::ProgramResources resources;
  ASSERT_NE(resources.module, nullptr);
  const std::vector<uint8_t> setup = testsupport::FakeSetupBytes();
  const bool full = FullScale();
  // The short form's seed draws every kind of fault in 20 runs, with a file past a part and
  // every kind of cut (closed, broken, then the range ignored or the object changed) on a part.
  const unsigned long seed = testsupport::EnvNumber("VELMOT_SOAK_SEED", full ? 20261208 : 73);
  const unsigned long runs = testsupport::EnvNumber("VELMOT_SOAK_RUNS", 20);
  const unsigned long only = testsupport::EnvNumber("VELMOT_SOAK_RUN", 0);
  Totals totals;
  const ULONGLONG started = GetTickCount64();
  // A campaign given a time stops starting runs once it is up, and reports the runs made.
  const unsigned long minutes = testsupport::EnvNumber("VELMOT_SOAK_MINUTES", 0);
  // Only the plans, for choosing a seed or looking ahead at a campaign.
  const bool dry = testsupport::EnvNumber("VELMOT_SOAK_DRY", 0) != 0;
  unsigned long shard = 0, shards = 1;
  Shard(shard, shards);
  for (unsigned long i = 0; i < (only ? 1 : runs); ++i) {
    if (!only && i % shards != shard) continue;
    if (minutes && GetTickCount64() - started > minutes * 60000ull) {
      std::printf("soak time is up after %d runs\n", totals.runs);
      break;
    }
    const unsigned long runSeed = only ? only : RunSeed(seed, i);
    const Plan plan = Draw(runSeed, full, setup.size());
    std::printf("soak run %lu seed %lu: %s\n", i + 1, runSeed, Describe(plan).c_str());
    std::fflush(stdout);
    if (dry) continue;
    const Outcome outcome = RunOnce(plan, resources.module, setup);
    ++totals.runs;
    totals.setup += outcome.setupStarted;
    totals.failedClearly += outcome.clearFailure;
    if (outcome.ms > totals.longestMs) {
      totals.longestMs = outcome.ms;
      totals.longestSeed = runSeed;
    }
    int bad = 0;
    for (int k = 0; k < kViolationKinds; ++k) {
      totals.violations[k] += outcome.violations[k];
      bad += outcome.violations[k];
    }
    std::printf("soak run %lu seed %lu: %s in %.1f s%s\n", i + 1, runSeed,
                outcome.setupStarted   ? "setup started"
                : outcome.clearFailure ? ("failed: " + Narrow(outcome.box).substr(0, 60)).c_str()
                                       : "neither setup nor a clear failure",
                static_cast<double>(outcome.ms) / 1000.0, bad ? ", VIOLATIONS:" : "");
    for (const std::string& note : outcome.notes) std::printf("soak   %s\n", note.c_str());
    std::fflush(stdout);
    if (bad)
      totals.failing.push_back("run " + std::to_string(i + 1) + " seed " + std::to_string(runSeed));
    for (const FaultSpec& fault : plan.faults) ++totals.drawn[fault.kind];
    for (Fault kind : outcome.met) ++totals.applied[kind];
  }
  Print(totals, seed, full, GetTickCount64() - started);
  for (int k = 0; k < kViolationKinds; ++k)
    EXPECT_EQ(totals.violations[k], 0) << kViolationNames[k];
}
