#include "support/recordingdmlistener.h"

#include <chrono>

namespace testsupport {

void RecordingDMListener::OnFinished(DownloadManager& manager) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++finished_;
    changed_.notify_all();
  }
  if (onFinished) onFinished(manager);
}

void RecordingDMListener::OnProgress(DownloadManager& manager) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++progress_;
    changed_.notify_all();
  }
  if (onProgress) onProgress(manager);
}

void RecordingDMListener::OnError(const std::wstring& text) {
  std::lock_guard<std::mutex> hold(mutex_);
  errors_.push_back(text);
  changed_.notify_all();
}

size_t RecordingDMListener::FinishedCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return finished_;
}

size_t RecordingDMListener::ProgressCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return progress_;
}

std::vector<std::wstring> RecordingDMListener::Errors() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return errors_;
}

bool RecordingDMListener::WaitForFinished(unsigned timeoutMs) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                           [&] { return finished_ > 0; });
}

bool RecordingDMListener::WaitForError(unsigned timeoutMs) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                           [&] { return !errors_.empty(); });
}

}  // namespace testsupport
