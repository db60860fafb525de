#include "ui/downloaddialog.h"

#include "base/orx_thread.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "resource.h"

#include <velmot/config.h>

#include <commctrl.h>

#include <algorithm>
#include <future>
#include <stdexcept>

namespace {

// How long a close waits for message boxes of other threads to go before it goes on.
const DWORD kAnswerIntervalMs = 50;

BOOL CALLBACK DismissBox(HWND window, LPARAM) {
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  // A message box is a dialog of the system class; OK ends it like a click would.
  if (lstrcmpW(className, L"#32770") == 0) PostMessageW(window, WM_COMMAND, IDOK, 0);
  return TRUE;
}

}  // namespace

DownloadDialog::DownloadDialog(HINSTANCE instance)
    : DownloadDialog(instance, ReleasePaths::ModulePath()) {}

DownloadDialog::DownloadDialog(HINSTANCE instance, const std::wstring& modulePath)
    : instance_(instance),
      paths_(modulePath),
      manager(this),
      speedMeter(manager, *this),
      tips_(velmot::kFaqUrl, velmot::kForumUrl),
      taskDone_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  CreateWindowFromTemplate();
  SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS);
  try {
    InitControls();
  } catch (...) {
    // The object never existed for the caller: the window must not point at it.
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
    throw;
  }
}

void DownloadDialog::CreateWindowFromTemplate() {
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  window_ = CreateDialogParamW(instance_, MAKEINTRESOURCEW(IDD_DOWNLOAD), nullptr, DialogProc, 0);
  if (window_ == nullptr) {
    VELMOT_LOG_LAST_ERROR(std::string("DownloadDialog: the window could not be created"));
    throw std::runtime_error("the download window could not be created");
  }
  ShowWindow(window_, SW_HIDE);
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

void DownloadDialog::InitControls() {
  SendDlgItemMessageW(window_, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SetWindowTextW(window_, (paths_.ReleaseName() + L" download manager").c_str());
  DialogScale::SetWindowIcons(window_, instance_);

  HDC screen = GetDC(nullptr);
  ApplyDpi(GetDeviceCaps(screen, LOGPIXELSY));
  ReleaseDC(nullptr, screen);
  ShowWindow(GetDlgItem(window_, IDC_PAUSE), SW_HIDE);
  ShowWindow(GetDlgItem(window_, IDC_TIP), SW_HIDE);

  // The labels (1006) are wider than their column and overlap the values (1005); with
  // the white background each would paint over the other. The values stay on top and the
  // labels leave them out when they paint.
  HWND labels = GetDlgItem(window_, IDC_LABELS);
  SetWindowLongPtrW(labels, GWL_STYLE, GetWindowLongPtrW(labels, GWL_STYLE) | WS_CLIPSIBLINGS);
  SetWindowPos(GetDlgItem(window_, IDC_VALUES), HWND_TOP, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

// The window's look for a display of this many pixels per inch: at start, and again when
// the window moves to a monitor with another scale.
void DownloadDialog::ApplyDpi(int pixelsPerInch) {
  scale_.Apply(window_, instance_, pixelsPerInch, paused.load());
}

DownloadDialog::~DownloadDialog() {
  SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  closeRequested_ = true;
  if (!closing_.load()) {
    // The close sequence never ran (an exception left the message loop): stop the job
    // here, the manager first so that no listener call comes after the meter has gone.
    RunWhileAnswering([this] {
      manager.StopJob();
      StopMeter(INFINITE);
    });
  }
  DestroyWindow(window_);
}

void DownloadDialog::Show() {
  ShowWindow(window_, SW_SHOW);
  // The request below blocks this thread; paint the first contents before it does.
  UpdateWindow(window_);
  if (!paths_.NamesARelease()) {
    // Nothing is asked and no folder is made or touched for a name such as "_x.exe", whose
    // work folder would be local application data itself.
    Error::LogError(L"The program's file name names no release: " + paths_.ModulePathText(), 0,
                    VELMOT_HERE);
    SetDlgItemTextW(window_, IDC_INFO, velmot::texts::kNoRelease);
    return;
  }
  // The request creates the work folder, so that a log upload after a failed request
  // has a place for its file.
  manager.appDataFolder = ReleasePaths::LocalAppData();
  manager.workFolder = paths_.WorkFolder(manager.appDataFolder);
  std::wstring errorText;
  const bool ok = manager.RequestDownload(paths_.RequestName(), errorText);
  if (ok && errorText.empty()) {
    StartDownload();
    return;
  }
  std::wstring text = velmot::texts::kRequestFailed;
  text += errorText.empty() ? velmot::texts::kNoUsableAnswer : errorText;
  SetDlgItemTextW(window_, IDC_INFO, text.c_str());
}

void DownloadDialog::StartDownload() {
  const std::wstring downloadFolder = paths_.DownloadFolder();
  const std::wstring listFileName = paths_.ListFileName();
  const std::wstring workFolder = paths_.WorkFolder(ReleasePaths::LocalAppData());
  speedMeter.Start();
  for (int id : {IDC_LOGO, IDC_PROGRESS, IDC_LABELS}) ShowWindow(GetDlgItem(window_, id), SW_SHOW);
  SetDlgItemTextW(window_, IDC_INFO, (velmot::texts::kDownloading + downloadFolder).c_str());
  manager.StartJob(velmot::kFileHost, L"", listFileName, workFolder, downloadFolder);
}

INT_PTR CALLBACK DownloadDialog::DialogProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  auto* self = reinterpret_cast<DownloadDialog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return FALSE;
  try {
    return self->HandleMessage(message, wParam, lParam);
  } catch (const std::exception& e) {
    Error::LogMessage(std::string("DownloadDialog: message handling failed: ") + e.what(),
                      VELMOT_HERE);
    return FALSE;
  }
}

INT_PTR DownloadDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DPICHANGED:
      ApplyDpi(HIWORD(wParam));
      return FALSE;  // the dialog's own handling moves and sizes it to the suggested rectangle
    case WM_CLOSE:
      OnClose();
      return TRUE;
    case WM_DESTROY:
      OnDestroy();
      return TRUE;
    case WM_ERASEBKGND: {
      RECT client;
      GetClientRect(window_, &client);
      HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
      FillRect(reinterpret_cast<HDC>(wParam), &client, white);
      DeleteObject(white);
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, 1);
      return TRUE;
    }
    case WM_COMMAND:
      OnCommand(wParam, lParam);
      return TRUE;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkColor(dc, RGB(255, 255, 255));
      SetDCBrushColor(dc, RGB(255, 255, 255));
      return reinterpret_cast<INT_PTR>(GetStockObject(DC_BRUSH));
    }
    case kStatisticsMessage:
      ApplyPendingStatistics();
      return TRUE;
    default:
      return FALSE;
  }
}

