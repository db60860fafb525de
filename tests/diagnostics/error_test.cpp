#include "diagnostics/error.h"

#include "base/handles.h"
#include "support/testenv.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>

#include <cwchar>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

class ErrorTest : public ::testing::Test {
 protected:
  void SetUp() override { Error::Clear(); }
  void TearDown() override { Error::Clear(); }
};

std::wstring ToHex(uint32_t code) {
  wchar_t text[16];
  swprintf(text, 16, L"%x", code);
  return text;
}

// The text shown for code, with message "m" and no site.
std::wstring Shown(uint32_t code) { return Error::ReportError(L"m", code, nullptr, 0); }

ErrorRecord Last() {
  const std::vector<ErrorRecord> records = Error::GetRecords();
  return records.empty() ? ErrorRecord() : records.back();
}

// Message, detailed message, error number, file, line and log index of a record.
using Fields = std::tuple<std::string, std::string, int32_t, std::string, int32_t, int32_t>;
Fields LastFields() {
  const ErrorRecord r = Last();
  return {r.message, r.detailedMessage, r.errorNumber, r.file, r.line, r.logIndex};
}

TEST_F(ErrorTest, ReportErrorWithAWinInetCode) {
  EXPECT_EQ(
      Error::ReportError(L"Connect failed", 12029, "x.cpp", 10),
      L"Connect failed Error code: 0x2efd ERROR_INTERNET_CANNOT_CONNECT File: x.cpp Line: 10");
  EXPECT_EQ(LastFields(),
            Fields("Connect failed", "ERROR_INTERNET_CANNOT_CONNECT", 12029, "x.cpp", 10, 0));
}

TEST_F(ErrorTest, ProgramCodesAreNegativeInTheRecordAndHexInTheText) {
  EXPECT_EQ(Error::ReportError(L"Bad part", DL_MANAGER_CRC_INCORRECT, "", 0),
            L"Bad part Error code: 0xffff8002 DL_MANAGER_CRC_INCORRECT");
  EXPECT_EQ(Last().errorNumber, -32766);
  EXPECT_EQ(Last().detailedMessage, "DL_MANAGER_CRC_INCORRECT");
  Error::LogError(std::string("gave up"), DL_MANAGER_MAX_ATTEMPTS_EXCEEDED, VELMOT_HERE);
  EXPECT_EQ(Last().errorNumber, -32767);
  EXPECT_EQ(Last().file, "tests/diagnostics/error_test.cpp");
  EXPECT_GT(Last().line, 0);
}

TEST_F(ErrorTest, NameRangeBounds) {
  // Inside the looked-up ranges a code without a name still gains the blank.
  EXPECT_EQ(Shown(12000), L"m Error code: 0x2ee0 ");
  EXPECT_EQ(Shown(12001), L"m Error code: 0x2ee1 ERROR_INTERNET_OUT_OF_HANDLES");
  EXPECT_EQ(Shown(12035), L"m Error code: 0x2f03 ");
  EXPECT_EQ(Shown(12174), L"m Error code: 0x2f8e ERROR_INTERNET_LOGIN_FAILURE_DISPLAY_ENTITY_BODY");
  EXPECT_EQ(Shown(DL_MANAGER_ERRORS_RESOLVED), L"m Error code: 0xffff8005 ");
  EXPECT_EQ(Last().detailedMessage, "");
  EXPECT_EQ(Shown(DL_MANAGER_INVALID_FILE_NAME),
            L"m Error code: 0xffff8009 DL_MANAGER_INVALID_FILE_NAME");
  EXPECT_EQ(Last().errorNumber, -32759);

  // Outside them the name is not used, even where the table has one.
  const std::pair<uint32_t, const wchar_t*> outside[] = {
      {12175u, L"ERROR_INTERNET_DECODING_FAILED"},
      {0xFFFF8000u, L"DL_MANAGER_NO_ERROR"},
      {0xFFFF800Au, nullptr},
      {11999u, nullptr}};
  for (const auto& [code, name] : outside) {
    const std::wstring text = Shown(code);
    const std::wstring head = L"m Error code: 0x" + ToHex(code);
    ASSERT_EQ(text.rfind(head, 0), 0u) << text;
    if (name) {
      EXPECT_EQ(text.find(name), std::wstring::npos) << text;
    }
    const std::wstring rest = text.substr(head.size());
    EXPECT_TRUE(rest.empty() || rest.rfind(L" Windows error message: ", 0) == 0) << text;
  }
}

