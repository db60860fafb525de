#include "base/stringutils.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using Pieces = std::vector<std::wstring>;

Pieces SplitW(const std::wstring& text, const std::wstring& delimiter, bool keepEmpty) {
  Pieces pieces;
  StringUtils::Split(text, delimiter, keepEmpty, pieces);
  return pieces;
}

std::wstring Replaced(std::wstring text, const std::wstring& search, const std::wstring& by) {
  return StringUtils::ReplaceAll(text, search, by);
}

// Host, path, port and whether the connection is secure; what SplitUrl leaves alone keeps
// the caller's values.
using Url = std::tuple<std::wstring, std::wstring, uint16_t, bool>;

Url Split(const std::wstring& url) {
  Url u{L"caller-host", L"caller-path", 1, false};
  StringUtils::SplitUrl(url, std::get<0>(u), std::get<1>(u), std::get<2>(u), std::get<3>(u));
  return u;
}

TEST(StringUtils, SplitGivesNoPiecesWithoutADelimiter) {
  EXPECT_TRUE(SplitW(L"abc", L";", true).empty());
  EXPECT_TRUE(SplitW(L"", L";", true).empty());
  EXPECT_TRUE(SplitW(L"abc", L"", true).empty());
}

TEST(StringUtils, SplitKeepsOrDropsEmptyPieces) {
  EXPECT_EQ(SplitW(L"a;b;c", L";", false), (Pieces{L"a", L"b", L"c"}));
  EXPECT_EQ(SplitW(L"a;", L";", true), (Pieces{L"a", L""}));
  EXPECT_EQ(SplitW(L"a;", L";", false), (Pieces{L"a"}));
  EXPECT_EQ(SplitW(L";a", L";", true), (Pieces{L"", L"a"}));
  EXPECT_EQ(SplitW(L"x\r\ny\r\n", L"\r\n", true), (Pieces{L"x", L"y", L""}));
  EXPECT_EQ(SplitW(L";;;", L";", true), (Pieces{L"", L"", L"", L""}));
  EXPECT_TRUE(SplitW(L";;;", L";", false).empty());
}

TEST(StringUtils, SplitOccurrencesDoNotOverlapAndEarlierPiecesStay) {
  EXPECT_EQ(SplitW(L"aaa", L"aa", true), (Pieces{L"", L"a"}));
  std::vector<std::string> narrow{"kept"};
  StringUtils::Split(std::string("1,2"), std::string(","), false, narrow);
  EXPECT_EQ(narrow, (std::vector<std::string>{"kept", "1", "2"}));
}

TEST(StringUtils, SplitOfALongTextOfDelimitersOnly) {
  const std::wstring text(200000, L'/');
  EXPECT_EQ(SplitW(text, L"/", true).size(), 200001u);
  EXPECT_TRUE(SplitW(text, L"/", false).empty());
}

TEST(StringUtils, Join) {
  EXPECT_EQ(StringUtils::Join({}, L"/"), L"");
  EXPECT_EQ(StringUtils::Join({L"a"}, L"/"), L"a");
  EXPECT_EQ(StringUtils::Join({L"a", L"", L"b"}, L", "), L"a, , b");
}

TEST(StringUtils, ReplaceAllCollapsesRunsAndRemovesNames) {
  EXPECT_EQ(Replaced(L"a///b", L"//", L"/"), L"a/b");
  EXPECT_EQ(Replaced(L"////////", L"//", L"/"), L"/");
  EXPECT_EQ(Replaced(L"C:\\dir\\f", L"\\", L"/"), L"C:/dir/f");
  EXPECT_EQ(Replaced(L"xnamey", L"name", L""), L"xy");
  // Removing one occurrence can join the text around it into a new one.
  EXPECT_EQ(Replaced(L"nanameme", L"name", L""), L"");
  std::string narrow = "p//q";
  EXPECT_EQ(StringUtils::ReplaceAll(narrow, std::string("//"), std::string("/")), "p/q");
}

