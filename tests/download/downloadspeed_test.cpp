// The speed meter's arithmetic under a clock the test controls, and its start and stop
// with the system clock.
#include "download/job/downloadspeed.h"

#include "download/job/downloadmanager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace {

struct Sample {
  uint64_t speed, total, downloaded;
  bool operator==(const Sample& o) const {
    return speed == o.speed && total == o.total && downloaded == o.downloaded;
  }
};

std::ostream& operator<<(std::ostream& out, const Sample& s) {
  return out << "{" << s.speed << ", " << s.total << ", " << s.downloaded << "}";
}

// Records every update (on the meter's thread) and runs the test's script after it.
class RecordingSink : public IStatisticsSink {
 public:
  void ShowStatistics(uint64_t speed, uint64_t total, uint64_t downloaded) override {
    size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      samples_.push_back({speed, total, downloaded});
      index = samples_.size() - 1;
    }
    if (script) script(index);
    changed_.notify_all();
  }
  bool IsPaused() const override { return paused.load(); }

  bool WaitForCount(size_t count, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return samples_.size() >= count; });
  }
  std::vector<Sample> Samples() {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_.size();
  }

  std::atomic<bool> paused{false};
  // Called with the index of each update (0 is the first all-zero one).
  std::function<void(size_t)> script;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Sample> samples_;
};

// Time moves only when the meter waits; once the sink has seen `holdAfter` updates the
// clock stops and a wait blocks until the meter is stopped.
class FakeClock : public ISpeedClock {
 public:
  explicit FakeClock(RecordingSink& sink) : sink_(sink) {}
  uint64_t NowMs() override { return now.load(); }
  void Wait(HANDLE wake, DWORD ms) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waits_.push_back(ms);
    }
    if (WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) return;
    if (sink_.Count() >= holdAfter) {
      WaitForSingleObject(wake, 10000);
      return;
    }
    now += ms + extraPerWait;
  }
  std::vector<DWORD> Waits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waits_;
  }

  std::atomic<uint64_t> now{5000000000ull};  // far beyond the 32-bit tick range
  size_t holdAfter = 4;
  uint64_t extraPerWait = 0;

 private:
  RecordingSink& sink_;
  std::mutex mutex_;
  std::vector<DWORD> waits_;
};

constexpr uint64_t kMiB = 1024 * 1024;

class DownloadSpeedTest : public ::testing::Test {
 protected:
  DownloadSpeedTest() : clock(sink) {}

  // Runs the meter until `updates` updates were made (the final one excluded), stops it.
  std::vector<Sample> RunFor(size_t updates) {
    clock.holdAfter = updates;
    DownloadSpeed meter(manager, sink, &clock);
    meter.Start();
    EXPECT_TRUE(sink.WaitForCount(updates));
    meter.Stop(INFINITE);
    auto samples = sink.Samples();
    EXPECT_EQ(updates + 1, samples.size());
    if (!samples.empty()) {
      EXPECT_EQ((Sample{0, 0, 0}), samples.back());
    }
    return samples;
  }

  DownloadManager manager{nullptr};
  RecordingSink sink;
  FakeClock clock;
};

TEST_F(DownloadSpeedTest, AveragesOverTheWholeRunEveryTwoSeconds) {
  manager.totalBytes = 100 * kMiB;
  manager.finishedBytes = 4 * kMiB;
  sink.script = [this](size_t index) {
    if (index == 1) manager.inProgressBytes = 8 * kMiB;  // 12 MiB after 4 s
    if (index == 2) manager.finishedBytes = 10 * kMiB;   // 18 MiB after 6 s
  };
  auto samples = RunFor(4);
  EXPECT_EQ((Sample{0, 0, 0}), samples[0]);
  EXPECT_EQ((Sample{2048, 100 * kMiB, 4 * kMiB}), samples[1]);
  EXPECT_EQ((Sample{3072, 100 * kMiB, 12 * kMiB}), samples[2]);
  EXPECT_EQ((Sample{3072, 100 * kMiB, 18 * kMiB}), samples[3]);
  // The first sample is due 2000 ms after the start; then one wait of 2000 ms per sample.
  auto waits = clock.Waits();
  ASSERT_GE(waits.size(), 3u);
  EXPECT_EQ(2000u, waits[0]);
  EXPECT_EQ(2000u, waits[1]);
  EXPECT_EQ(2000u, waits[2]);
}

TEST_F(DownloadSpeedTest, WholeSecondsAndKilobytesAreRoundedDown) {
  clock.extraPerWait = 999;  // samples at 2.999 s, 5.998 s
  manager.finishedBytes = 3 * 1024 * 1000 + 1023;
  auto samples = RunFor(3);
  EXPECT_EQ(1500u, samples[1].speed);  // 3000 KB / 2 s
  EXPECT_EQ(600u, samples[2].speed);   // 3000 KB / 5 s
}

