#include "support/soaktable.h"

#include "support/testenv.h"

#include <cstdio>

namespace testsupport::soak {

void SoakTable::Add(unsigned long number, const Plan& plan, const Outcome& outcome) {
  ++runs_;
  setup_ += outcome.setupStarted;
  failedClearly_ += outcome.clearFailure;
  if (outcome.ms > longestMs_) {
    longestMs_ = outcome.ms;
    longestSeed_ = plan.seed;
  }
  for (int k = 0; k < kViolationKinds; ++k) violations_[k] += outcome.violations[k];
  const int bad = outcome.Violations();
  const std::string end = outcome.setupStarted   ? "setup started"
                          : outcome.clearFailure ? "failed: " + Narrow(outcome.box).substr(0, 60)
                                                 : "neither setup nor a clear failure";
  std::printf("soak run %lu seed %lu: %s in %.1f s%s\n", number, plan.seed, end.c_str(),
              static_cast<double>(outcome.ms) / 1000.0, bad ? ", VIOLATIONS:" : "");
  for (const std::string& note : outcome.notes) std::printf("soak   %s\n", note.c_str());
  std::fflush(stdout);
  if (bad)
    failing_.push_back("run " + std::to_string(number) + " seed " + std::to_string(plan.seed));
  for (const FaultSpec& fault : plan.faults) ++drawn_[fault.kind];
  for (Fault kind : outcome.met) ++met_[kind];
}

void SoakTable::Print(unsigned long seed, bool full, ULONGLONG ms) const {
  std::printf("soak runs %d (seed %lu, %s form) in %.0f s\n", runs_, seed, full ? "full" : "short",
              static_cast<double>(ms) / 1000.0);
  std::printf("soak outcome setup started %d, failed with a clear message %d, other %d\n", setup_,
              failedClearly_, runs_ - setup_ - failedClearly_);
  for (int k = 0; k < kFaultKinds; ++k)
    std::printf("soak fault %-20s drawn %4d met %4d\n", kFaultNames[k], drawn_[k], met_[k]);
  for (int k = 0; k < kViolationKinds; ++k)
    std::printf("soak violation %-42s %d\n", kViolationNames[k], violations_[k]);
  std::printf("soak longest run %.1f s (seed %lu)\n", static_cast<double>(longestMs_) / 1000.0,
              longestSeed_);
  for (const std::string& line : failing_) std::printf("soak FAILED %s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace testsupport::soak