TEST(StringUtils, ReplaceAllEndsWhenTheReplacementHoldsTheSearchText) {
  EXPECT_EQ(Replaced(L"a/b/c", L"/", L"//"), L"a//b//c");
  EXPECT_EQ(Replaced(L"xx", L"x", L"xx"), L"xxxx");
  EXPECT_EQ(Replaced(L"ab", L"ab", L"ab"), L"ab");
  EXPECT_EQ(Replaced(L"abc", L"", L"z"), L"abc");
  EXPECT_EQ(Replaced(L"", L"a", L"b"), L"");
}

TEST(StringUtils, ReplaceAllOnALongRunIsFast) {
  const DWORD start = GetTickCount();
  std::wstring text(2000000, L'/');
  EXPECT_EQ(StringUtils::ReplaceAll(text, L"//", L"/"), L"/");
  EXPECT_LT(GetTickCount() - start, 20000u);
}

TEST(StringUtils, ReplaceAllNoCaseFoldsAsciiOnly) {
  std::wstring url = L"HTTPS://h/Https://x";
  EXPECT_EQ(StringUtils::ReplaceAllNoCase(url, L"https://", L""), L"h/x");
  std::wstring accented = L"\u00c9t\u00e9";
  EXPECT_EQ(StringUtils::ReplaceAllNoCase(accented, L"\u00e9", L"e"), L"\u00c9te");
}

TEST(StringUtils, FindNoCase) {
  EXPECT_EQ(StringUtils::FindNoCase(L"Https://h", L"https://"), 0);
  EXPECT_EQ(StringUtils::FindNoCase(L"x HTTPS://h", L"https://"), 2);
  EXPECT_EQ(StringUtils::FindNoCase(L"http://h", L"https://"), -1);
  EXPECT_EQ(StringUtils::FindNoCase(L"\u00c9", L"\u00e9"), -1);
  EXPECT_EQ(StringUtils::FindNoCase(L"[", L"{"), -1);  // '[' is not upper-case '{'
  EXPECT_EQ(StringUtils::FindNoCase(L"", L"a"), -1);
}

TEST(StringUtils, GetFileName) {
  EXPECT_EQ(StringUtils::GetFileName(L"C:\\dir\\file.exe"), L"file.exe");
  EXPECT_EQ(StringUtils::GetFileName(L"C:/dir\\sub/f.txt"), L"f.txt");
  EXPECT_EQ(StringUtils::GetFileName(L"file.exe"), L"");
  EXPECT_EQ(StringUtils::GetFileName(L"C:/dir/"), L"");
  EXPECT_EQ(StringUtils::GetFileName(L""), L"");
}

TEST(StringUtils, SplitUrlWithPortAndPath) {
  EXPECT_EQ(Split(L"https://Host:8443/a/b/c.ashx"), (Url{L"Host", L"a/b/c.ashx", 8443, true}));
  EXPECT_EQ(Split(L"http://h/x"), (Url{L"h", L"x", 80, false}));
  EXPECT_EQ(Split(L"HTTPS://h//a//b"), (Url{L"h", L"a/b", 443, true}));
}

TEST(StringUtils, SplitUrlWithoutPathLeavesHostAndPathAlone) {
  EXPECT_EQ(Split(L"https://host.example"), (Url{L"caller-host", L"caller-path", 443, true}));
  EXPECT_EQ(Split(L"http://h/"), (Url{L"h", L"", 80, false}));
}

TEST(StringUtils, SplitUrlRemovesARepeatedHostSegmentOnly) {
  EXPECT_EQ(std::get<1>(Split(L"http://h/h/x")), L"x");
  // "a/" inside "data/" is not the host segment "a".
  EXPECT_EQ(std::get<1>(Split(L"http://a/data/x")), L"data/x");
}

