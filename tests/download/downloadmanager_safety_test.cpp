// Jobs that must neither lose nor miscount what was fetched: only complete sets are merged, a
// status belongs to its own attempt, every part is counted once, an empty installer file is
// delivered, and a failure that escapes the job leaves no phase flag up and tells the user.
#include "download/job/downloadmanager.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "support/managerjob.h"
#include "support/records.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;
namespace texts = velmot::texts;

// Runs the job to its end with the counters sampled on a thread of their own; true when it
// ended in time, the file arrived whole and no sample counted more than the total or showed
// 100 % while a part was still in flight.
::testing::AssertionResult RunWatched(ManagerJob& run, const std::vector<uint8_t>& data) {
  std::atomic<bool> done{false};
  uint64_t overcounted = 0, processingEarly = 0;
  std::thread watch([&] {
    while (!done) {
      const ProgressCounters p = run.manager.Progress();
      if (p.totalBytes != 0 && p.CountedBytes() > p.totalBytes) ++overcounted;
      if (p.totalBytes != 0 && p.inProgressBytes != 0 && p.finishedBytes >= p.totalBytes)
        ++processingEarly;
      Sleep(1);
    }
  });
  const ::testing::AssertionResult ended = run.Run();
  done = true;
  watch.join();
  if (!ended) return ended;
  if (ReadFileBytes(run.LocalPath("Data.bin")) != data)
    return ::testing::AssertionFailure() << "the file differs";
  if (overcounted != 0 || processingEarly != 0)
    return ::testing::AssertionFailure() << overcounted << " samples over the total, "
                                         << processingEarly << " at 100 % too early";
  return ::testing::AssertionSuccess();
}

// A part whose attempts all fail in the first pass leaves the other parts on disk: the
// next pass fetches only that part, and every good part object is fetched exactly once.
TEST(DownloadManagerSafety, OnlyACompleteSetIsMergedAndNoGoodPartIsFetchedTwice) {
  const std::vector<uint8_t> data = RandomBytes(2 * kPart + 777, 31);
  ManagerJob run({{"Data.bin", data}});
  const nlohmann::json failing = {{"status", 503}};
  run.job.host.SetBehaviour(DownloadJob::PartObject(1, "Data.bin"),
                            {{"attempts", {failing, failing, failing, failing}}});
  // The failed part is not counted as finished, so the count never passes the total.
  ASSERT_TRUE(RunWatched(run, data));
  EXPECT_EQ(run.PartRequests("Data.bin", 0), 1u);
  EXPECT_EQ(run.PartRequests("Data.bin", 1), 5u);
  EXPECT_EQ(run.PartRequests("Data.bin", 2), 1u);
}

// Parts from an earlier run are counted once, at their length, beside the downloaded ones;
// at the end (the verification counts the files afresh) finished equals the total.
TEST(DownloadManagerSafety, ReusedAndDownloadedPartsAreEachCountedOnce) {
  const std::vector<uint8_t> data = RandomBytes(3 * kPart + 1234, 32);
  ManagerJob run({{"Data.bin", data}});
  run.PutPart("Data.bin", 0, PartOf(data, 0));
  run.PutPart("Data.bin", 3, PartOf(data, 3));
  ASSERT_TRUE(RunWatched(run, data));
  EXPECT_EQ(run.PartRequests("Data.bin", 0), 0u);
  EXPECT_EQ(run.PartRequests("Data.bin", 3), 0u);
  const ProgressCounters end = run.manager.Progress();
  EXPECT_EQ(end.totalBytes, data.size());
  EXPECT_EQ(end.finishedBytes, data.size());
  EXPECT_EQ(end.verifiedBytes, data.size());
}

TEST(DownloadManagerSafety, AnEmptyInstallerFileIsDelivered) {
  ManagerJob run({{"Empty.bin", {}}, {"Data.bin", RandomBytes(100, 34)}});
  ASSERT_TRUE(run.Run());
  const std::wstring empty = run.LocalPath("Empty.bin");
  ASSERT_TRUE(FileExists(empty));
  EXPECT_TRUE(ReadFileBytes(empty).empty());
  EXPECT_FALSE(FileExists(empty + L".merging"));
  // Verified like the others: the job went on to look for setup, which is not among them.
  EXPECT_EQ(run.Errors(), std::vector<std::wstring>{texts::kSetupMissing});
}

TEST(DownloadManagerSafety, AFailureThatEscapesTheJobClearsThePhaseAndTellsTheUser) {
  ManagerJob run({{"Data.bin", RandomBytes(5000, 35)}});
  // The two copies of the download pass arrive; the verification finds the release gone,
  // and the listener, which fails then, lets the exception escape the job.
  const nlohmann::json gone = {{"status", 404}};
  run.job.host.SetBehaviour(
      DownloadJob::ListObject(),
      {{"attempts", {nlohmann::json::object(), nlohmann::json::object()}}, {"then", gone}});
  run.listener.onFinished = [](DownloadManager&) { throw std::runtime_error("listener failed"); };
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.Finished(), 1u);
  const ProgressCounters p = run.manager.Progress();
  EXPECT_FALSE(p.verifying);
  EXPECT_FALSE(p.copying);
  EXPECT_EQ(run.Errors(), std::vector<std::wstring>{texts::kJobMalfunction});
  EXPECT_TRUE(HasRecord(std::string(texts::kManagerMalfunction) + "listener failed"));
}

TEST(DownloadManagerSafety, AFailedOwnDeleteLeavesNoExpectationToHideARealOne) {
  DownloadJob job;
  job.PublishList();
  // The document never comes: the job stays in its first fetch with its watcher running.
  job.host.SetBehaviour(DownloadJob::ListObject(),
                        {{"then", {{"stallAfter", 0}, {"stallMs", 20000}}}});
  ManagerJob run(job);
  run.Start();
  const std::string outside = Narrow(texts::kDeletedOutsideTail);
  ASSERT_TRUE(Eventually([&] {
    const std::wstring probe = job.workFolder + L"/probe.tmp";
    if (!FileExists(job.workFolder)) return false;
    WriteFileBytes(probe, {1});
    DeleteFileW(probe.c_str());
    return HasRecord("File: probe.tmp" + outside);
  })) << "the job's watcher never saw the work folder";

  const std::wstring part = run.PartPath("a.exe", 0);
  WriteFileBytes(part, {1, 2, 3});
  HANDLE held = CreateFileW(part.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(run.manager.DeleteOwnFile(part));  // in use elsewhere: the delete fails
  CloseHandle(held);
  ASSERT_TRUE(DeleteFileW(part.c_str()));  // and then someone else removes it
  const std::string name = Narrow(DownloadJob::LocalName("a.exe")) + "part0";
  EXPECT_TRUE(Eventually([&] { return HasRecord("File: " + name + outside); }));
  run.manager.StopJob();
}

}  // namespace
