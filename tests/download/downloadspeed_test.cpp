// The speed meter's arithmetic under a clock the test controls, and its start and stop
// with the system bench.
#include "download/job/downloadspeed.h"

#include "download/job/downloadmanager.h"
#include "support/testenv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <tuple>
#include <vector>

namespace {

// One update: speed (KB/s), total bytes, downloaded bytes.
using Sample = std::tuple<uint64_t, uint64_t, uint64_t>;

// The window and the clock the meter sees. Every update is recorded (on the meter's thread)
// and followed by the test's script. Time moves only when the meter waits; once the meter has
// made `holdAfter` updates the clock stops and a wait blocks until the meter is stopped.
class Bench : public IStatisticsSink, public ISpeedClock {
 public:
  void ShowStatistics(uint64_t speed, uint64_t total, uint64_t downloaded) override {
    size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      samples_.emplace_back(speed, total, downloaded);
      index = samples_.size() - 1;
    }
    if (script) script(index);
  }
  bool IsPaused() const override { return paused.load(); }
  uint64_t NowMs() override { return now.load(); }
  void Wait(HANDLE wake, DWORD ms) override {
    waits.push_back(ms);
    if (WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) return;
    if (Samples().size() >= holdAfter) {
      WaitForSingleObject(wake, 10000);
      return;
    }
    now += ms + extraPerWait;
  }

  bool WaitForCount(size_t count, unsigned timeoutMs = 10000) {
    return testsupport::Eventually([&] { return Samples().size() >= count; }, timeoutMs);
  }
  std::vector<Sample> Samples() {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
  }

  std::atomic<bool> paused{false};
  // Called with the index of each update (0 is the first all-zero one).
  std::function<void(size_t)> script;
  std::atomic<uint64_t> now{5000000000ull};  // far beyond the 32-bit tick range
  size_t holdAfter = 4;
  uint64_t extraPerWait = 0;
  std::vector<DWORD> waits;  // the meter's thread's only: read once it has ended

 private:
  std::mutex mutex_;
  std::vector<Sample> samples_;
};

constexpr uint64_t kMiB = 1024 * 1024;

// What the manager and the window show during one sampling interval, and the update that
// ends it.
struct Interval {
  uint64_t total, finished, inProgress, present;
  bool copying, paused;
  Sample shown;
};

struct SpeedCase {
  const char* name;
  std::vector<Interval> intervals;
  uint64_t extraPerWait = 0;  // the clock runs late by this much on every wait
};
void PrintTo(const SpeedCase& c, std::ostream* out) { *out << c.name; }

const SpeedCase kSpeedCases[] = {
    {"AveragesOverTheWholeRunEveryTwoSeconds",
     {{100 * kMiB, 4 * kMiB, 0, 0, false, false, {2048, 100 * kMiB, 4 * kMiB}},
      {100 * kMiB, 4 * kMiB, 8 * kMiB, 0, false, false, {3072, 100 * kMiB, 12 * kMiB}},
      {100 * kMiB, 10 * kMiB, 8 * kMiB, 0, false, false, {3072, 100 * kMiB, 18 * kMiB}}}},
    // Samples at 2.999 s and 5.998 s: 3000 KB / 2 s, then / 5 s.
    {"WholeSecondsAndKilobytesAreRoundedDown",
     {{0, 3 * 1024 * 1000 + 1023, 0, 0, false, false, {1500, 0, 3 * 1024 * 1000 + 1023}},
      {0, 3 * 1024 * 1000 + 1023, 0, 0, false, false, {600, 0, 3 * 1024 * 1000 + 1023}}},
     999},
    // 8192 KB over 4 counted seconds after the pause, not 6.
    {"PausedTimeShowsZeroAndDoesNotLowerTheAverageAfterwards",
     {{0, 8 * kMiB, 0, 0, false, false, {4096, 0, 8 * kMiB}},
      {0, 8 * kMiB, 0, 0, false, true, {0, 0, 8 * kMiB}},
      {0, 8 * kMiB, 0, 0, false, false, {2048, 0, 8 * kMiB}}}},
    {"MergingTimeIsNotCountedButSpeedIsShown",
     {{0, 12 * kMiB, 0, 0, false, false, {6144, 0, 12 * kMiB}},
      {0, 12 * kMiB, 0, 0, true, false, {6144, 0, 12 * kMiB}}}},
    // The first interval does not count: 0 s have been counted.
    {"WithinTheFirstCountedSecondTheDivisorIsOne",
     {{0, 3 * kMiB, 0, 0, true, false, {3072, 0, 3 * kMiB}}}},
    // More bytes reported present than counted (a pass recounting) must not wrap around.
    {"BytesFoundOnDiskAreLeftOut",
     {{0, 50 * kMiB, 0, 50 * kMiB, false, false, {0, 0, 50 * kMiB}},
      {0, 50 * kMiB, 4 * kMiB, 50 * kMiB, false, false, {1024, 0, 54 * kMiB}},
      {0, 50 * kMiB, 4 * kMiB, 60 * kMiB, false, false, {0, 0, 54 * kMiB}}}},
};

