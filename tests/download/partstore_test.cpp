// The one checked read of part bytes that reuse, merge and verification share, and the
// part check with its records.
#include "download/store/partstore.h"

#include "base/fileio.h"
#include "diagnostics/error.h"
#include "support/downloadjob.h"
#include "support/records.h"
#include "support/testenv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testsupport::CrcOf;
using testsupport::RandomBytes;
using testsupport::WriteFileBytes;

class PartStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { Error::Clear(); }
  // One checked read from the file's position into buffer; read tells how much came.
  PartStore::Check Read(HANDLE file, DWORD bytes, int32_t crc) {
    return PartStore::ReadAndCheck(file, bytes, crc, buffer, read);
  }
  testsupport::TempFolder temp{L"ps"};
  std::vector<uint8_t> buffer;
  DWORD read = 0;
};

TEST_F(PartStoreTest, ReadsConsecutivePartsAndTellsWhichOneIsWrong) {
  const std::vector<uint8_t> bytes = RandomBytes(2500, 3);
  const std::wstring path = temp.File(L"whole");
  WriteFileBytes(path, bytes);
  velmot::FileHandle file = FileIO::OpenForReading(path);
  ASSERT_TRUE(file);
  EXPECT_EQ(Read(file.Get(), 1000, CrcOf(bytes.data(), 1000)), PartStore::Check::kGood);
  EXPECT_EQ(read, 1000u);
  EXPECT_EQ(Read(file.Get(), 1000, 12345), PartStore::Check::kWrongCrc);
  // The short last part: only what is there is read and checked.
  EXPECT_EQ(Read(file.Get(), 1000, CrcOf(bytes.data() + 2000, 500)), PartStore::Check::kGood);
  EXPECT_EQ(read, 500u);
  EXPECT_GE(buffer.size(), 1000u);
}

TEST_F(PartStoreTest, AReadThatFailsKeepsItsErrorCode) {
  const std::wstring path = temp.File(L"w");
  WriteFileBytes(path, RandomBytes(10, 1));
  // A handle opened for writing only cannot be read.
  velmot::FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  SetLastError(0);
  EXPECT_EQ(Read(file.Get(), 10, 0), PartStore::Check::kReadFailed);
  EXPECT_NE(GetLastError(), 0u);
}

TEST_F(PartStoreTest, APartIsGoodOnlyWhenItFitsAndItsCrcMatches) {
  const std::vector<uint8_t> bytes = RandomBytes(4000, 9);
  const std::wstring path = temp.File(L"p0");
  WriteFileBytes(path, bytes);
  const int32_t crc = CrcOf(bytes.data(), bytes.size());
  EXPECT_TRUE(PartStore::PartIsGood(path, crc, L"open ", L"read "));
  EXPECT_FALSE(PartStore::PartIsGood(path, crc ^ 1, L"open ", L"read "));
  EXPECT_TRUE(Error::GetRecords().empty());

  const std::wstring missing = temp.File(L"p1");
  EXPECT_FALSE(PartStore::PartIsGood(missing, crc, L"open ", L"read "));
  EXPECT_TRUE(testsupport::HasRecord("open " + testsupport::Narrow(missing), ERROR_FILE_NOT_FOUND));
}

TEST_F(PartStoreTest, PartPathsJoinFolderNameAndNumber) {
  EXPECT_EQ(PartStore::PartPath(L"C:/w", L"Setup_1.exe", 12), L"C:/w/Setup_1.exepart12");
}

}  // namespace