TEST_F(DownloadSpeedTest, PausedTimeShowsZeroAndDoesNotLowerTheAverageAfterwards) {
  manager.finishedBytes = 8 * kMiB;
  sink.script = [this](size_t index) {
    if (index == 1) sink.paused = true;   // the interval up to sample 2 is paused
    if (index == 2) sink.paused = false;  // counted again up to sample 3
  };
  auto samples = RunFor(4);
  EXPECT_EQ(4096u, samples[1].speed);  // 8192 KB / 2 s
  EXPECT_EQ(0u, samples[2].speed);
  EXPECT_EQ(2048u, samples[3].speed);  // 8192 KB / 4 counted s, not 6
  EXPECT_EQ(8 * kMiB, samples[2].downloaded);
}

TEST_F(DownloadSpeedTest, MergingTimeIsNotCountedButSpeedIsShown) {
  manager.finishedBytes = 12 * kMiB;
  sink.script = [this](size_t index) { manager.copying = index == 1; };
  auto samples = RunFor(3);
  EXPECT_EQ(6144u, samples[1].speed);  // 12288 KB / 2 s
  EXPECT_EQ(6144u, samples[2].speed);  // the copying interval left out
}

TEST_F(DownloadSpeedTest, WithinTheFirstCountedSecondTheDivisorIsOne) {
  manager.copying = true;  // the first interval does not count: 0 s have been counted
  manager.finishedBytes = 3 * kMiB;
  auto samples = RunFor(2);
  EXPECT_EQ(3072u, samples[1].speed);
}

TEST_F(DownloadSpeedTest, BytesFoundOnDiskAreLeftOut) {
  manager.finishedBytes = 50 * kMiB;
  manager.presentBytes = 50 * kMiB;
  sink.script = [this](size_t index) {
    if (index == 1) manager.inProgressBytes = 4 * kMiB;
    // More bytes reported present than counted (a pass recounting) must not wrap around.
    if (index == 2) manager.presentBytes = 60 * kMiB;
  };
  auto samples = RunFor(4);
  EXPECT_EQ(0u, samples[1].speed);
  EXPECT_EQ(50 * kMiB, samples[1].downloaded);
  EXPECT_EQ(1024u, samples[2].speed);  // 4096 KB / 4 s
  EXPECT_EQ(0u, samples[3].speed);
}

TEST_F(DownloadSpeedTest, StopDuringTheFirstWaitEndsAtOnceWithTheFinalUpdate) {
  DownloadSpeed meter(manager, sink);  // the system clock
  meter.Start();
  ASSERT_TRUE(sink.WaitForCount(1));
  const ULONGLONG started = GetTickCount64();
  meter.Stop(INFINITE);
  EXPECT_LT(GetTickCount64() - started, 1000u);
  EXPECT_EQ((std::vector<Sample>{{0, 0, 0}, {0, 0, 0}}), sink.Samples());
}

TEST_F(DownloadSpeedTest, SystemClockSamplesAfterTwoSecondsAndStopsInsideItsSleep) {
  manager.totalBytes = 10 * kMiB;
  manager.finishedBytes = 2 * kMiB;
  DownloadSpeed meter(manager, sink);
  const ULONGLONG started = GetTickCount64();
  meter.Start();
  ASSERT_TRUE(sink.WaitForCount(2, 8000));
  const ULONGLONG firstSample = GetTickCount64() - started;
  EXPECT_GE(firstSample, 1950u);
  EXPECT_LT(firstSample, 4000u);
  const ULONGLONG stopping = GetTickCount64();
  meter.Stop(500);
  EXPECT_LT(GetTickCount64() - stopping, 450u);  // ended by itself, not terminated
  auto samples = sink.Samples();
  ASSERT_EQ(3u, samples.size());
  EXPECT_EQ(1024u, samples[1].speed);  // 2048 KB / 2 s
  EXPECT_EQ((Sample{0, 0, 0}), samples[2]);
}

TEST_F(DownloadSpeedTest, RestartsAfterAStop) {
  clock.holdAfter = 1;
  DownloadSpeed meter(manager, sink, &clock);
  meter.Start();
  ASSERT_TRUE(sink.WaitForCount(1));
  meter.Stop(INFINITE);
  clock.holdAfter = 4;
  meter.Start();
  ASSERT_TRUE(sink.WaitForCount(4));
  meter.Stop(INFINITE);
  EXPECT_EQ(5u, sink.Count());
}

}  // namespace