// Names checked against the WinINet header's own constants.
#define VELMOT_CODE_AND_NAME(constant) \
  { static_cast<uint32_t>(constant), #constant }

TEST_F(ErrorTest, ErrorNamesAtEveryTableEdge) {
  const std::pair<uint32_t, const char*> named[] = {
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_OUT_OF_HANDLES),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_NEED_UI),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_HANDLE_EXISTS),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_RETRY_DIALOG),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_HTTPS_HTTP_SUBMIT_REDIR),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_SEC_CERT_REV_FAILED),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_SECURITY_CHANNEL_ERROR),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_TCPIP_NOT_INSTALLED),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_DISCONNECTED),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_UNABLE_TO_DOWNLOAD_SCRIPT),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_SEC_INVALID_CERT),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_LOGIN_FAILURE_DISPLAY_ENTITY_BODY),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_SEC_CERT_DATE_INVALID),
      VELMOT_CODE_AND_NAME(ERROR_INTERNET_CANNOT_CONNECT),
      VELMOT_CODE_AND_NAME(DL_MANAGER_NO_ERROR),
      VELMOT_CODE_AND_NAME(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED),
      VELMOT_CODE_AND_NAME(DL_MANAGER_RENAMED_OUTSIDE),
      VELMOT_CODE_AND_NAME(DL_MANAGER_INVALID_FILE_NAME),
      VELMOT_CODE_AND_NAME(DL_MANAGER_SETUP_NOT_TRUSTED),
      VELMOT_CODE_AND_NAME(DL_MANAGER_LINK_REFUSED),
      VELMOT_CODE_AND_NAME(DL_MANAGER_SIGN_IN_PAGE),
      VELMOT_CODE_AND_NAME(DL_MANAGER_PUBLISHED_INCONSISTENTLY)};
  for (const auto& [code, name] : named) EXPECT_EQ(Error::GetErrorName(code), name);
  EXPECT_EQ(Error::GetErrorName(12175), "ERROR_INTERNET_DECODING_FAILED");

  for (uint32_t none : {0u, 12000u, 12035u, 12051u, 12058u, 12156u, 12160u, 12162u, 12168u, 12176u,
                        0xFFFF7FFFu, 0xFFFF8005u, 0xFFFF800Eu, 0xFFFFFFFFu}) {
    EXPECT_EQ(Error::GetErrorName(none), "") << none;
  }
}

TEST_F(ErrorTest, EveryWinInetCodeInTheTableHasAName) {
  int named = 0;
  for (uint32_t code = 11990; code <= 12200; ++code) {
    if (!Error::GetErrorName(code).empty()) ++named;
  }
  EXPECT_EQ(named, 70);
}

TEST_F(ErrorTest, ReportMessageWithoutSite) {
  EXPECT_EQ(Error::ReportMessage(L"Done", "", 0), L"Done\r\n");
  EXPECT_EQ(LastFields(), Fields("Done", "", 0, "", 0, 0));
  EXPECT_EQ(Error::ReportMessage(L"Done", "f.cpp", 7), L"Done File: f.cpp Line: 7\r\n");
  EXPECT_EQ(Error::ReportMessage(L"Done", nullptr, 7), L"Done Line: 7\r\n");
}

TEST_F(ErrorTest, CodeZeroAddsOnlyTheSite) {
  EXPECT_EQ(Error::ReportError(L"note", 0, "a.cpp", 3),
            L"note Error code: 0x0 File: a.cpp Line: 3");
  EXPECT_EQ(Last().detailedMessage, "");
  EXPECT_EQ(Error::FormatError(std::string("note"), 0, "", 0), "note Error code: 0x0");
  EXPECT_EQ(Error::FormatError(L"note", 0, "b.cpp", 0), L"note Error code: 0x0 File: b.cpp");
}

