// The whole program where customers download: a network that goes away for a while, a
// network that answers with its sign-in page, a release whose document and objects do not
// match, a disk that is too full, and a setup that an antivirus holds for a moment. The
// first three run velmot-dm.exe under Wine; the last two build the window in this process,
// with the free-space query and the shell's start replaced.
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/guirelease.h"
#include "support/inprocesswindow.h"
#include "support/records.h"
#include "support/testenv.h"
#include "support/testservers.h"
#include "ui/downloaddialog.h"

#include "resource.h"

#include "base/systemtexts.h"

#include <shellapi.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using testing::HasSubstr;
using testsupport::DmProcess;
using testsupport::GuiRelease;
using testsupport::Narrow;
using testsupport::Occurrences;

using RealWorld = testsupport::InProcessWindowTest;

TEST_F(RealWorld, AnOutageInTheMiddleEndsInSetupWithoutFetchingWholePartsAgain) {
  GuiRelease release(L"VelmotOutage");
  const size_t kParts = 4;
  release.AddSetupAndData(kParts * DownloadManager::kPartSize - 7, 21);
  // Two seconds for the first part, longer for each later one (they arrive side by side),
  // so that the outage begins in the middle of the download.
  for (size_t k = 0; k < kParts; ++k) {
    release.host.SetBehaviour(release.PartObject("VelmotData.bin", k),
                              {{"rate", 5000000 / (k + 1)}});
  }
  release.Publish();
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));

  ASSERT_TRUE(testsupport::Eventually(
      [&]() -> bool { return release.RegionsHeld("VelmotData.bin")[0]; }, 90000));
  release.host.GoDown(30000);
  const std::vector<bool> kept = release.RegionsHeld("VelmotData.bin");
  ASSERT_LT(kept[kParts - 1], true) << "the outage came too late";

  EXPECT_THAT(Narrow(program.WaitForTextWith(IDC_LABELS, 30000, L"The network is unavailable.")),
              HasSubstr("The download goes on by itself when it is back.\r\nNext try in "));
  EXPECT_EQ(program.WaitForExit(240000), 0u);
  EXPECT_TRUE(release.SetupStarted(10000));
  EXPECT_EQ(testsupport::ReadFileBytes(release.LocalPath("VelmotData.bin")).size(),
            kParts * DownloadManager::kPartSize - 7);
  size_t refused = 0;
  for (const auto& request : release.host.Requests()) refused += request.value("refused", false);
  EXPECT_GT(refused, 8u);  // many more tries than passes
  for (size_t k = 0; k < kParts; ++k) {
    if (!kept[k]) continue;
    size_t answered = 0;
    for (const auto& request : release.host.Requests(release.PartObject("VelmotData.bin", k)))
      answered += !request.value("refused", false);
    EXPECT_EQ(answered, 1u) << "part " << k << " was whole before the outage";
  }
}

TEST_F(RealWorld, ASignInPageAsksTheUserToSignInAndTheDownloadGoesOnAfterwards) {
  GuiRelease release(L"VelmotSignIn");
  release.AddFile("Setup.exe", testsupport::FakeSetupBytes());
  release.Publish();
  const nlohmann::json page = {
      {"body", "<html><body><form>Welcome! Accept the terms to go online.</form></body></html>"},
      {"contentType", "text/html; charset=utf-8"}};
  // Three fetches' worth.
  release.host.SetBehaviour(release.DocumentObject(),
                            {{"attempts", nlohmann::json::array_t(12, page)}});
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));
  EXPECT_THAT(Narrow(program.WaitForTextWith(IDC_LABELS, 30000, L"sign-in page")),
              HasSubstr("The network answered with a sign-in page instead of the download. "
                        "Open your web browser and sign in to the network; the download then "
                        "goes on by itself.\r\nNext try in "));
  EXPECT_EQ(program.WaitForExit(120000), 0u);
  EXPECT_TRUE(release.SetupStarted(10000));
}

