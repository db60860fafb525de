// The window as a user meets it: velmot-dm.exe is copied under a release's file name,
// started, and driven from outside through its window (caption, control texts, clicks,
// WM_CLOSE), against the loopback web service and file host.
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/guirelease.h"
#include "support/testenv.h"
#include "support/testservers.h"
#include "ui/releasepaths.h"

#include "resource.h"

#include "base/systemtexts.h"

#include "download/job/downloadmanager.h"

#include <commctrl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>
#include <string>
#include <vector>

using testing::HasSubstr;
using testsupport::Contains;
using testsupport::DmProcess;
using testsupport::GuiRelease;
using testsupport::NamesIn;
using testsupport::Narrow;

namespace {

const DWORD kWindowMs = 30000;  // start-up of a program under a cold Wine can be slow
const DWORD kExitMs = 30000;    // a close must end the process well within this
const wchar_t kLabels[] = L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n";

// The value lines of the statistics (control 1005).
std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  for (size_t at = 0, end; at <= text.size(); at = end + 2) {
    end = std::min(text.find(L"\r\n", at), text.size());
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

// Line k of the values, or a marker when a wait ran out on a text with fewer lines.
std::wstring LineOf(const std::wstring& text, size_t k) {
  const std::vector<std::wstring> lines = Lines(text);
  return k < lines.size() ? lines[k] : L"<no line " + std::to_wstring(k) + L">";
}

}  // namespace

TEST(DownloadDialog, CaptionNamesTheReleaseAndAFailedRequestKeepsTheWindowOpen) {
  // No catalogue entry for "Velmot Pro": the service refuses the request.
  testsupport::TempFolder folder(L"gui");
  DmProcess program(folder.Path(), L"Velmot Pro_b2.exe");
  ASSERT_TRUE(program.Start());
  ASSERT_NE(program.FindWindowByCaption(L"Velmot Pro download manager", kWindowMs), nullptr);
  const std::wstring info = program.WaitForTextWith(IDC_INFO, 20000, L"could not be started");
  EXPECT_EQ(info.rfind(velmot::texts::kRequestFailed, 0), 0u) << Narrow(info);
  EXPECT_EQ(program.Text(IDC_LABELS), kLabels);
  EXPECT_FALSE(program.IsControlVisible(IDC_PAUSE));
  EXPECT_FALSE(program.IsControlVisible(IDC_TIP));
  // It stays open until the user closes it.
  EXPECT_EQ(program.WaitForExit(1500), STILL_ACTIVE);
  EXPECT_EQ(program.CloseAndWait(kExitMs), 0u);

  bool requested = false;
  for (const auto& request : testsupport::ServiceRequestsOf("RequestDownload")) {
    // "DownloadManagerVersion=9%2e5&ReleaseName=Velmot%20Pro" in base64.
    requested |= request.value("bodyBase64", "") ==
                 "RG93bmxvYWRNYW5hZ2VyVmVyc2lvbj05JTJlNSZSZWxlYXNlTmFtZT1WZWxtb3QlMjBQcm8=";
  }
  EXPECT_TRUE(requested);
}

TEST(DownloadDialog, NameWithoutUnderscoreNeverShowsAWindow) {
  testsupport::TempFolder folder(L"gui");
  DmProcess program(folder.Path(), L"VelmotPro.exe");
  ASSERT_TRUE(program.Start());
  bool sawWindow = false;
  DWORD code = STILL_ACTIVE;
  const ULONGLONG end = GetTickCount64() + kExitMs;
  while (code == STILL_ACTIVE && GetTickCount64() < end) {
    sawWindow |= program.AnyVisibleWindow() != nullptr;
    code = program.WaitForExit(20);
  }
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(sawWindow);
  EXPECT_FALSE(testsupport::FileExists(testsupport::WorkFolderOf(L"VelmotPro")));
}

TEST(DownloadDialog, FileNamesThatNameNoReleaseTouchNothing) {
  // "_x.exe" names the release "", whose work folder is local application data itself;
  // "._x.exe" and ".._x.exe" name it or its parent. Such a program asks nothing and makes,
  // writes or removes nothing; it only says why.
  const std::wstring appData = ReleasePaths::LocalAppData();
  const std::wstring parent = appData.substr(0, appData.find_last_of(L"\\/"));
  const std::wstring canary = L"velmot-canary-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
  for (const std::wstring& folder : {appData, parent})
    testsupport::WriteFileBytes(folder + L"/" + canary, std::vector<uint8_t>{'k', 'e', 'e', 'p'});
  const std::vector<std::wstring> appDataBefore = NamesIn(appData, true);
  const std::vector<std::wstring> parentBefore = NamesIn(parent, true);
  for (const wchar_t* name : {L"_x.exe", L"._x.exe", L".._x.exe"}) {
    testsupport::TempFolder folder(L"gui");
    DmProcess program(folder.Path(), name);
    ASSERT_TRUE(program.Start());
    const std::wstring release = std::wstring(name).substr(0, std::wstring(name).rfind(L'_'));
    ASSERT_NE(program.FindWindowByCaption(release + L" download manager", kWindowMs), nullptr)
        << Narrow(name);
    EXPECT_THAT(Narrow(program.WaitForTextWith(IDC_INFO, 20000, L"does not name a Velmot release")),
                HasSubstr("does not name a Velmot release"));
    EXPECT_EQ(program.CloseAndWait(kExitMs), 0u);
    EXPECT_EQ(NamesIn(folder.Path(), true), std::vector<std::wstring>{name}) << Narrow(name);
  }
  EXPECT_EQ(NamesIn(appData, true), appDataBefore);
  EXPECT_EQ(NamesIn(parent, true), parentBefore);
  for (const std::wstring& folder : {appData, parent}) {
    EXPECT_TRUE(testsupport::FileExists(folder + L"/" + canary));
    DeleteFileW((folder + L"/" + canary).c_str());
  }
  for (const auto& request : testsupport::ServiceRequests()) {
    // "DownloadManagerVersion=9%2e5&ReleaseName=" and nothing after it.
    EXPECT_NE(testsupport::Base64Decode(request.value("bodyBase64", "")),
              "DownloadManagerVersion=9%2e5&ReleaseName=");
  }
}

TEST(DownloadDialog, ASecondCopyOfTheSameReleaseOnlyRaisesTheFirst) {
  GuiRelease release(L"VelmotTwice");
  release.AddSetupAndData(3000000, 7);
  release.host.SetBehaviour("rel/0_VelmotData.bin", {{"then", {{"rate", 500000}}}});
  release.Publish();
  DmProcess first(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(first, release));

  // The same program downloaded again: another folder, a browser's " (1)" in the name.
  testsupport::TempFolder other(L"gui");
  const std::wstring secondName = release.name + L"_b1 (1).exe";
  DmProcess second(other.Path(), secondName);
  ASSERT_TRUE(second.Start());
  EXPECT_EQ(second.WaitForExit(kExitMs), 0u);
  EXPECT_EQ(NamesIn(other.Path(), true), std::vector<std::wstring>{secondName});

  EXPECT_EQ(first.WaitForExit(90000), 0u);
  EXPECT_TRUE(release.SetupStarted(10000));
  Sleep(500);  // a second setup start would land right after the first
  const std::vector<uint8_t> starts =
      testsupport::ReadFileBytes(release.DownloadFolder() + L"/" + testsupport::kSetupMarker);
  EXPECT_EQ(std::string(starts.begin(), starts.end()), "ran");
  EXPECT_FALSE(testsupport::FileExists(release.workFolder));
}

TEST(DownloadDialog, ShowsStatisticsAndPauseStallsTheDownload) {
  GuiRelease release(L"VelmotStats");
  release.AddFile("Setup.exe", testsupport::RandomBytes(3000000, 1));
  release.host.SetBehaviour("rel/0_Setup.exe", {{"then", {{"rate", 250000}}}});
  release.Publish();
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));

  // A sample with a speed: total, downloaded, speed, percentage and time left.
  const std::wstring values = program.WaitForText(IDC_VALUES, 20000, [](const std::wstring& t) {
    return Lines(t).size() == 5 && Lines(t)[1] != L"0 kB";
  });
  std::vector<std::wstring> lines = Lines(values);
  ASSERT_EQ(lines.size(), 5u) << Narrow(values);
  EXPECT_EQ(lines[0], L"2929 kB");
  EXPECT_NE(lines[2], L"0 kB/s");
  EXPECT_EQ(lines[2].substr(lines[2].size() - 5), L" kB/s");
  EXPECT_EQ(lines[3].back(), L'%');
  EXPECT_TRUE(Contains(lines[4], L" h : ") && Contains(lines[4], L" m : ")) << Narrow(lines[4]);
  EXPECT_EQ(program.Text(IDC_LABELS), kLabels);
  EXPECT_TRUE(Contains(program.Text(IDC_INFO), L"The installer will be saved in:\r\n"));
  EXPECT_TRUE(program.IsControlVisible(IDC_PAUSE));
  const int position = static_cast<int>(program.Send(IDC_PROGRESS, PBM_GETPOS, 0, 0));
  EXPECT_GE(position, 0);
  EXPECT_LT(position, 100);

  // Pause: the play symbol, speed 0, no time left, nothing more arrives.
  const LRESULT pauseImage = program.Send(IDC_PAUSE, BM_GETIMAGE, IMAGE_BITMAP, 0);
  program.Click(IDC_PAUSE);
  const LRESULT playImage = program.Send(IDC_PAUSE, BM_GETIMAGE, IMAGE_BITMAP, 0);
  EXPECT_NE(pauseImage, 0);
  EXPECT_NE(playImage, 0);
  EXPECT_NE(playImage, pauseImage);
  const std::wstring paused = program.WaitForText(IDC_VALUES, 8000, [](const std::wstring& t) {
    return Lines(t).size() == 4 && Lines(t)[2] == L"0 kB/s";
  });
  ASSERT_EQ(Lines(paused).size(), 4u) << Narrow(paused);
  Sleep(4500);  // two more samples
  EXPECT_EQ(LineOf(program.Text(IDC_VALUES), 1), Lines(paused)[1])
      << "the download went on while paused";

  // Resume: the pause symbol again, and the bytes move on.
  program.Click(IDC_PAUSE);
  EXPECT_EQ(program.Send(IDC_PAUSE, BM_GETIMAGE, IMAGE_BITMAP, 0), pauseImage);
  const std::wstring resumed = program.WaitForText(IDC_VALUES, 10000, [&](const std::wstring& t) {
    return Lines(t).size() >= 4 && Lines(t)[1] != Lines(paused)[1];
  });
  EXPECT_NE(LineOf(resumed, 1), Lines(paused)[1]);

  EXPECT_EQ(program.CloseAndWait(kExitMs), 0u);
}

