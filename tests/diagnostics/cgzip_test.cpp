#include "diagnostics/cgzip.h"

#include "support/downloadjob.h"
#include "support/rawhttp.h"
#include "support/testenv.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

const auto& FileBytes = testsupport::ReadFileBytes;

// Decompresses with zlib itself, independently of the class under test.
std::string Gunzip(const std::wstring& path) {
  std::string out;
  gzFile f = gzopen_w(path.c_str(), "rb");
  if (f == nullptr) return "<not opened by zlib>";
  char buffer[4096];
  int n = 0;
  while ((n = gzread(f, buffer, sizeof(buffer))) > 0) out.append(buffer, n);
  gzclose(f);
  return n < 0 ? "<rejected by zlib>" : out;
}

// The gzip header's XFL byte tells which level zlib compressed with: 2 for level 9,
// 4 for level 1, 0 otherwise.
int ExtraFlags(const std::wstring& path) {
  auto bytes = FileBytes(path);
  return bytes.size() > 8 ? bytes[8] : -1;
}

// Writes data into a new gzip file at the given level (-1: the object's default) and lets
// the destructor complete the file.
void Compress(const std::wstring& path, const std::string& data, int level = -1) {
  zlib::CGZip gz;
  gz.level = level;
  ASSERT_TRUE(gz.Open(path.c_str(), 1));
  ASSERT_TRUE(gz.Write(data.data(), static_cast<uint32_t>(data.size())));
}

class CGZipTest : public ::testing::Test {
 protected:
  testsupport::TempFolder temp_{L"gz"};
};

TEST_F(CGZipTest, LevelNineFileHoldsTheExactUtf16LeBytes) {
  const std::wstring text = L"{\"log\": [\"caf\u00e9 \u20ac \u4e2d\"], \"n\": 1}\r\n\U0001F600";
  std::wstring path = temp_.File(L"logfile.gz");
  {
    zlib::CGZip gz;
    gz.level = 9;
    ASSERT_TRUE(gz.Open(path.c_str(), 1));
    EXPECT_TRUE(gz.IsOpen());
    EXPECT_EQ(gz.mode, 1);
    ASSERT_TRUE(gz.WriteString(text.c_str()));
    ASSERT_TRUE(gz.Close());
    EXPECT_FALSE(gz.IsOpen());
  }
  auto raw = FileBytes(path);
  ASSERT_GE(raw.size(), 18u);
  EXPECT_EQ(raw[0], 0x1f);
  EXPECT_EQ(raw[1], 0x8b);
  EXPECT_EQ(ExtraFlags(path), 2);
  EXPECT_EQ(Gunzip(path), testsupport::Utf16le(text));
}

TEST_F(CGZipTest, LevelSetBeforeOpeningGovernsTheFile) {
  std::wstring fast = temp_.File(L"fast.gz"), plain = temp_.File(L"plain.gz");
  std::string data(200000, 'a');
  for (size_t i = 0; i < data.size(); i += 13) data[i] = static_cast<char>('a' + i % 26);
  {
    zlib::CGZip gz;
    gz.level = 1;
    EXPECT_NE(gz.ApplyParameters(), Z_OK);  // nothing open: nothing applied, no harm
    ASSERT_TRUE(gz.Open(fast.c_str(), 1));
    ASSERT_TRUE(gz.Write(data.data(), static_cast<uint32_t>(data.size())));
    ASSERT_TRUE(gz.Close());
  }
  ASSERT_NO_FATAL_FAILURE(Compress(plain, data));
  EXPECT_EQ(ExtraFlags(fast), 4);
  EXPECT_EQ(ExtraFlags(plain), 0);
  EXPECT_EQ(Gunzip(fast), data);
  EXPECT_EQ(Gunzip(plain), data);
}

TEST_F(CGZipTest, EmptyStringWritesNothingAndSucceeds) {
  std::wstring path = temp_.File(L"empty.gz");
  zlib::CGZip gz;
  ASSERT_TRUE(gz.Open(path.c_str(), 1));
  EXPECT_TRUE(gz.WriteString(L""));
  EXPECT_TRUE(gz.Write(nullptr, 0));
  ASSERT_TRUE(gz.Close());
  EXPECT_EQ(Gunzip(path), "");
}

