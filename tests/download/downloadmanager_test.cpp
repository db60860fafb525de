// Whole jobs of the download manager against the loopback file host: reuse, downloads one
// part at a time, stop and resume, the give-up after eight passes, setup start, the
// write-failure redirect, and stops at random moments.
#include "download/job/downloadmanager.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "support/managerjob.h"
#include "support/records.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;
namespace texts = velmot::texts;

TEST(DownloadManager, AllFilesPresentGoStraightToSetup) {
  const std::vector<uint8_t> setup = FakeSetupBytes();
  ManagerJob run({{"Setup.exe", setup}});
  WriteFileBytes(run.LocalPath("Setup.exe"), setup);
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.manager.WorkerCount(), 0u);
  EXPECT_EQ(run.Finished(), 1u);
  EXPECT_TRUE(run.Errors().empty());
  EXPECT_EQ(run.PartRequests("Setup.exe", 0), 0u);
  EXPECT_EQ(run.ListRequests(), 4u);  // two agreeing copies, twice
  EXPECT_TRUE(run.job.SetupStarted());
  EXPECT_FALSE(FileExists(run.job.workFolder));
  EXPECT_EQ(run.manager.setupPath, run.LocalPath("Setup.exe"));
}

TEST(DownloadManager, DownloadsEachFileFromItsFirstPartMergesAndStartsSetup) {
  const std::vector<uint8_t> setup = FakeSetupBytes(), data = RandomBytes(kPart + 1000, 7);
  ManagerJob run({{"Setup.exe", setup}, {"VelmotData.bin", data}});
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.Finished(), 1u);
  EXPECT_TRUE(run.Errors().empty());
  EXPECT_EQ(run.manager.WorkerCount(), 3u);
  EXPECT_EQ(ReadFileBytes(run.LocalPath("Setup.exe")), setup);
  EXPECT_EQ(ReadFileBytes(run.LocalPath("VelmotData.bin")), data);
  EXPECT_TRUE(run.job.SetupStarted());
  EXPECT_FALSE(FileExists(run.job.workFolder));
  EXPECT_EQ(run.manager.totalBytes.load(), setup.size() + data.size());
  // Files in list order, each part requested once (a file's parts side by side).
  std::vector<std::string> parts;
  for (const auto& r : run.job.host.Requests()) {
    const std::string path = r["path"];
    if (path.find("_") != std::string::npos &&
        path.find(DownloadJob::kListName) == std::string::npos)
      parts.push_back(path.substr(path.rfind('/') + 1));
  }
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0], "0_Setup.exe");
  std::sort(parts.begin() + 1, parts.end());
  EXPECT_EQ(parts,
            (std::vector<std::string>{"0_Setup.exe", "0_VelmotData.bin", "1_VelmotData.bin"}));
}

TEST(DownloadManager, ReusesAGoodPartFileAndFetchesABadOneAgain) {
  const std::vector<uint8_t> data = RandomBytes(kPart + 5000, 11);
  ManagerJob run({{"Velmot.exe", data}});
  run.PutPart("Velmot.exe", 0, PartOf(data, 0));
  run.PutPart("Velmot.exe", 1, RandomBytes(5000, 12));
  std::atomic<uint64_t> seenFinished{0}, seenPresent{0};
  std::atomic<bool> seen{false};
  run.listener.onProgress = [&](DownloadManager& m) {
    if (seen.exchange(true)) return;
    seenFinished = m.finishedBytes.load();
    seenPresent = m.presentBytes.load();
  };
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(seenFinished.load(), kPart);
  EXPECT_EQ(seenPresent.load(), kPart);
  EXPECT_EQ(run.PartRequests("Velmot.exe", 0), 0u);
  EXPECT_EQ(run.PartRequests("Velmot.exe", 1), 1u);
  EXPECT_EQ(ReadFileBytes(run.LocalPath("Velmot.exe")), data);
  EXPECT_EQ(run.Finished(), 1u);
}