void DownloadDialog::OnCommand(WPARAM wParam, LPARAM) {
  if (HIWORD(wParam) != BN_CLICKED || LOWORD(wParam) != IDC_PAUSE) return;
  // While closing, or while a message box of the manager is open (the window is disabled
  // then; the manager may hold its lock), a click would only wait for the manager.
  if (closeRequested_.load()) return;
  {
    std::lock_guard<std::mutex> lock(boxLock_);
    if (!boxThreads_.empty()) return;
  }
  const bool nowPaused = !paused.load();
  paused = nowPaused;
  SendDlgItemMessageW(window_, IDC_PAUSE, BM_SETIMAGE, IMAGE_BITMAP,
                      reinterpret_cast<LPARAM>(scale_.PauseImage(nowPaused)));
  manager.TogglePause();
}

void DownloadDialog::OnClose() {
  // A WM_CLOSE sent while the close below is waiting is answered here at once.
  if (closeRequested_.exchange(true)) return;
  SetDlgItemTextW(window_, IDC_TIP, velmot::texts::kStopping);
  ShowWindow(GetDlgItem(window_, IDC_TIP), SW_SHOW);
  UpdateWindow(window_);
  savedCursor_ = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  RunWhileAnswering([this] {
    try {
      StopAndQuit();
    } catch (...) {
      // Whatever failed, the window must still go away.
      PostMessageW(window_, WM_DESTROY, 0, 0);
      throw;
    }
  });
}

void DownloadDialog::OnDestroy() {
  SetCursor(savedCursor_);
  EndDialog(window_, 0);
  PostQuitMessage(0);
}

void DownloadDialog::StopAndQuit() {
  if (closing_.exchange(true)) return;
  manager.StopJob();
  StopMeter(500);
  manager.PostLogFile();
  PostMessageW(window_, WM_DESTROY, 0, 0);
}

void DownloadDialog::StopMeter(DWORD timeoutMs) {
  std::lock_guard<std::mutex> lock(meterStopLock_);
  speedMeter.Stop(timeoutMs);
}

