#include "net/uploadcancel.h"

#include "net/fileupload.h"

bool UploadCancel::Attach(FileUpload* upload) {
  velmot::CriticalSectionLock hold(lock_);
  if (cancelled_) return false;
  upload_ = upload;
  return true;
}

void UploadCancel::Detach() {
  velmot::CriticalSectionLock hold(lock_);
  upload_ = nullptr;
}

void UploadCancel::Cancel() {
  velmot::CriticalSectionLock hold(lock_);
  cancelled_ = true;
  // Only asks: the operation's own thread waits for the upload and then detaches it.
  if (upload_) upload_->StopWithin(0);
}

bool UploadCancel::Cancelled() {
  velmot::CriticalSectionLock hold(lock_);
  return cancelled_;
}
