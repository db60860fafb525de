// The manager on real networks (the loopback file host and web service): outages that do not
// use up the passes and the give-up once one lasts too long, a refused link renewed through
// the web service, sign-in pages, inconsistently published objects, the free-space check.
#include "download/job/downloadmanager.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "support/managerjob.h"
#include "support/records.h"
#include "support/testservers.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

using namespace testsupport;
using velmot::texts::kGiveUp;

const std::vector<std::wstring> kGaveUp{kGiveUp};

// Requests of an object the host answered (not refused by an outage).
size_t AnsweredRequests(const DownloadJob& job, const std::string& relative) {
  size_t n = 0;
  for (const auto& request : job.host.Requests(relative)) n += !request.value("refused", false);
  return n;
}

void ShortenWaits(DownloadManager& manager) {
  manager.settings.networkFirstWaitMs = 200;
  manager.settings.networkMaxWaitMs = 400;
}

// Runs the job on short waits with an outage budget of 1.5 s; success once it ended in time.
::testing::AssertionResult RunOnAShortBudget(ManagerJob& run) {
  ShortenWaits(run.manager);
  run.manager.settings.outageBudgetMs = 1500;
  return run.Run();
}

// The host wants "k=fresh"; the manager asks the service for release, then holds a stale
// link. Whether the request succeeded.
bool RequestStaleLink(ManagerJob& run, const std::string& release) {
  run.job.host.RequireQuery("k=fresh");
  std::wstring errorText;
  const bool requested =
      run.manager.RequestDownload(std::wstring(release.begin(), release.end()), errorText);
  run.manager.descriptor.sasText = L"?k=stale";
  return requested;
}

TEST(DownloadManagerNetwork, AnOutageWaitsWithoutUsingUpThePassesAndKeepsEveryPart) {
  const std::vector<uint8_t> data = RandomBytes(2 * kPart + 5, 41);
  ManagerJob run({{"Data.bin", data}, {"Setup.exe", FakeSetupBytes()}});
  DownloadJob& job = run.job;
  // Part 0 arrives slowly; the host goes down while it is on its way, so that part 1 and
  // the document meet an outage of several seconds (many more than eight tries).
  job.host.SetBehaviour(DownloadJob::PartObject(0, "Data.bin"), {{"rate", 8000000}});
  ShortenWaits(run.manager);
  run.Start();
  ASSERT_TRUE(Eventually([&] { return run.PartRequests("Data.bin", 0) > 0; }, kJobMs));
  job.host.GoDown(5000);
  bool sawWait = false;
  Eventually([&] { return (sawWait = run.manager.Progress().networkRetrySeconds > 0); }, 20000);
  ASSERT_TRUE(run.Ended());
  EXPECT_TRUE(sawWait);
  EXPECT_EQ(run.Finished(), 1u);
  EXPECT_TRUE(job.SetupStarted());
  EXPECT_TRUE(run.Errors().empty());
  EXPECT_EQ(ReadFileBytes(run.LocalPath("Data.bin")), data);
  EXPECT_EQ(CountRecords(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED), 0u);
  // Part 0, whole before the outage hit anything, is fetched once.
  EXPECT_EQ(AnsweredRequests(job, DownloadJob::PartObject(0, "Data.bin")), 1u);
  size_t refused = 0;
  for (const auto& request : job.host.Requests()) refused += request.value("refused", false);
  EXPECT_GT(refused, 8u);
  EXPECT_GE(CountRecordsStartingWith("The file host " + Narrow(job.host.Host()) +
                                     " could not be reached; the next try comes in"),
            1u);
  EXPECT_EQ(run.manager.Progress().networkRetrySeconds, 0u);
}

TEST(DownloadManagerNetwork, AnOutageLongerThanTheBudgetEndsLikeFailedPasses) {
  ManagerJob run({{"Setup.exe", RandomBytes(3000, 42)}});
  run.job.host.GoDown(120000);
  ASSERT_TRUE(RunOnAShortBudget(run));
  EXPECT_EQ(run.Errors(), kGaveUp);
  EXPECT_EQ(CountRecords(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED), 1u);
  // Two empty copies of an unreachable document are no list: nothing was verified.
  EXPECT_FALSE(FileExists(run.job.downloadFolder + L"/" + DownloadJob::LocalName("Setup.exe")));
  EXPECT_EQ(AnsweredRequests(run.job, DownloadJob::ListObject()), 0u);
}

