// Samples the manager's byte counters every 2000 ms on its own thread and hands the
// average speed of this run to a statistics sink (the window). Started by the window when
// the download starts; stopped by it (INFINITE at the job's end, 500 ms when closing).
#pragma once

#include "app/orx_thread.h"

#include <cstdint>

class DownloadManager;

// The consumer of the meter's samples (the window; a recorder in tests).
class IStatisticsSink {
 public:
  virtual ~IStatisticsSink() = default;
  virtual void ShowStatistics(uint64_t speedKBps, uint64_t totalBytes, uint64_t downloadedBytes) = 0;
  virtual bool IsPaused() const = 0;
};

class DownloadSpeed : public Orx_Thread {
 public:
  DownloadSpeed(DownloadManager& manager, IStatisticsSink& sink);
  ~DownloadSpeed() override;

 protected:
  void Run() override;

 private:
  DownloadManager& manager_;
  IStatisticsSink& sink_;
};
