// The plan of one soak run (tests/ui/soak_test.cpp), drawn from the run's seed in a fixed
// order so that one seed always gives one run: a release of 1-4 files whose sizes lie around
// the part boundaries (the first file is the setup), 0-3 faults, each aimed at a request of
// one of its objects or at a moment of the run, and the run's time bound.
#pragma once

#include "download/store/crcinforeader.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport::soak {

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
inline const char* const kFaultNames[kFaultKinds] = {
    "dropped connection", "broken connection",   "corrupt bytes", "5xx answer",
    "503 ServerBusy",     "403, link renewed",   "stall",         "slow rate",
    "cut, range ignored", "cut, object changed", "sign-in page",  "outage",
    "kill and rerun",     "part deleted",        "disk full"};

inline bool IsHostFault(Fault kind) { return kind <= kSignIn; }
// A cut at fault.attempt whose next request of the object is answered otherwise: with the
// whole object though it asked for a range, or with another ETag from then on.
inline bool IsCutThenChange(Fault kind) { return kind == kRangeIgnored || kind == kObjectChanged; }

struct FaultSpec {
  Fault kind = kDrop;
  int file = -1;         // host faults: -1 is the CRC info document
  size_t part = 0;       // ... or this part of that file (also the deleted part)
  size_t attempt = 0;    // the object's request the fault spoils (0: the first)
  double where = 0;      // offset into the object, as a fraction of its size
  int value = 0;         // status code, stall ms, seconds of a slow object
  DWORD atMs = 0;        // outage, kill: after the start
  DWORD lengthMs = 0;    // outage
  int fromQuery = 0;     // disk full: the free-space query from which the disk is full
  bool applied = false;  // the run met it
  size_t LastAttempt() const { return attempt + (IsCutThenChange(kind) ? 1 : 0); }
};

struct FileSpec {
  std::string listed;
  size_t size = 0;
  size_t firstPart = 0;  // index of its first part in GuiRelease::parts (set when published)
  size_t Parts() const { return (size + kPart - 1) / kPart; }
};

struct Plan {
  unsigned long seed = 0;
  bool full = false;
  std::vector<FileSpec> files;
  // At most one kill and one full disk, never both: a kill needs the program in its own
  // process, the full disk the window in this one (inProcess).
  std::vector<FaultSpec> faults;
  bool inProcess = false;
  DWORD boundMs = 0;
  uint64_t Bytes() const;
  FaultSpec* Find(Fault kind);  // the first fault of kind, or null
};

// Files "Setup<seed>.exe" (the fake setup of setupSize bytes, in the full form now and then
// padded to a drawn size) and "Data<seed>-<i>.bin"; the full form draws sizes up to 60 MB,
// the short form keeps them small, with now and then one part exactly or a part and a byte.
Plan Draw(unsigned long seed, bool full, size_t setupSize);

// "2 files (N M bytes), faults: [stall on part 0 of file 1, request 1]...": a run's line.
std::string Describe(const Plan& plan);

// The seed of run i: depends on the campaign's seed and i only (not on the number of runs).
unsigned long RunSeed(unsigned long seed, unsigned long i);

// The file host's answer to the request a host fault spoils, for an object of size bytes;
// next: the answer to the request after it (a cut followed by a changed answer), else null.
nlohmann::json HostStep(const FaultSpec& fault, size_t size, nlohmann::json& next);

}  // namespace testsupport::soak