TEST(DownloadManagerNetwork, AHostThatServesTheDocumentButNeverAPartStillEnds) {
  ManagerJob run({{"Setup.exe", RandomBytes(3000, 44)}});
  run.job.host.SetBehaviour(DownloadJob::PartObject(0, "Setup.exe"), {{"reset", true}});
  // The document came through every time: the outage of the parts still counts.
  ASSERT_TRUE(RunOnAShortBudget(run));
  EXPECT_EQ(run.Errors(), kGaveUp);
  EXPECT_GE(run.PartRequests("Setup.exe", 0), 8u * 4u);
}

TEST(DownloadManagerNetwork, AStopDuringTheWaitIsPrompt) {
  ManagerJob run({{"Setup.exe", RandomBytes(3000, 42)}});
  run.job.host.GoDown(120000);
  run.manager.settings.networkFirstWaitMs = 60000;
  run.Start();
  ASSERT_TRUE(Eventually([&] { return run.manager.Progress().networkRetrySeconds > 0; }, kJobMs));
  EXPECT_GT(run.manager.Progress().networkRetrySeconds, 50u);
  EXPECT_LT(run.StopMs(), 5000u);
  EXPECT_EQ(run.Finished(), 0u);
}

TEST(DownloadManagerNetwork, ARefusedLinkIsRenewedOnceAndTheJobCompletes) {
  const std::vector<uint8_t> setup = FakeSetupBytes();
  ManagerJob run({{"Setup.exe", setup}});
  const std::string release = UniqueId("VelmotRenew");
  ServiceRelease entry(release, {{"product_code", DownloadJob::kProductCode},
                                 {"download_subdir", "x"},
                                 {"host_name", "x"},
                                 {"SAS", "?k=fresh"}});
  ASSERT_TRUE(RequestStaleLink(run, release));
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.Finished(), 1u);
  EXPECT_TRUE(run.job.SetupStarted());
  EXPECT_EQ(ReadFileBytes(run.LocalPath("Setup.exe")), setup);
  EXPECT_EQ(run.manager.descriptor.sasText, L"?k=fresh");
  EXPECT_EQ(run.manager.descriptor.hostName, run.job.host.Host());  // only the link changes
  EXPECT_EQ(MessagesWithCode(DL_MANAGER_LINK_REFUSED),
            std::vector<std::string>{"The file host refused the download link (HTTP 403) for: " +
                                     Narrow(run.job.host.Host() + run.job.host.ObjectPath("rel/")) +
                                     DownloadJob::kListName});
}

TEST(DownloadManagerNetwork, ALinkTheServiceCannotRenewEndsInTheUsualFailure) {
  ManagerJob run({{"Setup.exe", RandomBytes(3000, 44)}});
  const std::string release = UniqueId("VelmotNoRenew");
  ServiceRelease refusal(release, {{"error_info", "Release withdrawn"}});
  RequestStaleLink(run, release);
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.Errors(), kGaveUp);
  EXPECT_TRUE(HasRecord("The web service gave no new download link: Release withdrawn",
                        DL_MANAGER_LINK_REFUSED));
}

TEST(DownloadManagerNetwork, ASignInPageIsNoDocumentAndIsRecordedOncePerJob) {
  const std::vector<uint8_t> setup = FakeSetupBytes();
  ManagerJob run({{"Setup.exe", setup}});
  const nlohmann::json page = {
      {"body",
       "\r\n  <!doctype html><html><head><title>Hotel WiFi</title></head><body>Please sign in"
       "</body></html>"},
      {"contentType", "application/octet-stream"}};
  // Eight answers are two fetches of four attempts each: two passes that end in a wait.
  run.job.host.SetBehaviour(
      DownloadJob::ListObject(),
      {{"attempts", nlohmann::json::array({page, page, page, page, page, page, page, page})}});
  // The part, once the document came through, meets a page served as text/html.
  run.job.host.SetBehaviour(
      DownloadJob::PartObject(0, "Setup.exe"),
      {{"attempts",
        nlohmann::json::array({{{"body", "Sign in please"}, {"contentType", "text/html"}}})}});
  ShortenWaits(run.manager);
  bool sawSignIn = false;
  run.Start();
  Eventually([&] { return (sawSignIn = run.manager.Progress().signInPage); }, 20000);
  ASSERT_TRUE(run.Ended());
  EXPECT_TRUE(sawSignIn);
  EXPECT_EQ(run.Finished(), 1u);
  EXPECT_TRUE(run.job.SetupStarted());
  EXPECT_EQ(ReadFileBytes(run.LocalPath("Setup.exe")), setup);
  EXPECT_EQ(MessagesWithCode(DL_MANAGER_SIGN_IN_PAGE),
            std::vector<std::string>{
                "The network answered with a web page instead of the download from " +
                Narrow(run.job.host.Host()) +
                ": a hotel, airport or company network may want a sign-in in a web browser "
                "first"});
  // The document was never read from a page: nothing was rejected as a file name.
  EXPECT_EQ(CountRecords(DL_MANAGER_INVALID_FILE_NAME), 0u);
}

