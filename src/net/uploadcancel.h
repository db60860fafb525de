// Lets one thread cancel the FileUpload that an operation on another thread has in flight
// (the download request, when the window closes during it). The operation attaches its
// upload for as long as it runs; Cancel asks the attached upload to stop (which closes its
// request) without waiting, and makes every later Attach fail, so a cancel that comes before
// the upload exists is not lost. Any thread; never blocks beyond a short lock.
#pragma once

#include "base/handles.h"

class FileUpload;

class UploadCancel {
 public:
  UploadCancel() = default;
  UploadCancel(const UploadCancel&) = delete;
  UploadCancel& operator=(const UploadCancel&) = delete;

  // False when Cancel came first: the operation should not start its upload.
  bool Attach(FileUpload* upload);
  void Detach();
  void Cancel();
  bool Cancelled();

 private:
  velmot::CriticalSection lock_;
  FileUpload* upload_ = nullptr;
  bool cancelled_ = false;
};
