#include "download/store/filesystemwatcher.h"
#include "download/store/filesystem.h"

#include "diagnostics/error.h"
#include "base/stringutils.h"
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

const char kDeleted[] = " was deleted but it was not by the download manager!";
const char kRenamed[] = " was renamed but it was not by the download manager!";
const int32_t kDeletedCode = static_cast<int32_t>(DL_MANAGER_DELETED_OUTSIDE);
const int32_t kRenamedCode = static_cast<int32_t>(DL_MANAGER_RENAMED_OUTSIDE);

void PutFile(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << StringUtils::ToNarrow(path);
  DWORD written = 0;
  ::WriteFile(h, "data", 4, &written, nullptr);
  CloseHandle(h);
}

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

  // Starts the watch and returns once a change is seen, so that the test's own changes
  // cannot happen before the first read is issued.
  void StartArmed(const std::wstring& folder) {
    watcher_.Watch(folder);
    for (int i = 0; i < 50; ++i) {
      std::wstring name = L"probe" + std::to_wstring(probes_++) + L".tmp";
      PutFile(folder + L"/" + name);
      DeleteFileW((folder + L"/" + name).c_str());
      std::string expected = "File: " + StringUtils::ToNarrow(name) + kDeleted;
      if (Eventually([&] { return HasRecord(expected); }, 200)) return;
    }
    FAIL() << "the watcher never reported a change";
  }

  // A change from outside that is surely reported after everything done before it.
  void Sentinel(const std::wstring& folder) {
    std::wstring name = L"sentinel" + std::to_wstring(sentinels_++) + L".exe";
    PutFile(folder + L"/" + name);
    DeleteFileW((folder + L"/" + name).c_str());
    std::string expected = "File: " + StringUtils::ToNarrow(name) + kDeleted;
    ASSERT_TRUE(Eventually([&] { return HasRecord(expected); })) << expected;
  }

  testsupport::TempFolder temp_{L"watch"};
  FileSystemWatcher watcher_;
  int probes_ = 0;
  int sentinels_ = 0;
};

TEST_F(FileSystemWatcherTest, AnnouncedDeleteIsNotRecordedAndConsumesTheAnnouncement) {
  PutFile(temp_.File(L"a.exe"));
  StartArmed(temp_.Path());

  watcher_.ExpectChange(temp_.File(L"a.exe"));
  ASSERT_TRUE(DeleteFileW(temp_.File(L"a.exe").c_str()));
  Sentinel(temp_.Path());

  EXPECT_TRUE(RecordsAbout("a.exe").empty());
  EXPECT_FALSE(watcher_.TakeExpected(L"a.exe"));  // the list is empty again
}

TEST_F(FileSystemWatcherTest, AnnouncedWriteProbeIsNoOutsideDelete) {
  StartArmed(temp_.Path());
  DWORD error = 0;
  ASSERT_TRUE(FileSystem::CanCreateFiles(
      temp_.Path(), error, [&](const std::wstring& path) { watcher_.ExpectChange(path); }));
  Sentinel(temp_.Path());
  EXPECT_TRUE(RecordsAbout("velmot-write-check").empty());
}

TEST_F(FileSystemWatcherTest, OutsideDeleteGivesOneRecordWithTheExactText) {
  PutFile(temp_.File(L"b.exe"));
  StartArmed(temp_.Path());

  ASSERT_TRUE(DeleteFileW(temp_.File(L"b.exe").c_str()));
  Sentinel(temp_.Path());

  auto records = RecordsAbout("b.exe");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, std::string("File: b.exe") + kDeleted);
  EXPECT_EQ(records[0].errorNumber, kDeletedCode);
  EXPECT_EQ(records[0].detailedMessage, "DL_MANAGER_DELETED_OUTSIDE");
  EXPECT_FALSE(records[0].file.empty());
}

TEST_F(FileSystemWatcherTest, OutsideRenameGivesOneRecordForTheOldNameOnly) {
  PutFile(temp_.File(L"c.exe"));
  StartArmed(temp_.Path());

  ASSERT_TRUE(MoveFileW(temp_.File(L"c.exe").c_str(), temp_.File(L"d.exe").c_str()));
  Sentinel(temp_.Path());

  auto records = RecordsAbout("c.exe");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, std::string("File: c.exe") + kRenamed);
  EXPECT_EQ(records[0].errorNumber, kRenamedCode);
  EXPECT_TRUE(RecordsAbout("d.exe").empty());
}

