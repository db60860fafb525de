// Merging part files into the installer file, and what a failed merge leaves behind.
#include "download/downloadmanager.h"

#include "diagnostics/error.h"
#include "base/stringutils.h"
#include "support/records.h"
#include "support/downloadjob.h"
#include "support/recordingdmlistener.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::HasRecord;

using testsupport::FileExists;
using testsupport::RandomBytes;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

const size_t kPart = DownloadManager::kPartSize;

// A manager with folders of its own and the parts of one file written to its work folder.
struct MergeSetup {
  testsupport::TempFolder root{L"merge"};
  DownloadManager manager{nullptr};
  std::vector<uint8_t> bytes;
  CRCInfoEntry entry;

  explicit MergeSetup(size_t size) : bytes(RandomBytes(size, static_cast<unsigned>(size))) {
    manager.downloadFolder = root.File(L"download");
    manager.workFolder = root.File(L"work");
    CreateDirectoryW(manager.downloadFolder.c_str(), nullptr);
    CreateDirectoryW(manager.workFolder.c_str(), nullptr);
    manager.productSuffix = L"_123";
    manager.currentName = manager.GetLocalName(L"Setup.exe");
    std::vector<std::wstring> lines;
    StringUtils::Split(StringUtils::ToWide(testsupport::CRCInfoEntryText("Setup.exe", bytes)),
                       L"\r\n", true, lines);
    lines.pop_back();
    entry = lines;
    for (size_t k = 0; k * kPart < size; ++k) WriteFileBytes(Part(k), Slice(k));
  }
  size_t Parts() const { return entry.size() - 2; }
  std::vector<uint8_t> Slice(size_t k) const {
    size_t end = std::min(bytes.size(), (k + 1) * kPart);
    return std::vector<uint8_t>(bytes.begin() + k * kPart, bytes.begin() + end);
  }
  std::wstring Part(size_t k) const {
    return manager.workFolder + L"/Setup_123.exepart" + std::to_wstring(k);
  }
  std::wstring Target() const { return manager.downloadFolder + L"/Setup_123.exe"; }
  std::wstring Temporary() const { return Target() + L".merging"; }
  std::vector<uint8_t> Prefix(size_t bytesCount) const {
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + bytesCount);
  }
};

TEST(DownloadManagerMerge, JoinsThreePartsShowingProgressAndDeletesEachPart) {
  MergeSetup s(25000000);
  ASSERT_EQ(s.Parts(), 3u);
  s.manager.copyPercent = 99;
  std::set<uint64_t> seen;
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    while (!done) {
      if (s.manager.copying) seen.insert(s.manager.copyPercent.load());
    }
  });
  s.manager.MergePartFiles(s.Parts(), s.entry);
  done = true;
  sampler.join();
  // A sampler on a loaded machine can miss a part's short moment, so the values it saw are
  // checked to be among the per-part steps, and the last step is read after the merge.
  for (uint64_t percent : seen)
    EXPECT_TRUE(percent == 0 || percent == 33 || percent == 66) << percent;
  EXPECT_EQ(s.manager.copyPercent.load(), 66u);
  EXPECT_FALSE(s.manager.copying.load());
  EXPECT_EQ(ReadFileBytes(s.Target()), s.bytes);
  for (size_t k = 0; k < 3; ++k) EXPECT_FALSE(FileExists(s.Part(k))) << k;
}

TEST(DownloadManagerMerge, OnePartKeepsProgressAtZeroAndOverwritesAnOldFile) {
  MergeSetup s(1234);
  WriteFileBytes(s.Target(), RandomBytes(50000, 1));
  s.manager.MergePartFiles(s.Parts(), s.entry);
  EXPECT_EQ(s.manager.copyPercent.load(), 0u);
  EXPECT_EQ(ReadFileBytes(s.Target()), s.bytes);
}

// The merged prefix stays in the temporary file, so that the next merge only needs the
// parts from the missing one on.
TEST(DownloadManagerMerge, AMissingPartStopsTheMergeAndKeepsWhatWasMerged) {
  Error::Clear();
  MergeSetup s(25000000);
  DeleteFileW(s.Part(1).c_str());
  s.manager.MergePartFiles(s.Parts(), s.entry);
  EXPECT_TRUE(
      HasRecord("Merging part files failed. Unable to open: " + StringUtils::ToNarrow(s.Part(1))));
  EXPECT_FALSE(FileExists(s.Part(0)));
  EXPECT_FALSE(FileExists(s.Target()));
  EXPECT_EQ(ReadFileBytes(s.Temporary()), s.Prefix(kPart));
  EXPECT_TRUE(FileExists(s.Part(2)));
  EXPECT_FALSE(s.manager.copying.load());

  WriteFileBytes(s.Part(1), s.Slice(1));
  s.manager.MergePartFiles(s.Parts(), s.entry);
  EXPECT_EQ(ReadFileBytes(s.Target()), s.bytes);
  EXPECT_FALSE(FileExists(s.Temporary()));
}

