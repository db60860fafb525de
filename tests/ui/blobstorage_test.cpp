// The real program against blob storage: velmot-dm.exe under Wine fetches a release from
// the blob storage emulator (Azurite, https on port 443 of a blobs-M.velmot.test name)
// with the read-only SAS token the reference web service issues for it. Faults Azurite
// cannot make stay with the file host's tests.
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/guirelease.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include "resource.h"

#include "base/systemtexts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using testing::HasSubstr;
using testsupport::DmProcess;
using testsupport::GuiRelease;

namespace {

const char kPrefix[] = "velmot/rel 1";  // a space in the folder as well

// Azurite writes its debug log a moment after it answers.
size_t ReadCountSettled(const GuiRelease& release, const std::string& blob, size_t atLeast) {
  testsupport::Eventually([&] { return release.blobs->ReadCount(blob) >= atLeast; }, 5000);
  Sleep(200);
  return release.blobs->ReadCount(blob);
}

// The program runs to its end by itself: both files of the release arrived whole, setup
// started and the work folder is gone.
void RunToSetup(GuiRelease& release, const std::string& listed, const std::vector<uint8_t>& data) {
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(program.Start());
  EXPECT_EQ(program.WaitForExit(120000), 0u);  // it closes itself once setup has started
  EXPECT_EQ(testsupport::ReadFileBytes(release.LocalPath("Setup.exe")),
            testsupport::FakeSetupBytes());
  EXPECT_EQ(testsupport::ReadFileBytes(release.LocalPath(listed)), data);
  EXPECT_TRUE(release.SetupStarted(10000));
  EXPECT_FALSE(testsupport::FileExists(release.workFolder));
}

}  // namespace

TEST(BlobStorage, FreshJobDownloadsEveryPartOnceAndStartsSetup) {
  GuiRelease release(L"VelmotBlobFresh", kPrefix);
  const std::vector<uint8_t> data = release.AddSetupAndData(21000000, 11, "Velmot Data.bin");
  release.Publish();
  ASSERT_NO_FATAL_FAILURE(RunToSetup(release, "Velmot Data.bin", data));

  // Every part once, each answered 200; the document at least twice (two copies must agree).
  for (size_t k = 0; k < 3; ++k) {
    const std::string blob = release.PartObject("Velmot Data.bin", k);
    EXPECT_EQ(release.blobs->ReadStatuses(blob), std::vector<int>{200}) << blob;
  }
  EXPECT_EQ(release.blobs->ReadStatuses(release.PartObject("Setup.exe", 0)), std::vector<int>{200});
  EXPECT_GE(release.blobs->ReadCount(release.DocumentObject()), 2u);
}

