// The window as a user meets it: velmot-dm.exe is copied under a release's file name,
// started, and driven from outside through its window (caption, control texts, clicks,
// WM_CLOSE), against the loopback web service and file host.
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/testenv.h"
#include "support/testservers.h"
#include "ui/downloaddialog.h"
#include "ui/releasepaths.h"

#include "resource.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>
#include <random>
#include <set>
#include <thread>
#include <string>
#include <vector>

using testsupport::DmProcess;

namespace {

const DWORD kWindowMs = 30000;  // start-up of a program under a cold Wine can be slow
const DWORD kExitMs = 30000;    // a close must end the process well within this

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

std::wstring UniqueRelease(const wchar_t* stem) {
  static int counter = 0;
  return std::wstring(stem) + std::to_wstring(GetCurrentProcessId()) + L"x" +
         std::to_wstring(GetTickCount64() % 100000) + L"x" + std::to_wstring(counter++);
}

// One release published on the test servers: a catalogue entry at the web service and
// its CRC info document and parts in a file-host namespace; the program lives in folder.
class GuiRelease {
 public:
  explicit GuiRelease(const wchar_t* stem)
      : name(UniqueRelease(stem)), folder(L"gui"), workFolder(testsupport::WorkFolderOf(name)) {}
  ~GuiRelease() { testenv::RemoveTree(workFolder); }

  void AddFile(const std::string& listed, const std::vector<uint8_t>& bytes) {
    for (size_t at = 0, k = 0; at < bytes.size(); at += DownloadManager::kPartSize, ++k) {
      const size_t n = std::min<size_t>(DownloadManager::kPartSize, bytes.size() - at);
      parts.emplace_back(bytes.begin() + at, bytes.begin() + at + n);
      host.PutObject("rel/" + std::to_string(k) + "_" + listed, parts.back());
    }
    document += ";" + testsupport::CRCInfoEntryText(listed, bytes);
  }
  void Publish(int delayMs = 0) {
    host.PutObject("rel/" + Narrow(name) + ".txt", document);
    nlohmann::json descriptor = {{"product_code", "7"},
                                 {"company_name", "Velmot Test"},
                                 {"download_subdir", Narrow(host.Name()) + "/rel"},
                                 {"host_name", Narrow(host.Host())},
                                 {"SAS", ""}};
    if (delayMs == 0) {
      service.reset(new testservers::ServiceRelease(Narrow(name), descriptor));
    } else {
      nlohmann::json respond = {{"status", 200}, {"body", descriptor.dump()}, {"delayMs", delayMs}};
      service.reset(new testservers::ServiceRelease(Narrow(name), {{"respond", respond}}));
    }
  }
  // The service refuses the release with this text.
  void PublishRefusal(const std::string& text) {
    service.reset(new testservers::ServiceRelease(Narrow(name), {{"error_info", text}}));
  }
  std::wstring ExeName() const { return name + L"_b1.exe"; }
  std::wstring Caption() const { return name + L" download manager"; }
  std::wstring DownloadFolder() const { return folder.Path(); }

  // Every part file in the work folder holds exactly the bytes of its part.
  ::testing::AssertionResult PartFilesAreIntact(const std::string& localName, size_t firstPart) const {
    for (size_t k = 0; k + firstPart < parts.size(); ++k) {
      const std::wstring path =
          workFolder + L"/" + std::wstring(localName.begin(), localName.end()) + L"part" + std::to_wstring(k);
      if (!testsupport::FileExists(path)) continue;
      if (testsupport::ReadFileBytes(path) != parts[firstPart + k]) {
        return ::testing::AssertionFailure() << "part " << k << " differs";
      }
    }
    return ::testing::AssertionSuccess();
  }

