#include "diagnostics/computerid.h"

#include "diagnostics/error.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class ComputerIdTest : public ::testing::Test {
 protected:
  void SetUp() override { Error::Clear(); }
  ComputerId id_;
};

TEST_F(ComputerIdTest, HashHexGivesTheKnownSha1Digests) {
  std::string digest;
  ASSERT_TRUE(id_.HashHex("abc", digest));
  EXPECT_EQ(digest, "a9993e364706816aba3e25717850c26c9cd0d89d");
  ASSERT_TRUE(id_.HashHex("", digest));
  EXPECT_EQ(digest, "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  ASSERT_TRUE(id_.HashHex("The quick brown fox jumps over the lazy dog", digest));
  EXPECT_EQ(digest, "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12");
  // Bytes above 0x7F and zero bytes are hashed as they are.
  ASSERT_TRUE(id_.HashHex(std::string("\xff\x00\x80", 3), digest));
  EXPECT_EQ(digest.size(), 40u);
  EXPECT_NE(digest, "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(ComputerIdTest, IdentifierIsStableAndFortyLowerCaseHexDigits) {
  std::string first, second;
  ASSERT_TRUE(id_.Compute(first));
  ASSERT_TRUE(ComputerId().Compute(second));
  EXPECT_EQ(first.size(), 40u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos) << first;
  EXPECT_EQ(first, second);

  std::wstring wide;
  ASSERT_TRUE(id_.ComputeWide(wide));
  EXPECT_EQ(wide, std::wstring(first.begin(), first.end()));
}

TEST_F(ComputerIdTest, IdentifierIsTheDigestOfTheComposedText) {
  std::string text, digest, id;
  ASSERT_TRUE(id_.BuildText(text));
  ASSERT_TRUE(id_.HashHex(text, digest));
  ASSERT_TRUE(id_.Compute(id));
  EXPECT_EQ(id, digest);
}

TEST_F(ComputerIdTest, ATestBuildTakesTheIdentityItIsGivenInTheEnvironment) {
  // Whole-program runs side by side tell their log uploads apart by it (the soak).
  SetEnvironmentVariableW(L"VELMOT_TEST_COMPUTER_ID", L"soak-7-1");
  std::wstring given;
  ASSERT_TRUE(id_.ComputeWide(given));
  SetEnvironmentVariableW(L"VELMOT_TEST_COMPUTER_ID", nullptr);
  EXPECT_EQ(given, L"soak-7-1");
  std::string own;
  ASSERT_TRUE(id_.Compute(own));
  EXPECT_EQ(own.size(), 40u);
}

TEST_F(ComputerIdTest, ComposedTextHasTheGuidsAndTheProcessorVendor) {
  std::string machine, volume, text;
  ASSERT_TRUE(id_.ReadMachineGuid(machine));
  ASSERT_TRUE(id_.ReadVolumeGuid(volume));
  ASSERT_TRUE(id_.BuildText(text));

  const std::string head = machine + "|" + volume;
  ASSERT_EQ(text.substr(0, head.size()), head);
  std::string digits = text.substr(head.size());
  EXPECT_EQ(digits.find_first_not_of("-0123456789"), std::string::npos) << digits;

  EXPECT_EQ(volume.find_first_of("{}"), std::string::npos) << volume;
  EXPECT_EQ(machine.find('\0'), std::string::npos);
  if (!machine.empty()) {
    EXPECT_EQ(machine.size(), 36u) << machine;
  }

  // EBX, ECX, EDX of leaf 0 spell the vendor: "GenuineIntel" or "AuthenticAMD".
  const bool intel = EndsWith(digits, "197016915918185882701231384169");
  const bool amd = EndsWith(digits, "175246265711459136991769238117");
  EXPECT_TRUE(intel || amd) << digits;
}

TEST_F(ComputerIdTest, ReadingFailuresAreRecordedUnderTheirOwnNames) {
  std::string id;
  ASSERT_TRUE(id_.Compute(id));
  // Whatever the platform lacks is on record with one of these texts, nothing else.
  for (const auto& r : Error::GetRecords()) {
    EXPECT_TRUE(r.message ==
                    "Unable to open HKLM\\Software\\Microsoft\\Cryptography registry key" ||
                r.message == "GetVolumeNameForVolumeMountPoint failed")
        << r.message;
    EXPECT_NE(r.errorNumber, 0);
  }
}

}  // namespace