void DownloadDialog::RunWhileAnswering(const std::function<void()>& work) {
  ResetEvent(taskDone_.Get());
  HANDLE done = taskDone_.Get();
  std::future<void> task = std::async(std::launch::async, [&work, done] {
    InstallStructuredExceptionTranslator();
    try {
      work();
    } catch (const std::exception& e) {
      Error::LogMessage(std::string("DownloadDialog: closing failed: ") + e.what(), VELMOT_HERE);
    }
    SetEvent(done);
  });
  for (;;) {
    const DWORD result =
        MsgWaitForMultipleObjectsEx(1, &done, kAnswerIntervalMs, QS_SENDMESSAGE, 0);
    if (result == WAIT_OBJECT_0) break;
    if (result == WAIT_FAILED) Sleep(kAnswerIntervalMs);
    // Answers the messages other threads send (statistics readers, a message box's owner
    // handling) without taking input or posted messages out of the queue.
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    DismissMessageBoxes();
  }
  task.get();
}

void DownloadDialog::DismissMessageBoxes() {
  std::set<DWORD> threads;
  {
    std::lock_guard<std::mutex> lock(boxLock_);
    threads.insert(boxThreads_.begin(), boxThreads_.end());
  }
  for (DWORD thread : threads) EnumThreadWindows(thread, DismissBox, 0);
}

void DownloadDialog::OnFinished(DownloadManager&) {
  StopMeter(INFINITE);
  PostMessageW(window_, WM_CLOSE, 0, 0);
}

void DownloadDialog::OnProgress(DownloadManager&) {}

void DownloadDialog::OnError(const std::wstring& text) {
  const DWORD thread = GetCurrentThreadId();
  {
    std::lock_guard<std::mutex> lock(boxLock_);
    if (closeRequested_.load()) {
      // Nobody would read a box now, and the close would wait for it.
      Error::LogError(L"Not shown while the window closes: " + text, 0, VELMOT_HERE);
      return;
    }
    boxThreads_.insert(thread);
  }
  MessageBoxW(window_, text.c_str(), L"Error", MB_ICONERROR);
  std::lock_guard<std::mutex> lock(boxLock_);
  boxThreads_.erase(boxThreads_.find(thread));
}

void DownloadDialog::ShowStatistics(uint64_t speedKBps, uint64_t totalBytes,
                                    uint64_t downloadedBytes) {
  if (closeRequested_.load()) return;
  StatisticsInput input;
  input.speedKBps = speedKBps;
  input.total = totalBytes;
  input.downloaded = downloadedBytes;
  const ProgressCounters progress = manager.Progress();
  input.totalBytes = progress.totalBytes;
  input.finishedBytes = progress.finishedBytes;
  input.inProgressBytes = progress.inProgressBytes;
  input.verifiedBytes = progress.verifiedBytes;
  input.copyPercent = static_cast<uint32_t>(progress.copyPercent);
  input.copying = progress.copying;
  input.verifying = progress.verifying;
  input.networkRetrySeconds = progress.networkRetrySeconds;
  input.signInPage = progress.signInPage;
  const StatisticsView view = StatisticsText::Compose(input);
  std::wstring tip;
  const bool hasTip = tips_.OnStatisticsUpdate(tip);

  bool post = false;
  {
    std::lock_guard<std::mutex> lock(statisticsLock_);
    pendingView_ = view;
    // A tip not yet shown is kept when a newer view replaces the pending one.
    if (hasTip) pendingTip_ = tip;
    post = !viewPosted_;
    viewPosted_ = true;
  }
  if (post && !PostMessageW(window_, kStatisticsMessage, 0, 0)) {
    std::lock_guard<std::mutex> lock(statisticsLock_);
    viewPosted_ = false;
  }
}

void DownloadDialog::SetProgress(int32_t percent) {
  PostMessageW(GetDlgItem(window_, IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

void DownloadDialog::ShowControl(int id, Visibility visibility) {
  if (visibility == Visibility::kKeep) return;
  ShowWindow(GetDlgItem(window_, id), visibility == Visibility::kShow ? SW_SHOW : SW_HIDE);
}

void DownloadDialog::ApplyPendingStatistics() {
  // Once closing, the tip line shows the stopping text and nothing else changes.
  if (closeRequested_.load()) return;
  StatisticsView view;
  std::wstring tip;
  {
    std::lock_guard<std::mutex> lock(statisticsLock_);
    view = pendingView_;
    tip.swap(pendingTip_);
    viewPosted_ = false;
  }
  ShowControl(IDC_LABELS, view.labelsVisibility);
  ShowControl(IDC_VALUES, view.valuesVisibility);
  ShowControl(IDC_PAUSE, view.pauseVisibility);
  SendDlgItemMessageW(window_, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(view.progress), 0);
  if (!tip.empty()) {
    SetDlgItemTextW(window_, IDC_TIP, tip.c_str());
    ShowWindow(GetDlgItem(window_, IDC_TIP), SW_SHOW);
  }
  SetDlgItemTextW(window_, IDC_LABELS, view.labels.c_str());
  SetDlgItemTextW(window_, IDC_VALUES, view.values.c_str());
}
