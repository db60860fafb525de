#include "download/store/filesystemwatcher.h"
#include "download/store/filesystem.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "support/downloadjob.h"
#include "support/records.h"
#include "support/testenv.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::Eventually;
using testsupport::HasRecord;
using testsupport::MsTaken;
using testsupport::Narrow;

const std::string kDeleted = Narrow(velmot::texts::kDeletedOutsideTail);
const std::string kRenamed = Narrow(velmot::texts::kRenamedOutsideTail);

void PutFile(const std::wstring& path) { testsupport::WriteFileBytes(path, {'d', 'a', 't', 'a'}); }

std::string DeletedRecord(const std::wstring& name) { return "File: " + Narrow(name) + kDeleted; }

// Records whose message mentions text, probe records left out.
std::vector<ErrorRecord> RecordsAbout(const std::string& text) {
  std::vector<ErrorRecord> found;
  for (auto& r : Error::GetRecords()) {
    if (r.message.find(text) != std::string::npos && r.message.find("probe") == std::string::npos)
      found.push_back(r);
  }
  return found;
}

class FileSystemWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { Error::Clear(); }
  void TearDown() override { watcher_.Stop(500); }

  // Makes and deletes a file in folder; true once its deletion was recorded within timeoutMs.
  bool Blip(const std::wstring& folder, const std::wstring& name, unsigned timeoutMs) {
    PutFile(folder + L"/" + name);
    DeleteFileW((folder + L"/" + name).c_str());
    return Eventually([&] { return HasRecord(DeletedRecord(name)); }, timeoutMs);
  }

  // Starts the watch; success once a change is seen, so that the test's own changes cannot
  // happen before the first read is issued.
  [[nodiscard]] ::testing::AssertionResult StartArmed(const std::wstring& folder) {
    watcher_.Watch(folder);
    for (int i = 0; i < 50; ++i) {
      if (Blip(folder, L"probe" + std::to_wstring(probes_++) + L".tmp", 200))
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the watcher never reported a change";
  }

  // A change from outside that is surely reported after everything done before it.
  [[nodiscard]] ::testing::AssertionResult Sentinel() {
    std::wstring name = L"sentinel" + std::to_wstring(sentinels_++) + L".exe";
    if (Blip(temp_.Path(), name, 10000)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no record " << DeletedRecord(name);
  }

  bool Delete(const std::wstring& name) { return DeleteFileW(temp_.File(name).c_str()); }

  // Deletes (or renames) a file that was there before the watch began, after announcing the
  // change of another or the same name (unless ""); success once a later change was
  // reported, with the records about the file in records_.
  [[nodiscard]] ::testing::AssertionResult ChangeAfterArming(const std::wstring& file,
                                                             const std::wstring& announced = L"",
                                                             const std::wstring& renamedTo = L"") {
    PutFile(temp_.File(file));
    ::testing::AssertionResult armed = StartArmed(temp_.Path());
    if (!armed) return armed;
    if (!announced.empty()) watcher_.ExpectChange(temp_.File(announced));
    const bool changed = renamedTo.empty()
                             ? Delete(file)
                             : MoveFileW(temp_.File(file).c_str(), temp_.File(renamedTo).c_str());
    if (!changed) return ::testing::AssertionFailure() << Narrow(file) << " was not changed";
    ::testing::AssertionResult seen = Sentinel();
    records_ = RecordsAbout(Narrow(file));
    return seen;
  }

  testsupport::TempFolder temp_{L"watch"};
  FileSystemWatcher watcher_;
  int probes_ = 0;
  int sentinels_ = 0;
  std::vector<ErrorRecord> records_;
};

TEST_F(FileSystemWatcherTest, AnnouncedDeleteIsNotRecordedAndConsumesTheAnnouncement) {
  ASSERT_TRUE(ChangeAfterArming(L"a.exe", L"a.exe"));
  EXPECT_TRUE(records_.empty());
  EXPECT_FALSE(watcher_.TakeExpected(L"a.exe"));  // the list is empty again
}

TEST_F(FileSystemWatcherTest, OutsideDeleteGivesOneRecordWithTheExactText) {
  ASSERT_TRUE(ChangeAfterArming(L"b.exe"));
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_EQ(records_[0].message, "File: b.exe" + kDeleted);
  EXPECT_EQ(records_[0].errorNumber, static_cast<int32_t>(DL_MANAGER_DELETED_OUTSIDE));
  EXPECT_EQ(records_[0].detailedMessage, "DL_MANAGER_DELETED_OUTSIDE");
  EXPECT_FALSE(records_[0].file.empty());
}

TEST_F(FileSystemWatcherTest, OutsideRenameGivesOneRecordForTheOldNameOnly) {
  ASSERT_TRUE(ChangeAfterArming(L"c.exe", L"", L"d.exe"));
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_EQ(records_[0].message, "File: c.exe" + kRenamed);
  EXPECT_EQ(records_[0].errorNumber, static_cast<int32_t>(DL_MANAGER_RENAMED_OUTSIDE));
  EXPECT_TRUE(RecordsAbout("d.exe").empty());
}

TEST_F(FileSystemWatcherTest, AnnouncementMatchesOnlyTheExactName) {
  ASSERT_TRUE(ChangeAfterArming(L"Setup_1.exe", L"setup_1.exe"));  // other case: not the same
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_EQ(records_[0].message, "File: Setup_1.exe" + kDeleted);
  EXPECT_TRUE(watcher_.TakeExpected(L"setup_1.exe"));  // still waiting
}

TEST_F(FileSystemWatcherTest, AnnouncedWriteProbeIsNoOutsideDelete) {
  ASSERT_TRUE(StartArmed(temp_.Path()));
  DWORD error = 0;
  ASSERT_TRUE(FileSystem::CanCreateFiles(
      temp_.Path(), error, [&](const std::wstring& path) { watcher_.ExpectChange(path); }));
  ASSERT_TRUE(Sentinel());
  EXPECT_TRUE(RecordsAbout("velmot-write-check").empty());
}

TEST_F(FileSystemWatcherTest, ChangeInASubfolderIsOutsideEvenWhenItsNameWasAnnounced) {
  ASSERT_TRUE(StartArmed(temp_.Path()));
  // Created after the watch began, so its changes are reported.
  ASSERT_TRUE(CreateDirectoryW(temp_.File(L"sub").c_str(), nullptr));
  Sleep(300);
  PutFile(temp_.File(L"sub/e.exe"));
  Sleep(300);

  watcher_.ExpectChange(temp_.File(L"sub/e.exe"));
  ASSERT_TRUE(Delete(L"sub/e.exe"));

  ASSERT_TRUE(Eventually([&] { return HasRecord(DeletedRecord(L"sub\\e.exe")); }));
  EXPECT_EQ(RecordsAbout("e.exe").size(), 1u);
  EXPECT_TRUE(watcher_.TakeExpected(L"e.exe"));  // the announcement is still waiting
}

TEST_F(FileSystemWatcherTest, EveryChangeOfABurstIsRecorded) {
  const int count = 12;
  auto name = [](int i) { return L"burst" + std::to_wstring(i) + L".bin"; };
  for (int i = 0; i < count; ++i) PutFile(temp_.File(name(i)));
  ASSERT_TRUE(StartArmed(temp_.Path()));

  for (int i = 0; i < count; ++i) ASSERT_TRUE(Delete(name(i))) << i;
  ASSERT_TRUE(Sentinel());

  for (int i = 0; i < count; ++i) EXPECT_EQ(RecordsAbout(Narrow(name(i)) + " ").size(), 1u) << i;
}

TEST_F(FileSystemWatcherTest, StopWhileIdleEndsAtOnceWithoutTheEndedRecord) {
  // Arming ends just after a change, so the body has just begun a fresh 500 ms wait: a
  // stop that merely waited for the slice to run out would take about 470 ms here.
  ASSERT_TRUE(StartArmed(temp_.Path()));
  Sleep(30);
  EXPECT_LT(MsTaken([&] { watcher_.Stop(500); }), 250u);
  EXPECT_FALSE(watcher_.IsRunning());
  EXPECT_FALSE(HasRecord("FileSystemWatcher ended"));
  EXPECT_EQ(RecordsAbout("FileSystemWatcher started").size(), 1u);
}

TEST_F(FileSystemWatcherTest, StopInTheMiddleOfChangesIsAlwaysPrompt) {
  std::atomic<bool> churning{true};
  std::wstring folder = temp_.Path();
  std::thread churn([&] {
    for (int i = 0; churning; ++i) {
      std::wstring path = folder + L"/churn" + std::to_wstring(i % 8) + L".bin";
      HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
      DeleteFileW(path.c_str());
    }
  });
  ULONGLONG worst = 0;
  for (int round = 0; round < 15; ++round) {
    watcher_.Watch(folder);
    Sleep(static_cast<DWORD>(round * 7 % 60));
    worst = std::max(worst, MsTaken([&] { watcher_.Stop(500); }));
    EXPECT_FALSE(watcher_.IsRunning());
  }
  churning = false;
  churn.join();
  EXPECT_LT(worst, 450u);
}

// What a cancel that did not complete in time leaves to the system: the stand-in leaves the
// read pending and notes, on the body's own thread, whether its OVERLAPPED lies on that
// thread's stack (gone once the body returns) and which event the completion will signal.
std::atomic<bool> gReadOnStack{false};
std::atomic<HANDLE> gReadEvent{nullptr};

BOOL WINAPI LeaveReadPending(HANDLE, LPOVERLAPPED overlapped) {
  ULONG_PTR low = 0, high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  const auto at = reinterpret_cast<ULONG_PTR>(overlapped);
  gReadOnStack = at >= low && at < high;
  gReadEvent = overlapped->hEvent;
  return TRUE;
}

TEST_F(FileSystemWatcherTest, AReadWhoseCancelIsLateOutlivesTheBodyWithItsEvent) {
  FileSystemWatcher::OverrideCancelForTesting(&LeaveReadPending);
  const ::testing::AssertionResult armed = StartArmed(temp_.Path());
  watcher_.Stop(500);
  FileSystemWatcher::OverrideCancelForTesting(nullptr);
  ASSERT_TRUE(armed);
  ASSERT_NE(gReadEvent.load(), nullptr) << "the body left no read pending";
  EXPECT_FALSE(gReadOnStack.load()) << "the late completion would write into a dead frame";
  // The completion signals this event: closed, its handle could be another object's.
  EXPECT_NE(WaitForSingleObject(gReadEvent.load(), 0), WAIT_FAILED);
  // A change now completes the read that was left behind; nothing else may notice.
  PutFile(temp_.File(L"late.bin"));
  Sleep(100);
  EXPECT_TRUE(RecordsAbout("late.bin").empty());
}

TEST_F(FileSystemWatcherTest, MissingFolderEndsTheBodyQuietly) {
  watcher_.Watch(temp_.File(L"not-yet"));

  ASSERT_TRUE(watcher_.WaitForEnd(5000));
  auto records = Error::GetRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "FileSystemWatcher started");
  EXPECT_EQ(records[0].errorNumber, 0);
  watcher_.Stop(500);  // after the body ended by itself: nothing happens
}

