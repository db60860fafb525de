#include "support/recordingdmlistener.h"

#include "support/testenv.h"

namespace testsupport {

void RecordingDMListener::OnFinished(DownloadManager& manager) {
  ++finished_;
  if (onFinished) onFinished(manager);
}

void RecordingDMListener::OnError(const std::wstring& text) {
  std::lock_guard<std::mutex> hold(mutex_);
  errors_.push_back(text);
}

std::vector<std::wstring> RecordingDMListener::Errors() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return errors_;
}

bool RecordingDMListener::WaitForFinished(unsigned timeoutMs) const {
  return Eventually([this] { return finished_ > 0; }, timeoutMs);
}

}  // namespace testsupport