TEST(DownloadManagerMerge, ACorruptPartIsNotAppendedAndNothingGetsTheFinalName) {
  Error::Clear();
  MergeSetup s(25000000);
  std::vector<uint8_t> bad = s.Slice(1);
  bad[777] ^= 1;
  WriteFileBytes(s.Part(1), bad);
  s.manager.MergePartFiles(s.Parts(), s.entry);
  EXPECT_TRUE(HasRecord("CRC Check of file : " + StringUtils::ToNarrow(s.Target()) + " failed!"));
  EXPECT_FALSE(FileExists(s.Target()));
  EXPECT_EQ(ReadFileBytes(s.Temporary()), s.Prefix(kPart));
  EXPECT_FALSE(FileExists(s.Part(0)));
  EXPECT_TRUE(FileExists(s.Part(1)));
  EXPECT_TRUE(FileExists(s.Part(2)));
}

// As after a kill in the middle of appending part 1: the temporary file holds part 0 and
// half of part 1, part 0's file is gone. The merge keeps the checked part and goes on.
TEST(DownloadManagerMerge, AnInterruptedMergeGoesOnFromItsCheckedPrefix) {
  MergeSetup s(25000000);
  WriteFileBytes(s.Temporary(), s.Prefix(kPart + kPart / 2));
  DeleteFileW(s.Part(0).c_str());
  s.manager.MergePartFiles(s.Parts(), s.entry);
  EXPECT_EQ(ReadFileBytes(s.Target()), s.bytes);
  EXPECT_FALSE(FileExists(s.Temporary()));
  for (size_t k = 0; k < 3; ++k) EXPECT_FALSE(FileExists(s.Part(k))) << k;
}

// Bytes in the temporary file that do not match their part are cut off, not trusted; a
// part file left behind by a kill after its append is deleted.
TEST(DownloadManagerMerge, ADamagedTemporaryFileIsCutAfterItsLastGoodPart) {
  MergeSetup s(25000000);
  std::vector<uint8_t> damaged = s.Prefix(2 * kPart);
  damaged[kPart + 5] ^= 0x40;
  WriteFileBytes(s.Temporary(), damaged);
  s.manager.MergePartFiles(s.Parts(), s.entry);
  EXPECT_EQ(ReadFileBytes(s.Target()), s.bytes);
  for (size_t k = 0; k < 3; ++k) EXPECT_FALSE(FileExists(s.Part(k))) << k;
}

TEST(DownloadManagerMerge, AStoppedJobMergesNothingMoreAndKeepsItsParts) {
  MergeSetup s(25000000);
  s.manager.StopJob();
  s.manager.MergePartFiles(s.Parts(), s.entry);
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
    while (!done) {
      WIN32_FILE_ATTRIBUTE_DATA data;
      if (GetFileAttributesExW(s.Target().c_str(), GetFileExInfoStandard, &data)) {
        const uint64_t size = data.nFileSizeLow | (uint64_t(data.nFileSizeHigh) << 32);
        if (size != old.size() && size != s.bytes.size()) ++incomplete;
      }
    }
  });
  s.manager.MergePartFiles(s.Parts(), s.entry);
  done = true;
  reader.join();
  EXPECT_EQ(incomplete.load(), 0);
  EXPECT_EQ(ReadFileBytes(s.Target()), s.bytes);
}

TEST(DownloadManagerMerge, ATargetThatCannotBeCreatedTouchesNoPart) {
  Error::Clear();
  MergeSetup s(1000);
  s.manager.downloadFolder = s.root.File(L"no/such/folder");
  s.manager.MergePartFiles(s.Parts(), s.entry);
  EXPECT_TRUE(HasRecord("Merging part files failed. Unable to create: " +
                        StringUtils::ToNarrow(s.manager.downloadFolder) +
                        "/Setup_123.exe.merging"));
  EXPECT_TRUE(FileExists(s.Part(0)));
  EXPECT_FALSE(s.manager.copying.load());
}

// A part corrupted on disk after its download fails the merge; the next pass fetches the
// parts that were deleted (part 0) and reuses the one that stayed (part 1).
TEST(DownloadManagerMerge, APartCorruptedOnDiskIsFetchedAgainInTheNextPass) {
  testsupport::DownloadJob job;
  std::vector<uint8_t> data = RandomBytes(kPart + 300, 21);
  job.AddFile("Data.bin", data);
  job.PublishList();
  job.host.SetBehaviour(testsupport::DownloadJob::PartObject(1, "Data.bin"),
                        {{"attempts", {{{"stallAfter", 0}, {"stallMs", 1500}}}}});
  testsupport::RecordingDMListener listener;
  DownloadManager manager(&listener);
  job.Describe(manager);
  std::wstring part0 = job.PartPath(manager, "Data.bin", 0);
  job.Start(manager);
  for (int i = 0; i < 3000 && !FileExists(part0); ++i) Sleep(10);
  ASSERT_TRUE(FileExists(part0));
  Sleep(50);
  std::vector<uint8_t> bad(data.begin(), data.begin() + kPart);
  bad[5] ^= 0xFF;
  WriteFileBytes(part0, bad);
  ASSERT_TRUE(manager.WaitForEnd(90000));
  EXPECT_EQ(ReadFileBytes(job.LocalPath(manager, "Data.bin")), data);
  EXPECT_EQ(job.RequestCount(testsupport::DownloadJob::PartObject(0, "Data.bin")), 2u);
  EXPECT_EQ(job.RequestCount(testsupport::DownloadJob::PartObject(1, "Data.bin")), 1u);
  EXPECT_EQ(listener.FinishedCount(), 0u);  // no setup among the files
}

}  // namespace
