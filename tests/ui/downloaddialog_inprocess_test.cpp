// The window built in this process and driven through its operations: statistics reach
// the controls, the pause button, closes racing the job's end, destruction with the meter
// running.
#include "support/dmprocess.h"
#include "support/programresources.h"
#include "ui/downloaddialog.h"

#include "resource.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using testsupport::DmProcess;

namespace {

using testsupport::ProgramResources;
using testsupport::Pump;

const wchar_t kInProcessPath[] = L"C:\\velmot\\Velmot Pro_b2.exe";

std::wstring Text(HWND window, int id) {
  wchar_t text[1024] = {};
  GetDlgItemTextW(window, id, text, 1024);
  return text;
}

}  // namespace

TEST(DownloadDialog, StatisticsReachTheControls) {
  ProgramResources resources;
  ASSERT_NE(resources.module, nullptr);
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

TEST(DownloadDialog, PauseButtonTogglesImageAndFlag) {
  ProgramResources resources;
  ASSERT_NE(resources.module, nullptr);
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

TEST(DownloadDialog, CloseWhileTheJobReportsItsEndNeverHangs) {
  ProgramResources resources;
  ASSERT_NE(resources.module, nullptr);
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
    EXPECT_EQ(Text(dialog.Window(), IDC_TIP), L"Stopping download. Please wait...");
  }
}

TEST(DownloadDialog, DestroyedWithTheMeterRunning) {
  ProgramResources resources;
  ASSERT_NE(resources.module, nullptr);
  const ULONGLONG started = GetTickCount64();
  {
    DownloadDialog dialog(resources.module, kInProcessPath);
    dialog.speedMeter.Start();
    Pump(300);
  }
  EXPECT_LT(GetTickCount64() - started, 10000u);
}
