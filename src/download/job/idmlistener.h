// How the download manager reports to the window.
#pragma once

#include <string>

class DownloadManager;

class IDMListener {
 public:
  virtual ~IDMListener() = default;
  // The job is over (setup start tried, release gone, or the write-failure redirect).
  virtual void OnFinished(DownloadManager& manager) = 0;
  // The counters changed (on a worker's thread).
  virtual void OnProgress(DownloadManager& manager) = 0;
  // A text for the user; may block until the user has read it.
  virtual void OnError(const std::wstring& text) = 0;
};
