// The program's only window and the owner of the whole job. Built from dialog template
// 101; holds the download manager and the speed meter as members (constructed in that
// order, destroyed in reverse). Show() asks the web service for the release and starts the
// job; the window reacts to the manager through IDMListener and shows the meter's samples
// through IStatisticsSink.
//
// Threads: the UI thread constructs, shows, runs DialogProc and destroys it. The speed
// meter's thread calls ShowStatistics/SetProgress; those only post to the window, so the
// meter never waits for the UI thread. The manager's and the workers' threads call the
// IDMListener operations. The close sequence (StopAndQuit) runs on a task of its own while
// the UI thread waits for it inside WM_CLOSE, still answering messages sent to it (and
// dismissing the manager's message boxes), so that no thread can wait for it for ever.
#pragma once

#include "base/handles.h"
#include "download/downloadmanager.h"
#include "download/downloadspeed.h"
#include "download/idmlistener.h"
#include "ui/dialogscale.h"
#include "ui/releasepaths.h"
#include "ui/statisticstext.h"
#include "ui/tips.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>

class DownloadDialog : public IDMListener, public IStatisticsSink {
 public:
  // Posted by the statistics update; the UI thread then applies the latest view.
  static constexpr UINT kStatisticsMessage = WM_APP + 1;

  // Throws std::out_of_range when the program's file name names no release, and
  // std::runtime_error when the window cannot be created.
  explicit DownloadDialog(HINSTANCE instance);
  // The same, with the release and the folders taken from modulePath (tests).
  DownloadDialog(HINSTANCE instance, const std::wstring& modulePath);
  // Stops whatever still runs (without waiting for the window), then the members go.
  ~DownloadDialog() override;
  DownloadDialog(const DownloadDialog&) = delete;
  DownloadDialog& operator=(const DownloadDialog&) = delete;

  // UI thread, once: shows the window, requests the download, starts it on success.
  void Show();
  void StartDownload();
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(WPARAM wParam, LPARAM lParam);
  // The close sequence: stop the manager, stop the meter (500 ms), upload the log, post
  // WM_DESTROY. Runs at most once; on the close task.
  void StopAndQuit();

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
  void OnClose();
  void OnDestroy();
  void ApplyPendingStatistics();
  void ShowControl(int id, Visibility visibility);
  void StopMeter(DWORD timeoutMs);
  // Runs work on a task and waits for it on the UI thread, answering sent messages and
  // dismissing message boxes meanwhile.
  void RunWhileAnswering(const std::function<void()>& work);
  void DismissMessageBoxes();

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

  std::atomic<bool> closing_{false};         // the close sequence has begun
  std::atomic<bool> closeRequested_{false};  // WM_CLOSE arrived: no more updates or boxes
  velmot::KernelHandle taskDone_;            // signalled when a RunWhileAnswering task ends
  std::mutex meterStopLock_;                 // OnFinished and the close task both stop the meter

  std::mutex statisticsLock_;  // guards the pending view
  StatisticsView pendingView_;
  std::wstring pendingTip_;
  bool viewPosted_ = false;

  std::mutex boxLock_;  // threads with an OnError box open
  std::multiset<DWORD> boxThreads_;
};
