// The upload worker against the reference web service (tests/servers/service.js):
// "/echo/<id>" answers 200 "ok", "/drop/<n>/<id>" resets the first n connections, and the
// service endpoint gives canned answers for releases registered with ServiceRelease.
#include "net/fileupload.h"
#include "net/uploadcancel.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "support/records.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;

std::string Body(const nlohmann::json& request) {
  return Base64Decode(request.value("bodyBase64", std::string()));
}

// A canned answer of the service endpoint, reached with a RequestDownload form.
struct CannedAnswer {
  explicit CannedAnswer(const nlohmann::json& respond)
      : release(UniqueId("fu")), entry(release, nlohmann::json{{"respond", respond}}) {}
  bool Post(FileUpload& upload) {
    return upload.PostForm(
        ServiceUrl(), 2, {{L"Method", L"RequestDownload"}},
        {{L"DownloadManagerVersion", L"9.5"}, {L"ReleaseName", FromUtf8(release)}}, false);
  }
  std::string release;
  ServiceRelease entry;
};

class FileUploadTest : public ::testing::Test {
 protected:
  void SetUp() override { Error::Clear(); }
  // The log tells what the worker did when a case fails.
  void TearDown() override {
    if (!HasFailure()) return;
    for (const auto& record : Error::GetRecords())
      std::printf("  log: [%d] %s\n", record.errorNumber, record.message.c_str());
  }
  // A route of the service's test paths ("/echo/", "/drop/1/", ...) for this test alone, on
  // the service's origin, and the requests that reached it.
  std::wstring Url(const std::string& route) const {
    const std::wstring service = ServiceUrl();
    return service.substr(0, service.find(L"/Velmot/")) + FromUtf8(route + id);
  }
  std::vector<nlohmann::json> Requests(const std::string& route) const {
    std::vector<nlohmann::json> found;
    for (auto& request : ServiceRequests())
      if (request.value("path", std::string()) == route + id) found.push_back(request);
    return found;
  }

  const std::string id = UniqueId("fu");
  FileUpload upload;
};

