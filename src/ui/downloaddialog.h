// The program's only window and the owner of the whole job. Built from dialog template
// 101; holds the download manager and the speed meter as members (constructed in that
// order, destroyed in reverse). Show() asks the web service for the release (on a request
// worker) and the answer starts the job; the window reacts to the manager through
// IDMListener and shows the meter's samples through IStatisticsSink.
//
// Threads: the UI thread constructs, shows, runs DialogProc and destroys it, and never
// waits for the network or the disk. Everything other threads tell the window arrives as a
// posted message: the meter's samples (ShowStatistics, SetProgress), the request's answer,
// the manager's texts (OnError: the UI thread shows the box, owned by the window) and the
// job's end (OnFinished). The close sequence (StopAndQuit) runs on a task of its own while
// the UI thread goes on with its message loop; every stop in it is bounded, the window is
// hidden as soon as the job has stopped, and the log upload that follows has a budget.
#pragma once

#include "base/handles.h"
#include "download/service/descriptorrequest.h"
#include "download/job/downloadmanager.h"
#include "download/job/downloadspeed.h"
#include "download/job/idmlistener.h"
#include "ui/dialogscale.h"
#include "ui/releasepaths.h"
#include "ui/statisticstext.h"
#include "ui/taskbarbutton.h"
#include "ui/tips.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>

class DownloadDialog : public IDMListener, public IStatisticsSink {
 public:
  // Posted by the statistics update; the UI thread then applies the latest view.
  static constexpr UINT kStatisticsMessage = WM_APP + 1;
  // Posted by the request worker when the web service's answer is in.
  static constexpr UINT kRequestDoneMessage = WM_APP + 2;
  // Posted by OnError: a text waits to be shown in a message box.
  static constexpr UINT kErrorMessage = WM_APP + 3;
  // Posted by OnFinished: the job is over, close once the user has read every box.
  static constexpr UINT kFinishedMessage = WM_APP + 4;
  // Posted by the close sequence once the job has stopped: the window goes out of sight.
  static constexpr UINT kJobStoppedMessage = WM_APP + 5;
  // Posted by a worker whose request met a proxy that wants a sign-in: the window shows the
  // system's credential prompt (ProxySignIn::Answer). No prompt once the close began: the
  // log upload then uses what was entered before.
  static constexpr UINT kProxySignInMessage = WM_APP + 6;

  // Bounds of the close sequence: the request worker and the whole log upload.
  static constexpr DWORD kRequestStopMs = 750;
  static constexpr DWORD kLogUploadBudgetMs = 20000;

  // Throws std::out_of_range when the program's file name names no release, and
  // std::runtime_error when the window cannot be created.
  explicit DownloadDialog(HINSTANCE instance);
  // The same, with the release and the folders taken from modulePath (tests).
  DownloadDialog(HINSTANCE instance, const std::wstring& modulePath);
  // Stops whatever still runs (without waiting for the window), then the members go.
  ~DownloadDialog() override;
  DownloadDialog(const DownloadDialog&) = delete;
  DownloadDialog& operator=(const DownloadDialog&) = delete;

  // UI thread, once: shows the window and starts the download request; the job starts when
  // the answer is in and allows it.
  void Show();
  void StartDownload();
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(WPARAM wParam, LPARAM lParam);
  // The close sequence: stop the request and the manager, stop the meter (500 ms), hide
  // the window, upload the log (within kLogUploadBudgetMs), post WM_DESTROY. Runs at most
  // once; on the close task.
  void StopAndQuit();

  // Replaces the system's taskbar button (tests). UI thread, before Show.
  void SetTaskbarButton(std::unique_ptr<TaskbarButton> button) { taskbar_ = std::move(button); }

  // IDMListener
  void OnFinished(DownloadManager& manager) override;
  void OnProgress(DownloadManager& manager) override;
  void OnError(const std::wstring& text) override;

  // IStatisticsSink and the progress bar (speed meter thread; never blocks on the window).
  void ShowStatistics(uint64_t speedKBps, uint64_t totalBytes, uint64_t downloadedBytes) override;
  bool IsPaused() const override { return paused.load(); }
  void SetProgress(int32_t percent);

  HWND Window() const { return window_; }
  const ReleasePaths& Paths() const { return paths_; }
  bool IsClosing() const { return closeRequested_.load(); }

 private:
  void CreateWindowFromTemplate();
  void InitControls();
  void ApplyDpi(int pixelsPerInch);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnRequestDone();
  void OnClose();
  void OnDestroy();
  void OnJobStopped();
  void OnJobFinished();
  void ShowPendingErrors();
  void ApplyPendingStatistics();
  void ApplyTaskbarState();
  void ShowControl(int id, Visibility visibility);
  void SetPauseButton(bool nowPaused);
  void StopMeter(DWORD timeoutMs);
  // Stops the request worker within kRequestStopMs; one still blocked is abandoned.
  static void StopRequest(std::unique_ptr<DescriptorRequest> request);

  HWND window_ = nullptr;
  HINSTANCE instance_;
  HCURSOR savedCursor_ = nullptr;
  ReleasePaths paths_;

 public:
  std::atomic<bool> paused{false};  // the pause button's state, read by the meter
  DownloadManager manager;
  DownloadSpeed speedMeter;

 private:
  Tips tips_;          // speed meter thread only
  DialogScale scale_;  // fonts and images for the display's scale
  std::unique_ptr<TaskbarButton> taskbar_;
  UINT taskbarCreatedMessage_ = 0;

  std::unique_ptr<DescriptorRequest> request_;         // UI thread
  std::unique_ptr<DescriptorRequest> closingRequest_;  // handed from OnClose to the close task
  std::future<void> closeTask_;                        // UI thread

  std::atomic<bool> closing_{false};         // the close sequence has begun
  std::atomic<bool> closeRequested_{false};  // WM_CLOSE arrived: no more updates or boxes
  std::mutex meterStopLock_;                 // OnFinished and the close task both stop the meter

  std::mutex statisticsLock_;  // guards the pending view
  StatisticsView pendingView_;
  std::wstring pendingTip_;
  bool viewPosted_ = false;

  std::mutex errorLock_;  // guards the texts waiting for a box
  std::deque<std::wstring> pendingErrors_;
  bool showingBox_ = false;       // UI thread: a box of ShowPendingErrors is open
  bool closeAfterBoxes_ = false;  // UI thread: the job ended while a box was open
  bool gaveUp_ = false;           // UI thread: the taskbar shows the error state
  bool percentShown_ = false;     // UI thread: the taskbar shows a value
};