TEST(BlobStorage, KilledMidDownloadRerunFetchesOnlyTheMissingParts) {
  GuiRelease release(L"VelmotBlobKill", kPrefix);
  const size_t kParts = 8;
  const std::vector<uint8_t> data =
      release.AddSetupAndData(kParts * DownloadManager::kPartSize - 123, 12);
  release.Publish();
  const std::wstring merging = release.LocalPath("VelmotData.bin") + L".merging";
  {
    DmProcess program(release.DownloadFolder(), release.ExeName());
    ASSERT_TRUE(program.Start());
    // Killed as soon as the first part of the data file is in its region: seven are still
    // to come.
    bool seen = false;
    const ULONGLONG end = GetTickCount64() + 90000;
    while (!seen && GetTickCount64() < end && program.WaitForExit(10) == STILL_ACTIVE) {
      for (size_t k = 0; k < kParts && !seen; ++k)
        seen = testsupport::RegionEndsWith(merging, k * DownloadManager::kPartSize,
                                           release.Part("VelmotData.bin", k));
    }
    ASSERT_TRUE(seen) << "no part arrived";
    program.Kill();
  }

  // What the killed run left: the regions that hold their parts (a part cut short by the
  // kill is not one of them and has to come again).
  const std::vector<bool> kept = release.RegionsHeld("VelmotData.bin");
  std::vector<size_t> before(kParts);
  const size_t keptCount = std::count(kept.begin(), kept.end(), true);
  ASSERT_GE(keptCount, 1u);
  ASSERT_LT(keptCount, kParts) << "the kill came too late to leave anything missing";
  for (size_t k = 0; k < kParts; ++k)
    before[k] = ReadCountSettled(release, release.PartObject("VelmotData.bin", k), 0);

  DmProcess rerun(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(rerun.Start());
  EXPECT_EQ(rerun.WaitForExit(120000), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(release.LocalPath("VelmotData.bin")), data);
  for (size_t k = 0; k < kParts; ++k) {
    const std::string blob = release.PartObject("VelmotData.bin", k);
    const size_t after = ReadCountSettled(release, blob, before[k] + (kept[k] ? 0 : 1));
    EXPECT_EQ(after - before[k], kept[k] ? 0u : 1u)
        << "part " << k << (kept[k] ? " was kept" : " was missing");
  }
}

TEST(BlobStorage, WrongSasIsRefusedWith403AndTheJobFailsClearly) {
  GuiRelease release(L"VelmotBlobSas", kPrefix);
  release.AddFile("Setup.exe", testsupport::FakeSetupBytes());
  // Signed with a key that is not the account's: Azurite refuses every request.
  release.Publish(0, {{"accountKey", "bm90IHRoZSBhY2NvdW50J3Mga2V5IGF0IGFsbCwgc29ycnkhISE="}});
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));

  // The manager gives up after its passes and says so in a box; the support page opens.
  EXPECT_EQ(program.MessageBoxText(L"Error", 180000), velmot::texts::kGiveUp);
  EXPECT_EQ(program.CloseAndWait(30000), 0u);

  // Nothing was saved; every request of the document was answered 403; the log beside the
  // program names the status and the storage's reason.
  EXPECT_FALSE(testsupport::FileExists(release.LocalPath("Setup.exe")));
  const std::vector<int> statuses = release.blobs->ReadStatuses(release.DocumentObject());
  ASSERT_FALSE(statuses.empty());
  for (int status : statuses) EXPECT_EQ(status, 403);
  EXPECT_EQ(release.blobs->ReadCount(release.PartObject("Setup.exe", 0)), 0u);
  const std::string logText = testsupport::TextLogIn(release.DownloadFolder());
  EXPECT_THAT(logText, HasSubstr("Response status not 200, but 403"));
  EXPECT_THAT(logText, HasSubstr("AuthorizationFailure"));
  // The log says plainly who refused what; a new link from the service failed the same way.
  EXPECT_THAT(logText, HasSubstr("The file host refused the download link (HTTP 403, "
                                 "AuthorizationFailure) for: "));
  EXPECT_THAT(logText, HasSubstr("The web service gave a new download link"));
  EXPECT_GE(testsupport::SupportPageOpenings(release.DownloadFolder()), 1u);
}

TEST(BlobStorage, AnExpiredLinkIsRenewedThroughTheServiceAndTheJobCompletes) {
  GuiRelease release(L"VelmotBlobExpired", kPrefix);
  const std::vector<uint8_t> data = release.AddSetupAndData(12000000, 13, "Velmot Data.bin");
  // The first descriptor carries a token whose expiry has passed, the next a valid one.
  release.Publish(0, {{"expiredAnswers", 1}});
  ASSERT_NO_FATAL_FAILURE(RunToSetup(release, "Velmot Data.bin", data));

  // Two download requests for the release: the first answer, then the renewal.
  testsupport::Eventually([&] { return release.DownloadRequests() >= 2; }, 5000);
  EXPECT_EQ(release.DownloadRequests(), 2u);
  // The storage refused the old token, then served the document and every part once.
  const std::vector<int> document = release.blobs->ReadStatuses(release.DocumentObject());
  ASSERT_FALSE(document.empty());
  EXPECT_EQ(document.front(), 403);
  EXPECT_EQ(document.back(), 200);
  for (size_t k = 0; k < 2; ++k) {
    const std::string blob = release.PartObject("Velmot Data.bin", k);
    EXPECT_EQ(ReadCountSettled(release, blob, 1), 1u) << blob;
  }
}
