// Samples the manager's byte counters every 2000 ms on its own thread and hands the
// average speed of this run to a statistics sink (the window). Started by the window when
// the download starts; stopped by it (INFINITE at the job's end, 500 ms when closing).
// A stop ends the meter's waits at once (they are on the base's stop event), so neither stop has to
// wait out a sleep; the meter then makes its final all-zero update and ends.
#pragma once

#include "base/handles.h"
#include "base/orx_thread.h"
#include "download/job/progresscounters.h"

#include <atomic>
#include <cstdint>

class DownloadManager;

// The consumer of the meter's samples (the window; a recorder in tests).
class IStatisticsSink {
 public:
  virtual ~IStatisticsSink() = default;
  virtual void ShowStatistics(uint64_t speedKBps, uint64_t totalBytes,
                              uint64_t downloadedBytes) = 0;
  virtual bool IsPaused() const = 0;
};

// The meter's time: a 64-bit millisecond tick count and a wait that a stop cuts short.
// The default is the system's; tests pass a clock they control.
class ISpeedClock {
 public:
  virtual ~ISpeedClock() = default;
  virtual uint64_t NowMs() = 0;
  // Waits up to ms milliseconds or until wake is signalled.
  virtual void Wait(HANDLE wake, DWORD ms) = 0;
};

class DownloadSpeed : public Orx_Thread {
 public:
  static constexpr uint64_t kSampleIntervalMs = 2000;

  // clock: null for the system clock; otherwise not owned and must outlive the meter.
  DownloadSpeed(DownloadManager& manager, IStatisticsSink& sink, ISpeedClock* clock = nullptr);
  ~DownloadSpeed() override;

 protected:
  void Run() override;

 private:
  static uint64_t BytesOfThisRun(const ProgressCounters& progress);
  bool KeepGoing() const { return running.load(); }

  DownloadManager& manager_;
  IStatisticsSink& sink_;
  ISpeedClock* clock_;
};