TEST(DownloadDialog, ClosingTwiceQuicklyRunsTheCloseSequenceOnce) {
  // A refused request: the log then holds the service's answer, which names this run.
  GuiRelease release(L"VelmotTwice");
  const std::string refusal = "Refused for " + Narrow(release.name);
  release.PublishRefusal(refusal);
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));
  const std::wstring info = program.WaitForTextWith(IDC_INFO, 20000, L"Refused for ");
  EXPECT_EQ(info, velmot::texts::kRequestFailed + std::wstring(refusal.begin(), refusal.end()));
  program.PostClose();
  EXPECT_EQ(program.CloseAndWait(kExitMs), 0u);

  // One log upload, recognisable by the service's answer it holds.
  size_t uploads = 0;
  for (const std::string& log : testsupport::ServiceUploadsBetween(0, UINT64_MAX))
    uploads += log.find(refusal) != std::string::npos;
  EXPECT_EQ(uploads, 1u);
}

TEST(DownloadDialog, ClosesItselfAfterSetupStarted) {
  GuiRelease release(L"VelmotSetup");
  release.AddSetupAndData(12000000, 3);
  release.Publish();
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(program.Start());
  EXPECT_EQ(program.WaitForExit(60000), 0u);
  EXPECT_TRUE(release.SetupStarted(10000));
  EXPECT_TRUE(testsupport::FileExists(release.LocalPath("Setup.exe")));
  EXPECT_FALSE(testsupport::FileExists(release.workFolder));
  // The window itself runs below normal priority; setup must not inherit that. (Wine
  // starts every child at normal priority whatever its parent's class, so here this only
  // shows the end result; NormalPriorityScope's own tests show the raise itself.)
  const std::vector<uint8_t> priority = testsupport::ReadFileBytes(
      release.DownloadFolder() + L"/" + testsupport::kSetupPriorityRecord);
  EXPECT_EQ(std::string(priority.begin(), priority.end()), std::to_string(NORMAL_PRIORITY_CLASS));
}