TEST_F(FileSystemWatcherTest, WatchesAgainAfterAStop) {
  ASSERT_TRUE(StartArmed(temp_.Path()));
  watcher_.Stop(500);

  testsupport::TempFolder second(L"watch2");
  PutFile(second.File(L"f.exe"));
  ASSERT_TRUE(StartArmed(second.Path()));
  ASSERT_TRUE(DeleteFileW(second.File(L"f.exe").c_str()));
  EXPECT_TRUE(Eventually([&] { return HasRecord(DeletedRecord(L"f.exe")); }));
  watcher_.Stop(500);
}

TEST_F(FileSystemWatcherTest, DestroyingARunningWatcherStopsItPromptly) {
  auto watcher = std::make_unique<FileSystemWatcher>();
  watcher->Watch(temp_.Path());
  ASSERT_TRUE(Eventually([] { return HasRecord("FileSystemWatcher started"); }));
  Sleep(100);
  EXPECT_LT(MsTaken([&] { watcher.reset(); }), 450u);
}

TEST(FileSystemWatcher, AnnouncementsWorkWithoutAThreadAndKeepDuplicates) {
  FileSystemWatcher watcher;
  watcher.ExpectChange(L"C:/work/Setup_1.exepart0");
  watcher.ExpectChange(L"C:\\work\\Setup_1.exepart0");
  watcher.ExpectChange(L"bare.bin");

  EXPECT_FALSE(watcher.TakeExpected(L"C:/work/Setup_1.exepart0"));
  EXPECT_TRUE(watcher.TakeExpected(L"Setup_1.exepart0"));
  EXPECT_TRUE(watcher.TakeExpected(L"Setup_1.exepart0"));
  EXPECT_FALSE(watcher.TakeExpected(L"Setup_1.exepart0"));
  EXPECT_TRUE(watcher.TakeExpected(L"bare.bin"));
  EXPECT_FALSE(watcher.TakeExpected(L""));
  watcher.Stop(500);  // never started: returns at once
}

}  // namespace
