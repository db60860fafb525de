// The download window's way out and what interrupts the user: the close sequence, the
// job's end, and the manager's texts shown in message boxes on the UI thread.
#include "ui/downloaddialog.h"

#include "base/orx_thread.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "net/proxysignin.h"
#include "resource.h"

#include <exception>
#include <string>
#include <utility>

namespace {

struct OwnBoxes {
  HWND window;
};

BOOL CALLBACK DismissOwnBox(HWND box, LPARAM param) {
  const HWND window = reinterpret_cast<OwnBoxes*>(param)->window;
  wchar_t className[16] = {};
  GetClassNameW(box, className, 16);
  // A message box is a dialog of the system class owned by the window; OK ends it like a
  // click would, and the box's loop then returns to ShowPendingErrors.
  if (box != window && GetWindow(box, GW_OWNER) == window && lstrcmpW(className, L"#32770") == 0) {
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  return TRUE;
}

void RecordNotShown(const std::wstring& text) {
  Error::LogError(L"Not shown while the window closes: " + text, 0, VELMOT_HERE);
}

}  // namespace

DownloadDialog::~DownloadDialog() {
  ProxySignIn::Withdraw(window_);
  SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  closeRequested_ = true;
  if (closeTask_.valid()) {
    // The close sequence ran; it may still be uploading the log (within its budget).
    closeTask_.wait();
  } else if (!closing_.exchange(true)) {
    // The close sequence never ran (an exception left the message loop): stop the job
    // here, the manager first so that no listener call comes after the meter has gone.
    // Nothing of it waits for this thread: every other thread only posts to the window.
    StopRequest(std::move(request_));
    manager.StopJob();
    StopMeter(INFINITE);
  }
  StopRequest(std::move(request_));
  DestroyWindow(window_);
}

void DownloadDialog::OnClose() {
  // A second WM_CLOSE while the first is being handled changes nothing.
  if (closeRequested_.exchange(true)) return;
  // The user asked the window to go: a prompt now would be a surprise.
  ProxySignIn::Withdraw(window_);
  SetDlgItemTextW(window_, IDC_TIP, velmot::texts::kStopping);
  ShowWindow(GetDlgItem(window_, IDC_TIP), SW_SHOW);
  UpdateWindow(window_);
  savedCursor_ = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  // The close task takes the request over; asking it here lets it wind down meanwhile.
  closingRequest_ = std::move(request_);
  if (closingRequest_) closingRequest_->StopWithin(0);
  closeTask_ = std::async(std::launch::async, [this] {
    InstallStructuredExceptionTranslator();
    try {
      StopAndQuit();
    } catch (const std::exception& e) {
      Error::LogMessage(std::string("DownloadDialog: closing failed: ") + e.what(), VELMOT_HERE);
      // Whatever failed, the window must still go away.
      PostMessageW(window_, kJobStoppedMessage, 0, 0);
      PostMessageW(window_, WM_DESTROY, 0, 0);
    }
  });
  // The UI thread goes back to its message loop: the window keeps painting while the task
  // stops the job.
}

void DownloadDialog::OnDestroy() {
  SetCursor(savedCursor_);
  EndDialog(window_, 0);
  PostQuitMessage(0);
}

void DownloadDialog::StopAndQuit() {
  if (closing_.exchange(true)) return;
  StopRequest(std::move(closingRequest_));
  manager.StopJob();
  StopMeter(500);
  // The user asked for the window to go: it goes as soon as nothing runs any more, and the
  // log upload, which may take a while, happens out of sight.
  PostMessageW(window_, kJobStoppedMessage, 0, 0);
  manager.PostLogFile(kLogUploadBudgetMs);
  PostMessageW(window_, WM_DESTROY, 0, 0);
}

void DownloadDialog::StopRequest(std::unique_ptr<DescriptorRequest> request) {
  if (!request || request->StopWithin(kRequestStopMs)) return;
  // Wine lets a blocked send run on after its request was closed (see FileDownload).
  Error::LogError(L"The download request did not stop within " + std::to_wstring(kRequestStopMs) +
                      L" ms; it is left to end by itself",
                  0, VELMOT_HERE);
  Orx_Thread::Abandon(std::move(request));
}

void DownloadDialog::StopMeter(DWORD timeoutMs) {
  std::lock_guard<std::mutex> lock(meterStopLock_);
  speedMeter.Stop(timeoutMs);
}

void DownloadDialog::OnJobStopped() {
  ShowWindow(window_, SW_HIDE);
  // A box left open would outlive its hidden owner: end it.
  OwnBoxes own{window_};
  EnumThreadWindows(GetCurrentThreadId(), DismissOwnBox, reinterpret_cast<LPARAM>(&own));
}

void DownloadDialog::OnFinished(DownloadManager&) {
  StopMeter(INFINITE);
  PostMessageW(window_, kFinishedMessage, 0, 0);
}

// The job's end closes the window, but only after the user has read what it said (a setup
// that could not be started, the redirect to support).
void DownloadDialog::OnJobFinished() {
  bool waiting = showingBox_;
  {
    std::lock_guard<std::mutex> lock(errorLock_);
    waiting = waiting || !pendingErrors_.empty();
  }
  if (waiting) {
    closeAfterBoxes_ = true;
    return;
  }
  PostMessageW(window_, WM_CLOSE, 0, 0);
}

void DownloadDialog::OnProgress(DownloadManager&) {}

void DownloadDialog::OnError(const std::wstring& text) {
  {
    std::lock_guard<std::mutex> lock(errorLock_);
    if (!closeRequested_.load()) {
      pendingErrors_.push_back(text);
      PostMessageW(window_, kErrorMessage, 0, 0);
      return;
    }
  }
  // Nobody would read a box now.
  RecordNotShown(text);
}

// One box at a time, in the order the texts came; a text that comes while a box is open is
// shown after it (the box's own loop dispatches the message here, and this returns at once).
void DownloadDialog::ShowPendingErrors() {
  if (showingBox_) return;
  showingBox_ = true;
  for (;;) {
    std::wstring text;
    {
      std::lock_guard<std::mutex> lock(errorLock_);
      if (pendingErrors_.empty()) break;
      text = pendingErrors_.front();
      pendingErrors_.pop_front();
    }
    if (closeRequested_.load()) {
      RecordNotShown(text);
      continue;
    }
    if (text == velmot::texts::kGiveUp) {
      // The job has given up: the taskbar button says so until the window closes.
      gaveUp_ = true;
      ApplyTaskbarState();
    }
    taskbar_->Flash(window_);
    MessageBoxW(window_, text.c_str(), L"Error", MB_ICONERROR);
  }
  showingBox_ = false;
  if (closeAfterBoxes_ && !closeRequested_.load()) {
    closeAfterBoxes_ = false;
    PostMessageW(window_, WM_CLOSE, 0, 0);
  }
}