TEST(DownloadManager, StopWhileDownloadingKeepsThePartsAndTheNextJobReusesThem) {
  DownloadJob job;
  const std::vector<uint8_t> data = RandomBytes(2 * kPart + 100, 13);
  job.AddFile("Big.bin", data);
  job.PublishList();
  job.host.SetBehaviour(DownloadJob::PartObject(1, "Big.bin"),
                        {{"attempts", {{{"rate", 100000}}}}});
  {
    ManagerJob run(job);
    run.Start();
    ASSERT_TRUE(Eventually([&] { return run.PartRequests("Big.bin", 1) > 0; }, kJobMs));
    // Parts 0 and 2 come at full speed beside the slow part 1: the stop comes once both are
    // in the merging file (however long a loaded machine takes), while part 1 still arrives.
    const std::vector<uint8_t> first = PartOf(data, 0), last = PartOf(data, 2);
    const std::wstring merging = run.LocalPath("Big.bin") + L".merging";
    ASSERT_TRUE(Eventually(
        [&] {
          return RegionEndsWith(merging, 0, first) && RegionEndsWith(merging, 2 * kPart, last);
        },
        kJobMs));
    EXPECT_LT(run.StopMs(), 10000u);
    EXPECT_EQ(run.manager.WorkerCount(), 0u);
    EXPECT_EQ(run.Finished(), 0u);
    EXPECT_TRUE(run.Errors().empty());
  }
  ManagerJob run(job);
  const std::wstring merged = run.LocalPath("Big.bin");
  // What arrived is in the merging file, under no final name; no part file is made.
  EXPECT_TRUE(FileExists(merged + L".merging"));
  EXPECT_FALSE(FileExists(run.PartPath("Big.bin", 0)));
  EXPECT_FALSE(FileExists(run.PartPath("Big.bin", 1)));
  EXPECT_FALSE(FileExists(merged));
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(ReadFileBytes(merged), data);
  EXPECT_EQ(run.PartRequests("Big.bin", 0), 1u);
  EXPECT_EQ(run.PartRequests("Big.bin", 2), 1u);
  // No ".exe" among the files: verified, but there is nothing to start.
  EXPECT_EQ(run.Errors(), std::vector<std::wstring>{texts::kSetupMissing});
  EXPECT_EQ(run.Finished(), 0u);
  EXPECT_EQ(CountRecords(DL_MANAGER_EXECUTABLE_MISSING), 1u);
}

TEST(DownloadManager, AMissingCRCInfoDocumentEndsTheJobWithTheReleaseGoneText) {
  ManagerJob run;  // nothing published: the host answers 404
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.Finished(), 1u);
  EXPECT_TRUE(run.Errors().empty());
  EXPECT_TRUE(HasRecord(texts::kReleaseGone));
  EXPECT_EQ(run.ListRequests(), 4u);  // one worker run, four attempts
}

TEST(DownloadManager, EightFailingPassesGiveUpAndOpenTheSupportPage) {
  ManagerJob run({{"Setup.exe", RandomBytes(3000, 17), /*publishParts=*/false}});
  const size_t openedBefore = SupportPageOpenings();
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.Errors(), std::vector<std::wstring>{texts::kGiveUp});
  EXPECT_EQ(run.Finished(), 0u);
  EXPECT_EQ(CountRecords(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED), 1u);
  EXPECT_TRUE(HasRecord(texts::kGiveUpRecord));
  EXPECT_EQ(run.ListRequests(), 8u * 4u);
  EXPECT_EQ(run.manager.WorkerCount(), 8u);
  EXPECT_TRUE(Eventually([&] { return SupportPageOpenings() > openedBefore; }, 20000));
}

// Copies of the document that differ are fetched again; a host whose copies never agree is
// given up on after a few rounds (the verification's fetch agrees, the file is downloaded
// in pass 2 and setup starts).
TEST(DownloadManager, DisagreeingCopiesOfTheCRCInfoDocumentAreFetchedAgainForAFewRounds) {
  struct Disagreement {
    const char* name;
    nlohmann::json attempts;  // the document's answers, in order (then normal ones)
    size_t requests;          // the document's requests: exactly, or at least when atLeast
    bool atLeast;
    size_t invalidDataRecords;  // records with ERROR_INVALID_DATA
  };
  nlohmann::json never = nlohmann::json::array();
  for (int i = 0; i < 10; ++i) never.push_back({{"body", "x;" + std::to_string(i)}});
  const Disagreement cases[] = {
      // 2 differing + 2 agreeing, then 2
      {"one differing copy", {{{"body", "a;b\r\n"}}}, 6, false, 0},
      // five rounds of two copies fail the first fetch (an empty list)
      {"copies that never agree", never, 12, true, 1},
  };
  for (const Disagreement& c : cases) {
    SCOPED_TRACE(c.name);
    ManagerJob run({{"Setup.exe", FakeSetupBytes()}});
    run.job.host.SetBehaviour(DownloadJob::ListObject(), {{"attempts", c.attempts}});
    ASSERT_TRUE(run.Run());
    EXPECT_EQ(run.Finished(), 1u);
    const size_t n = run.ListRequests();
    EXPECT_TRUE(c.atLeast ? n >= c.requests : n == c.requests) << n << " requests";
    if (c.invalidDataRecords) {
      EXPECT_EQ(CountRecords(ERROR_INVALID_DATA), c.invalidDataRecords);
    }
  }
}

