// What must hold after every soak run (tests/ui/soak_test.cpp), whatever its faults (the list
// with how each is checked: docs/campaigns.md), and the campaign's table of the runs, whose
// lines tools/soak reads to add up the tables of its jobs: keep their form.
#pragma once

#include "support/soakplan.h"

#include <windows.h>

#include <numeric>
#include <string>
#include <vector>

namespace testsupport::soak {

class FolderSampler;
struct Stage;

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
inline const char* const kViolationNames[kViolationKinds] = {
    "setup started on files unlike the source",
    "final name on an incomplete file",
    "run over its time bound",
    "received bytes fetched again",
    "range asked past the bytes sent",
    "written outside download/work folder",
    "log upload missing or unreadable",
    "ended without setup or a clear text"};

// What one run came to: setup or a box, how long it took, the faults it met and the
// invariants it broke, each with a note saying where.
struct Outcome {
  bool setupStarted = false;
  bool clearFailure = false;
  std::wstring box;
  DWORD ms = 0;
  int violations[kViolationKinds] = {};
  std::vector<std::string> notes;
  std::vector<Fault> met;
  void Violate(Violation kind, const std::string& note) {
    ++violations[kind];
    notes.push_back(std::string(kViolationNames[kind]) + ": " + note);
  }
  int Violations() const { return std::accumulate(violations, violations + kViolationKinds, 0); }
};

// A box text the program ends a failed job with on purpose.
bool IsClearFailure(const std::wstring& text);

// Adds to outcome what the run broke, once the sampler has stopped; and marks the file host's
// faults applied when their object got as many requests.
void Check(Stage& stage, const FolderSampler& sampler, Outcome& outcome);

// The runs, the outcomes, the faults by kind (drawn and met), the violations (each must be
// 0), the longest run and the failing runs.
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
