// The merging file: part files of an earlier run taken into their regions, what a failed or
// interrupted merge leaves behind, and the final name given only to a whole file.
#include "download/job/downloadmanager.h"

#include "base/handles.h"
#include "diagnostics/error.h"
#include "support/managerjob.h"
#include "support/records.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;

// A manager with folders of its own and the parts of one file written to its work folder.
struct MergeSetup : ManagerJob {
  std::vector<uint8_t> bytes;
  CRCInfoEntry entry;

  explicit MergeSetup(size_t size)
      : bytes(RandomBytes(size, static_cast<unsigned>(size))),
        entry(CRCInfoEntryOf("Setup.exe", bytes)) {
    manager.currentName = manager.GetLocalName(L"Setup.exe");
    for (size_t k = 0; k < Parts(); ++k) PutPart("Setup.exe", k, Slice(k));
  }
  size_t Parts() const { return entry.size() - 2; }
  std::vector<uint8_t> Slice(size_t k) const { return PartOf(bytes, k); }
  std::wstring Part(size_t k) const { return PartPath("Setup.exe", k); }
  std::wstring Target() const { return manager.downloadFolder + L"/" + manager.currentName; }
  std::wstring Temporary() const { return Target() + L".merging"; }
  void Merge() { manager.MergePartFiles(Parts(), entry); }
};

TEST(DownloadManagerMerge, PartFilesOfAnEarlierRunFillTheirRegionsAndAreDeleted) {
  MergeSetup s(25000000);
  ASSERT_EQ(s.Parts(), 3u);
  s.Merge();
  EXPECT_FALSE(s.manager.copying.load());
  EXPECT_EQ(ReadFileBytes(s.Target()), s.bytes);
  EXPECT_FALSE(FileExists(s.Temporary()));
  for (size_t k = 0; k < 3; ++k) EXPECT_FALSE(FileExists(s.Part(k))) << k;
}

TEST(DownloadManagerMerge, OnePartOverwritesAnOldFile) {
  MergeSetup s(1234);
  WriteFileBytes(s.Target(), RandomBytes(50000, 1));
  s.Merge();
  EXPECT_EQ(ReadFileBytes(s.Target()), s.bytes);
}

// What the merging file and the part files hold when the merge starts, and what must stay
// after it: a part that is neither in its region nor in a good part file keeps the final
// name away, and every good region stays for the next run.
struct LeftBehind {
  const char* name;
  std::vector<size_t> regions;    // regions of the merging file that are right beforehand
  bool shortFile;                 // the merging file ends after part 0 and half of part 1
  std::vector<size_t> partFiles;  // good part files in the work folder
  int corruptPart;                // this part file has a wrong byte (-1: none)
  bool whole;                     // the file gets its final name
};

TEST(DownloadManagerMerge, RegionsAndPartFilesMakeTheFileOnlyWhenEveryPartIsRight) {
  const LeftBehind cases[] = {
      {"part 1 missing", {}, false, {0, 2}, -1, false},
      {"part 1 corrupt", {}, false, {0, 1, 2}, 1, false},
      {"regions written out of order", {0, 2}, false, {}, -1, false},
      {"regions and a part file", {0, 2}, false, {1}, -1, true},
      {"an earlier version's prefix", {}, true, {1, 2}, -1, true},
      {"a damaged region with its part file", {0}, false, {1, 2}, -1, true},
  };
  for (const LeftBehind& c : cases) {
    SCOPED_TRACE(c.name);
    MergeSetup s(25000000);
    for (size_t k = 0; k < 3; ++k) DeleteFileW(s.Part(k).c_str());
    if (c.shortFile)
      WriteFileBytes(s.Temporary(),
                     std::vector<uint8_t>(s.bytes.begin(), s.bytes.begin() + kPart + kPart / 2));
    if (!c.regions.empty()) {
      std::vector<uint8_t> file(s.bytes.size(), 0);
      for (size_t k : c.regions) {
        const std::vector<uint8_t> slice = s.Slice(k);
        std::copy(slice.begin(), slice.end(), file.begin() + k * kPart);
      }
      WriteFileBytes(s.Temporary(), file);
    }
    for (size_t k : c.partFiles) {
      std::vector<uint8_t> slice = s.Slice(k);
      if (static_cast<int>(k) == c.corruptPart) slice[777] ^= 1;
      WriteFileBytes(s.Part(k), slice);
    }
    s.Merge();
    EXPECT_EQ(FileExists(s.Target()), c.whole);
    EXPECT_NE(FileExists(s.Temporary()), c.whole);
    // Taken or wrong, no part file stays behind.
    for (size_t k = 0; k < 3; ++k) EXPECT_FALSE(FileExists(s.Part(k))) << k;
    if (c.whole) {
      EXPECT_EQ(ReadFileBytes(s.Target()), s.bytes);
      continue;
    }
    // Every part that was right somewhere is now in its region; the file has its length.
    std::vector<uint8_t> merging = ReadFileBytes(s.Temporary());
    ASSERT_EQ(merging.size(), s.bytes.size());
    for (size_t k : {size_t{0}, size_t{2}}) EXPECT_EQ(PartOf(merging, k), s.Slice(k)) << k;
  }
}

