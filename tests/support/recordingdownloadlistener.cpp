#include "support/recordingdownloadlistener.h"

#include "download/fetch/filedownload.h"

#include <algorithm>
#include <chrono>

namespace testsupport {

void RecordingDownloadListener::OnDownloadFinished(FileDownload* worker) {
  Add({true, worker->PartDataSize(), worker->state.load()});
}

void RecordingDownloadListener::OnDownloadProgress(FileDownload* worker) {
  Add({false, worker->PartDataSize(), worker->state.load()});
  if (onProgress) onProgress(worker);
}

void RecordingDownloadListener::Add(const Event& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(event);
  changed_.notify_all();
}

std::vector<RecordingDownloadListener::Event> RecordingDownloadListener::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

size_t RecordingDownloadListener::Count(bool finished) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::count_if(events_.begin(), events_.end(),
                       [&](const Event& e) { return e.finished == finished; });
}

bool RecordingDownloadListener::WaitForProgress(size_t count, unsigned timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return events_.size() >= count ||  // all progress, as long as nothing finished
           std::any_of(events_.begin(), events_.end(), [](const Event& e) { return e.finished; });
  });
}

}  // namespace testsupport