  std::wstring name;
  testservers::FileHostNamespace host;
  testenv::TempFolder folder;
  std::wstring workFolder;
  std::string document = "x";
  std::vector<std::vector<uint8_t>> parts;
  std::unique_ptr<testservers::ServiceRelease> service;
};

bool Contains(const std::wstring& text, const std::wstring& piece) {
  return text.find(piece) != std::wstring::npos;
}

// The value lines of the statistics (control 1005).
std::vector<std::wstring> Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(L"\r\n", at);
    if (end == std::wstring::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

}  // namespace

TEST(DownloadDialog, CaptionNamesTheReleaseAndAFailedRequestKeepsTheWindowOpen) {
  // No catalogue entry for "Velmot Pro": the service refuses the request.
  testenv::TempFolder folder(L"gui");
  DmProcess program(folder.Path(), L"Velmot Pro_b2.exe");
  ASSERT_TRUE(program.Start());
  ASSERT_NE(program.FindWindowByCaption(L"Velmot Pro download manager", kWindowMs), nullptr);
  const std::wstring info = program.WaitForText(IDC_INFO, 20000, [](const std::wstring& t) {
    return Contains(t, L"could not be started");
  });
  EXPECT_EQ(info.rfind(L"The download could not be started.\r\n", 0), 0u) << Narrow(info);
  EXPECT_EQ(program.Text(IDC_LABELS),
            L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n");
  EXPECT_FALSE(program.IsControlVisible(IDC_PAUSE));
  EXPECT_FALSE(program.IsControlVisible(IDC_TIP));
  // It stays open until the user closes it.
  EXPECT_EQ(program.WaitForExit(1500), STILL_ACTIVE);
  program.PostClose();
  EXPECT_EQ(program.WaitForExit(kExitMs), 0u);

  bool requested = false;
  for (const auto& request : testservers::ServiceRequests()) {
    if (request.value("headers", nlohmann::json::object()).value("method", "") != "RequestDownload") continue;
    const std::string body = request.value("bodyBase64", "");
    // "DownloadManagerVersion=9%2e5&ReleaseName=Velmot%20Pro" in base64.
    requested |= body == "RG93bmxvYWRNYW5hZ2VyVmVyc2lvbj05JTJlNSZSZWxlYXNlTmFtZT1WZWxtb3QlMjBQcm8=";
  }
  EXPECT_TRUE(requested);
}

TEST(DownloadDialog, NameWithoutUnderscoreNeverShowsAWindow) {
  testenv::TempFolder folder(L"gui");
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

// The files directly in a folder.
std::set<std::wstring> FilesIn(const std::wstring& folder) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"/*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.insert(data.cFileName);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

TEST(DownloadDialog, FileNamesThatNameNoReleaseTouchNothing) {
  // "_x.exe" names the release "", whose work folder is local application data itself;
  // "._x.exe" and ".._x.exe" name it or its parent. Such a program asks nothing and makes,
  // writes or removes nothing; it only says why.
  const std::wstring appData = ReleasePaths::LocalAppData();
  const std::wstring parent = appData.substr(0, appData.find_last_of(L"\\/"));
  const std::wstring canary = L"velmot-canary-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
  for (const std::wstring& folder : {appData, parent}) {
    testsupport::WriteFileBytes(folder + L"/" + canary, std::vector<uint8_t>{'k', 'e', 'e', 'p'});
  }
  const std::set<std::wstring> appDataBefore = FilesIn(appData);
  const std::set<std::wstring> parentBefore = FilesIn(parent);
  for (const wchar_t* name : {L"_x.exe", L"._x.exe", L".._x.exe"}) {
    testenv::TempFolder folder(L"gui");
    DmProcess program(folder.Path(), name);
    ASSERT_TRUE(program.Start());
    const std::wstring release = std::wstring(name).substr(0, std::wstring(name).rfind(L'_'));
    ASSERT_NE(program.FindWindowByCaption(release + L" download manager", kWindowMs), nullptr)
        << Narrow(name);
    const std::wstring info = program.WaitForText(IDC_INFO, 20000, [](const std::wstring& t) {
      return Contains(t, L"does not name a Velmot release");
    });
    EXPECT_TRUE(Contains(info, L"does not name a Velmot release")) << Narrow(info);
    program.PostClose();
    EXPECT_EQ(program.WaitForExit(kExitMs), 0u);
    EXPECT_EQ(FilesIn(folder.Path()), std::set<std::wstring>{name}) << Narrow(name);
  }
  EXPECT_EQ(FilesIn(appData), appDataBefore);
  EXPECT_EQ(FilesIn(parent), parentBefore);
  for (const std::wstring& folder : {appData, parent}) {
    EXPECT_TRUE(testsupport::FileExists(folder + L"/" + canary));
    DeleteFileW((folder + L"/" + canary).c_str());
  }
  for (const auto& request : testservers::ServiceRequests()) {
    // "DownloadManagerVersion=9%2e5&ReleaseName=" and nothing after it.
    EXPECT_NE(testservers::Base64Decode(request.value("bodyBase64", "")),
              "DownloadManagerVersion=9%2e5&ReleaseName=");
  }
}

TEST(DownloadDialog, ASecondCopyOfTheSameReleaseOnlyRaisesTheFirst) {
  GuiRelease release(L"VelmotTwice");
  release.AddFile("Setup.exe", testsupport::FakeSetupBytes());
  release.AddFile("VelmotData.bin", testsupport::RandomBytes(3000000, 7));
  release.host.SetBehaviour("rel/0_VelmotData.bin", {{"then", {{"rate", 500000}}}});
  release.Publish();
  DmProcess first(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(first.Start());
  ASSERT_NE(first.FindWindowByCaption(release.Caption(), kWindowMs), nullptr);

  // The same program downloaded again: another folder, a browser's " (1)" in the name.
  testenv::TempFolder other(L"gui");
  const std::wstring secondName = release.name + L"_b1 (1).exe";
  DmProcess second(other.Path(), secondName);
  ASSERT_TRUE(second.Start());
  EXPECT_EQ(second.WaitForExit(kExitMs), 0u);
  EXPECT_EQ(FilesIn(other.Path()), std::set<std::wstring>{secondName});

  EXPECT_EQ(first.WaitForExit(90000), 0u);
  const std::wstring marker = release.DownloadFolder() + L"/" + testsupport::kSetupMarker;
  const ULONGLONG end = GetTickCount64() + 10000;
  while (!testsupport::FileExists(marker) && GetTickCount64() < end) Sleep(50);
  Sleep(500);  // a second setup start would land right after the first
  const std::vector<uint8_t> starts = testsupport::ReadFileBytes(marker);
  EXPECT_EQ(std::string(starts.begin(), starts.end()), "ran");
  EXPECT_FALSE(testsupport::FileExists(release.workFolder));
}

TEST(DownloadDialog, ShowsStatisticsAndPauseStallsTheDownload) {
  GuiRelease release(L"VelmotStats");
  release.AddFile("Setup.exe", testsupport::RandomBytes(3000000, 1));
  release.host.SetBehaviour("rel/0_Setup.exe", {{"then", {{"rate", 250000}}}});
  release.Publish();
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(program.Start());
  ASSERT_NE(program.FindWindowByCaption(release.Caption(), kWindowMs), nullptr);

  // A sample with a speed: total, downloaded, speed, percentage and time left.
  const std::wstring values = program.WaitForText(IDC_VALUES, 20000, [](const std::wstring& t) {
    std::vector<std::wstring> l = Lines(t);
    return l.size() == 5 && l[1] != L"0 kB";
  });
  std::vector<std::wstring> lines = Lines(values);
  ASSERT_EQ(lines.size(), 5u) << Narrow(values);
  EXPECT_EQ(lines[0], L"2929 kB");
  EXPECT_NE(lines[2], L"0 kB/s");
  EXPECT_EQ(lines[2].substr(lines[2].size() - 5), L" kB/s");
  EXPECT_EQ(lines[3].back(), L'%');
  EXPECT_TRUE(Contains(lines[4], L" h : ") && Contains(lines[4], L" m : ")) << Narrow(lines[4]);
  EXPECT_EQ(program.Text(IDC_LABELS),
            L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n");
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
  const std::wstring later = program.Text(IDC_VALUES);
  EXPECT_EQ(Lines(later)[1], Lines(paused)[1]) << "the download went on while paused";

  // Resume: the pause symbol again, and the bytes move on.
  program.Click(IDC_PAUSE);
  EXPECT_EQ(program.Send(IDC_PAUSE, BM_GETIMAGE, IMAGE_BITMAP, 0), pauseImage);
  const std::wstring resumed = program.WaitForText(IDC_VALUES, 10000, [&](const std::wstring& t) {
    return Lines(t).size() >= 4 && Lines(t)[1] != Lines(paused)[1];
  });
  EXPECT_NE(Lines(resumed)[1], Lines(paused)[1]);

  program.PostClose();
  EXPECT_EQ(program.WaitForExit(kExitMs), 0u);
}

TEST(DownloadDialog, ClosingTwiceQuicklyRunsTheCloseSequenceOnce) {
  // A refused request: the log then holds the service's answer, which names this run.
  GuiRelease release(L"VelmotTwice");
  const std::string refusal = "Refused for " + Narrow(release.name);
  release.PublishRefusal(refusal);
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(program.Start());
  ASSERT_NE(program.FindWindowByCaption(release.Caption(), kWindowMs), nullptr);
  const std::wstring info = program.WaitForText(IDC_INFO, 20000, [](const std::wstring& t) {
    return Contains(t, L"Refused for ");
  });
  EXPECT_EQ(info, L"The download could not be started.\r\n" + std::wstring(refusal.begin(), refusal.end()));
  program.PostClose();
  program.PostClose();
  EXPECT_EQ(program.WaitForExit(kExitMs), 0u);

  // One log upload, recognisable by the namespace its descriptor named.
  std::set<std::string> computers;
  for (const auto& request : testservers::ServiceRequests()) {
    const auto headers = request.value("headers", nlohmann::json::object());
    if (headers.value("method", "") == "LogErrorInfo") computers.insert(headers.value("computerid", ""));
  }
  size_t uploads = 0;
  for (const std::string& computer : computers) {
    for (const std::string& log : testservers::ServiceUploads(computer)) {
      if (log.find(refusal) != std::string::npos) ++uploads;
    }
  }
  EXPECT_EQ(uploads, 1u);
}

TEST(DownloadDialog, ClosesItselfAfterSetupStarted) {
  GuiRelease release(L"VelmotSetup");
  release.AddFile("Setup.exe", testsupport::FakeSetupBytes());
  release.AddFile("VelmotData.bin", testsupport::RandomBytes(12000000, 3));
  release.Publish();
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(program.Start());
  EXPECT_EQ(program.WaitForExit(60000), 0u);
  const std::wstring marker = release.DownloadFolder() + L"/" + testsupport::kSetupMarker;
  const ULONGLONG end = GetTickCount64() + 10000;
  while (!testsupport::FileExists(marker) && GetTickCount64() < end) Sleep(50);
  EXPECT_TRUE(testsupport::FileExists(marker));
  EXPECT_TRUE(testsupport::FileExists(release.DownloadFolder() + L"/Setup_7.exe"));
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
  ASSERT_TRUE(program.Start());
  ASSERT_NE(program.FindWindowByCaption(release.Caption(), kWindowMs), nullptr);
  HWND box = program.FindMessageBox(L"Error", 30000);
  ASSERT_NE(box, nullptr);
  // The window waits for the box's owner to answer.
  EXPECT_FALSE(IsWindowEnabled(program.Window()));
  program.PostClose();
  EXPECT_EQ(program.WaitForExit(kExitMs), 0u);
}

TEST(DownloadDialog, ClosingAtRandomMomentsAlwaysEndsAndKeepsGoodParts) {
  GuiRelease release(L"VelmotRandom");
  release.AddFile("Setup.exe", testsupport::FakeSetupBytes());
  release.AddFile("VelmotData.bin", testsupport::RandomBytes(25000000, 5));
  release.Publish(400);  // the request itself takes a while: closes land in it too
  std::mt19937 random(20240501);
  const int kRuns = 6;
  for (int run = 0; run < kRuns; ++run) {
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
    const DWORD code = program.WaitForExit(kExitMs);
    EXPECT_EQ(code, 0u) << "run " << run << " closed after " << delay << " ms";
    EXPECT_LT(GetTickCount64() - started, 20000u) << "run " << run;
    EXPECT_TRUE(release.PartFilesAreIntact("VelmotD_7ata.bin", 1)) << "run " << run;
  }
  // Left alone, a last run finishes from what the earlier ones kept.
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(program.Start());
  EXPECT_EQ(program.WaitForExit(90000), 0u);
  const std::vector<uint8_t> data =
      testsupport::ReadFileBytes(release.DownloadFolder() + L"/VelmotD_7ata.bin");
  EXPECT_EQ(data.size(), 25000000u);
}

namespace {

// Reads a dialog template (DLGTEMPLATEEX) as it is stored in the program.
struct TemplateReader {
  const uint8_t* at;
  uint16_t Word() { uint16_t v; memcpy(&v, at, 2); at += 2; return v; }
  uint32_t Dword() { uint32_t v; memcpy(&v, at, 4); at += 4; return v; }
  int16_t Short() { return static_cast<int16_t>(Word()); }
  std::wstring SzOrOrd() {
    uint16_t first = Word();
    if (first == 0) return L"";
    if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
    std::wstring s(1, static_cast<wchar_t>(first));
    for (uint16_t c = Word(); c != 0; c = Word()) s += static_cast<wchar_t>(c);
    return s;
  }
  void Align(const uint8_t* base) {
    while ((at - base) % 4) ++at;
  }
};

struct Item {
  uint32_t style;
  int16_t x, y, cx, cy;
  uint32_t id;
  std::wstring cls, text;
};

std::wstring ClassName(const std::wstring& cls) {
  if (cls == L"#128") return L"button";
  if (cls == L"#130") return L"static";
  std::wstring lower;
  for (wchar_t c : cls) lower += static_cast<wchar_t>(towlower(c));
  return lower;
}

}  // namespace

TEST(DownloadDialog, TemplateAndBitmapsMatchTheLayout) {
  HMODULE program = LoadLibraryExW(DmProcess::ProgramPath().c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(program, nullptr);
  HRSRC found = FindResourceW(program, MAKEINTRESOURCEW(IDD_DOWNLOAD), RT_DIALOG);
  ASSERT_NE(found, nullptr);
  const auto* base = static_cast<const uint8_t*>(LockResource(LoadResource(program, found)));
  TemplateReader r{base};
  ASSERT_EQ(r.Word(), 1);       // dlgVer
  ASSERT_EQ(r.Word(), 0xFFFF);  // signature of DLGTEMPLATEEX
  r.Dword();                    // help id
  r.Dword();                    // extended style
  const uint32_t style = r.Dword();
  EXPECT_EQ(style, static_cast<uint32_t>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT |
                                         DS_MODALFRAME | DS_SETFOREGROUND | DS_CENTER));
  const uint16_t count = r.Word();
  const int16_t x = r.Short(), y = r.Short(), cx = r.Short(), cy = r.Short();
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  EXPECT_EQ(cx, 401);
  EXPECT_EQ(cy, 236);
  EXPECT_EQ(r.SzOrOrd(), L"");  // menu
  EXPECT_EQ(r.SzOrOrd(), L"");  // class
  EXPECT_EQ(r.SzOrOrd(), L"Velmot download manager");
  EXPECT_EQ(r.Word(), 8);       // points
  r.Word();                     // weight
  r.Word();                     // italic, charset
  EXPECT_EQ(r.SzOrOrd(), L"MS Sans Serif");
  ASSERT_EQ(count, 7);

  std::vector<Item> items;
  for (int i = 0; i < count; ++i) {
    r.Align(base);
    Item item;
    r.Dword();  // help id
    r.Dword();  // extended style
    item.style = r.Dword();
    item.x = r.Short(); item.y = r.Short(); item.cx = r.Short(); item.cy = r.Short();
    item.id = r.Dword();
    item.cls = ClassName(r.SzOrOrd());
    item.text = r.SzOrOrd();
    r.at += r.Word();  // creation data
    items.push_back(item);
  }
  const DWORD base_ = WS_CHILD | WS_VISIBLE;
  struct Expected { uint32_t id; const wchar_t* cls; uint32_t style; const wchar_t* text; int x, y, cx, cy; };
  const Expected expected[] = {
      {1002, L"msctls_progress32", base_ | WS_BORDER, L"", 180, 90, 176, 15},
      {1008, L"static", base_ | SS_LEFT | WS_GROUP, L"Downloading Velmot Installer. Please wait.", 180, 18, 202, 66},
      {1005, L"static", base_ | SS_LEFT | WS_GROUP, L"", 233, 113, 144, 52},
      {1007, L"static", base_ | SS_BITMAP, L"#103", 17, 15, 119, 151},
      {1006, L"static", base_ | SS_LEFT | WS_GROUP,
       L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n", 180, 113, 177, 51},
      {1014, L"button", base_ | BS_PUSHBUTTON | BS_BITMAP | WS_TABSTOP, L"Button1", 364, 89, 16, 16},
      {1015, L"static", base_ | SS_LEFT | WS_GROUP, L"Text", 20, 177, 362, 45},
  };
  for (int i = 0; i < 7; ++i) {
    SCOPED_TRACE(expected[i].id);
    EXPECT_EQ(items[i].id, expected[i].id);
    EXPECT_EQ(items[i].cls, expected[i].cls);
    EXPECT_EQ(items[i].style, expected[i].style);
    EXPECT_EQ(items[i].text, expected[i].text);
    EXPECT_EQ(items[i].x, expected[i].x);
    EXPECT_EQ(items[i].y, expected[i].y);
    EXPECT_EQ(items[i].cx, expected[i].cx);
    EXPECT_EQ(items[i].cy, expected[i].cy);
  }

  const struct { int id; LONG width, height; } bitmaps[] = {{IDB_LOGO, 179, 228}, {IDB_PAUSE, 256, 256}, {IDB_PLAY, 256, 256}};
  for (const auto& bitmap : bitmaps) {
    SCOPED_TRACE(bitmap.id);
    HRSRC res = FindResourceW(program, MAKEINTRESOURCEW(bitmap.id), RT_BITMAP);
    ASSERT_NE(res, nullptr);
    BITMAPINFOHEADER header;
    memcpy(&header, LockResource(LoadResource(program, res)), sizeof(header));
    EXPECT_EQ(header.biWidth, bitmap.width);
    EXPECT_EQ(header.biHeight, bitmap.height);
    EXPECT_EQ(header.biBitCount, 24);
  }
  FreeLibrary(program);
}

namespace {

// The program's resources loaded into this process, for the tests that build the window
// here and call its operations directly.
struct ProgramResources {
  ProgramResources()
      : module(LoadLibraryExW(DmProcess::ProgramPath().c_str(), nullptr,
                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  ~ProgramResources() { if (module) FreeLibrary(module); }
  HMODULE module;
};

const wchar_t kInProcessPath[] = L"C:\\velmot\\Velmot Pro_b2.exe";

// Dispatches messages for ms, or until WM_QUIT (then true).
bool Pump(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (GetTickCount64() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return true;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return false;
}

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
  EXPECT_EQ(Text(window, IDC_VALUES), L"1024000 kB\r\n512000 kB\r\n2048 kB/s\r\n50 %\r\n0 h : 4 m : 10 s");
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
  EXPECT_EQ(Text(window, IDC_TIP).rfind(L"The setup starts automatically after downloading.", 0), 0u);
}

TEST(DownloadDialog, PauseButtonTogglesImageAndFlag) {
  ProgramResources resources;
  ASSERT_NE(resources.module, nullptr);
  DownloadDialog dialog(resources.module, kInProcessPath);
  HWND button = GetDlgItem(dialog.Window(), IDC_PAUSE);
  const LRESULT pause = SendMessageW(button, BM_GETIMAGE, IMAGE_BITMAP, 0);
  ASSERT_NE(pause, 0);
  SendMessageW(dialog.Window(), WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  EXPECT_TRUE(dialog.IsPaused());
  const LRESULT play = SendMessageW(button, BM_GETIMAGE, IMAGE_BITMAP, 0);
  EXPECT_NE(play, pause);
  // Another notification or another control changes nothing.
  SendMessageW(dialog.Window(), WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_DOUBLECLICKED), 0);
  SendMessageW(dialog.Window(), WM_COMMAND, MAKEWPARAM(IDC_TIP, BN_CLICKED), 0);
  EXPECT_TRUE(dialog.IsPaused());
  SendMessageW(dialog.Window(), WM_COMMAND, MAKEWPARAM(IDC_PAUSE, BN_CLICKED), reinterpret_cast<LPARAM>(button));
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
