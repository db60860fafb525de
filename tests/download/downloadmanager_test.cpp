// Whole jobs of the download manager against the loopback file host: reuse, downloads one
// part at a time, stop and resume, the give-up after eight passes, setup start, the
// write-failure redirect, and stops at random moments.
#include "download/job/downloadmanager.h"

#include "diagnostics/error.h"
#include "base/stringutils.h"
#include "support/records.h"
#include "support/downloadjob.h"
#include "support/recordingdmlistener.h"

#include <algorithm>
#include <velmot/config.h>

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::HasRecord;

using testsupport::DownloadJob;
using testsupport::FileExists;
using testsupport::RandomBytes;
using testsupport::ReadFileBytes;
using testsupport::RecordingDMListener;

constexpr unsigned kJobMs = 90000;  // generous: a hang must fail, a slow machine must not

const wchar_t kGiveUp[] =
    L"Downloading setup failed.\rYou are now directed to our Support Center for help.";

size_t CountRecords(uint32_t code) {
  size_t n = 0;
  for (const ErrorRecord& r : Error::GetRecords())
    n += static_cast<uint32_t>(r.errorNumber) == code;
  return n;
}

bool WaitFor(const std::function<bool()>& condition, unsigned timeoutMs) {
  for (unsigned waited = 0; waited < timeoutMs; waited += 20) {
    if (condition()) return true;
    Sleep(20);
  }
  return condition();
}

size_t SupportPageOpenings() {
  size_t n = 0;
  for (const std::string& url : testsupport::BrowserLog()) {
    n += url == StringUtils::ToNarrow(velmot::kSupportUrl);
  }
  return n;
}

std::wstring Marker(const DownloadJob& job) {
  return job.downloadFolder + L"/" + testsupport::kSetupMarker;
}

TEST(DownloadManager, AllFilesPresentGoStraightToSetup) {
  DownloadJob job;
  std::vector<uint8_t> setup = testsupport::FakeSetupBytes();
  job.AddFile("Setup.exe", setup);
  job.PublishList();
  RecordingDMListener listener;
  DownloadManager manager(&listener);
  job.Describe(manager);
  testsupport::WriteFileBytes(job.LocalPath(manager, "Setup.exe"), setup);

  job.Start(manager);
  ASSERT_TRUE(manager.WaitForEnd(kJobMs));
  EXPECT_EQ(manager.WorkerCount(), 0u);
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_TRUE(listener.Errors().empty());
  EXPECT_EQ(job.RequestCount(DownloadJob::PartObject(0, "Setup.exe")), 0u);
  EXPECT_EQ(job.RequestCount(DownloadJob::ListObject()), 4u);  // two agreeing copies, twice
  EXPECT_TRUE(WaitFor([&] { return FileExists(Marker(job)); }, 20000));
  EXPECT_FALSE(FileExists(job.workFolder));
  EXPECT_EQ(manager.setupPath, job.LocalPath(manager, "Setup.exe"));
}

TEST(DownloadManager, DownloadsEachFileFromItsFirstPartMergesAndStartsSetup) {
  DownloadJob job;
  std::vector<uint8_t> setup = testsupport::FakeSetupBytes();
  std::vector<uint8_t> data = RandomBytes(DownloadManager::kPartSize + 1000, 7);
  job.AddFile("Setup.exe", setup);
  job.AddFile("VelmotData.bin", data);
  job.PublishList();
  RecordingDMListener listener;
  DownloadManager manager(&listener);

  job.Start(manager);
  ASSERT_TRUE(manager.WaitForEnd(kJobMs));
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_TRUE(listener.Errors().empty());
  EXPECT_EQ(manager.WorkerCount(), 3u);
  EXPECT_EQ(ReadFileBytes(job.LocalPath(manager, "Setup.exe")), setup);
  EXPECT_EQ(ReadFileBytes(job.LocalPath(manager, "VelmotData.bin")), data);
  EXPECT_TRUE(WaitFor([&] { return FileExists(Marker(job)); }, 20000));
  EXPECT_FALSE(FileExists(job.workFolder));
  EXPECT_EQ(manager.totalBytes.load(), setup.size() + data.size());

  // Files in list order, each part requested once (a file's parts side by side).
  std::vector<std::string> parts;
  for (const auto& r : job.host.Requests()) {
    std::string path = r["path"];
    if (path.find("_") != std::string::npos &&
        path.find(DownloadJob::kListName) == std::string::npos) {
      parts.push_back(path.substr(path.rfind('/') + 1));
    }
  }
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0], "0_Setup.exe");
  std::sort(parts.begin() + 1, parts.end());
  EXPECT_EQ(parts,
            (std::vector<std::string>{"0_Setup.exe", "0_VelmotData.bin", "1_VelmotData.bin"}));
}

