// Whole jobs of velmot-dm.exe under Wine, each on a random release with 0-3 random faults,
// checked afterwards against what must hold whatever the faults (tests/support/soakinvariants.h;
// the byte-range rule: tests/support/refetchrule.h). The runs are described in tools/soak and
// docs/campaigns.md. tools/test runs the short form (20 runs, seed 73, small files, short
// faults); VELMOT_SOAK_SCALE=full the full one. VELMOT_SOAK_RUNS=N and VELMOT_SOAK_SEED=S pick
// the runs, VELMOT_SOAK_RUN=R repeats the run printed with seed R, VELMOT_SOAK_MINUTES=M starts
// no run after M minutes, VELMOT_SOAK_DRY=1 prints the plans without running them, and
// VELMOT_SOAK_SHARD=k/K runs only the runs i with i % K == k.
#include "support/downloadjob.h"
#include "support/inprocesswindow.h"
#include "support/refetchrule.h"
#include "support/testenv.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace testsupport::soak;

// The refetch rule on answers as the file host writes them, for a program that resumes inside
// parts and for one that does not: every restart it allows, and the refetches it must catch.
TEST(Soak, TheRefetchRuleAllowsOnlyItsRestarts) {
  const uint64_t kLength = 2000000;
  struct Answer {
    std::string range;  // none when empty
    int status;
    int64_t start;  // -1: none of the part's bytes
    uint64_t sent;
    int64_t corruptAt;  // -1: none
  };
  const Answer whole = {"", 200, 0, kLength, -1};
  const Answer cut = {"", 200, 0, 1000000, -1};
  // The rest of the part from byte n, asked for with a Range.
  auto rest = [&](uint64_t n) {
    return Answer{"bytes=" + std::to_string(n) + "-", 206, static_cast<int64_t>(n), kLength - n,
                  -1};
  };
  auto at = [](size_t second) { return "2026-12-09T10:00:0" + std::to_string(second) + ".000Z"; };
  // The answers come 2 s apart from 10:00:00; resetAt: the part deleted or the program killed.
  auto check = [&](const char* name, bool resumes, const std::vector<Answer>& answers,
                   const std::vector<Violation>& expected, const char* resetAt = nullptr) {
    SCOPED_TRACE(name);
    std::vector<nlohmann::json> lines;
    for (const Answer& a : answers) {
      nlohmann::json line = {
          {"time", at(2 * lines.size())},
          {"range", a.range.empty() ? nlohmann::json() : nlohmann::json(a.range)},
          {"status", a.status},
          {"start", a.start < 0 ? nlohmann::json() : nlohmann::json(a.start)},
          {"objectLength", kLength},
          {"sent", a.sent},
          {"complete", a.start >= 0 && a.start + a.sent == kLength}};
      if (a.corruptAt >= 0) line["corruptAt"] = a.corruptAt;
      lines.push_back(line);
    }
    std::vector<const nlohmann::json*> list;
    for (const nlohmann::json& line : lines) list.push_back(&line);
    std::vector<std::string> resets;
    if (resetAt) resets.push_back(resetAt);
    std::vector<Violation> kinds;
    for (const auto& finding : JudgePart("/ns/rel/0_x.bin", list, resumes, resets))
      kinds.push_back(finding.first);
    EXPECT_EQ(expected, kinds);
  };
  check("a resumed cut", true, {cut, rest(1000000)}, {});
  check("a resume a little before the cut", true, {cut, rest(900000)}, {});
  check("a resume far before the cut", true, {cut, rest(100000)}, {kFetchedAgain});
  check("a resume past the cut", true, {cut, rest(1200000)}, {kResumedPast});
  check("a cut part fetched whole by a resuming program", true, {cut, whole}, {kFetchedAgain});
  check("a cut part fetched whole by a program that never resumes", false, {cut, whole}, {});
  check("a cut before any real amount", true, {{"", 200, 0, 1000, -1}, whole}, {});
  check("the range ignored, then resumed within the new count", true,
        {cut, {"bytes=1000000-", 200, 0, 300000, -1}, rest(300000)}, {});
  check("412, then a plain GET", true, {cut, {"bytes=1000000-", 412, -1, 0, -1}, whole}, {});
  check("503 between a cut and its resume", true,
        {cut, {"bytes=1000000-", 503, -1, 0, -1}, rest(1000000)}, {});
  check("503 between a cut and a whole refetch (never resumes)", false,
        {cut, {"", 503, -1, 0, -1}, whole}, {});
  check("a whole answer fetched again", true, {whole, whole}, {kFetchedAgain});
  check("a whole answer fetched again (never resumes)", false, {whole, whole}, {kFetchedAgain});
  check("a whole answer's last byte asked again", true, {whole, rest(1999999)}, {kFetchedAgain});
  check("a corrupt whole answer fetched again", false, {{"", 200, 0, kLength, 5}, whole}, {});
  check("a corrupt byte received before a cut, the part completed, then fetched whole", true,
        {{"", 200, 0, 1000000, 5}, rest(1000000), whole}, {});
  check("a corrupt byte past the cut is not held", true,
        {{"", 200, 0, 1000000, 1500000}, rest(1000000), whole}, {kFetchedAgain});
  check("a whole part deleted, then fetched again", true, {whole, whole}, {}, at(1).c_str());
  check("a request of the killed program stamped just after the kill, then the new program's", true,
        {whole, whole}, {}, "2026-12-09T09:59:59.990Z");
  check("a kill long before a whole answer excuses no refetch after it", true, {whole, whole},
        {kFetchedAgain}, "2026-12-09T09:59:57.000Z");
  check("a sign-in page carries none of the part's bytes", true, {{"", 200, -1, 56, -1}, whole},
        {});
}

