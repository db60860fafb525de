// The download request on a thread of its own, so that the window keeps painting and
// answering while the web service takes its time (three attempts of up to 10 s to connect
// and 120 s per send or receive). Owned by the window: started once by DownloadDialog::Show
// on the UI thread, stopped by the close sequence with a bound (StopWithin). A stop aborts
// the request: OnStopRequested cancels its upload, whose request is closed. When Wine lets
// the blocked call run on regardless, the owner abandons the worker (Orx_Thread::Abandon);
// the worker only touches its own members, the error log and PostMessage, so that is safe.
//
// Before anything is asked the worker checks that the download folder (the program's own)
// and the work folder take files: a program started from a read-only medium, share or
// protected folder would otherwise fetch every part only to fail at the merge. Such a
// folder ends the request with a text for the user and no exchange at all.
//
// When the exchange is over the worker stores its result and posts doneMessage to window;
// the window then takes the result on its own thread.
#pragma once

#include "base/handles.h"
#include "base/orx_thread.h"
#include "download/service/serviceclient.h"
#include "net/uploadcancel.h"

#include <windows.h>

#include <string>

class DescriptorRequest : public Orx_Thread {
 public:
  struct Result {
    bool done = false;  // the exchange is over (otherwise the rest is empty)
    bool ok = false;    // the descriptor may be used: the request succeeded without a text
    DownloadDescriptor descriptor;
    std::wstring productSuffix;
    std::wstring errorText;  // for the user, when !ok
  };

  DescriptorRequest(const std::wstring& computerId, const std::wstring& releaseName,
                    const std::wstring& workFolder, const std::wstring& downloadFolder, HWND window,
                    UINT doneMessage);
  ~DescriptorRequest() override;

  // Any thread; a copy of what the worker stored.
  Result TakeResult();

 protected:
  void Run() override;
  void OnStopRequested() override;
  void OnEscapedException(const std::exception* e) override;

 private:
  // Makes the work folder (one level) and probes it and the download folder; the first
  // that takes no files is recorded with the system's code and its text goes to errorText.
  bool FoldersTakeFiles(std::wstring& errorText) const;

  const std::wstring computerId_;
  const std::wstring releaseName_;
  const std::wstring workFolder_;
  const std::wstring downloadFolder_;
  const HWND window_;
  const UINT doneMessage_;
  UploadCancel cancel_;
  velmot::CriticalSection resultLock_;
  Result result_;
};
