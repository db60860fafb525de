// The download request against the reference web service: what goes on the wire, how
// each kind of answer (descriptor, refusal, junk, error status, silence) is taken.
#include "download/job/downloadmanager.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "net/fileupload.h"
#include "support/httpservicetest.h"
#include "support/records.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using testsupport::Base64Decode;
using testsupport::FromUtf8;
using testsupport::HasRecord;
using velmot::texts::kServiceUnreachable;
using velmot::texts::kServiceUnreadable;

class DownloadRequestTest : public testsupport::HttpServiceTest {
 protected:
  DownloadRequestTest() : HttpServiceTest("dr") {}
  void SetUp() override { Error::Clear(); }
  void TearDown() override {
    FileUpload::OverrideTimeoutsForTesting(0, 0, 0);
    if (!HasFailure()) return;
    for (const auto& record : Error::GetRecords()) {
      std::printf("  log: [%d] %s\n", record.errorNumber, record.message.substr(0, 300).c_str());
    }
  }

  bool Request(const std::wstring& release) { return manager.RequestDownload(release, errorText); }
  // A release answered with the entry's members (or a canned "respond" answer).
  bool RequestWith(const nlohmann::json& entry) {
    const std::string release = "Velmot " + id;
    testsupport::ServiceRelease registered(release, entry);
    return Request(FromUtf8(release));
  }

  // A fresh attempt (an empty log and error text) over a descriptor from an earlier answer.
  void PresetDescriptor() {
    Error::Clear();
    errorText.clear();
    manager.descriptor.productCode = L"old-code";
    manager.descriptor.hostName = L"old-host";
    manager.descriptor.sasText = L"old-sas";
    manager.productSuffix = L"_old";
  }
  void ExpectPresetDescriptor() {
    EXPECT_EQ(L"old-code", manager.descriptor.productCode);
    EXPECT_EQ(L"old-host", manager.descriptor.hostName);
    EXPECT_EQ(L"old-sas", manager.descriptor.sasText);
    EXPECT_EQ(L"", manager.descriptor.companyName);
    EXPECT_EQ(L"_old", manager.productSuffix);
  }

  std::wstring errorText;
};

TEST_F(DownloadRequestTest, SendsTheAgreedFormAndHeadersAndTakesTheDescriptor) {
  ASSERT_TRUE(Request(L"Velmot 10.5"));
  EXPECT_EQ(L"", errorText);

  auto requests = MyRequests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("POST", requests[0]["method"]);
  EXPECT_EQ("DownloadManagerVersion=9%2e5&ReleaseName=Velmot%2010%2e5",
            Base64Decode(requests[0]["bodyBase64"].get<std::string>()));
  testsupport::ExpectServiceRequest(
      requests[0], "RequestDownload", "application/x-www-form-urlencoded",
      {"Accept-Encoding", "ComputerId", "Content-Type", "Method", "User-Agent"});

  EXPECT_EQ(L"1005", manager.descriptor.productCode);
  EXPECT_EQ(L"Velmot Test", manager.descriptor.companyName);
  EXPECT_EQ(L"Releases/Velmot_10_5", manager.descriptor.downloadSubdir);
  EXPECT_EQ(testsupport::Get(L"VELMOT_FILEHOST_NAME"), manager.descriptor.hostName);
  EXPECT_EQ(L"?sv=test&sp=r", manager.descriptor.sasText);
  EXPECT_EQ(L"_1005", manager.productSuffix);

  // The service's answer is in the log as it came.
  const std::vector<std::string> notes = testsupport::MessagesWithCode(0);
  EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const std::string& note) {
    return note.find("\"product_code\":\"1005\"") != std::string::npos;
  }));
}

TEST_F(DownloadRequestTest, ExeIsLeftOutOfTheReleaseName) {
  EXPECT_TRUE(Request(L"Velmot 10.5.exe"));
  auto requests = MyRequests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("DownloadManagerVersion=9%2e5&ReleaseName=Velmot%2010%2e5",
            Base64Decode(requests[0]["bodyBase64"].get<std::string>()));
}

TEST_F(DownloadRequestTest, TextErrorInfoRefusesAndLeavesTheDescriptorAlone) {
  PresetDescriptor();
  errorText = L"Earlier. ";
  EXPECT_FALSE(RequestWith({{"error_info", "Release withdrawn"}, {"host_name", "h"}}));
  EXPECT_EQ(L"Earlier. Release withdrawn", errorText);
  ExpectPresetDescriptor();
}

TEST_F(DownloadRequestTest, UnknownReleaseIsRefusedWithTheServiceText) {
  EXPECT_FALSE(Request(FromUtf8("No such release " + id)));
  EXPECT_EQ(FromUtf8("Unknown release \"No such release " + id + "\""), errorText);
}

