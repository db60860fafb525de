// The soak campaign's table (tests/ui/soak_test.cpp): the runs, the outcomes, the faults by
// kind (drawn and met), the violations (each must be 0), the longest run and the failing
// runs. tools/soak reads these lines and adds up the tables of its jobs: keep their form.
#pragma once

#include "support/soakinvariants.h"
#include "support/releaseplanner.h"

#include <windows.h>

#include <string>
#include <vector>

namespace testsupport::soak {

class SoakTable {
 public:
  // Counts run number (1-based) of plan and prints its outcome line and notes.
  void Add(unsigned long number, const Plan& plan, const Outcome& outcome);
  void Print(unsigned long seed, bool full, ULONGLONG ms) const;
  int Runs() const { return runs_; }
  int Violations(Violation kind) const { return violations_[kind]; }

 private:
  int runs_ = 0;
  int setup_ = 0;
  int failedClearly_ = 0;
  int drawn_[kFaultKinds] = {};
  int met_[kFaultKinds] = {};
  int violations_[kViolationKinds] = {};
  DWORD longestMs_ = 0;
  unsigned long longestSeed_ = 0;
  std::vector<std::string> failing_;
};

}  // namespace testsupport::soak