TEST(DownloadDialog, CloseWithTheManagersMessageBoxOpenEnds) {
  // Nothing to start: after the verification the manager reports a missing setup in a box.
  GuiRelease release(L"VelmotBox");
  release.AddFile("VelmotData.bin", testsupport::RandomBytes(500000, 4));
  release.Publish();
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));
  ASSERT_NE(program.FindMessageBox(L"Error", 30000), nullptr);
  // The window waits for the box's owner to answer.
  EXPECT_FALSE(IsWindowEnabled(program.Window()));
  EXPECT_EQ(program.CloseAndWait(kExitMs), 0u);
}

TEST(DownloadDialog, ClosingAtRandomMomentsAlwaysEndsAndKeepsGoodParts) {
  GuiRelease release(L"VelmotRandom");
  release.AddSetupAndData(25000000, 5);
  release.Publish(400);  // the request itself takes a while: closes land in it too
  std::mt19937 random(20240501);
  for (int run = 0; run < 6; ++run) {
    DmProcess program(release.DownloadFolder(), release.ExeName());
    ASSERT_TRUE(program.Start());
    if (!program.FindWindowByCaption(release.Caption(), kWindowMs)) {
      // The run may already have finished (setup started) on a fast machine.
      EXPECT_EQ(program.WaitForExit(kExitMs), 0u);
      continue;
    }
    const DWORD delay = std::uniform_int_distribution<DWORD>(0, 2500)(random);
    Sleep(delay);
    // An error box may be open at this moment (it is dismissed by the close).
    program.PostClose();
    const ULONGLONG started = GetTickCount64();
    EXPECT_EQ(program.WaitForExit(kExitMs), 0u)
        << "run " << run << " closed after " << delay << " ms";
    EXPECT_LT(GetTickCount64() - started, 20000u) << "run " << run;
    EXPECT_TRUE(release.PartFilesAreIntact("VelmotData.bin")) << "run " << run;
  }
  // Left alone, a last run finishes from what the earlier ones kept.
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(program.Start());
  EXPECT_EQ(program.WaitForExit(90000), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(release.LocalPath("VelmotData.bin")).size(), 25000000u);
}