TEST_F(CGZipTest, SecondOpenFailsAndLeavesTheFirstStreamIntact) {
  std::wstring first = temp_.File(L"first.gz"), second = temp_.File(L"second.gz");
  zlib::CGZip gz;
  ASSERT_TRUE(gz.Open(first.c_str(), 1));
  EXPECT_FALSE(gz.Open(second.c_str(), 1));
  EXPECT_FALSE(gz.Open(first.c_str(), 2));
  EXPECT_TRUE(gz.IsOpen());
  EXPECT_EQ(gz.mode, 1);
  ASSERT_TRUE(gz.WriteString(L"kept"));
  ASSERT_TRUE(gz.Close());
  EXPECT_EQ(Gunzip(first), testsupport::Utf16le(L"kept"));
  EXPECT_EQ(GetFileAttributesW(second.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(CGZipTest, CloseOnAClosedObjectReturnsFalse) {
  zlib::CGZip never;
  EXPECT_FALSE(never.Close());

  zlib::CGZip gz;
  ASSERT_TRUE(gz.Open(temp_.File(L"c.gz").c_str(), 1));
  EXPECT_TRUE(gz.Close());
  EXPECT_FALSE(gz.Close());
  EXPECT_FALSE(gz.Write("x", 1));  // closed: nothing written
  EXPECT_FALSE(gz.WriteString(L"x"));
}

TEST_F(CGZipTest, FailedOpensLeaveTheObjectClosed) {
  zlib::CGZip gz;
  EXPECT_FALSE(gz.Open(nullptr, 1));
  EXPECT_FALSE(gz.Open(temp_.File(L"x.gz").c_str(), 3));
  EXPECT_FALSE(gz.Open(temp_.File(L"x.gz").c_str(), 0));
  EXPECT_FALSE(gz.Open(temp_.File(L"missing.gz").c_str(), 2));
  EXPECT_FALSE(gz.Open(temp_.File(L"no-folder/x.gz").c_str(), 1));
  EXPECT_FALSE(gz.IsOpen());
  EXPECT_EQ(gz.mode, 0);
  EXPECT_EQ(GetFileAttributesW(temp_.File(L"x.gz").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(gz.Write("x", 1));
  EXPECT_EQ(gz.Read(nullptr, 0), 0);
}

TEST_F(CGZipTest, PathTheAnsiCodePageCannotSpellStillOpens) {
  // Cyrillic and CJK letters have no equivalent in a Western code page.
  std::wstring path = temp_.File(L"\u0436\u0443\u0440\u043d\u0430\u043b-\u65e5\u672c.gz");
  zlib::CGZip gz;
  ASSERT_TRUE(gz.Open(path.c_str(), 1));
  ASSERT_TRUE(gz.WriteString(L"report"));
  ASSERT_TRUE(gz.Close());
  EXPECT_EQ(Gunzip(path), testsupport::Utf16le(L"report"));
}

TEST_F(CGZipTest, ReadsBackWhatItWrote) {
  std::wstring path = temp_.File(L"rt.gz");
  std::string data;
  for (int i = 0; i < 300000; ++i) data.push_back(static_cast<char>((i * 31) % 251));
  ASSERT_NO_FATAL_FAILURE(Compress(path, data, 9));
  zlib::CGZip gz;
  ASSERT_TRUE(gz.Open(path.c_str(), 2));
  EXPECT_EQ(gz.mode, 2);
  EXPECT_FALSE(gz.Write("x", 1));  // open for reading
  EXPECT_NE(gz.ApplyParameters(), Z_OK);
  char first[10];
  ASSERT_EQ(gz.Read(first, sizeof(first)), 10);
  EXPECT_EQ(std::string(first, 10), data.substr(0, 10));
  std::vector<uint8_t> rest{42};
  ASSERT_EQ(gz.ReadAll(rest), static_cast<int>(data.size() - 10));
  EXPECT_TRUE(std::string(rest.begin(), rest.end()) == data.substr(10));
  EXPECT_TRUE(gz.Close());
}

TEST_F(CGZipTest, ReadAllOfADamagedStreamGivesNothing) {
  std::wstring path = temp_.File(L"bad.gz");
  std::string data(50000, 'z');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7919 % 256);
  ASSERT_NO_FATAL_FAILURE(Compress(path, data));
  auto bytes = FileBytes(path);
  ASSERT_GT(bytes.size(), 100u);
  bytes[bytes.size() - 6] ^= 0xFF;  // break the CRC-32 of the trailer
  testsupport::WriteFileBytes(path, bytes);

  zlib::CGZip gz;
  ASSERT_TRUE(gz.Open(path.c_str(), 2));
  std::vector<uint8_t> out{1, 2, 3};
  EXPECT_EQ(gz.ReadAll(out), 0);
  EXPECT_TRUE(out.empty());
}

}  // namespace