TEST_F(DownloadRequestTest, ErrorInfoOfAnotherTypeIsNoRefusal) {
  for (const nlohmann::json& info : {nlohmann::json(7), nlohmann::json(nullptr)}) {
    errorText.clear();
    EXPECT_TRUE(RequestWith({{"error_info", info}, {"product_code", "77"}, {"host_name", "h"}}))
        << info.dump();
    EXPECT_EQ(L"", errorText);
    EXPECT_EQ(L"_77", manager.productSuffix);
  }
}

TEST_F(DownloadRequestTest, MembersOfOtherTypesReadAsEmpty) {
  EXPECT_TRUE(RequestWith({{"product_code", 123},
                           {"company_name", {"x"}},
                           {"download_subdir", {{"a", 1}}},
                           {"host_name", "files.example.test"},
                           {"SAS", nullptr}}));
  EXPECT_EQ(L"", manager.descriptor.productCode);
  EXPECT_EQ(L"", manager.descriptor.companyName);
  EXPECT_EQ(L"", manager.descriptor.downloadSubdir);
  EXPECT_EQ(L"files.example.test", manager.descriptor.hostName);
  EXPECT_EQ(L"", manager.descriptor.sasText);
  EXPECT_EQ(L"_", manager.productSuffix);
}

TEST_F(DownloadRequestTest, TextsBeyondAsciiKeepTheirCharacters) {
  EXPECT_TRUE(RequestWith(
      {{"company_name", "Velmot \xc3\x9cnternehmen \xe2\x82\xac"}, {"host_name", "h"}}));
  EXPECT_EQ(L"Velmot \u00dcnternehmen \u20ac", manager.descriptor.companyName);
}

TEST_F(DownloadRequestTest, AnswersThatAreNoDescriptorFailWithAClearText) {
  const char* bodies[] = {"<html>Service Unavailable</html>", "[1,2,3]",        "\"text\"", "",
                          "{\"product_code\":\"1\"}",         "{\"host_name\":"};
  for (const char* body : bodies) {
    PresetDescriptor();
    EXPECT_FALSE(RequestWith({{"respond", {{"status", 200}, {"body", body}}}})) << body;
    EXPECT_EQ(kServiceUnreadable, errorText) << body;
    ExpectPresetDescriptor();
    EXPECT_TRUE(Error::HasErrors()) << body;
  }
}

TEST_F(DownloadRequestTest, ErrorStatusFailsWithTheConnectionText) {
  for (int status : {404, 500}) {
    PresetDescriptor();
    EXPECT_FALSE(
        RequestWith({{"respond", {{"status", status}, {"body", "{\"host_name\":\"h\"}"}}}}));
    EXPECT_EQ(kServiceUnreachable, errorText);
    ExpectPresetDescriptor();
    const std::string reason = status == 404 ? " Not Found" : " Internal Server Error";
    EXPECT_TRUE(HasRecord("DownloadManager::RequestDownload the web service answered " +
                              std::to_string(status) + reason,
                          DL_MANAGER_HTTP_STATUS_NOT_OK));
  }
}

TEST_F(DownloadRequestTest, ServiceThatDropsEveryConnectionFailsAfterThreeAttempts) {
  EXPECT_FALSE(RequestWith({{"respond", {{"reset", true}}}}));
  EXPECT_EQ(kServiceUnreachable, errorText);
  EXPECT_EQ(3u, MyRequests().size());
  EXPECT_TRUE(
      HasRecord("DownloadManager::RequestDownload the web service answered 9000 HTTP "
                "Operation failed",
                DL_MANAGER_HTTP_STATUS_NOT_OK));
}

TEST_F(DownloadRequestTest, SilentServiceFailsAfterItsTimeouts) {
  FileUpload::OverrideTimeoutsForTesting(1000, 1000, 1000);
  const ULONGLONG started = GetTickCount64();
  EXPECT_FALSE(RequestWith({{"respond", {{"body", "{}"}, {"delayMs", 8000}}}}));
  EXPECT_LT(GetTickCount64() - started, 7500u);
  EXPECT_EQ(kServiceUnreachable, errorText);
}

TEST_F(DownloadRequestTest, HugeAnswerFailsAndIsLoggedOnlyInPart) {
  EXPECT_FALSE(RequestWith(
      {{"respond", {{"status", 200}, {"body", std::string(1024, ' ')}, {"repeat", 6 * 1024}}}}));
  EXPECT_EQ(kServiceUnreadable, errorText);
  for (const auto& record : Error::GetRecords()) EXPECT_LT(record.message.size(), 70000u);
}

TEST_F(DownloadRequestTest, WorkFolderIsCreatedForALaterLogUpload) {
  testsupport::TempFolder parent(L"req");
  manager.workFolder = parent.File(L"Velmot 10.5");
  EXPECT_FALSE(Request(FromUtf8("No such release " + id)));
  const DWORD attributes = GetFileAttributesW(manager.workFolder.c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  // An existing folder is no failure.
  Error::Clear();
  EXPECT_FALSE(Request(FromUtf8("No such release " + id)));
  EXPECT_FALSE(Error::HasErrors());
}

}  // namespace