TEST_F(ErrorTest, SystemTextFollowsTheCodeAndFillsTheDetailedMessage) {
  // The wording is the platform's; only where it lands is fixed.
  const std::wstring text = Error::ReportError(L"Open failed", ERROR_FILE_NOT_FOUND, "f.cpp", 5);
  const std::wstring head = L"Open failed Error code: 0x2 Windows error message: ";
  ASSERT_EQ(text.rfind(head, 0), 0u) << text;
  const std::string system = Last().detailedMessage;
  ASSERT_FALSE(system.empty());
  EXPECT_EQ(text.substr(head.size()),
            std::wstring(system.begin(), system.end()) + L" File: f.cpp Line: 5");
  EXPECT_EQ(
      Error::FormatError(std::string("Open failed"), 2, "f.cpp", 5),
      "Open failed Error code: 0x2 Windows error message: " + system + " File: f.cpp Line: 5");
  Error::LogError(std::string("x"), 2, "", 0);
  EXPECT_EQ(Last().detailedMessage, system);
}

TEST_F(ErrorTest, FormatErrorNeitherRecordsNorUsesNames) {
  EXPECT_EQ(Error::FormatError(std::string("c"), 12029, "", 0).find("ERROR_INTERNET"),
            std::string::npos);
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(ErrorTest, WideMessagesAreStoredNarrow) {
  if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << GetACP();
  Error::LogError(std::wstring(L"caf\u00e9 \u20ac"), 0, "", 0);
  EXPECT_EQ(Last().message, "caf\xe9 \x80");
  const std::wstring shown = Error::ReportMessage(L"\u00e9t\u00e9", "", 0);
  EXPECT_EQ(shown, L"\u00e9t\u00e9\r\n");
  EXPECT_EQ(Last().message, "\xe9t\xe9");
}

TEST_F(ErrorTest, LogIndexRestartsAfterClear) {
  for (const char* message : {"a", "b", "c"}) Error::LogMessage(message, "", 0);
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(records[i].logIndex, i);
  Error::Clear();
  EXPECT_TRUE(Error::GetRecords().empty());
  Error::LogMessage("d", "", 0);
  EXPECT_EQ(Last().logIndex, 0);
  Error::LogMessage("e", "", 0);
  EXPECT_EQ(Last().logIndex, 1);
}

TEST_F(ErrorTest, HasErrorsCountsNonZeroCodesOnly) {
  EXPECT_FALSE(Error::HasErrors());
  Error::LogMessage("progress", "", 0);
  Error::ReportMessage(L"note", "", 0);
  Error::LogError(std::string("zero code"), 0, "", 0);
  EXPECT_FALSE(Error::HasErrors());
  Error::LogError(std::string("resolved"), DL_MANAGER_ERRORS_RESOLVED, "", 0);
  EXPECT_TRUE(Error::HasErrors());
  Error::Clear();
  EXPECT_FALSE(Error::HasErrors());
}

TEST_F(ErrorTest, LogJsonHoldsTheSixMembers) {
  Error::LogError(std::string("m"), 12002, "f.cpp", 4);
  const nlohmann::json log = Error::GetLogJson();
  ASSERT_TRUE(log.is_array());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], nlohmann::json({{"message", "m"},
                                    {"detailed_message", "ERROR_INTERNET_TIMEOUT"},
                                    {"error_number", 12002},
                                    {"file", "f.cpp"},
                                    {"line", 4},
                                    {"log_index", 0}}));
  EXPECT_TRUE(Error::GetLogJson().empty() == false);
  Error::Clear();
  EXPECT_TRUE(Error::GetLogJson().is_array());
  EXPECT_TRUE(Error::GetLogJson().empty());
}

TEST_F(ErrorTest, ConcurrentRecordsGetUniqueConsecutiveIndexes) {
  constexpr int kThreads = 6;
  constexpr int kEach = 2000;
  velmot::KernelHandle start(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(start);
  const auto body = [&start](int thread) {
    WaitForSingleObject(start.Get(), 10000);
    for (int i = 0; i < kEach; ++i) {
      if (i % 2 == 0) {
        Error::LogMessage("t" + std::to_string(thread), "", i);
      } else {
        Error::ReportError(L"w", DL_MANAGER_CRC_INCORRECT, "", thread);
      }
    }
  };
  ASSERT_TRUE(testsupport::FinishesWithin(60000, [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
    SetEvent(start.Get());
    for (std::thread& thread : threads) thread.join();
  }));

  const std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<int> perThread(kThreads, 0);
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(records[i].logIndex, static_cast<int32_t>(i));
    if (records[i].errorNumber == 0) ++perThread[records[i].message[1] - '0'];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(perThread[t], kEach / 2);
}

}  // namespace
