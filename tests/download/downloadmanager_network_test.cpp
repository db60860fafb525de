// The download manager on real networks, against the loopback file host and web service:
// outages that do not use up the passes (and the give-up once an outage lasts too long),
// a refused link that is renewed through the web service, sign-in pages, objects that
// were published inconsistently, and the free-space check.
#include "download/job/downloadmanager.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "support/managerjob.h"
#include "support/records.h"
#include "support/testservers.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using testsupport::CountRecords;
using testsupport::DownloadJob;
using testsupport::ManagerJob;
using testsupport::MessagesWithCode;
using testsupport::RandomBytes;
using testsupport::ReadFileBytes;
using velmot::texts::kGiveUp;

constexpr unsigned kJobMs = ManagerJob::kJobMs;

const char kSignInPage[] =
    "\r\n  <!doctype html><html><head><title>Hotel WiFi</title></head><body>Please sign in"
    "</body></html>";

// Requests of an object the host answered (not refused by an outage).
size_t AnsweredRequests(const DownloadJob& job, const std::string& relative) {
  size_t n = 0;
  for (const auto& request : job.host.Requests(relative)) n += !request.value("refused", false);
  return n;
}

// A release of one small file on a host that is down for the next two minutes.
void PublishBehindAnOutage(DownloadJob& job) {
  job.AddFile("Setup.exe", RandomBytes(3000, 42));
  job.PublishList();
  job.host.GoDown(120000);
}

void ShortenWaits(DownloadManager& manager) {
  manager.settings.networkFirstWaitMs = 200;
  manager.settings.networkMaxWaitMs = 400;
}

// Runs the job on short waits with an outage budget of 1.5 s; the texts the user was shown.
std::vector<std::wstring> RunOnAShortBudget(DownloadJob& job) {
  ManagerJob run(job);
  ShortenWaits(run.manager);
  run.manager.settings.outageBudgetMs = 1500;
  EXPECT_TRUE(run.Run());
  return run.Errors();
}

}  // namespace

TEST(DownloadManagerNetwork, AnOutageWaitsWithoutUsingUpThePassesAndKeepsEveryPart) {
  DownloadJob job;
  const std::vector<uint8_t> data = RandomBytes(2 * DownloadManager::kPartSize + 5, 41);
  job.AddFile("Data.bin", data);
  job.AddFile("Setup.exe", testsupport::FakeSetupBytes());
  job.PublishList();
  // Part 0 arrives slowly; the host goes down while it is on its way, so that part 1 and
  // the document meet an outage of several seconds (many more than eight tries).
  job.host.SetBehaviour(DownloadJob::PartObject(0, "Data.bin"), {{"rate", 8000000}});
  ManagerJob run(job);
  ShortenWaits(run.manager);
  run.Start();
  ASSERT_TRUE(testsupport::Eventually(
      [&] { return job.RequestCount(DownloadJob::PartObject(0, "Data.bin")) > 0; }, kJobMs));
  job.host.GoDown(5000);
  bool sawWait = false;
  testsupport::Eventually(
      [&] { return (sawWait = run.manager.Progress().networkRetrySeconds > 0); }, 20000);
  ASSERT_TRUE(run.Ended());

  EXPECT_TRUE(sawWait);
  EXPECT_EQ(run.listener.FinishedCount(), 1u);
  EXPECT_TRUE(job.SetupStarted());
  EXPECT_TRUE(run.Errors().empty());
  EXPECT_EQ(ReadFileBytes(run.LocalPath("Data.bin")), data);
  EXPECT_EQ(CountRecords(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED), 0u);
  // Part 0, whole before the outage hit anything, is fetched once.
  EXPECT_EQ(AnsweredRequests(job, DownloadJob::PartObject(0, "Data.bin")), 1u);
  size_t refused = 0;
  for (const auto& request : job.host.Requests()) refused += request.value("refused", false);
  EXPECT_GT(refused, 8u);
  EXPECT_GE(testsupport::CountRecordsStartingWith("The file host " +
                                                  testsupport::Narrow(job.host.Host()) +
                                                  " could not be reached; the next try comes in"),
            1u);
  EXPECT_EQ(run.manager.Progress().networkRetrySeconds, 0u);
}

TEST(DownloadManagerNetwork, AnOutageLongerThanTheBudgetEndsLikeFailedPasses) {
  DownloadJob job;
  PublishBehindAnOutage(job);
  EXPECT_EQ(RunOnAShortBudget(job), std::vector<std::wstring>{kGiveUp});
  EXPECT_EQ(CountRecords(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED), 1u);
  // Two empty copies of an unreachable document are no list: nothing was verified.
  EXPECT_FALSE(
      testsupport::FileExists(job.downloadFolder + L"/" + DownloadJob::LocalName("Setup.exe")));
  EXPECT_EQ(AnsweredRequests(job, DownloadJob::ListObject()), 0u);
}

