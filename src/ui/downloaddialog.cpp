#include "ui/downloaddialog.h"

#include "base/orx_thread.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "net/proxysignin.h"
#include "resource.h"

#include <velmot/config.h>

#include <commctrl.h>

#include <stdexcept>
#include <utility>

DownloadDialog::DownloadDialog(HINSTANCE instance)
    : DownloadDialog(instance, ReleasePaths::ModulePath()) {}

DownloadDialog::DownloadDialog(HINSTANCE instance, const std::wstring& modulePath)
    : instance_(instance),
      paths_(modulePath),
      manager(this),
      speedMeter(manager, *this),
      tips_(velmot::kFaqUrl, velmot::kForumUrl),
      taskbar_(TaskbarButton::System()),
      taskbarCreatedMessage_(RegisterWindowMessageW(L"TaskbarButtonCreated")) {
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
  // The button shows only an image; its text is the name screen readers announce.
  SetDlgItemTextW(window_, IDC_PAUSE, L"Pause");
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
  // From here on every request of the run may need the proxy sign-in, which this window asks.
  ProxySignIn::SetWindow(window_, kProxySignInMessage);
  request_.reset(new DescriptorRequest(manager.computerId, paths_.RequestName(), manager.workFolder,
                                       paths_.DownloadFolder(), window_, kRequestDoneMessage));
  request_->Start();
}

void DownloadDialog::OnRequestDone() {
  // A close has taken the request over (or an abandoned worker answers late).
  if (!request_ || closeRequested_.load()) return;
  const DescriptorRequest::Result result = request_->TakeResult();
  if (!result.done) return;
  if (result.ok) {
    manager.descriptor = result.descriptor;
    manager.releaseName = paths_.RequestName();
    manager.productSuffix = result.productSuffix;
    StartDownload();
    return;
  }
  std::wstring text = velmot::texts::kRequestFailed;
  text += result.errorText.empty() ? velmot::texts::kNoUsableAnswer : result.errorText;
  SetDlgItemTextW(window_, IDC_INFO, text.c_str());
}

void DownloadDialog::StartDownload() {
  const std::wstring downloadFolder = paths_.DownloadFolder();
  const std::wstring listFileName = paths_.ListFileName();
  const std::wstring workFolder = paths_.WorkFolder(ReleasePaths::LocalAppData());
  speedMeter.Start();
  for (int id : {IDC_LOGO, IDC_PROGRESS, IDC_LABELS}) ShowWindow(GetDlgItem(window_, id), SW_SHOW);
  SetDlgItemTextW(window_, IDC_INFO, (velmot::texts::kDownloading + downloadFolder).c_str());
  manager.StartJob(listFileName, workFolder, downloadFolder);
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
    case kRequestDoneMessage:
      OnRequestDone();
      return TRUE;
    case kErrorMessage:
      ShowPendingErrors();
      return TRUE;
    case kFinishedMessage:
      OnJobFinished();
      return TRUE;
    case kJobStoppedMessage:
      OnJobStopped();
      return TRUE;
    case kProxySignInMessage:
      ProxySignIn::Answer(lParam);
      return TRUE;
    default:
      if (message == taskbarCreatedMessage_ && message != 0) {
        taskbar_->Recreated();
        ApplyTaskbarState();
      }
      return FALSE;
  }
}

void DownloadDialog::OnCommand(WPARAM wParam, LPARAM) {
  if (HIWORD(wParam) != BN_CLICKED || LOWORD(wParam) != IDC_PAUSE) return;
  // While closing, a click would only change a job that is being stopped.
  if (closeRequested_.load()) return;
  const bool nowPaused = !paused.load();
  paused = nowPaused;
  SetPauseButton(nowPaused);
  // Takes the manager's lock only for flipping flags: no disk work happens under it.
  manager.TogglePause();
  ApplyTaskbarState();
}

void DownloadDialog::SetPauseButton(bool nowPaused) {
  SendDlgItemMessageW(window_, IDC_PAUSE, BM_SETIMAGE, IMAGE_BITMAP,
                      reinterpret_cast<LPARAM>(scale_.PauseImage(nowPaused)));
  SetDlgItemTextW(window_, IDC_PAUSE, nowPaused ? L"Resume" : L"Pause");
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
  HWND button = GetDlgItem(window_, IDC_PAUSE);
  const bool buttonWasVisible = IsWindowVisible(button) != FALSE;
  ShowControl(IDC_PAUSE, view.pauseVisibility);
  if (!buttonWasVisible && view.pauseVisibility == Visibility::kShow) {
    // The only control that takes input: give it the keyboard when nothing else has it,
    // so that Space and Enter work without a click first.
    HWND focus = GetFocus();
    if (focus == nullptr || focus == window_) {
      SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
    }
  }
  SendDlgItemMessageW(window_, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(view.progress), 0);
  taskbar_->SetProgress(window_, static_cast<uint32_t>(view.progress));
  if (!percentShown_) {
    percentShown_ = true;
    ApplyTaskbarState();
  }
  if (!tip.empty()) {
    SetDlgItemTextW(window_, IDC_TIP, tip.c_str());
    ShowWindow(GetDlgItem(window_, IDC_TIP), SW_SHOW);
  }
  SetDlgItemTextW(window_, IDC_LABELS, view.labels.c_str());
  SetDlgItemTextW(window_, IDC_VALUES, view.values.c_str());
}

void DownloadDialog::ApplyTaskbarState() {
  if (!percentShown_ && !gaveUp_) return;  // nothing shown on the button yet
  TaskbarButton::State state = TaskbarButton::State::kNormal;
  if (paused.load()) state = TaskbarButton::State::kPaused;
  if (gaveUp_) state = TaskbarButton::State::kError;
  taskbar_->SetState(window_, state);
}
