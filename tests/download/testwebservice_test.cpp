// The loopback web service seen from inside Wine: it answers the download request from its
// catalogue, serves canned answers, logs requests, stores log uploads and drops connections
// on request.
#include "support/rawhttp.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

using testsupport::Answer;
using testsupport::FromUtf8;
using testsupport::Gzip;
using testsupport::Request;
using testsupport::Send;
using testsupport::ServicePath;
using testsupport::ServiceRequest;
using testsupport::Utf16le;

Answer RequestDownload(const std::string& form) {
  Request r = ServiceRequest(ServicePath());
  r.headers =
      L"ComputerId: 0123456789abcdef0123456789abcdef01234567\r\n"
      L"Content-Type: application/x-www-form-urlencoded\r\nMethod: RequestDownload";
  r.body = form;
  return Send(r);
}

nlohmann::json AnswerTo(const std::string& form) {
  return nlohmann::json::parse(RequestDownload(form).body);
}

TEST(TestWebService, AnswersTheDescriptorOfAKnownRelease) {
  std::string release = testsupport::UniqueId("Velmot Test ");
  testsupport::ServiceRelease entry(release, {{"product_code", "77"},
                                              {"company_name", "Velmot"},
                                              {"download_subdir", "Rel/X"},
                                              {"host_name", "files.example"},
                                              {"SAS", "?sig=1"}});
  std::string encoded;
  for (char c : release) encoded += c == ' ' ? std::string("%20") : std::string(1, c);
  Answer a = RequestDownload("DownloadManagerVersion=9%2e5&ReleaseName=" + encoded);
  ASSERT_TRUE(a.sent) << a.sendError;
  EXPECT_EQ(200u, a.status);
  auto json = nlohmann::json::parse(a.body);
  EXPECT_TRUE(json["error_info"].is_null());
  EXPECT_EQ("77", json["product_code"]);
  EXPECT_EQ("Rel/X", json["download_subdir"]);
  EXPECT_EQ("files.example", json["host_name"]);
  EXPECT_EQ("?sig=1", json["SAS"]);
}

TEST(TestWebService, RefusesUnknownReleasesAndVersions) {
  EXPECT_EQ("Unknown release \"Nope 1\"",
            AnswerTo("DownloadManagerVersion=9%2e5&ReleaseName=Nope%201")["error_info"]);
  EXPECT_EQ("Unsupported download manager version \"9.4\"",
            AnswerTo("DownloadManagerVersion=9%2e4&ReleaseName=Velmot%2010%2e5")["error_info"]);
  EXPECT_TRUE(AnswerTo("ReleaseName=Velmot%2010%2e5")["error_info"].is_string());
  // The base catalogue's release points at this build's file host.
  EXPECT_EQ(testsupport::ToUtf8(testsupport::Get(L"VELMOT_FILEHOST_NAME")),
            AnswerTo("DownloadManagerVersion=9%2e5&ReleaseName=Velmot%2010%2e5")["host_name"]);
}

TEST(TestWebService, CannedAnswersAndTheRequestLog) {
  std::string release = testsupport::UniqueId("Canned ");
  testsupport::ServiceRelease entry(
      release, {{"respond", {{"status", 500}, {"body", "oops"}, {"delayMs", 200}}}});
  std::string form = "DownloadManagerVersion=9%2e5&ReleaseName=" + release.substr(0, 6) + "%20" +
                     release.substr(7);
  Answer a = RequestDownload(form);
  EXPECT_EQ(500u, a.status);
  EXPECT_EQ("oops", a.body);
  EXPECT_GE(a.millis, 190u);

  // Other tests post to the service at the same time: only this test's form is its own.
  bool found = false;
  for (const auto& q : testsupport::ServiceRequests()) {
    if (testsupport::Base64Decode(q.value("bodyBase64", "")) != form) continue;
    EXPECT_EQ("/Velmot/DownloadManager8.ashx", q["path"]);
    EXPECT_EQ("POST", q["method"]);
    EXPECT_EQ("RequestDownload", q["headers"]["method"]);
    EXPECT_EQ("0123456789abcdef0123456789abcdef01234567", q["headers"]["computerid"]);
    found = true;
  }
  EXPECT_TRUE(found);
}

Answer Upload(const std::string& computerId, const std::string& body) {
  Request r = ServiceRequest(ServicePath());
  r.headers = L"ComputerId: " + FromUtf8(computerId) +
              L"\r\nContent-Type: application/octet-stream\r\n"
              L"DownloadManagerVersion: 9.5\r\nMethod: LogErrorInfo";
  r.body = body;
  return Send(r);
}

TEST(TestWebService, StoresLogUploadsAndRefusesOtherBodies) {
  std::string id = testsupport::UniqueId("upload");
  std::wstring report =
      L"[{\"detailed_message\": \"\", \"error_number\": -32767, \"file\": \"src/a.cpp\", "
      L"\"line\": 12, \"log_index\": 0, \"message\": \"caf\u00e9\"}]";
  Answer ok = Upload(id, Gzip(Utf16le(report)));
  ASSERT_TRUE(ok.sent) << ok.sendError;
  EXPECT_EQ(200u, ok.status) << ok.body;
  auto stored = testsupport::ServiceUploads(id);
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(std::string(
                "[{\"detailed_message\": \"\", \"error_number\": -32767, \"file\": \"src/a.cpp\", "
                "\"line\": 12, \"log_index\": 0, \"message\": \"caf\xc3\xa9\"}]"),
            stored[0]);

  EXPECT_EQ(400u, Upload(id, Utf16le(report)).status);                           // not gzip
  EXPECT_EQ(400u, Upload(id, Gzip("[]")).status);                                // not UTF-16LE
  EXPECT_EQ(400u, Upload(id, Gzip(Utf16le(L"[{\"message\": \"x\"}]"))).status);  // wrong shape
  EXPECT_EQ(413u, Upload(id, Gzip(std::string(17 * 1024 * 1024, ' '))).status);  // too large
  EXPECT_EQ(200u, Upload(id, Gzip(Utf16le(L"[]"))).status);
  EXPECT_EQ(2u, testsupport::ServiceUploads(id).size());
}

TEST(TestWebService, EchoAndDroppedConnections) {
  const std::wstring wid = FromUtf8(testsupport::UniqueId("drop"));
  Answer echo = Send(ServiceRequest(L"/echo/" + wid));
  EXPECT_EQ(200u, echo.status);
  EXPECT_EQ("ok", echo.body);

  Answer dropped = Send(ServiceRequest(L"/drop/1/" + wid));
  EXPECT_FALSE(dropped.sent && dropped.status == 200) << "status " << dropped.status;
  Answer after = Send(ServiceRequest(L"/drop/1/" + wid));
  EXPECT_TRUE(after.sent) << after.sendError;
  EXPECT_EQ(200u, after.status);
  EXPECT_EQ("ok", after.body);
}

}  // namespace
