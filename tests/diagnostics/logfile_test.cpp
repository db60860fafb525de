// The two forms in which the error log leaves the process: the JSON report's bytes and
// the text log file's bytes.
#include "diagnostics/error.h"

#include "base/stringutils.h"
#include "support/downloadjob.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

// The file's bytes, or "<missing>" when it is not there.
std::string ReadAll(const std::wstring& path) {
  if (!testsupport::FileExists(path)) return "<missing>";
  const std::vector<uint8_t> bytes = testsupport::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override { Error::Clear(); }
  void TearDown() override { Error::Clear(); }
  // Writes the text log file into a folder of the test's own and reads it back.
  std::string Written() {
    Error::WriteLogFile(StringUtils::ToNarrow(path));
    return ReadAll(path);
  }
  testsupport::TempFolder folder;
  const std::wstring path = folder.File(L"logfile.txt");
};

std::string Dump() { return Error::DumpJson(Error::GetLogJson()); }

TEST_F(LogFile, EmptyLogGivesAnEmptyArrayAndAnEmptyFile) {
  EXPECT_EQ(Dump(), "[]");
  EXPECT_EQ(Written(), "");
}

TEST_F(LogFile, ReportBytesOfTwoRecords) {
  Error::LogMessage("Opening connection: h", "", 0);
  Error::LogError(std::string("gave up"), DL_MANAGER_MAX_ATTEMPTS_EXCEEDED, "src/x.cpp", 42);
  EXPECT_EQ(
      Dump(),
      "[{\"detailed_message\": \"\", \"error_number\": 0, \"file\": \"\", \"line\": 0, "
      "\"log_index\": 0, \"message\": \"Opening connection: h\"}, "
      "{\"detailed_message\": \"DL_MANAGER_MAX_ATTEMPTS_EXCEEDED\", \"error_number\": -32767, "
      "\"file\": \"src/x.cpp\", \"line\": 42, \"log_index\": 1, \"message\": \"gave up\"}]");
}

TEST_F(LogFile, ReportEscapesOnlyWhatJsonNeeds) {
  Error::LogMessage("q\" b\\ \b\f\n\r\t \x01\x1f\x7f /", "", 0);
  EXPECT_EQ(Error::GetLogJson()[0]["message"].get<std::string>().size(), 17u);
  const std::string dump = Dump();
  EXPECT_NE(dump.find("\"message\": \"q\\\" b\\\\ \\b\\f\\n\\r\\t \\u0001\\u001f\x7f /\"}"),
            std::string::npos)
      << dump;
}

TEST_F(LogFile, ReportPassesAnsiBytesThroughAndEscapesLineSeparators) {
  Error::LogMessage("caf\xe9 \x80\xff", "", 0);
  Error::LogMessage(
      "a\xe2\x80\xa8"
      "b\xe2\x80\xa9"
      "c\xe2\x80\xaa",
      "", 0);
  Error::LogMessage("cut\xe2\x80", "", 0);
  const std::string dump = Dump();
  EXPECT_NE(dump.find("\"message\": \"caf\xe9 \x80\xff\"}"), std::string::npos);
  EXPECT_NE(dump.find("\"message\": \"a\\u2028b\\u2029c\xe2\x80\xaa\"}"), std::string::npos);
  EXPECT_NE(dump.find("\"message\": \"cut\xe2\x80\"}]"), std::string::npos);
}

TEST_F(LogFile, ReportOfOtherValues) {
  const nlohmann::json value = {
      {"z", nullptr}, {"a", {true, false, 1.5, -7}}, {"m", nlohmann::json::object()}};
  EXPECT_EQ(Error::DumpJson(value), "{\"a\": [true, false, 1.5, -7], \"m\": {}, \"z\": null}");
  EXPECT_EQ(Error::DumpJson(nlohmann::json::array()), "[]");
  EXPECT_EQ(Error::DumpJson("k\xe9y"), "\"k\xe9y\"");
}

TEST_F(LogFile, TextBytesOfTwoRecords) {
  Error::LogMessage("progress", "", 0);
  Error::LogError(std::string("gave up"), DL_MANAGER_MAX_ATTEMPTS_EXCEEDED, "src/x.cpp", 42);
  EXPECT_EQ(Written(),
            "Message: progress Detailed Message:  Error Number: 0 File:  Line: 0\t\n"
            "Message: gave up Detailed Message: DL_MANAGER_MAX_ATTEMPTS_EXCEEDED "
            "Error Number: -32767 File: src/x.cpp Line: 42");
}

TEST_F(LogFile, TextKeepsQuotesLineBreaksAndAnsiBytesAsStored) {
  Error::LogMessage("say \"hi\"\r\nthere \xe9", "f.cpp", 3);
  Error::ReportError(L"open", ERROR_FILE_NOT_FOUND, "", 0);
  const std::string system = Error::GetRecords().back().detailedMessage;
  ASSERT_FALSE(system.empty());
  EXPECT_EQ(Written(),
            "Message: say \"hi\"\r\nthere \xe9 Detailed Message:  Error Number: 0 File: f.cpp "
            "Line: 3\t\nMessage: open Detailed Message: " +
                system + " Error Number: 2 File:  Line: 0");
  EXPECT_NE(Dump().find("\"message\": \"say \\\"hi\\\"\\r\\nthere \xe9\"}"), std::string::npos);
}

TEST_F(LogFile, ReplacesALongerFile) {
  testsupport::WriteFileBytes(path, std::vector<uint8_t>(10000, 'x'));
  Error::LogMessage("m", "", 0);
  EXPECT_EQ(Written(), "Message: m Detailed Message:  Error Number: 0 File:  Line: 0");
}

TEST_F(LogFile, AnUncreatableFileIsQuietlySkipped) {
  Error::LogMessage("m", "", 0);
  const std::wstring missing = folder.File(L"missing/logfile.txt");
  Error::WriteLogFile(StringUtils::ToNarrow(missing));
  Error::WriteLogFile("");
  EXPECT_EQ(ReadAll(missing), "<missing>");
  // Nothing was recorded about it, and the log still works.
  EXPECT_EQ(Error::GetRecords().size(), 1u);
  Error::LogMessage("n", "", 0);
  EXPECT_EQ(Error::GetRecords().back().logIndex, 1);
}

TEST_F(LogFile, ALargeLogIsWrittenWhole) {
  const std::string message(1000, 'm');
  for (int i = 0; i < 5000; ++i) Error::LogMessage(message, "", i);
  const std::string text = Written();
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    if (i > 0) expected += "\t\n";
    expected += "Message: " + message +
                " Detailed Message:  Error Number: 0 File:  Line: " + std::to_string(i);
  }
  EXPECT_EQ(text.size(), expected.size());
  EXPECT_TRUE(text == expected);
}

}  // namespace