TEST(DownloadManagerNetwork, TheSameWrongCRCEveryTimeNamesTheObjectOnceAChangingOneDoesNot) {
  const std::vector<uint8_t> listed = RandomBytes(4000, 45);
  std::vector<uint8_t> published = listed;
  published[10] ^= 0x55;  // the host's object is another build of the file
  ManagerJob run(
      {{"Setup.exe", listed, /*publishParts=*/false}, {"Other.bin", RandomBytes(4000, 46)}});
  run.job.host.PutObject(DownloadJob::PartObject(0, "Setup.exe"), published);
  // Damage in transit: each attempt a different byte.
  nlohmann::json damaged = nlohmann::json::array();
  for (int i = 0; i < 64; ++i) damaged.push_back({{"corruptAt", 100 + i}});
  run.job.host.SetBehaviour(DownloadJob::PartObject(0, "Other.bin"), {{"attempts", damaged}});
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.Errors(), kGaveUp);
  // Eight passes, one record.
  EXPECT_EQ(MessagesWithCode(DL_MANAGER_PUBLISHED_INCONSISTENTLY),
            std::vector<std::string>{
                "The file host's object " +
                Narrow(run.job.host.Host() + run.job.host.ObjectPath("rel/0_Setup.exe")) +
                " came back with the same wrong CRC on every attempt (found " +
                std::to_string(CrcOf(published)) + ", the CRC info document lists " +
                std::to_string(CrcOf(listed)) +
                "): the release was published inconsistently, the object and the CRC info "
                "document come from different files"});
  // The other file's changing damage keeps the plain CRC records only.
  EXPECT_GE(CountRecords(DL_MANAGER_CRC_INCORRECT), 8u * 4u * 2u);
}

TEST(DownloadManagerNetwork, ShortDiskSpaceStopsBeforeAnyDownloadNamingDriveAndSizes) {
  ManagerJob run({{"Setup.exe", RandomBytes(3000, 47)},
                  {"Data.bin", RandomBytes(25000000, 48), /*publishParts=*/false}});
  std::vector<std::wstring> asked;
  run.manager.settings.freeSpaceQuery = [&](const std::wstring& folder, uint64_t& freeBytes) {
    asked.push_back(folder);
    freeBytes = 30000000;  // short by the margin
    return true;
  };
  ASSERT_TRUE(run.Run());
  ASSERT_TRUE(run.listener.WaitForFinished(kJobMs));
  ASSERT_EQ(run.Errors().size(), 1u);
  // Both folders lie on the same drive here: one need, parts and merge together. The
  // program names the folder with backslashes only.
  const std::wstring text = run.Errors()[0];
  wchar_t volume[MAX_PATH] = {};
  ASSERT_TRUE(GetVolumePathNameW(run.job.downloadFolder.c_str(), volume, MAX_PATH));
  const std::wstring shown = Backslashed(run.job.downloadFolder);
  EXPECT_EQ(text, L"There is not enough free space on drive " + std::wstring(volume).substr(0, 2) +
                      L" to save the Velmot installation files in the folder " + shown +
                      L".\r\nNeeded: 42 MB, free: 30 MB.\r\nPlease free some space on that drive "
                      L"and start the download again.")
      << Narrow(text);
  EXPECT_TRUE(HasRecord(Narrow(text), ERROR_DISK_FULL));
  EXPECT_TRUE(run.manager.supportRedirected.load());
  EXPECT_EQ(run.PartRequests("Setup.exe", 0), 0u);
  ASSERT_FALSE(asked.empty());
}

}  // namespace
