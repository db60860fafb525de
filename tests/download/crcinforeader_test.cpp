// The CRC info document read without any I/O: splitting, the lines of an entry, part sizes
// and objects, the local names; and where SetupLauncher may remove the work folder.
#include "download/crcinforeader.h"
#include "download/setuplauncher.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CRCInfoReader, SplitsAtSemicolonsAndDropsWhatComesBeforeTheFirst) {
  CRCInfo entries;
  CRCInfoReader::Parse("header\r\n;a.exe\r\n25000000\r\n1\r\n-2\r\n\r\n;b.bin\r\n16\r\n", entries);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], (CRCInfoEntry{L"a.exe", L"25000000", L"1", L"-2"}));
  EXPECT_EQ(entries[1], (CRCInfoEntry{L"b.bin", L"16"}));
}

TEST(CRCInfoReader, PiecesOfNothingButLineBreaksNameNoFile) {
  CRCInfo entries{{L"stale"}};
  CRCInfoReader::Parse(";\r\n\r\n;;x\r\n", entries);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], (CRCInfoEntry{L"x"}));
  CRCInfoReader::Parse("no semicolon at all", entries);
  EXPECT_TRUE(entries.empty());
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
  EXPECT_EQ(CRCInfoReader::PartObject(L"", L"co/rel", 3, L"Setup.exe"), L"/co/rel/3_Setup.exe");
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

TEST(SetupLauncher, TheWorkFolderGoesOnlyWhenItHoldsNoInstallerFile) {
  EXPECT_TRUE(SetupLauncher::WorkFolderIsRemovable(L"C:/Users/u/AppData/Local/Rel",
                                                   L"C:/Users/u/Downloads"));
  EXPECT_FALSE(SetupLauncher::WorkFolderIsRemovable(L"C:/", L"C:/x"));
  EXPECT_FALSE(SetupLauncher::WorkFolderIsRemovable(L"C:", L"C:/x"));
  EXPECT_FALSE(SetupLauncher::WorkFolderIsRemovable(L"", L"C:/x"));
  // The same folder, or one holding the download folder, in any case and separator.
  EXPECT_FALSE(SetupLauncher::WorkFolderIsRemovable(L"C:\\Dl\\", L"c:/dl"));
  EXPECT_FALSE(SetupLauncher::WorkFolderIsRemovable(L"C:/Work", L"c:\\WORK\\inner"));
  EXPECT_TRUE(SetupLauncher::WorkFolderIsRemovable(L"C:/Work", L"C:/Workshop"));
}

}  // namespace