TEST_F(FileUploadTest, FormGoesOutSortedWithEncodedValuesAndAnswerIsKept) {
  const std::wstring url = Url("/echo/");
  upload.PostForm(url, 2, {{L"Zeta", L"last"}, {L"Alpha", L"first"}, {L"Method", L"Echo"}},
                  {{L"b", L"x y&z="}, {L"a", L"\u00e9 1"}, {L"c", L"AZaz09-._~"}}, true);

  EXPECT_EQ(200u, upload.httpStatus);
  EXPECT_EQ(L"OK", upload.statusText);
  EXPECT_EQ("ok", upload.GetResponseText());
  EXPECT_EQ(1u, upload.attempt.load());
  EXPECT_EQ(L"text/plain; charset=utf-8", upload.responseHeaders[L"Content-Type"]);
  EXPECT_EQ(L"2", upload.responseHeaders[L"Content-Length"]);
  EXPECT_EQ(0u, upload.rawResponseHeaders.find(L"HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ(0u, upload.responseHeaders.count(L"HTTP/1.1 200 OK"));

  auto requests = Requests("/echo/");
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("POST", requests[0]["method"]);
  EXPECT_EQ("a=%c3%a9%201&b=x%20y%26z%3d&c=AZaz09%2d%2e%5f%7e", Body(requests[0]));
  EXPECT_EQ("gzip,deflate", requests[0]["headers"]["accept-encoding"]);
  const std::vector<std::string> order = {"Accept-Encoding", "Alpha", "Method", "Zeta"};
  EXPECT_EQ(order, SentHeaderNames(requests[0], order));

  EXPECT_TRUE(HasRecord("FileUpload::ServerSettingsFromUrl: " + Narrow(url), 0));
  EXPECT_TRUE(
      HasRecord("Sending HTTP POST Headers:\r\nAccept-Encoding: gzip,deflate\r\n"
                "Alpha: first\r\nMethod: Echo\r\nZeta: last",
                0));
  EXPECT_TRUE(HasRecord("Opening connection for: echo/" + id, 0));
  EXPECT_TRUE(HasRecord("Disconnecting echo/" + id, 0));
  EXPECT_FALSE(Error::HasErrors());
}

TEST_F(FileUploadTest, FormNamesStayAsTheyAreAndEmptyNameGivesTheValueAlone) {
  upload.PostForm(Url("/echo/"), 2, {}, {{L"", L"raw=1"}, {L"k y", L"v w"}}, false);
  auto requests = Requests("/echo/");
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("raw=1&k y=v w", Body(requests[0]));
}

TEST_F(FileUploadTest, EmptyDataBodyUsesTheFormPathWithAnEmptyBody) {
  upload.PostData(Url("/echo/"), 2, {{L"Method", L"Empty"}}, {});
  EXPECT_EQ(200u, upload.httpStatus);
  auto requests = Requests("/echo/");
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(0, requests[0]["bodyLength"].get<int>());
}

TEST_F(FileUploadTest, DataBodiesArriveWholeAtChunkBoundaries) {
  for (size_t size : {1u, 1024u, 1025u, 2048u, 70000u}) {
    SCOPED_TRACE(size);
    const std::string route = "/echo/" + std::to_string(size) + "-";  // one route per size
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>((i * 7) % 256);
    FileUpload sized;
    sized.PostData(Url(route), 2, {{L"Content-Type", L"application/octet-stream"}}, data);
    EXPECT_EQ(200u, sized.httpStatus);
    EXPECT_EQ(size, sized.bytesSent.load());
    auto requests = Requests(route);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(std::string(data.begin(), data.end()), Body(requests[0]));
    EXPECT_EQ(std::to_string(size), requests[0]["headers"]["content-length"]);
  }
}

TEST_F(FileUploadTest, ResetConnectionIsRetriedAndAcceptEncodingGrows) {
  upload.PostForm(Url("/drop/1/"), 2, {}, {{L"f", L"1"}}, true);
  EXPECT_EQ(200u, upload.httpStatus);
  EXPECT_EQ(2u, upload.attempt.load());
  auto requests = Requests("/drop/1/");
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("gzip,deflate", requests[0]["headers"]["accept-encoding"]);
  EXPECT_EQ("gzip,deflate,gzip,deflate", requests[1]["headers"]["accept-encoding"]);
  // Depending on when the reset lands, the send fails or the answer never comes.
  EXPECT_EQ(1u, CountRecords("Error on HttpSendRequest, ") +
                    CountRecords(velmot::texts::kQueryInfoFailed) +
                    CountRecords("FileUpload: the server closed the connection without an answer"));
}

TEST_F(FileUploadTest, ResetDataUploadIsRetriedWithTheWholeBody) {
  std::vector<uint8_t> data(3000, 0x5A);
  upload.PostData(Url("/drop/1/"), 2, {}, data);
  EXPECT_EQ(200u, upload.httpStatus);
  EXPECT_EQ(2u, upload.attempt.load());
  auto requests = Requests("/drop/1/");
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(std::string(data.begin(), data.end()), Body(requests[1]));
}

TEST_F(FileUploadTest, ThreeResetsGive9000) {
  upload.PostForm(Url("/drop/5/"), 2, {}, {{L"f", L"1"}}, true);
  EXPECT_EQ(9000u, upload.httpStatus);
  EXPECT_EQ(velmot::texts::kAllAttemptsFailed, upload.statusText);
  EXPECT_EQ(3u, upload.attempt.load());
  EXPECT_EQ(3u, Requests("/drop/5/").size());
  EXPECT_EQ("", upload.GetResponseText());
}

TEST_F(FileUploadTest, ClosedPortCostsThreeAttemptsApartAndGives9000) {
  const ULONGLONG took = MsTaken([&] {
    upload.PostForm(L"https://localhost:1/Velmot/DownloadManager8.ashx", 2, {}, {{L"f", L"1"}},
                    true);
  });
  EXPECT_EQ(9000u, upload.httpStatus);
  EXPECT_EQ(velmot::texts::kAllAttemptsFailed, upload.statusText);
  EXPECT_EQ(3u, upload.attempt.load());
  EXPECT_EQ(3u, CountRecords("Error on HttpSendRequest, "));
  EXPECT_GE(took, 190u);
  EXPECT_LT(took, 20000u);
  EXPECT_TRUE(Error::HasErrors());
}

TEST_F(FileUploadTest, ErrorStatusEndsAfterOneAttemptWithTheBodyKept) {
  upload.PostForm(Url("/nothing/"), 2, {}, {}, true);
  EXPECT_EQ(404u, upload.httpStatus);
  EXPECT_EQ(L"Not Found", upload.statusText);
  EXPECT_EQ(1u, upload.attempt.load());
  EXPECT_EQ("not found", upload.GetResponseText());
}

TEST_F(FileUploadTest, ResponseTextEndsAtTheFirstZeroByteAndHeadersAreParsed) {
  CannedAnswer canned({{"status", 200},
                       {"bodyBase64", "YWJjAGRlZg=="},  // "abc\0def"
                       {"headers", {{"X-Velmot-Test", "one: two"}, {"X-Spaced", " lead"}}}});
  canned.Post(upload);
  EXPECT_EQ(200u, upload.httpStatus);
  EXPECT_EQ("abc", upload.GetResponseText());
  EXPECT_EQ(7u, upload.bytesReceived.load());
  // A line that splits into more than two pieces at ": " is not kept.
  EXPECT_EQ(0u, upload.responseHeaders.count(L"X-Velmot-Test"));
  EXPECT_EQ(L"lead", upload.responseHeaders[L"X-Spaced"]);
}

TEST_F(FileUploadTest, HugeAnswerIsCutWithARecord) {
  // 6 MiB of "x" in the answer.
  CannedAnswer canned({{"status", 200}, {"body", std::string(1024, 'x')}, {"repeat", 6 * 1024}});
  canned.Post(upload);
  EXPECT_EQ(200u, upload.httpStatus);
  EXPECT_TRUE(upload.responseTruncated);
  EXPECT_EQ(FileUpload::kMaxResponseBytes, upload.GetResponseText().size());
  EXPECT_TRUE(HasRecord(
      "FileUpload: the answer's body is longer than 4194304 bytes; the rest is dropped", 0));
}

TEST_F(FileUploadTest, StalledServerRunsIntoTheReceiveTimeout) {
  CannedAnswer canned({{"status", 200}, {"body", "late"}, {"delayMs", 4000}});
  upload.receiveTimeoutMs = 700;
  upload.maxAttempts = 2;
  EXPECT_LT(MsTaken([&] { canned.Post(upload); }), 3800u);
  EXPECT_EQ(9000u, upload.httpStatus);
  EXPECT_EQ(2u, upload.attempt.load());
}

// Stop from another thread while the worker waits for an answer: PostForm returns well
// before the server would have answered and nothing of the late answer is kept. (Closing
// the request cancels the wait on Windows; under Wine the receive time-out ends it.)
TEST_F(FileUploadTest, StopDuringAWaitForTheAnswerEndsBeforeTheAnswer) {
  CannedAnswer canned({{"status", 200}, {"body", "late"}, {"delayMs", 6000}});
  upload.receiveTimeoutMs = 3000;
  std::thread stopper([this] {
    Sleep(800);
    upload.Stop(INFINITE);
  });
  const ULONGLONG took = MsTaken([&] { canned.Post(upload); });
  stopper.join();
  EXPECT_LT(took, 5000u);
  EXPECT_EQ(1u, upload.attempt.load());
  EXPECT_EQ("", upload.GetResponseText());
  EXPECT_NE(200u, upload.httpStatus);
}

TEST_F(FileUploadTest, StopDuringABodyWriteEndsBeforeTheWholeBodyIsSent) {
  std::vector<uint8_t> data(48 * 1024 * 1024, 0x33);
  std::thread stopper([this] {
    Eventually([&] { return upload.bytesSent.load() != 0; });
    upload.Stop(INFINITE);
  });
  const ULONGLONG took = MsTaken([&] { upload.PostData(Url("/echo/"), 2, {}, data); });
  stopper.join();
  EXPECT_LT(upload.bytesSent.load(), data.size());
  EXPECT_GT(upload.bytesSent.load(), 0u);
  EXPECT_NE(200u, upload.httpStatus);
  EXPECT_LT(took, 15000u);
}

TEST_F(FileUploadTest, StopBeforeStartAndDestructionAfterTheEndAreHarmless) {
  FileUpload().Stop(100);  // destroyed right after the stop, never started
  upload.PostForm(Url("/echo/"), 2, {}, {}, true);
  upload.Stop(100);
  EXPECT_EQ(200u, upload.httpStatus);
}

// A wait limit bounds PostForm whatever the server does; the worker that is still blocked
// (Wine does not cancel the call when its request is closed) is reported, not terminated.
TEST_F(FileUploadTest, AWaitLimitBoundsThePostAndAStuckWorkerIsHandedBack) {
  CannedAnswer canned({{"status", 200}, {"body", "late"}, {"delayMs", 3000}});
  std::unique_ptr<FileUpload> limited(new FileUpload());
  limited->waitLimitMs = 600;
  bool ended = false;
  const ULONGLONG took = MsTaken([&] { ended = canned.Post(*limited); });
  EXPECT_LT(took, 2500u);
  EXPECT_GE(took, 550u);
  if (!ended) {
    Orx_Thread::Abandon(std::move(limited));
  } else {
    EXPECT_NE(200u, limited->httpStatus);
  }
}

// A cancel that comes before the upload is attached is not lost; one that comes during the
// post stops it, and the post returns soon after it even while the send is still blocked
// (under Wine it runs on until the answer): a close must not wait out the answer.
TEST_F(FileUploadTest, UploadCancelBeforeOrDuringThePostStopsIt) {
  UploadCancel early;
  early.Cancel();
  FileUpload never;
  EXPECT_FALSE(early.Attach(&never));
  EXPECT_TRUE(early.Cancelled());

  CannedAnswer canned({{"status", 200}, {"body", "late"}, {"delayMs", 6000}});
  UploadCancel during;
  FileUpload cancelled;  // declared after the cancel, so that it goes first
  cancelled.receiveTimeoutMs = 10000;
  ASSERT_TRUE(during.Attach(&cancelled));
  std::thread canceller([&] {
    Sleep(300);
    during.Cancel();
  });
  EXPECT_LT(MsTaken([&] { canned.Post(cancelled); }), 3000u);
  during.Detach();
  canceller.join();
  EXPECT_TRUE(during.Cancelled());
  EXPECT_EQ("", cancelled.GetResponseText());
}

}  // namespace
