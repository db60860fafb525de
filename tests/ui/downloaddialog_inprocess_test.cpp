// The window built in this process and driven through its operations: statistics reach
// the controls, the pause button, closes racing the job's end, destruction with the meter
// running, the taskbar button and the manager's texts in boxes of the UI thread.
#include "support/inprocesswindow.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "ui/downloaddialog.h"
#include "ui/taskbarbutton.h"

#include "resource.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::Pump;

const wchar_t kInProcessPath[] = L"C:\\velmot\\Velmot Pro_b2.exe";

std::wstring Text(HWND window, int id) { return testsupport::ControlText(window, id); }

// The window built here, on the program's resources.
using DownloadDialogInProcess = testsupport::InProcessWindowTest;

}  // namespace

TEST_F(DownloadDialogInProcess, StatisticsReachTheControls) {
  DownloadDialog dialog(resources.module, kInProcessPath);
  HWND window = dialog.Window();
  EXPECT_EQ(Text(window, IDC_INFO), L"Downloading Velmot Installer. Please wait.");
  wchar_t caption[128] = {};
  GetWindowTextW(window, caption, 128);
  EXPECT_STREQ(caption, L"Velmot Pro download manager");
  // The caption and the taskbar button show the program's icon, not the blank default.
  EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_SMALL, 0), 0);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(SendDlgItemMessageW(window, IDC_PROGRESS, PBM_GETRANGE, FALSE, 0), 100);

  dialog.manager.totalBytes = 1048576000;
  dialog.manager.finishedBytes = 524288000;
  dialog.ShowStatistics(2048, 1048576000, 524288000);
  Pump(200);
  EXPECT_EQ(Text(window, IDC_VALUES),
            L"1024000 kB\r\n512000 kB\r\n2048 kB/s\r\n50 %\r\n0 h : 4 m : 10 s");
  EXPECT_EQ(SendDlgItemMessageW(window, IDC_PROGRESS, PBM_GETPOS, 0, 0), 50);
  EXPECT_TRUE(GetWindowLongPtrW(GetDlgItem(window, IDC_PAUSE), GWL_STYLE) & WS_VISIBLE);
  EXPECT_FALSE(GetWindowLongPtrW(GetDlgItem(window, IDC_TIP), GWL_STYLE) & WS_VISIBLE);

  // The fifth update shows the first tip; verifying hides the values and the button.
  dialog.manager.verifying = true;
  dialog.manager.verifiedBytes = 262144000;
  for (int i = 0; i < 4; ++i) dialog.ShowStatistics(0, 0, 0);
  Pump(200);
  EXPECT_EQ(Text(window, IDC_LABELS), L"Verifying setup files 25% completed");
  EXPECT_EQ(Text(window, IDC_VALUES), L"");
  EXPECT_EQ(SendDlgItemMessageW(window, IDC_PROGRESS, PBM_GETPOS, 0, 0), 25);
  EXPECT_FALSE(GetWindowLongPtrW(GetDlgItem(window, IDC_PAUSE), GWL_STYLE) & WS_VISIBLE);
  EXPECT_FALSE(GetWindowLongPtrW(GetDlgItem(window, IDC_VALUES), GWL_STYLE) & WS_VISIBLE);
  EXPECT_TRUE(GetWindowLongPtrW(GetDlgItem(window, IDC_TIP), GWL_STYLE) & WS_VISIBLE);
  EXPECT_EQ(Text(window, IDC_TIP).rfind(L"The setup starts automatically after downloading.", 0),
            0u);
}