class DownloadSpeedTest : public ::testing::Test {
 protected:
  DownloadManager manager{nullptr};
  Bench bench;
};

class DownloadSpeedArithmetic : public DownloadSpeedTest,
                                public ::testing::WithParamInterface<SpeedCase> {};

// Interval k is set up before the meter starts (k = 0) or after update k, and ends with
// update k + 1; the run ends with the final all-zero update.
TEST_P(DownloadSpeedArithmetic, EveryUpdateShowsTheAverageOfTheCountedTime) {
  const std::vector<Interval>& intervals = GetParam().intervals;
  auto enter = [&](size_t k) {
    const Interval& i = intervals[k];
    manager.totalBytes = i.total;
    manager.finishedBytes = i.finished;
    manager.inProgressBytes = i.inProgress;
    manager.presentBytes = i.present;
    manager.copying = i.copying;
    bench.paused = i.paused;
  };
  enter(0);
  bench.script = [&](size_t index) {
    if (index >= 1 && index < intervals.size()) enter(index);
  };
  bench.extraPerWait = GetParam().extraPerWait;
  const size_t updates = intervals.size() + 1;
  bench.holdAfter = updates;
  DownloadSpeed meter(manager, bench, &bench);
  meter.Start();
  EXPECT_TRUE(bench.WaitForCount(updates));
  meter.Stop(INFINITE);

  std::vector<Sample> expected{Sample{0, 0, 0}};
  for (const Interval& i : intervals) expected.push_back(i.shown);
  expected.push_back(Sample{0, 0, 0});
  EXPECT_EQ(bench.Samples(), expected);
  // The first sample is due 2000 ms after the start; then one wait of 2000 ms per sample.
  const std::vector<DWORD>& waits = bench.waits;
  ASSERT_GE(waits.size(), intervals.size());
  for (size_t k = 0; k < intervals.size(); ++k) EXPECT_EQ(2000u, waits[k]) << k;
}

INSTANTIATE_TEST_SUITE_P(FakeClock, DownloadSpeedArithmetic, ::testing::ValuesIn(kSpeedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadSpeedTest, StopDuringTheFirstWaitEndsAtOnceWithTheFinalUpdate) {
  DownloadSpeed meter(manager, bench);  // the system clock
  meter.Start();
  ASSERT_TRUE(bench.WaitForCount(1));
  EXPECT_LT(testsupport::MsTaken([&] { meter.Stop(INFINITE); }), 1000u);
  EXPECT_EQ((std::vector<Sample>{{0, 0, 0}, {0, 0, 0}}), bench.Samples());
}

TEST_F(DownloadSpeedTest, SystemClockSamplesAfterTwoSecondsAndStopsInsideItsSleep) {
  manager.totalBytes = 10 * kMiB;
  manager.finishedBytes = 2 * kMiB;
  DownloadSpeed meter(manager, bench);
  const ULONGLONG started = GetTickCount64();
  meter.Start();
  ASSERT_TRUE(bench.WaitForCount(2, 8000));
  const ULONGLONG firstSample = GetTickCount64() - started;
  EXPECT_GE(firstSample, 1950u);
  EXPECT_LT(firstSample, 4000u);
  // Ended by itself, not terminated.
  EXPECT_LT(testsupport::MsTaken([&] { meter.Stop(500); }), 450u);
  auto samples = bench.Samples();
  ASSERT_EQ(3u, samples.size());
  EXPECT_EQ(1024u, std::get<0>(samples[1]));  // 2048 KB / 2 s
  EXPECT_EQ((Sample{0, 0, 0}), samples[2]);
}

TEST_F(DownloadSpeedTest, RestartsAfterAStop) {
  DownloadSpeed meter(manager, bench, &bench);
  for (size_t holdAfter : {1u, 4u}) {
    bench.holdAfter = holdAfter;
    meter.Start();
    ASSERT_TRUE(bench.WaitForCount(holdAfter));
    meter.Stop(INFINITE);
  }
  EXPECT_EQ(5u, bench.Samples().size());
}

}  // namespace