TEST(DownloadManager, ReusesAGoodPartFileAndFetchesABadOneAgain) {
  DownloadJob job;
  std::vector<uint8_t> data = RandomBytes(DownloadManager::kPartSize + 5000, 11);
  job.AddFile("Velmot.exe", data);
  job.PublishList();
  RecordingDMListener listener;
  DownloadManager manager(&listener);
  job.Describe(manager);
  CreateDirectoryW(job.workFolder.c_str(), nullptr);
  testsupport::WriteFileBytes(
      job.PartPath(manager, "Velmot.exe", 0),
      std::vector<uint8_t>(data.begin(), data.begin() + DownloadManager::kPartSize));
  testsupport::WriteFileBytes(job.PartPath(manager, "Velmot.exe", 1), RandomBytes(5000, 12));
  std::atomic<uint64_t> seenFinished{0}, seenPresent{0};
  std::atomic<bool> seen{false};
  listener.onProgress = [&](DownloadManager& m) {
    if (seen.exchange(true)) return;
    seenFinished = m.finishedBytes.load();
    seenPresent = m.presentBytes.load();
  };

  job.Start(manager);
  ASSERT_TRUE(manager.WaitForEnd(kJobMs));
  EXPECT_EQ(seenFinished.load(), DownloadManager::kPartSize);
  EXPECT_EQ(seenPresent.load(), DownloadManager::kPartSize);
  EXPECT_EQ(job.RequestCount(DownloadJob::PartObject(0, "Velmot.exe")), 0u);
  EXPECT_EQ(job.RequestCount(DownloadJob::PartObject(1, "Velmot.exe")), 1u);
  EXPECT_EQ(ReadFileBytes(job.LocalPath(manager, "Velmot.exe")), data);
  EXPECT_EQ(listener.FinishedCount(), 1u);
}

TEST(DownloadManager, StopWhileDownloadingKeepsThePartsAndTheNextJobReusesThem) {
  DownloadJob job;
  std::vector<uint8_t> data = RandomBytes(2 * DownloadManager::kPartSize + 100, 13);
  job.AddFile("Big.bin", data);
  job.PublishList();
  job.host.SetBehaviour(DownloadJob::PartObject(1, "Big.bin"),
                        {{"attempts", {{{"rate", 100000}}}}});
  std::wstring part0, part1, merged;
  {
    RecordingDMListener listener;
    DownloadManager manager(&listener);
    job.Start(manager);
    part0 = job.PartPath(manager, "Big.bin", 0);
    part1 = job.PartPath(manager, "Big.bin", 1);
    merged = job.LocalPath(manager, "Big.bin");
    ASSERT_TRUE(WaitFor([&] { return job.RequestCount(DownloadJob::PartObject(1, "Big.bin")) > 0; },
                        kJobMs));
    Sleep(300);
    DWORD before = GetTickCount();
    manager.StopJob();
    EXPECT_LT(GetTickCount() - before, 10000u);
    EXPECT_EQ(manager.WorkerCount(), 0u);
    EXPECT_EQ(listener.FinishedCount(), 0u);
    EXPECT_TRUE(listener.Errors().empty());
  }
  // What arrived is in the merging file, under no final name; no part file is made.
  EXPECT_TRUE(FileExists(merged + L".merging"));
  EXPECT_FALSE(FileExists(part0));
  EXPECT_FALSE(FileExists(part1));
  EXPECT_FALSE(FileExists(merged));

  RecordingDMListener listener;
  DownloadManager manager(&listener);
  job.Start(manager);
  ASSERT_TRUE(manager.WaitForEnd(kJobMs));
  EXPECT_EQ(ReadFileBytes(merged), data);
  EXPECT_EQ(job.RequestCount(DownloadJob::PartObject(0, "Big.bin")), 1u);
  EXPECT_EQ(job.RequestCount(DownloadJob::PartObject(2, "Big.bin")), 1u);
  // No ".exe" among the files: verified, but there is nothing to start.
  EXPECT_EQ(listener.Errors(),
            std::vector<std::wstring>{L"Failed to run setup. Setup executable is missing."});
  EXPECT_EQ(listener.FinishedCount(), 0u);
  EXPECT_EQ(CountRecords(DL_MANAGER_EXECUTABLE_MISSING), 1u);
}