TEST(DownloadManagerNetwork, AHostThatServesTheDocumentButNeverAPartStillEnds) {
  DownloadJob job;
  job.AddFile("Setup.exe", RandomBytes(3000, 44));
  job.PublishList();
  job.host.SetBehaviour(DownloadJob::PartObject(0, "Setup.exe"), {{"reset", true}});
  // The document came through every time: the outage of the parts still counts.
  EXPECT_EQ(RunOnAShortBudget(job), std::vector<std::wstring>{kGiveUp});
  EXPECT_GE(job.RequestCount(DownloadJob::PartObject(0, "Setup.exe")), 8u * 4u);
}

TEST(DownloadManagerNetwork, AStopDuringTheWaitIsPrompt) {
  DownloadJob job;
  PublishBehindAnOutage(job);
  ManagerJob run(job);
  run.manager.settings.networkFirstWaitMs = 60000;
  run.Start();
  ASSERT_TRUE(testsupport::Eventually(
      [&] { return run.manager.Progress().networkRetrySeconds > 0; }, kJobMs));
  EXPECT_GT(run.manager.Progress().networkRetrySeconds, 50u);
  const ULONGLONG before = GetTickCount64();
  run.manager.StopJob();
  EXPECT_LT(GetTickCount64() - before, 5000u);
  EXPECT_EQ(run.listener.FinishedCount(), 0u);
}

TEST(DownloadManagerNetwork, ARefusedLinkIsRenewedOnceAndTheJobCompletes) {
  DownloadJob job;
  const std::vector<uint8_t> setup = testsupport::FakeSetupBytes();
  job.AddFile("Setup.exe", setup);
  job.PublishList();
  job.host.RequireQuery("k=fresh");
  const std::string release = testsupport::UniqueId("VelmotRenew");
  testsupport::ServiceRelease entry(release, {{"product_code", DownloadJob::kProductCode},
                                              {"download_subdir", "x"},
                                              {"host_name", "x"},
                                              {"SAS", "?k=fresh"}});
  ManagerJob run(job);
  std::wstring errorText;
  ASSERT_TRUE(run.manager.RequestDownload(std::wstring(release.begin(), release.end()), errorText));
  run.manager.descriptor.sasText = L"?k=stale";
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.listener.FinishedCount(), 1u);
  EXPECT_TRUE(job.SetupStarted());
  EXPECT_EQ(ReadFileBytes(run.LocalPath("Setup.exe")), setup);
  EXPECT_EQ(run.manager.descriptor.sasText, L"?k=fresh");
  EXPECT_EQ(run.manager.descriptor.hostName, job.host.Host());  // only the link changes
  const std::vector<std::string> refusals = MessagesWithCode(DL_MANAGER_LINK_REFUSED);
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0], "The file host refused the download link (HTTP 403) for: " +
                             testsupport::Narrow(job.host.Host() + job.host.ObjectPath("rel/")) +
                             DownloadJob::kListName);
}

TEST(DownloadManagerNetwork, ALinkTheServiceCannotRenewEndsInTheUsualFailure) {
  DownloadJob job;
  job.AddFile("Setup.exe", RandomBytes(3000, 44));
  job.PublishList();
  job.host.RequireQuery("k=fresh");
  const std::string release = testsupport::UniqueId("VelmotNoRenew");
  ManagerJob run(job);
  testsupport::ServiceRelease refusal(release, {{"error_info", "Release withdrawn"}});
  std::wstring errorText;
  run.manager.RequestDownload(std::wstring(release.begin(), release.end()), errorText);
  run.manager.descriptor.sasText = L"?k=stale";
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.Errors(), std::vector<std::wstring>{kGiveUp});
  EXPECT_TRUE(testsupport::HasRecord("The web service gave no new download link: Release withdrawn",
                                     DL_MANAGER_LINK_REFUSED));
}

TEST(DownloadManagerNetwork, ASignInPageIsNoDocumentAndIsRecordedOncePerJob) {
  DownloadJob job;
  const std::vector<uint8_t> setup = testsupport::FakeSetupBytes();
  job.AddFile("Setup.exe", setup);
  job.PublishList();
  nlohmann::json page = {{"body", kSignInPage}, {"contentType", "application/octet-stream"}};
  // Eight answers are two fetches of four attempts each: two passes that end in a wait.
  job.host.SetBehaviour(
      DownloadJob::ListObject(),
      {{"attempts", nlohmann::json::array({page, page, page, page, page, page, page, page})}});
  // The part, once the document came through, meets a page served as text/html.
  job.host.SetBehaviour(
      DownloadJob::PartObject(0, "Setup.exe"),
      {{"attempts",
        nlohmann::json::array({{{"body", "Sign in please"}, {"contentType", "text/html"}}})}});
  ManagerJob run(job);
  ShortenWaits(run.manager);
  bool sawSignIn = false;
  run.Start();
  testsupport::Eventually([&] { return (sawSignIn = run.manager.Progress().signInPage); }, 20000);
  ASSERT_TRUE(run.Ended());
  EXPECT_TRUE(sawSignIn);
  EXPECT_EQ(run.listener.FinishedCount(), 1u);
  EXPECT_TRUE(job.SetupStarted());
  EXPECT_EQ(ReadFileBytes(run.LocalPath("Setup.exe")), setup);
  const std::vector<std::string> pages = MessagesWithCode(DL_MANAGER_SIGN_IN_PAGE);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0], "The network answered with a web page instead of the download from " +
                          testsupport::Narrow(job.host.Host()) +
                          ": a hotel, airport or company network may want a sign-in in a web "
                          "browser first");
  // The document was never read from a page: nothing was rejected as a file name.
  EXPECT_EQ(CountRecords(DL_MANAGER_INVALID_FILE_NAME), 0u);
}

