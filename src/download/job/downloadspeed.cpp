#include "download/job/downloadspeed.h"

#include "download/job/downloadmanager.h"

namespace {

// GetTickCount64 rather than the 32-bit count: intervals stay right after 49.7 days.
class SystemClock : public ISpeedClock {
 public:
  uint64_t NowMs() override { return GetTickCount64(); }
  void Wait(HANDLE wake, DWORD ms) override { WaitForSingleObject(wake, ms); }
};

SystemClock gSystemClock;

}  // namespace

DownloadSpeed::DownloadSpeed(DownloadManager& manager, IStatisticsSink& sink, ISpeedClock* clock)
    : Orx_Thread(L"Velmot speed meter"),
      manager_(manager),
      sink_(sink),
      clock_(clock ? clock : &gSystemClock) {}

DownloadSpeed::~DownloadSpeed() { Stop(INFINITE); }

// Bytes found on disk were not transferred in this run; a transient excess of them over
// the counted bytes (while a pass recounts) must not wrap around to a huge speed.
uint64_t DownloadSpeed::BytesOfThisRun(const ProgressCounters& progress) {
  const uint64_t counted = progress.CountedBytes();
  return counted > progress.presentBytes ? counted - progress.presentBytes : 0;
}

void DownloadSpeed::Run() {
  uint64_t start = clock_->NowMs();
  uint64_t last = start;
  sink_.ShowStatistics(0, 0, 0);

  while (KeepGoing()) {
    const uint64_t bytes = BytesOfThisRun(manager_.Progress());
    const uint64_t now = clock_->NowMs();
    if (now - last < kSampleIntervalMs) {
      // Until the next sample is due there is nothing to do: wait instead of polling.
      clock_->Wait(StopEvent(), static_cast<DWORD>(kSampleIntervalMs - (now - last)));
      continue;
    }
    const bool paused = sink_.IsPaused();
    // Paused or merging time is not transfer time.
    const ProgressCounters progress = manager_.Progress();
    if (paused || progress.copying) start += now - last;
    uint64_t elapsedSeconds = (now - start) / 1000;
    if (elapsedSeconds < 1) elapsedSeconds = 1;
    const uint64_t speed = paused ? 0 : (bytes / 1024) / elapsedSeconds;
    last = now;
    sink_.ShowStatistics(speed, progress.totalBytes, progress.CountedBytes());
    if (!KeepGoing()) break;
    clock_->Wait(StopEvent(), static_cast<DWORD>(kSampleIntervalMs));
  }
  sink_.ShowStatistics(0, 0, 0);
}