TEST(DownloadManager, StopDuringASlowCRCInfoFetchIsPrompt) {
  DownloadJob job;
  job.AddFile("Setup.exe", RandomBytes(100, 3));
  job.AddRawEntry(std::string(3000, 'x') + "\r\n");
  job.PublishList();
  // About three seconds per copy: a stop must not wait for the rounds still to come.
  job.host.SetBehaviour(DownloadJob::ListObject(), {{"then", {{"rate", 1000}}}});
  ManagerJob run(job);
  run.Start();
  ASSERT_TRUE(Eventually([&] { return run.ListRequests() > 0; }, kJobMs));
  Sleep(300);
  EXPECT_LT(run.StopMs(), 8000u);
  EXPECT_EQ(run.ListRequests(), 1u);
  EXPECT_EQ(run.Finished(), 0u);
}

TEST(DownloadManager, AWriteFailureRedirectsOnceAndEndsTheJob) {
  ManagerJob run({{"Setup.exe", RandomBytes(2000, 5)}, {"Other.exe", RandomBytes(2000, 6)}});
  const size_t openedBefore = SupportPageOpenings();
  // The download folder's parent does not exist: no file can be written.
  run.manager.StartJob(L"Velmot.txt", run.job.workFolder, run.job.root.File(L"missing/download"));
  ASSERT_TRUE(run.Ended());
  // The redirect runs on the worker's thread; the manager's own thread ends without it.
  ASSERT_TRUE(run.listener.WaitForFinished(kJobMs));
  EXPECT_EQ(run.Errors(), std::vector<std::wstring>{texts::kSupportRedirect});
  EXPECT_EQ(run.Finished(), 1u);
  EXPECT_TRUE(run.manager.supportRedirected.load());
  EXPECT_TRUE(Eventually([&] { return SupportPageOpenings() > openedBefore; }, 20000));
}

// A listener that throws from its progress call makes that worker end Idle without a
// report; the job must go on (the next pass fetches the part) instead of waiting for ever.
TEST(DownloadManager, AWorkerThatEndsIdleDoesNotKeepTheJobWaiting) {
  ManagerJob run({{"Setup.exe", FakeSetupBytes()}});
  std::atomic<bool> thrown{false};
  run.listener.onProgress = [&](DownloadManager&) {
    if (!thrown.exchange(true)) throw std::runtime_error("listener failed");
  };
  ASSERT_TRUE(run.Run());
  EXPECT_TRUE(thrown.load());
  EXPECT_EQ(run.Finished(), 1u);
  EXPECT_EQ(run.PartRequests("Setup.exe", 0), 2u);
  EXPECT_EQ(CountRecords(DL_MANAGER_WIN32_EXCEPTION), 1u);
}

TEST(DownloadManager, StopJobWithoutAJobDoesNothing) {
  ManagerJob run;
  run.manager.StopJob();
  run.manager.StopJob();
  EXPECT_EQ(run.manager.WorkerCount(), 0u);
  EXPECT_EQ(run.Finished(), 0u);
}

// Stops at random moments of a job of many one-part files: while the list is fetched, while
// parts download and report, while files merge and verify. Every stop must return promptly.
TEST(DownloadManager, StopAtRandomMomentsNeverHangs) {
  DownloadJob job;
  std::vector<std::string> names;
  for (int i = 0; i < 6; ++i) {
    names.push_back("File" + std::to_string(i) + ".bin");
    job.AddFile(names.back(), RandomBytes(40000, 100 + i));
  }
  job.PublishList();
  std::mt19937 random(2024);
  for (int round = 0; round < 25; ++round) {
    std::unique_ptr<ManagerJob> run(new ManagerJob(job));
    run->Start();
    Sleep(random() % 400);
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
      run->manager.StopJob();
      stopped = true;
    });
    if (!Eventually([&] { return stopped.load(); }, 30000)) {
      ADD_FAILURE() << "StopJob hung in round " << round;
      TerminateProcess(GetCurrentProcess(), 3);  // a hang must fail the run, not block it
    }
    stopper.join();
    EXPECT_EQ(run->manager.WorkerCount(), 0u);
    run.reset();
    // Start afresh for half the rounds, resume from what is on disk for the others.
    for (size_t i = 0; round % 2 == 0 && i < names.size(); ++i)
      DeleteFileW((job.downloadFolder + L"/" + DownloadJob::LocalName(names[i])).c_str());
  }
}

}  // namespace
