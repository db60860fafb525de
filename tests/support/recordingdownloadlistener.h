// A download listener for tests: records every call a worker makes (on the worker's
// thread) and lets the test wait for them with bounded waits instead of sleeps.
#pragma once

#include "download/fetch/idownloadlistener.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace testsupport {

class RecordingDownloadListener : public IDownloadListener {
 public:
  struct Event {
    bool finished;  // OnDownloadFinished (else OnDownloadProgress)
    uint64_t size;  // the worker's PartDataSize() at the call
    int32_t state;  // the worker's state at the call
  };

  void OnDownloadFinished(FileDownload* worker) override;
  void OnDownloadProgress(FileDownload* worker) override;

  // Runs on the worker's thread inside OnDownloadProgress, after the call was recorded.
  std::function<void(FileDownload*)> onProgress;

  std::vector<Event> Events() const;
  size_t ProgressCount() const { return Count(false); }
  size_t FinishedCount() const { return Count(true); }
  // True once at least count progress calls (or one finished call) arrived in time.
  bool WaitForProgress(size_t count, unsigned timeoutMs) const;

 private:
  void Add(const Event& event);
  size_t Count(bool finished) const;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Event> events_;
};

}  // namespace testsupport