namespace {

// Sends WM_NULL to the window every 200 ms with a 1 s limit, as Windows does before it
// calls a window "Not Responding", for as long as the window is visible (Windows judges
// only visible windows; once hidden, the window only waits for the log upload to end).
class Prober {
 public:
  explicit Prober(HWND window) : window_(window), thread_([this] { Probe(); }) {}
  ~Prober() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Written by the probe thread, read by the test while it runs.
  std::atomic<int> probes{0};
  std::atomic<int> unanswered{0};
  std::atomic<DWORD> slowestMs{0};

 private:
  void Probe() {
    for (bool seen = false; !stop_ && IsWindow(window_);) {
      if (!IsWindowVisible(window_)) {
        if (seen) break;  // hidden by the close
        Sleep(10);        // not shown yet
        continue;
      }
      seen = true;
      const ULONGLONG sent = GetTickCount64();
      DWORD_PTR result = 0;
      const LRESULT answered =
          SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result);
      const DWORD took = static_cast<DWORD>(GetTickCount64() - sent);
      if (!IsWindow(window_) || !IsWindowVisible(window_)) break;
      ++probes;
      if (!answered) {
        ++unanswered;
        std::printf("probe unanswered at %llu ms\n", sent - begun_);
      }
      slowestMs = std::max(slowestMs.load(), took);
      Sleep(200);
    }
  }
  const ULONGLONG begun_ = GetTickCount64();
  HWND window_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

TEST(DownloadDialog, AnswersEveryProbeThroughASlowServiceASlowHostAPauseAndAClose) {
  // Twenty identical parts wait in the work folder (the reuse check reads 200 MB); the last,
  // short part comes from a slow host; the web service holds its answer for 20 s.
  GuiRelease release(L"VelmotProbe");
  const std::vector<uint8_t> part = testsupport::RandomBytes(DownloadManager::kPartSize, 31);
  const std::vector<uint8_t> tail = testsupport::RandomBytes(2000000, 32);
  const int kParts = 20;
  const std::string partCrc = std::to_string(testsupport::CrcOf(part));
  std::string entry = "VelmotData.bin\r\n" +
                      std::to_string(uint64_t{DownloadManager::kPartSize} * kParts + tail.size()) +
                      "\r\n";
  for (int k = 0; k < kParts; ++k) entry += partCrc + "\r\n";
  release.document += ";" + entry + std::to_string(testsupport::CrcOf(tail)) + "\r\n";
  const std::string tailObject = testsupport::DownloadJob::PartObject(kParts, "VelmotData.bin");
  release.host.PutObject(tailObject, tail);
  release.host.SetBehaviour(tailObject, {{"then", {{"rate", 250000}}}});
  CreateDirectoryW(release.workFolder.c_str(), nullptr);
  for (int k = 0; k < kParts; ++k)
    testsupport::WriteFileBytes(release.PartPath("VelmotData.bin", k), part);
  release.Publish(20000);

  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));
  HWND window = program.Window();
  Prober prober(window);

  // The request: the window answers while the service holds its answer.
  ASSERT_THAT(Narrow(program.WaitForTextWith(IDC_INFO, 45000, L"The installer will be saved in:")),
              HasSubstr("The installer will be saved in:"));
  EXPECT_GE(prober.probes, 50) << "the probes did not run through the request";

  // Pause and resume at once, while the job reads the part files: every click is handled
  // at once (the manager's lock is never held over disk work). The button's name follows.
  DWORD slowestClick = 0;
  for (int i = 0; i < 12; ++i) {
    const ULONGLONG before = GetTickCount64();
    program.Send(IDC_PAUSE, BM_CLICK, 0, 0);
    slowestClick = std::max(slowestClick, static_cast<DWORD>(GetTickCount64() - before));
    Sleep(100);
  }
  EXPECT_LT(slowestClick, 1000u);
  EXPECT_EQ(program.Text(IDC_PAUSE), L"Pause");

  // The keyboard, through the dialog manager: Tab reaches the button, Enter presses it.
  const auto press = [](HWND target, WPARAM key) {
    PostMessageW(target, WM_KEYDOWN, key, 0);
    PostMessageW(target, WM_KEYUP, key, 0);
  };
  HWND button = GetDlgItem(window, IDC_PAUSE);
  press(window, VK_TAB);
  Sleep(300);
  press(button, VK_RETURN);
  EXPECT_EQ(program.WaitForTextEqual(IDC_PAUSE, 5000, L"Resume"), L"Resume");
  press(button, VK_RETURN);
  EXPECT_EQ(program.WaitForTextEqual(IDC_PAUSE, 5000, L"Pause"), L"Pause");

  // The slow host: the download goes on, the window keeps answering.
  const std::wstring moving = program.WaitForText(IDC_VALUES, 20000, [](const std::wstring& t) {
    return Lines(t).size() == 5 && Lines(t)[2] != L"0 kB/s";
  });
  EXPECT_EQ(Lines(moving).size(), 5u) << Narrow(moving);

  // The close: hidden within the bound, and the process ends.
  program.PostClose();
  const ULONGLONG closed = GetTickCount64();
  while (IsWindowVisible(window) && GetTickCount64() - closed < 10000) Sleep(5);
  EXPECT_LE(GetTickCount64() - closed, 3000u);
  EXPECT_EQ(program.WaitForExit(kExitMs), 0u);
  prober.Stop();
  EXPECT_EQ(prober.unanswered, 0) << "of " << prober.probes.load() << " probes";
  std::printf("probes: %d, unanswered %d, slowest answer %lu ms, slowest click %lu ms\n",
              prober.probes.load(), prober.unanswered.load(),
              static_cast<unsigned long>(prober.slowestMs.load()),
              static_cast<unsigned long>(slowestClick));
}