TEST(DownloadManager, AMissingCRCInfoDocumentEndsTheJobWithTheReleaseGoneText) {
  DownloadJob job;  // nothing published: the host answers 404
  RecordingDMListener listener;
  DownloadManager manager(&listener);
  job.Start(manager);
  ASSERT_TRUE(manager.WaitForEnd(kJobMs));
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_TRUE(listener.Errors().empty());
  EXPECT_TRUE(
      HasRecord("This version of Velmot can no longer be downloaded.\r\nPlease download the "
                "latest version you received in an e-mail message"));
  EXPECT_EQ(job.RequestCount(DownloadJob::ListObject()), 4u);  // one worker run, four attempts
}

TEST(DownloadManager, EightFailingPassesGiveUpAndOpenTheSupportPage) {
  DownloadJob job;
  job.AddFile("Setup.exe", RandomBytes(3000, 17), /*publishParts=*/false);
  job.PublishList();
  RecordingDMListener listener;
  DownloadManager manager(&listener);
  size_t openedBefore = SupportPageOpenings();
  job.Start(manager);
  ASSERT_TRUE(manager.WaitForEnd(kJobMs));
  EXPECT_EQ(listener.Errors(), std::vector<std::wstring>{kGiveUp});
  EXPECT_EQ(listener.FinishedCount(), 0u);
  EXPECT_EQ(CountRecords(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED), 1u);
  EXPECT_TRUE(
      HasRecord("Maximum download attempts exceeded. If there are no network or file errors, "
                "it could be that the files are removed from disk after writing"));
  EXPECT_EQ(job.RequestCount(DownloadJob::ListObject()), 8u * 4u);
  EXPECT_EQ(manager.WorkerCount(), 8u);
  EXPECT_TRUE(WaitFor([&] { return SupportPageOpenings() > openedBefore; }, 20000));
}

TEST(DownloadManager, DifferingCopiesOfTheCRCInfoDocumentAreFetchedAgain) {
  DownloadJob job;
  std::vector<uint8_t> setup = testsupport::FakeSetupBytes();
  job.AddFile("Setup.exe", setup);
  job.PublishList();
  job.host.SetBehaviour(DownloadJob::ListObject(), {{"attempts", {{{"body", "a;b\r\n"}}}}});
  RecordingDMListener listener;
  DownloadManager manager(&listener);
  job.Start(manager);
  ASSERT_TRUE(manager.WaitForEnd(kJobMs));
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_EQ(job.RequestCount(DownloadJob::ListObject()), 6u);  // 2 differing + 2 agreeing, then 2
}

TEST(DownloadManager, AHostThatNeverAgreesIsGivenUpOnAfterAFewRounds) {
  DownloadJob job;
  std::vector<uint8_t> setup = testsupport::FakeSetupBytes();
  job.AddFile("Setup.exe", setup);
  job.PublishList();
  nlohmann::json attempts = nlohmann::json::array();
  for (int i = 0; i < 10; ++i) attempts.push_back({{"body", "x;" + std::to_string(i)}});
  job.host.SetBehaviour(DownloadJob::ListObject(), {{"attempts", attempts}});
  RecordingDMListener listener;
  DownloadManager manager(&listener);
  job.Start(manager);
  ASSERT_TRUE(manager.WaitForEnd(kJobMs));
  // Five rounds of two copies fail the first fetch (an empty list); the verification's
  // fetch agrees, the file is downloaded in pass 2 and setup starts.
  EXPECT_GE(job.RequestCount(DownloadJob::ListObject()), 12u);
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_EQ(CountRecords(ERROR_INVALID_DATA), 1u);
}

TEST(DownloadManager, StopDuringASlowCRCInfoFetchIsPrompt) {
  DownloadJob job;
  job.AddFile("Setup.exe", RandomBytes(100, 3));
  job.AddRawEntry(std::string(3000, 'x') + "\r\n");
  job.PublishList();
  // About three seconds per copy: a stop must not wait for the rounds still to come.
  job.host.SetBehaviour(DownloadJob::ListObject(), {{"then", {{"rate", 1000}}}});
  RecordingDMListener listener;
  DownloadManager manager(&listener);
  job.Start(manager);
  ASSERT_TRUE(WaitFor([&] { return job.RequestCount(DownloadJob::ListObject()) > 0; }, kJobMs));
  Sleep(300);
  DWORD before = GetTickCount();
  manager.StopJob();
  EXPECT_LT(GetTickCount() - before, 8000u);
  EXPECT_EQ(job.RequestCount(DownloadJob::ListObject()), 1u);
  EXPECT_EQ(listener.FinishedCount(), 0u);
}

