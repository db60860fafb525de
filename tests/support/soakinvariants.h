// What must hold after every soak run (tests/ui/soak_test.cpp), whatever its faults:
//   - setup is started only when every installer file holds exactly the published bytes;
//   - no file carrying an installer's final name is ever incomplete (from the sampler);
//   - no run passes its time bound;
//   - no part is fetched again after it was seen whole on disk, unless the run deleted it;
//   - no byte range of a part is fetched again once sent, nor asked past it (refetchrule.h);
//   - nothing carrying the run's names is written outside the download and work folders;
//   - a run that did not start setup uploaded its log, and the log parses;
//   - a run ends either in setup or in a box with one of the program's clear failure texts.
// Check also marks the file host's faults applied when their object got as many requests.
#pragma once

#include "support/faultplan.h"

#include <windows.h>

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
extern const char* const kViolationNames[kViolationKinds];

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
  int Violations() const;
};

// A box text the program ends a failed job with on purpose.
bool IsClearFailure(const std::wstring& text);

// Adds to outcome what the run broke; called once the sampler has stopped.
void Check(Stage& stage, const FolderSampler& sampler, Outcome& outcome);

}  // namespace testsupport::soak
