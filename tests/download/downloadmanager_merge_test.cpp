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

TEST(DownloadManagerMerge, AMissingPartGivesUpAndKeepsTheLaterParts) {
  Error::Clear();
  MergeSetup s(25000000);
  DeleteFileW(s.Part(1).c_str());
  s.manager.MergePartFiles(s.Parts(), s.entry);
  EXPECT_TRUE(
      HasRecord("Merging part files failed. Unable to open: " + StringUtils::ToNarrow(s.Part(1))));
  EXPECT_FALSE(FileExists(s.Part(0)));
  EXPECT_FALSE(FileExists(s.Target()));
  EXPECT_TRUE(FileExists(s.Part(2)));
  EXPECT_FALSE(s.manager.copying.load());
}

TEST(DownloadManagerMerge, ACorruptPartDeletesTheTarget) {
  Error::Clear();
  MergeSetup s(25000000);
  std::vector<uint8_t> bad = s.Slice(1);
  bad[777] ^= 1;
  WriteFileBytes(s.Part(1), bad);
  s.manager.MergePartFiles(s.Parts(), s.entry);
  EXPECT_TRUE(HasRecord("CRC Check of file : " + StringUtils::ToNarrow(s.Target()) + " failed!"));
  EXPECT_FALSE(FileExists(s.Target()));
  EXPECT_FALSE(FileExists(s.Part(0)));
  EXPECT_TRUE(FileExists(s.Part(1)));
  EXPECT_TRUE(FileExists(s.Part(2)));
}

TEST(DownloadManagerMerge, ATargetThatCannotBeCreatedTouchesNoPart) {
  Error::Clear();
  MergeSetup s(1000);
  s.manager.downloadFolder = s.root.File(L"no/such/folder");
  s.manager.MergePartFiles(s.Parts(), s.entry);
  EXPECT_TRUE(HasRecord("Merging part files failed. Unable to create: " +
                        StringUtils::ToNarrow(s.manager.downloadFolder) + "/Setup_123.exe"));
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