TEST(DownloadManager, AWriteFailureRedirectsOnceAndEndsTheJob) {
  DownloadJob job;
  job.AddFile("Setup.exe", RandomBytes(2000, 5));
  job.AddFile("Other.exe", RandomBytes(2000, 6));
  job.PublishList();
  RecordingDMListener listener;
  DownloadManager manager(&listener);
  size_t openedBefore = SupportPageOpenings();
  job.Describe(manager);
  // The download folder's parent does not exist: no file can be written.
  manager.StartJob(L"Velmot.txt", job.workFolder, job.root.File(L"missing/download"));
  ASSERT_TRUE(manager.WaitForEnd(kJobMs));
  // The redirect runs on the worker's thread; the manager's own thread ends without it.
  ASSERT_TRUE(listener.WaitForFinished(kJobMs));
  EXPECT_EQ(listener.Errors(), std::vector<std::wstring>{
                                   L"Something is preventing the Download Manager from saving the "
                                   L"installation files.\r\nYou will now be re-directed to the "
                                   L"Velmot Support Center."});
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_TRUE(manager.supportRedirected.load());
  EXPECT_TRUE(WaitFor([&] { return SupportPageOpenings() > openedBefore; }, 20000));
}

// A listener that throws from its progress call makes that worker end Idle without a
// report; the job must go on (the next pass fetches the part) instead of waiting for ever.
TEST(DownloadManager, AWorkerThatEndsIdleDoesNotKeepTheJobWaiting) {
  DownloadJob job;
  std::vector<uint8_t> setup = testsupport::FakeSetupBytes();
  job.AddFile("Setup.exe", setup);
  job.PublishList();
  RecordingDMListener listener;
  std::atomic<bool> thrown{false};
  listener.onProgress = [&](DownloadManager&) {
    if (!thrown.exchange(true)) throw std::runtime_error("listener failed");
  };
  DownloadManager manager(&listener);
  job.Start(manager);
  ASSERT_TRUE(manager.WaitForEnd(kJobMs));
  EXPECT_TRUE(thrown.load());
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_EQ(job.RequestCount(DownloadJob::PartObject(0, "Setup.exe")), 2u);
  EXPECT_EQ(CountRecords(DL_MANAGER_WIN32_EXCEPTION), 1u);
}

TEST(DownloadManager, StopJobWithoutAJobDoesNothing) {
  RecordingDMListener listener;
  DownloadManager manager(&listener);
  manager.StopJob();
  manager.StopJob();
  EXPECT_EQ(manager.WorkerCount(), 0u);
  EXPECT_EQ(listener.FinishedCount(), 0u);
}

// Stops at random moments of a job of many one-part files: while the list is fetched, while
// parts download and report, while files merge and verify. Every stop must return promptly.
TEST(DownloadManager, StopAtRandomMomentsNeverHangs) {
  DownloadJob job;
  for (int i = 0; i < 6; ++i)
    job.AddFile("File" + std::to_string(i) + ".bin", RandomBytes(40000, 100 + i));
  job.PublishList();
  std::mt19937 random(2024);
  for (int round = 0; round < 25; ++round) {
    RecordingDMListener listener;
    std::unique_ptr<DownloadManager> manager(new DownloadManager(&listener));
    job.Start(*manager);
    Sleep(random() % 400);
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
      manager->StopJob();
      stopped = true;
    });
    bool inTime = WaitFor([&] { return stopped.load(); }, 30000);
    if (!inTime) {
      ADD_FAILURE() << "StopJob hung in round " << round;
      TerminateProcess(GetCurrentProcess(), 3);  // a hang must fail the run, not block it
    }
    stopper.join();
    EXPECT_EQ(manager->WorkerCount(), 0u);
    manager.reset();
    // Start afresh for half the rounds, resume from what is on disk for the others.
    if (round % 2 == 0) {
      for (int i = 0; i < 6; ++i) {
        std::wstring name = L"File" + std::to_wstring(i) + L".bin";
        DownloadManager names(nullptr);
        job.Describe(names);
        DeleteFileW((job.downloadFolder + L"/" + names.GetLocalName(name)).c_str());
      }
    }
  }
}

}  // namespace