TEST(DownloadManagerNetwork, TheSameWrongCRCEveryTimeNamesTheObjectOnceAChangingOneDoesNot) {
  DownloadJob job;
  const std::vector<uint8_t> listed = RandomBytes(4000, 45);
  std::vector<uint8_t> published = listed;
  published[10] ^= 0x55;  // the host's object is another build of the file
  job.AddFile("Setup.exe", listed, /*publishParts=*/false);
  job.host.PutObject(DownloadJob::PartObject(0, "Setup.exe"), published);
  const std::vector<uint8_t> other = RandomBytes(4000, 46);
  job.AddFile("Other.bin", other);
  job.PublishList();
  // Damage in transit: each attempt a different byte.
  nlohmann::json damaged = nlohmann::json::array();
  for (int i = 0; i < 64; ++i) damaged.push_back({{"corruptAt", 100 + i}});
  job.host.SetBehaviour(DownloadJob::PartObject(0, "Other.bin"), {{"attempts", damaged}});
  ManagerJob run(job);
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.Errors(), std::vector<std::wstring>{kGiveUp});
  const std::vector<std::string> stale = MessagesWithCode(DL_MANAGER_PUBLISHED_INCONSISTENTLY);
  ASSERT_EQ(stale.size(), 1u);  // eight passes, one record
  const std::string object =
      testsupport::Narrow(job.host.Host() + job.host.ObjectPath("rel/0_Setup.exe"));
  EXPECT_EQ(stale[0], "The file host's object " + object +
                          " came back with the same wrong CRC on every attempt (found " +
                          std::to_string(testsupport::CrcOf(published)) +
                          ", the CRC info document lists " +
                          std::to_string(testsupport::CrcOf(listed)) +
                          "): the release was published inconsistently, the object and the CRC "
                          "info document come from different files");
  // The other file's changing damage keeps the plain CRC records only.
  EXPECT_GE(CountRecords(DL_MANAGER_CRC_INCORRECT), 8u * 4u * 2u);
}

namespace {

// A folder as the program names it to the user: backslashes only.
std::wstring ShownFolder(std::wstring folder) {
  std::replace(folder.begin(), folder.end(), L'/', L'\\');
  return folder;
}

}  // namespace

TEST(DownloadManagerNetwork, ShortDiskSpaceStopsBeforeAnyDownloadNamingDriveAndSizes) {
  DownloadJob job;
  job.AddFile("Setup.exe", RandomBytes(3000, 47));
  job.AddFile("Data.bin", RandomBytes(25000000, 48), /*publishParts=*/false);
  job.PublishList();
  ManagerJob run(job);
  std::vector<std::wstring> asked;
  run.manager.settings.freeSpaceQuery = [&](const std::wstring& folder, uint64_t& freeBytes) {
    asked.push_back(folder);
    freeBytes = 30000000;  // short by the margin
    return true;
  };
  ASSERT_TRUE(run.Run());
  ASSERT_TRUE(run.listener.WaitForFinished(kJobMs));
  ASSERT_EQ(run.Errors().size(), 1u);
  // Both folders lie on the same drive here: one need, parts and merge together.
  const std::wstring text = run.Errors()[0];
  wchar_t volume[MAX_PATH] = {};
  ASSERT_TRUE(GetVolumePathNameW(job.downloadFolder.c_str(), volume, MAX_PATH));
  const std::wstring drive = std::wstring(volume).substr(0, 2);
  EXPECT_EQ(text, L"There is not enough free space on drive " + drive +
                      L" to save the Velmot installation files in the folder " +
                      ShownFolder(job.downloadFolder) +
                      L".\r\nNeeded: 42 MB, free: 30 MB.\r\nPlease free some space on that drive "
                      L"and start the download again.")
      << testsupport::Narrow(text);
  EXPECT_TRUE(testsupport::HasRecord(testsupport::Narrow(text), ERROR_DISK_FULL));
  EXPECT_TRUE(run.manager.supportRedirected.load());
  EXPECT_EQ(job.RequestCount(DownloadJob::PartObject(0, "Setup.exe")), 0u);
  ASSERT_FALSE(asked.empty());
}
