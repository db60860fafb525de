// How a file download worker reports to its owner. Every call comes on the worker's thread.
#pragma once

#include <string>

class FileDownload;

class IDownloadListener {
 public:
  virtual ~IDownloadListener() = default;
  // Once, at the end of the worker's body, after its state became Finished.
  virtual void OnDownloadFinished(FileDownload* worker) = 0;
  // After every read that added bytes, and once when the part file could not be written.
  virtual void OnDownloadProgress(FileDownload* worker) = 0;
  // Right before the worker deletes a file of its own (a part file it could not write
  // whole), so that an owner who watches the folder knows the deletion is no one else's.
  virtual void OnDeletingOwnFile(FileDownload* /*worker*/, const std::wstring& /*path*/) {}
  // After OnDeletingOwnFile when that delete failed: the file is still there, and a later
  // deletion of it is no longer the worker's.
  virtual void OnOwnFileKept(FileDownload* /*worker*/, const std::wstring& /*path*/) {}
};