TEST(Soak, WholeJobsUnderRandomFaultsKeepEveryInvariant) {
  testsupport::ProgramResources resources;
  ASSERT_NE(resources.module, nullptr);
  const std::vector<uint8_t> setup = testsupport::FakeSetupBytes();
  const char* scale = getenv("VELMOT_SOAK_SCALE");
  const bool full = scale && std::string(scale) == "full";
  // The short form's seed draws every kind of fault in 20 runs, with a file past a part and
  // every kind of cut (closed, broken, then the range ignored or the object changed) on a part.
  const unsigned long seed = testsupport::EnvNumber("VELMOT_SOAK_SEED", full ? 20261208 : 73);
  const unsigned long runs = testsupport::EnvNumber("VELMOT_SOAK_RUNS", 20);
  const unsigned long only = testsupport::EnvNumber("VELMOT_SOAK_RUN", 0);
  const unsigned long minutes = testsupport::EnvNumber("VELMOT_SOAK_MINUTES", 0);
  const bool dry = testsupport::EnvNumber("VELMOT_SOAK_DRY", 0) != 0;
  // VELMOT_SOAK_SHARD=k/K: this process's share of the runs (all when unset or malformed).
  unsigned long shard = 0, shards = 1;
  const char* text = getenv("VELMOT_SOAK_SHARD");
  if (!text || std::sscanf(text, "%lu/%lu", &shard, &shards) != 2 || shard >= shards) {
    shard = 0;
    shards = 1;
  }
  SoakTable table;
  const ULONGLONG started = GetTickCount64();
  for (unsigned long i = 0; i < (only ? 1 : runs); ++i) {
    if (!only && i % shards != shard) continue;
    if (minutes && GetTickCount64() - started > minutes * 60000ull) {
      std::printf("soak time is up after %d runs\n", table.Runs());
      break;
    }
    const unsigned long runSeed = only ? only : RunSeed(seed, i);
    const Plan plan = Draw(runSeed, full, setup.size());
    std::printf("soak run %lu seed %lu: %s\n", i + 1, runSeed, Describe(plan).c_str());
    std::fflush(stdout);
    if (!dry) table.Add(i + 1, plan, RunOnce(plan, resources.module, setup));
  }
  table.Print(seed, full, GetTickCount64() - started);
  for (int k = 0; k < kViolationKinds; ++k)
    EXPECT_EQ(table.Violations(static_cast<Violation>(k)), 0) << kViolationNames[k];
}
