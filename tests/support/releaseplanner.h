// The plan of one soak run (tests/ui/soak_test.cpp): its release of 1-4 files whose sizes
// are drawn around the part boundaries (empty, one byte, exactly one part, one part and a
// byte, larger; the first file is the setup), its faults (faultplan.h) and its time bound,
// all drawn from the run's seed in a fixed order, so that one seed always gives one run.
#pragma once

#include "download/store/crcinforeader.h"
#include "support/faultplan.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport::soak {

const size_t kPart = CRCInfoReader::kPartSize;

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
  std::vector<FaultSpec> faults;
  bool inProcess = false;  // a full disk: the window runs in this process
  DWORD boundMs = 0;
  uint64_t Bytes() const;
  FaultSpec* Find(Fault kind);  // the first fault of kind, or null
};

// Files "Setup<seed>.exe" (the fake setup of setupSize bytes, in the full form now and then
// padded to a drawn size) and "Data<seed>-<i>.bin"; the full form draws sizes up to 60 MB,
// the short form keeps them small, with now and then one part exactly or a part and a byte.
Plan Draw(unsigned long seed, bool full, size_t setupSize);

// "2 files (N M bytes), faults: [...]": the line a run is printed with.
std::string Describe(const Plan& plan);

// The seed of run i: depends on the campaign's seed and i only (not on the number of runs).
unsigned long RunSeed(unsigned long seed, unsigned long i);

}  // namespace testsupport::soak
