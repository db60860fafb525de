// Whole jobs under random faults: each run publishes a random release (1-4 files, sizes drawn
// around the part boundaries: empty, one byte, exactly one part, one part and a byte, larger),
// runs velmot-dm.exe under Wine against the file host with 0-3 faults drawn from dropped and
// broken connections inside an object, corrupt bytes, 5xx answers, 503 ServerBusy, a 403 (the
// link is renewed), stalls, slow rates, a cut whose next request gets the whole object though
// it asks for a range, a cut after which the object's ETag changes, outages, sign-in pages, a
// kill followed by a rerun, a part file deleted from outside and a full disk, and checks
// afterwards what must hold whatever the faults (tests/support/soakinvariants.h; the byte-range
// rule is tests/support/refetchrule.h). The pieces: releaseplanner and faultplan draw a run,
// soakstage publishes it, soakrunner runs it while foldersampler watches the disk, soaktable
// counts and prints.
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
#include "support/downloadjob.h"
#include "support/inprocesswindow.h"
#include "support/refetchrule.h"
#include "support/soakrunner.h"
#include "support/soaktable.h"
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
  const Answer corruptCut = {nullptr, 200, 0, 1000000, 5};
  struct Case {
    const char* name;
    bool resumes;
    std::vector<Answer> answers;
    std::vector<Violation> expected;
    bool resetBeforeLast = false;   // the part deleted (or the program killed) before the last
    const char* resetAt = nullptr;  // or a reset at this moment (the answers: 0 s, 2 s, ...)
  };
  const std::vector<Case> cases = {
      {"a resumed cut", true, {cut, rest}, {}},
      {"a resume a little before the cut",
       true,
       {cut, {"bytes=900000-", 206, 900000, 1100000, -1}},
       {}},
      {"a resume far before the cut",
       true,
       {cut, {"bytes=100000-", 206, 100000, 1900000, -1}},
       {kFetchedAgain}},
      {"a resume past the cut",
       true,
       {cut, {"bytes=1200000-", 206, 1200000, 800000, -1}},
       {kResumedPast}},
      {"a cut part fetched whole by a resuming program", true, {cut, whole}, {kFetchedAgain}},
      {"a cut part fetched whole by a program that never resumes", false, {cut, whole}, {}},
      {"a cut before any real amount", true, {{nullptr, 200, 0, 1000, -1}, whole}, {}},
      {"the range ignored, then resumed within the new count",
       true,
       {cut, {"bytes=1000000-", 200, 0, 300000, -1}, {"bytes=300000-", 206, 300000, 1700000, -1}},
       {}},
      {"412, then a plain GET", true, {cut, {"bytes=1000000-", 412, -1, 0, -1}, whole}, {}},
      {"503 between a cut and its resume",
       true,
       {cut, {"bytes=1000000-", 503, -1, 0, -1}, rest},
       {}},
      {"503 between a cut and a whole refetch (never resumes)",
       false,
       {cut, {nullptr, 503, -1, 0, -1}, whole},
       {}},
      {"a whole answer fetched again", true, {whole, whole}, {kFetchedAgain}},
      {"a whole answer fetched again (never resumes)", false, {whole, whole}, {kFetchedAgain}},
      {"a whole answer's last byte asked again",
       true,
       {whole, {"bytes=1999999-", 206, 1999999, 1, -1}},
       {kFetchedAgain}},
      {"a corrupt whole answer fetched again", false, {{nullptr, 200, 0, kLength, 5}, whole}, {}},
      {"a corrupt byte received before a cut, the part completed, then fetched whole",
       true,
       {corruptCut, rest, whole},
       {}},
      {"a corrupt byte past the cut is not held",
       true,
       {{nullptr, 200, 0, 1000000, 1500000}, rest, whole},
       {kFetchedAgain}},
      {"a whole part deleted, then fetched again", true, {whole, whole}, {}, true},
      {"a request of the killed program stamped just after the kill, then the new program's",
       true,
       {whole, whole},
       {},
       false,
       "2026-12-09T09:59:59.990Z"},
      {"a kill long before a whole answer excuses no refetch after it",
       true,
       {whole, whole},
       {kFetchedAgain},
       false,
       "2026-12-09T09:59:57.000Z"},
      {"a sign-in page carries none of the part's bytes",
       true,
       {{nullptr, 200, -1, 56, -1}, whole},
       {}},
  };
  auto at = [](size_t second) { return "2026-12-09T10:00:0" + std::to_string(second) + ".000Z"; };
  for (const Case& c : cases) {
    std::vector<nlohmann::json> lines;
    for (const Answer& a : c.answers) {
      nlohmann::json line = {{"time", at(2 * lines.size())},
                             {"range", a.range ? nlohmann::json(a.range) : nlohmann::json()},
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
    if (c.resetBeforeLast) resets.push_back(at(2 * c.answers.size() - 3));
    if (c.resetAt) resets.push_back(c.resetAt);
    std::vector<Violation> kinds;
    for (const auto& finding : JudgePart("/ns/rel/0_x.bin", list, c.resumes, resets))
      kinds.push_back(finding.first);
    EXPECT_EQ(c.expected, kinds) << c.name;
  }
}

namespace {

// VELMOT_SOAK_SHARD=k/K: this process's share of the runs (0/1 when unset or malformed).
void Shard(unsigned long& shard, unsigned long& shards) {
  const char* text = getenv("VELMOT_SOAK_SHARD");
  unsigned long k = 0, count = 0;
  if (text && std::sscanf(text, "%lu/%lu", &k, &count) == 2 && count > 0 && k < count) {
    shard = k;
    shards = count;
  }
}

}  // namespace

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
  unsigned long shard = 0, shards = 1;
  Shard(shard, shards);
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
