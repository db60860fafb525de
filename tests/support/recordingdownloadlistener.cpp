#include "support/recordingdownloadlistener.h"

#include "download/fetch/filedownload.h"

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

size_t RecordingDownloadListener::ProgressCount() const {
  size_t n = 0;
  for (const Event& e : Events()) n += e.finished ? 0 : 1;
  return n;
}

size_t RecordingDownloadListener::FinishedCount() const {
  size_t n = 0;
  for (const Event& e : Events()) n += e.finished ? 1 : 0;
  return n;
}

bool RecordingDownloadListener::WaitForProgress(size_t count, unsigned timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    size_t progress = 0;
    for (const Event& e : events_) {
      if (e.finished) return true;
      ++progress;
    }
    return progress >= count;
  });
}

bool RecordingDownloadListener::WaitForFinished(unsigned timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (const Event& e : events_) {
      if (e.finished) return true;
    }
    return false;
  });
}

}  // namespace testsupport
