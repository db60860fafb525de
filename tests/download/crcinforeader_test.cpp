// The CRC info document read without any I/O: splitting, the lines of an entry, part sizes
// and objects, the local names, and which entries can describe a whole file.
#include "download/store/crcinforeader.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Neither what stands before the first semicolon nor a piece of only line breaks names a file.
TEST(CRCInfoReader, ParseKeepsOnlyThePiecesAfterSemicolonsThatNameAFile) {
  const std::vector<std::pair<std::string, CRCInfo>> cases = {
      {"header\r\n;a.exe\r\n25000000\r\n1\r\n-2\r\n\r\n;b.bin\r\n16\r\n",
       {{L"a.exe", L"25000000", L"1", L"-2"}, {L"b.bin", L"16"}}},
      {";\r\n\r\n;;x\r\n", {{L"x"}}},
      {"no semicolon at all", {}}};
  for (const auto& c : cases) {
    for (CRCInfo entries : {CRCInfo{}, CRCInfo{{L"stale"}}}) {
      CRCInfoReader::Parse(c.first, entries);
      EXPECT_EQ(entries, c.second) << c.first;
    }
  }
}

TEST(CRCInfoReader, SizeAndCrcLinesAtTheirLimits) {
  EXPECT_EQ(CRCInfoReader::ParseSizeLine(L"0x10"), 16u);
  EXPECT_EQ(CRCInfoReader::ParseSizeLine(L"  5000000000"), 5000000000u);
  EXPECT_EQ(CRCInfoReader::ParseSizeLine(L"-5"), 0u);
  EXPECT_EQ(CRCInfoReader::ParseSizeLine(L""), 0u);
  EXPECT_EQ(CRCInfoReader::ParseCrcLine(L"-1"), -1);
  EXPECT_EQ(CRCInfoReader::ParseCrcLine(L"99999999999"), 2147483647);
  EXPECT_EQ(CRCInfoReader::ParseCrcLine(L"-99999999999"), -2147483647 - 1);
}

TEST(CRCInfoReader, PartsAreTenMillionBytesWithAShorterLastOne) {
  EXPECT_EQ(CRCInfoReader::PartBytes(25000000, 0), 10000000u);
  EXPECT_EQ(CRCInfoReader::PartBytes(25000000, 2), 5000000u);
  EXPECT_EQ(CRCInfoReader::PartBytes(20000000, 1), 10000000u);
  // A part the size line does not cover is counted as a whole part.
  EXPECT_EQ(CRCInfoReader::PartBytes(0, 0), 10000000u);
  EXPECT_EQ(CRCInfoReader::PartObject(L"co/rel", 3, L"Setup.exe"), L"/co/rel/3_Setup.exe");
}

TEST(CRCInfoReader, TheObjectFolderIsTheLowerCasedSubdirectoryOrTheRootForTheOldLayout) {
  const struct {
    const wchar_t* list;
    const wchar_t* subdir;
    const wchar_t* folder;
  } cases[] = {
      {L"Velmot 10.txt", L"Co/REL10", L"co/rel10"},
      {L"Velmot 2_5.txt", L"Co/REL10", L""},
      {L"Velmot 2_5.txt", L"", L""},
  };
  for (const auto& c : cases) {
    const std::wstring once = CRCInfoReader::ObjectFolder(c.list, c.subdir);
    EXPECT_EQ(once, c.folder);
    EXPECT_EQ(CRCInfoReader::ObjectFolder(c.list, once), once);  // every pass reads the same
  }
}

TEST(CRCInfoReader, TheSuffixGoesBeforeExeOrSevenFromTheEnd) {
  EXPECT_EQ(CRCInfoReader::LocalName(L"Setup.exe", L"_7"), L"Setup_7.exe");
  EXPECT_EQ(CRCInfoReader::LocalName(L"data1.cab.bin", L"_7"), L"data1._7cab.bin");
  EXPECT_EQ(CRCInfoReader::LocalName(L"abcdefg", L"_7"), L"_7abcdefg");
  EXPECT_EQ(CRCInfoReader::LocalName(L"short", L"_7"), L"short_7");
}

TEST(CRCInfoReader, NamesThatCouldLeaveTheFolderAreUnsafe) {
  for (const wchar_t* name :
       {L"a/b", L"..\\x", L"C:x", L"con", L"Com1.txt", L"LPT\u00B9", L"x.", L"x ", L"", L"a\x01"}) {
    EXPECT_FALSE(CRCInfoReader::IsSafeFileName(name)) << name;
  }
  EXPECT_TRUE(CRCInfoReader::IsSafeFileName(L"Velmot Setup_2.exe"));
  EXPECT_TRUE(CRCInfoReader::IsSafeFileName(L"console.bin"));
  EXPECT_FALSE(CRCInfoReader::IsSafeFileName(std::wstring(201, L'a')));
}

TEST(CRCInfoReader, AnEntryDescribesAWholeFileOnlyWithOneCrcLinePerPart) {
  uint64_t size = 1;
  EXPECT_TRUE(CRCInfoReader::IsConsistent({L"a", L"0"}, size));
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(CRCInfoReader::IsConsistent({L"a", L"1", L"5"}, size));
  EXPECT_TRUE(CRCInfoReader::IsConsistent({L"a", L" 10000000 ", L"5"}, size));
  EXPECT_TRUE(CRCInfoReader::IsConsistent({L"a", L"10000001", L"5", L"6"}, size));
  EXPECT_TRUE(CRCInfoReader::IsConsistent({L"a", L"0x10", L"5"}, size));
  EXPECT_EQ(size, 16u);
  // A truncated entry, one with a line too many, and size lines that do not read.
  EXPECT_FALSE(CRCInfoReader::IsConsistent({L"a", L"10000001", L"5"}, size));
  EXPECT_FALSE(CRCInfoReader::IsConsistent({L"a", L"1", L"5", L"6"}, size));
  EXPECT_FALSE(CRCInfoReader::IsConsistent({L"a", L"0", L"5"}, size));
  EXPECT_FALSE(CRCInfoReader::IsConsistent({L"a"}, size));
  for (const wchar_t* line : {L"", L"-5", L"12abc", L"abc", L"99999999999999999999999", L"+5"}) {
    EXPECT_FALSE(CRCInfoReader::IsConsistent({L"a", line, L"5"}, size)) << line;
  }
  EXPECT_EQ(CRCInfoReader::PartCount(0), 0u);
  EXPECT_EQ(CRCInfoReader::PartCount(25000000), 3u);
}

}  // namespace