TEST(DownloadManagerMerge, AStoppedJobMergesNothingMoreAndKeepsItsParts) {
  MergeSetup s(25000000);
  s.manager.StopJob();
  s.Merge();
  EXPECT_FALSE(FileExists(s.Target()));
  for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(FileExists(s.Part(k))) << k;
  EXPECT_FALSE(s.manager.copying.load());
}

// An old file under the final name is replaced in one step: a reader sees the old bytes
// or the new ones, never a part-written file.
TEST(DownloadManagerMerge, TheFinalNameNeverShowsAnIncompleteFile) {
  MergeSetup s(35000000);
  const std::vector<uint8_t> old = RandomBytes(4000, 9);
  WriteFileBytes(s.Target(), old);
  std::atomic<bool> done{false};
  std::atomic<int> incomplete{0};
  std::thread reader([&] {
    for (uint64_t size = 0; !done;) {
      if (FileSize(s.Target(), size) && size != old.size() && size != s.bytes.size()) ++incomplete;
    }
  });
  s.Merge();
  done = true;
  reader.join();
  EXPECT_EQ(incomplete.load(), 0);
  EXPECT_EQ(ReadFileBytes(s.Target()), s.bytes);
}

TEST(DownloadManagerMerge, ATargetThatCannotBeCreatedTouchesNoPart) {
  MergeSetup s(1000);
  s.manager.downloadFolder = s.job.root.File(L"no/such/folder");
  s.Merge();
  EXPECT_TRUE(HasRecord("Merging part files failed. Unable to create: " + Narrow(s.Temporary())));
  EXPECT_TRUE(FileExists(s.Part(0)));
  EXPECT_FALSE(s.manager.copying.load());
}

// A part's region damaged on disk after it was written fails the verification, which
// deletes the file; the next pass fetches its parts again.
TEST(DownloadManagerMerge, ARegionCorruptedOnDiskIsFetchedAgainInTheNextPass) {
  const std::vector<uint8_t> data = RandomBytes(kPart + 300, 21);
  ManagerJob run({{"Data.bin", data}});
  run.job.host.SetBehaviour(DownloadJob::PartObject(1, "Data.bin"),
                            {{"attempts", {{{"stallAfter", 0}, {"stallMs", 1500}}}}});
  run.Start();
  const std::wstring merging = run.LocalPath("Data.bin") + L".merging";
  Eventually([&] { return run.manager.finishedBytes.load() >= kPart; }, 30000);
  ASSERT_GE(run.manager.finishedBytes.load(), kPart);
  std::vector<uint8_t> bad(data.begin(), data.begin() + 16);
  bad[5] ^= 0xFF;
  velmot::FileHandle file(CreateFileW(merging.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file.Get(), bad.data(), 16, &written, nullptr));
  file.Reset();
  ASSERT_TRUE(run.Ended());
  EXPECT_EQ(ReadFileBytes(run.LocalPath("Data.bin")), data);
  EXPECT_EQ(run.PartRequests("Data.bin", 0), 2u);
  EXPECT_EQ(run.Finished(), 0u);  // no setup among the files
}

}  // namespace
