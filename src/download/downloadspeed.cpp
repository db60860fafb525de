#include "download/downloadspeed.h"

#include "download/downloadmanager.h"

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
    : manager_(manager),
      sink_(sink),
      clock_(clock ? clock : &gSystemClock),
      wake_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

DownloadSpeed::~DownloadSpeed() { Stop(INFINITE); }

void DownloadSpeed::Start() {
  stopRequested_ = false;
  if (wake_) ResetEvent(wake_.Get());
  Orx_Thread::Start();
}

void DownloadSpeed::Stop(DWORD timeoutMs) {
  if (running.load()) {
    stopRequested_ = true;
    if (wake_) SetEvent(wake_.Get());
  }
  Orx_Thread::Stop(timeoutMs);
}

// Bytes found on disk were not transferred in this run; a transient excess of them over
// the counted bytes (while a pass recounts) must not wrap around to a huge speed.
uint64_t DownloadSpeed::BytesOfThisRun() const {
  const uint64_t counted = manager_.finishedBytes.load() + manager_.inProgressBytes.load();
  const uint64_t present = manager_.presentBytes.load();
  return counted > present ? counted - present : 0;
}

void DownloadSpeed::Run() {
  uint64_t start = clock_->NowMs();
  uint64_t last = start;
  sink_.ShowStatistics(0, 0, 0);

  while (KeepGoing()) {
    const uint64_t bytes = BytesOfThisRun();
    const uint64_t now = clock_->NowMs();
    if (now - last < kSampleIntervalMs) {
      // Until the next sample is due there is nothing to do: wait instead of polling.
      clock_->Wait(wake_.Get(), static_cast<DWORD>(kSampleIntervalMs - (now - last)));
      continue;
    }
    const bool paused = sink_.IsPaused();
    // Paused or merging time is not transfer time.
    if (paused || manager_.copying.load()) start += now - last;
    uint64_t elapsedSeconds = (now - start) / 1000;
    if (elapsedSeconds < 1) elapsedSeconds = 1;
    const uint64_t speed = paused ? 0 : (bytes / 1024) / elapsedSeconds;
    last = now;
    sink_.ShowStatistics(speed, manager_.totalBytes.load(),
                         manager_.finishedBytes.load() + manager_.inProgressBytes.load());
    if (!KeepGoing()) break;
    clock_->Wait(wake_.Get(), static_cast<DWORD>(kSampleIntervalMs));
  }
  sink_.ShowStatistics(0, 0, 0);
}