TEST(StringUtils, SplitUrlKeepsTheDefaultPortForUnusableNumbers) {
  EXPECT_EQ(Split(L"https://h:99999999999999999999/x"), (Url{L"h", L"x", 443, true}));
  EXPECT_EQ(std::get<2>(Split(L"http://h:70000/x")), 80);
  EXPECT_EQ(std::get<2>(Split(L"http://h:0/x")), 80);
  EXPECT_EQ(std::get<2>(Split(L"http://h:65535/x")), 65535);
  EXPECT_EQ(Split(L"http://h:/x"), (Url{L"h", L"x", 80, false}));
}

TEST(StringUtils, SplitUrlOfOddInputsDoesNotFail) {
  for (const wchar_t* url : {L"", L"/", L"//", L":", L":::", L"https://", L"http://:80",
                             L"https:///", L"h:8080", L"////a:1//b:2"}) {
    Split(url);
  }
  EXPECT_EQ(std::get<2>(Split(L"h:8080")), 8080);
  EXPECT_EQ(std::get<0>(Split(L"h:8080")), L"caller-host");
}

TEST(StringUtils, UrlEncode) {
  EXPECT_EQ(StringUtils::UrlEncode(L"a b&\u00e9"), L"a%20b%26%c3%a9");
  EXPECT_EQ(StringUtils::UrlEncode(L"\u20ac"), L"%e2%82%ac");
  EXPECT_EQ(StringUtils::UrlEncode(L"Az09-._~"), L"Az09%2d%2e%5f%7e");
  EXPECT_EQ(StringUtils::UrlEncode(std::wstring(1, L'\0')), L"%00");
  EXPECT_EQ(StringUtils::UrlEncode(L"\u007f\u0080\u07ff\u0800\uffff"),
            L"%7f%c2%80%df%bf%e0%a0%80%ef%bf%bf");
  EXPECT_EQ(StringUtils::UrlEncode(L""), L"");
}

TEST(StringUtils, UrlEncodeWritesEachSurrogateHalfAsThreeBytes) {
  EXPECT_EQ(StringUtils::UrlEncode(L"\U0001F600"), L"%ed%a0%bd%ed%b8%80");
  EXPECT_EQ(StringUtils::UrlEncode(std::wstring(1, wchar_t(0xD800))), L"%ed%a0%80");
  EXPECT_EQ(StringUtils::UrlEncode(std::wstring(1, wchar_t(0xDFFF))), L"%ed%bf%bf");
}

TEST(StringUtils, ConversionsRoundTripAndStopAtZero) {
  EXPECT_EQ(StringUtils::ToWide(""), L"");
  EXPECT_EQ(StringUtils::ToNarrow(L""), "");
  EXPECT_EQ(StringUtils::ToWide("plain"), L"plain");
  EXPECT_EQ(StringUtils::ToNarrow(L"plain"), "plain");
  EXPECT_EQ(StringUtils::ToWide(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(StringUtils::ToNarrow(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(StringUtils::ToNarrow(std::wstring(L"\0x", 2)), "");
  const std::wstring longText(300000, L'q');
  EXPECT_EQ(StringUtils::ToWide(StringUtils::ToNarrow(longText)), longText);
}

TEST(StringUtils, ConversionsUseTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << GetACP();
  EXPECT_EQ(StringUtils::ToNarrow(L"\u00e9\u20ac"), "\xe9\x80");
  EXPECT_EQ(StringUtils::ToWide("\xe9\x80"), L"\u00e9\u20ac");
  // A character the code page lacks becomes its default character.
  EXPECT_EQ(StringUtils::ToNarrow(L"a\u4e2db"), "a?b");
}

TEST(StringUtils, CaseFoldingChangesAsciiLettersOnly) {
  EXPECT_EQ(StringUtils::ToLowerAscii(L"Co/REL_2\u00C4\u0130z"), L"co/rel_2\u00C4\u0130z");
  EXPECT_EQ(StringUtils::ToUpperAscii(L"con.txt \u00E4\u0131@[`{"), L"CON.TXT \u00E4\u0131@[`{");
  EXPECT_EQ(StringUtils::ToLowerAscii(L""), L"");
}

}  // namespace