TEST_F(FileSystemWatcherTest, AnnouncementMatchesOnlyTheExactName) {
  PutFile(temp_.File(L"Setup_1.exe"));
  StartArmed(temp_.Path());

  watcher_.ExpectChange(temp_.File(L"setup_1.exe"));  // other case: not the same name
  ASSERT_TRUE(DeleteFileW(temp_.File(L"Setup_1.exe").c_str()));
  Sentinel(temp_.Path());

  auto records = RecordsAbout("Setup_1.exe");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, std::string("File: Setup_1.exe") + kDeleted);
  EXPECT_TRUE(watcher_.TakeExpected(L"setup_1.exe"));  // still waiting
}

TEST_F(FileSystemWatcherTest, ChangeInASubfolderIsOutsideEvenWhenItsNameWasAnnounced) {
  StartArmed(temp_.Path());
  // Created after the watch began, so its changes are reported.
  ASSERT_TRUE(CreateDirectoryW(temp_.File(L"sub").c_str(), nullptr));
  Sleep(300);
  PutFile(temp_.File(L"sub/e.exe"));
  Sleep(300);

  watcher_.ExpectChange(temp_.File(L"sub/e.exe"));
  ASSERT_TRUE(DeleteFileW(temp_.File(L"sub/e.exe").c_str()));

  std::string expected = std::string("File: sub\\e.exe") + kDeleted;
  ASSERT_TRUE(Eventually([&] { return HasRecord(expected); })) << expected;
  EXPECT_EQ(RecordsAbout("e.exe").size(), 1u);
  EXPECT_TRUE(watcher_.TakeExpected(L"e.exe"));  // the announcement is still waiting
}

TEST_F(FileSystemWatcherTest, EveryChangeOfABurstIsRecorded) {
  const int count = 12;
  for (int i = 0; i < count; ++i) PutFile(temp_.File(L"burst" + std::to_wstring(i) + L".bin"));
  StartArmed(temp_.Path());

  for (int i = 0; i < count; ++i)
    ASSERT_TRUE(DeleteFileW(temp_.File(L"burst" + std::to_wstring(i) + L".bin").c_str()));
  Sentinel(temp_.Path());

  for (int i = 0; i < count; ++i) {
    std::string name = "burst" + std::to_string(i) + ".bin";
    EXPECT_EQ(RecordsAbout(name + " ").size(), 1u) << name;
  }
}

TEST_F(FileSystemWatcherTest, StopWhileIdleEndsAtOnceWithoutTheEndedRecord) {
  // Arming ends just after a change, so the body has just begun a fresh 500 ms wait: a
  // stop that merely waited for the slice to run out would take about 470 ms here.
  StartArmed(temp_.Path());
  Sleep(30);

  ULONGLONG before = GetTickCount64();
  watcher_.Stop(500);
  ULONGLONG elapsed = GetTickCount64() - before;

  EXPECT_LT(elapsed, 250u);
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
    ULONGLONG before = GetTickCount64();
    watcher_.Stop(500);
    worst = std::max(worst, GetTickCount64() - before);
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
  ULONG_PTR low = 0;
  ULONG_PTR high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  const auto at = reinterpret_cast<ULONG_PTR>(overlapped);
  gReadOnStack = at >= low && at < high;
  gReadEvent = overlapped->hEvent;
  return TRUE;
}

TEST_F(FileSystemWatcherTest, AReadWhoseCancelIsLateOutlivesTheBodyWithItsEvent) {
  FileSystemWatcher::OverrideCancelForTesting(&LeaveReadPending);
  StartArmed(temp_.Path());
  watcher_.Stop(500);
  FileSystemWatcher::OverrideCancelForTesting(nullptr);
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
  StartArmed(temp_.Path());
  watcher_.Stop(500);

  testsupport::TempFolder second(L"watch2");
  PutFile(second.File(L"f.exe"));
  StartArmed(second.Path());
  ASSERT_TRUE(DeleteFileW(second.File(L"f.exe").c_str()));
  std::string expected = std::string("File: f.exe") + kDeleted;
  EXPECT_TRUE(Eventually([&] { return HasRecord(expected); }));
  watcher_.Stop(500);
}

TEST_F(FileSystemWatcherTest, DestroyingARunningWatcherStopsItPromptly) {
  auto watcher = std::make_unique<FileSystemWatcher>();
  watcher->Watch(temp_.Path());
  ASSERT_TRUE(Eventually([] { return HasRecord("FileSystemWatcher started"); }));
  Sleep(100);

  ULONGLONG before = GetTickCount64();
  watcher.reset();
  EXPECT_LT(GetTickCount64() - before, 450u);
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