TEST_F(DownloadDialogInProcess, PauseButtonTogglesImageAndFlag) {
  DownloadDialog dialog(resources.module, kInProcessPath);
  HWND button = GetDlgItem(dialog.Window(), IDC_PAUSE);
  const LRESULT pause = SendMessageW(button, BM_GETIMAGE, IMAGE_BITMAP, 0);
  ASSERT_NE(pause, 0);
  SendMessageW(dialog.Window(), WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
  EXPECT_TRUE(dialog.IsPaused());
  const LRESULT play = SendMessageW(button, BM_GETIMAGE, IMAGE_BITMAP, 0);
  EXPECT_NE(play, pause);
  // Another notification or another control changes nothing.
  SendMessageW(dialog.Window(), WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_DOUBLECLICKED), 0);
  SendMessageW(dialog.Window(), WM_COMMAND, MAKEWPARAM(IDC_TIP, BN_CLICKED), 0);
  EXPECT_TRUE(dialog.IsPaused());
  SendMessageW(dialog.Window(), WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
  EXPECT_FALSE(dialog.IsPaused());
  EXPECT_EQ(SendMessageW(button, BM_GETIMAGE, IMAGE_BITMAP, 0), pause);
}

TEST_F(DownloadDialogInProcess, CloseWhileTheJobReportsItsEndNeverHangs) {
  // The job's end (OnFinished stops the meter and posts WM_CLOSE) races with a close by
  // the user, while the meter keeps updating: every round must end in WM_QUIT.
  for (int round = 0; round < 8; ++round) {
    DownloadDialog dialog(resources.module, kInProcessPath);
    dialog.speedMeter.Start();
    Pump(static_cast<DWORD>(round * 37 % 120));
    std::thread finisher([&] { dialog.OnFinished(dialog.manager); });
    PostMessageW(dialog.Window(), WM_CLOSE, 0, 0);
    const ULONGLONG started = GetTickCount64();
    const bool quit = Pump(15000);
    finisher.join();
    EXPECT_TRUE(quit) << "round " << round;
    EXPECT_LT(GetTickCount64() - started, 15000u);
    EXPECT_TRUE(dialog.IsClosing());
    EXPECT_EQ(Text(dialog.Window(), IDC_TIP), velmot::texts::kStopping);
  }
}

TEST_F(DownloadDialogInProcess, DestroyedWithTheMeterRunning) {
  const ULONGLONG started = GetTickCount64();
  {
    DownloadDialog dialog(resources.module, kInProcessPath);
    dialog.speedMeter.Start();
    Pump(300);
  }
  EXPECT_LT(GetTickCount64() - started, 10000u);
}

namespace {

class RecordingTaskbar : public TaskbarButton {
 public:
  void SetProgress(HWND, uint32_t percent) override { progress.push_back(percent); }
  void SetState(HWND, State state) override { states.push_back(state); }
  void Flash(HWND) override { ++flashes; }
  std::vector<uint32_t> progress;
  std::vector<State> states;
  int flashes = 0;
};

// Gives dialog a recording taskbar button and returns it (the dialog owns it).
RecordingTaskbar* RecordTaskbar(DownloadDialog& dialog) {
  auto* taskbar = new RecordingTaskbar();
  dialog.SetTaskbarButton(std::unique_ptr<TaskbarButton>(taskbar));
  return taskbar;
}

}  // namespace

TEST_F(DownloadDialogInProcess, TaskbarButtonFollowsProgressPauseAndTheGiveUp) {
  DownloadDialog dialog(resources.module, kInProcessPath);
  RecordingTaskbar* taskbar = RecordTaskbar(dialog);
  HWND window = dialog.Window();
  HWND button = GetDlgItem(window, IDC_PAUSE);

  // Nothing on the button before the first sample; then the value and the normal state.
  EXPECT_TRUE(taskbar->progress.empty());
  dialog.manager.totalBytes = 1048576000;
  dialog.manager.finishedBytes = 524288000;
  dialog.ShowStatistics(2048, 1048576000, 524288000);
  Pump(200);
  ASSERT_FALSE(taskbar->progress.empty());
  EXPECT_EQ(taskbar->progress.back(), 50u);
  ASSERT_FALSE(taskbar->states.empty());
  EXPECT_EQ(taskbar->states.back(), TaskbarButton::State::kNormal);

  // The button's name says what a click does, and the taskbar shows the pause.
  EXPECT_EQ(Text(window, IDC_PAUSE), L"Pause");
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
  EXPECT_EQ(Text(window, IDC_PAUSE), L"Resume");
  EXPECT_EQ(taskbar->states.back(), TaskbarButton::State::kPaused);
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
  EXPECT_EQ(Text(window, IDC_PAUSE), L"Pause");
  EXPECT_EQ(taskbar->states.back(), TaskbarButton::State::kNormal);

  // The give-up: the box is the window's own, the button flashes and turns to the error
  // state, and a later sample does not undo that.
  EXPECT_EQ(taskbar->flashes, 0);
  {
    testsupport::BoxReader reader(window);
    std::thread manager([&] { dialog.OnError(velmot::texts::kGiveUp); });
    manager.join();  // the manager's thread never waits for the box
    Pump(1500);
    ASSERT_EQ(reader.Texts().size(), 1u);
    EXPECT_EQ(reader.Texts()[0], velmot::texts::kGiveUp);
    EXPECT_TRUE(reader.OwnerWasDisabled());
  }
  EXPECT_EQ(taskbar->flashes, 1);
  EXPECT_EQ(taskbar->states.back(), TaskbarButton::State::kError);
  dialog.ShowStatistics(0, 1048576000, 524288000);
  Pump(200);
  EXPECT_EQ(taskbar->states.back(), TaskbarButton::State::kError);
}

TEST_F(DownloadDialogInProcess, TextsAreShownOneBoxAtATimeAndTheEndWaitsForThem) {
  DownloadDialog dialog(resources.module, kInProcessPath);
  RecordingTaskbar* taskbar = RecordTaskbar(dialog);
  HWND window = dialog.Window();
  testsupport::BoxReader reader(window);
  reader.hold = true;
  // As the write-failure redirect does: a text, then the job's end, from a worker.
  std::thread worker([&] {
    dialog.OnError(L"first");
    dialog.OnError(L"second");
    dialog.OnFinished(dialog.manager);
  });
  worker.join();
  // The first box is open; the end of the job does not close the window under it.
  std::thread release([&] {
    Sleep(800);
    EXPECT_FALSE(dialog.IsClosing());
    reader.hold = false;
  });
  const bool quit = Pump(20000);
  release.join();
  EXPECT_TRUE(quit);
  EXPECT_TRUE(dialog.IsClosing());
  EXPECT_EQ(reader.Texts(), (std::vector<std::wstring>{L"first", L"second"}));
  EXPECT_EQ(taskbar->flashes, 2);
  // Once closing, a text is recorded instead of shown.
  Error::Clear();
  dialog.OnError(L"late");
  ASSERT_EQ(Error::GetRecords().size(), 1u);
  EXPECT_EQ(Error::GetRecords()[0].message, "Not shown while the window closes: late");
}
