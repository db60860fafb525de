// A download-manager listener for tests: records every call (on whichever thread makes it)
// and lets the test wait for the end with a bounded wait.
#pragma once

#include "download/job/idmlistener.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class RecordingDMListener : public IDMListener {
 public:
  void OnFinished(DownloadManager& manager) override;
  void OnProgress(DownloadManager& manager) override {
    if (onProgress) onProgress(manager);
  }
  void OnError(const std::wstring& text) override;

  // Run inside OnProgress (on the worker's thread) and OnFinished, after the call was
  // recorded: a test's extra reaction, which may throw.
  std::function<void(DownloadManager&)> onProgress;
  std::function<void(DownloadManager&)> onFinished;

  size_t FinishedCount() const { return finished_; }
  std::vector<std::wstring> Errors() const;
  bool WaitForFinished(unsigned timeoutMs) const;

 private:
  std::atomic<size_t> finished_{0};
  mutable std::mutex mutex_;
  std::vector<std::wstring> errors_;
};

}  // namespace testsupport