TEST_F(RealWorld, AStaleDocumentIsNamedOnceInTheLogAsPublishedInconsistently) {
  GuiRelease release(L"VelmotStale");
  const std::vector<uint8_t> listed = testsupport::RandomBytes(6000, 22);
  std::vector<uint8_t> published = listed;
  published[3] ^= 0x20;
  release.AddFile("Setup.exe", published);
  // The document was made from another build of the file than the one uploaded.
  release.document = "x;" + testsupport::CRCInfoEntryText("Setup.exe", listed);
  release.Publish();
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));
  EXPECT_EQ(program.MessageBoxText(L"Error", 180000), velmot::texts::kGiveUp);
  EXPECT_EQ(program.CloseAndWait(30000), 0u);

  const std::string log = testsupport::TextLogIn(release.DownloadFolder());
  const std::string object =
      Narrow(release.host.Host() + release.host.ObjectPath("rel/0_Setup.exe"));
  EXPECT_EQ(Occurrences(log, "The file host's object " + object +
                                 " came back with the same wrong CRC on every attempt (found " +
                                 std::to_string(testsupport::CrcOf(published)) +
                                 ", the CRC info document lists " +
                                 std::to_string(testsupport::CrcOf(listed)) +
                                 "): the release was published inconsistently"),
            1u)
      << log;
  EXPECT_GE(Occurrences(log, "incorrect CRC"), 8u);  // the plain records stay
}

TEST_F(RealWorld, TooLittleDiskSpaceIsToldWithDriveAndSizesBeforeAnythingIsFetched) {
  GuiRelease release(L"VelmotDisk");
  release.AddSetupAndData(21000000, 23);
  release.Publish();
  std::vector<std::wstring> boxes;
  {
    DownloadDialog dialog(resources.module, release.ModulePath());
    dialog.manager.settings.freeSpaceQuery = [](const std::wstring&, uint64_t& freeBytes) {
      freeBytes = 12345678;
      return true;
    };
    dialog.Show();
    EXPECT_TRUE(testsupport::RunUntilQuit(dialog.Window(), 60000, boxes));
  }
  wchar_t volume[MAX_PATH] = {};
  ASSERT_TRUE(GetVolumePathNameW(release.DownloadFolder().c_str(), volume, MAX_PATH));
  // What is still to come, written once into the merging files, and the margin
  // (21,000,000 + setup + 16 MiB).
  const uint64_t needed = 21000000 + testsupport::FakeSetupBytes().size() + 16 * 1024 * 1024;
  const std::wstring expected =
      L"There is not enough free space on drive " + std::wstring(volume).substr(0, 2) +
      L" to save the Velmot installation files in the folder " +
      release.ModulePath().substr(0, release.ModulePath().rfind(L'\\')) + L".\r\nNeeded: " +
      std::to_wstring((needed + 999999) / 1000000) +
      L" MB, free: 12 MB.\r\nPlease free some space on that drive and start the download again.";
  EXPECT_EQ(boxes, std::vector<std::wstring>{expected});
  EXPECT_TRUE(testsupport::HasRecord(Narrow(expected), ERROR_DISK_FULL));
  EXPECT_TRUE(release.host.Requests("rel/0_Setup.exe").empty());
  EXPECT_TRUE(release.host.Requests("rel/0_VelmotData.bin").empty());
  EXPECT_GE(testsupport::SupportPageOpenings(), 1u);
}

TEST_F(RealWorld, ASetupHeldByAScannerIsStartedOnceItIsFree) {
  GuiRelease release(L"VelmotBusy");
  release.AddFile("Setup.exe", testsupport::FakeSetupBytes());
  release.Publish();
  std::vector<std::wstring> boxes;
  int calls = 0;
  {
    DownloadDialog dialog(resources.module, release.ModulePath());
    // The first two starts meet the file held as a scanner holds it; then it is free.
    dialog.manager.settings.shellStart = [&](const std::wstring& file, const std::wstring& folder) {
      if (++calls <= 2) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return static_cast<intptr_t>(SE_ERR_SHARE);
      }
      return reinterpret_cast<intptr_t>(
          ShellExecuteW(nullptr, L"open", file.c_str(), L"", folder.c_str(), SW_SHOW));
    };
    dialog.Show();
    EXPECT_TRUE(testsupport::RunUntilQuit(dialog.Window(), 90000, boxes));
  }
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(release.SetupStarted(10000));
  EXPECT_EQ(testsupport::CountRecordsStartingWith(
                "Setup is in use by another program (a virus scanner?); it is started again in "),
            2u);
}
