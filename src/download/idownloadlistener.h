// How a file download worker reports to its owner. Both calls come on the worker's thread.
#pragma once

class FileDownload;

class IDownloadListener {
 public:
  virtual ~IDownloadListener() = default;
  // Once, at the end of the worker's body, after its state became Finished.
  virtual void OnDownloadFinished(FileDownload* worker) = 0;
  // After every read that added bytes, and once when the part file could not be written.
  virtual void OnDownloadProgress(FileDownload* worker) = 0;
};
