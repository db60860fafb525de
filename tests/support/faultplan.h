// The faults of one soak run (tests/ui/soak_test.cpp): 0-3 drawn from the kinds below, each
// aimed at an object and request of the run's release or at a moment of the run, what the
// file host must answer to make each one, and the time bound they give the run.
//
// The draws follow the release's from the same random source, in a fixed order.
#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace testsupport::soak {

// low..high, both included.
inline uint64_t Between(std::mt19937& random, uint64_t low, uint64_t high) {
  return std::uniform_int_distribution<uint64_t>(low, high)(random);
}

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
extern const char* const kFaultNames[kFaultKinds];

// A fault the file host makes: one step (two for a cut followed by a changed answer).
inline bool IsHostFault(Fault kind) { return kind <= kSignIn; }
// A cut at fault.attempt whose next request of the object is answered otherwise: with the
// whole object though it asked for a range, or with another ETag from then on.
inline bool IsCutThenChange(Fault kind) { return kind == kRangeIgnored || kind == kObjectChanged; }

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
  // The last request of its object the fault spoils.
  size_t LastAttempt() const { return attempt + (IsCutThenChange(kind) ? 1 : 0); }
};

// The faults of a release of bytes whose files have parts[i] parts each. At most one kill
// and one full disk, never both: a kill needs the program in its own process, the full disk
// the window in this one (inProcess is set when one is drawn).
std::vector<FaultSpec> DrawFaults(std::mt19937& random, const std::vector<size_t>& parts,
                                  uint64_t bytes, bool full, bool& inProcess);

// Generous for a loaded machine, so that only a hang or a wait far beyond what the faults
// explain passes it.
DWORD TimeBound(bool full, uint64_t bytes, const std::vector<FaultSpec>& faults);

// " [stall on part 0 of file 1, request 1]" and the like.
std::string Describe(const FaultSpec& fault);

// The file host's answer to the request a host fault spoils, for an object of size bytes;
// next: the answer to the request after it (a cut followed by a changed answer), else null.
nlohmann::json HostStep(const FaultSpec& fault, size_t size, nlohmann::json& next);

}  // namespace testsupport::soak
