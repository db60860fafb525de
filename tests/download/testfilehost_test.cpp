// The loopback file host seen from inside Wine with plain WinINet and full certificate
// checks: the test CA is trusted, the host serves objects, misbehaves on request and logs
// what it saw. Other components' tests rely on all of this.
#include "support/rawhttp.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>

#include <string>
#include <vector>

namespace {

using testsupport::Answer;
using testsupport::Get;
using testsupport::ObjectRequest;
using testsupport::Pattern;
using testsupport::Request;
using testsupport::Send;

class TestFileHost : public ::testing::Test {
 protected:
  testsupport::FileHostNamespace ns;
};

TEST_F(TestFileHost, ServesWholeObjectOverTrustedTls) {
  std::string bytes = Pattern(3 * 1000 * 1000 + 7);
  ns.PutObject("rel/0_Setup.exe", bytes);
  Answer a = Get(ns, "rel/0_Setup.exe");
  ASSERT_TRUE(a.sent) << "certificate or connection failure " << a.sendError;
  EXPECT_EQ(200u, a.status);
  EXPECT_FALSE(a.readFailed);
  EXPECT_EQ(bytes.size(), a.body.size());
  EXPECT_TRUE(a.body == bytes);
  EXPECT_NE(std::wstring::npos, a.headers.find(L"Content-Length: 3000007\r\n"));
}

TEST_F(TestFileHost, EscapedNamesMapToObjectsAndRequestsAreLogged) {
  ns.PutObject("rel/Velmot Pro.txt", std::string("pro"));
  Request r = ObjectRequest(ns, "rel/Velmot Pro.txt", L"?sv=1&sig=a%2Bb");
  r.headers = L"User-Agent: Velmot Download Manager / 9.5\r\n";
  Answer a = Send(r);
  ASSERT_TRUE(a.sent);
  EXPECT_EQ(200u, a.status);
  EXPECT_EQ("pro", a.body);

  auto requests = ns.Requests("rel/Velmot Pro.txt");
  ASSERT_EQ(1u, requests.size());
  const auto& q = requests[0];
  EXPECT_EQ("GET", q["method"]);
  EXPECT_EQ("/" + testsupport::Narrow(ns.Name()) + "/rel/Velmot%20Pro.txt", q["path"]);
  EXPECT_EQ("sv=1&sig=a%2Bb", q["query"]);
  EXPECT_EQ("Velmot Download Manager / 9.5", q["headers"]["user-agent"]);
  EXPECT_FALSE(testsupport::SentHeaderNames(q, {"User-Agent"}).empty()) << q.dump();
  EXPECT_EQ(1u, ns.Requests().size());
}

TEST_F(TestFileHost, MissingObjectAndControlFilesAre404) {
  ns.RequireQuery("x=1");
  Answer missing = Get(ns, "rel/none.bin", L"?x=1");
  ASSERT_TRUE(missing.sent);
  EXPECT_EQ(404u, missing.status);
  EXPECT_EQ(404u, Get(ns, ".velmot/query", L"?x=1").status);
  EXPECT_EQ(404u, Get(ns, "../escape", L"?x=1").status);
}

TEST_F(TestFileHost, RequiredQueryRefusesOthersWith403) {
  ns.PutObject("a.bin", std::string("abc"));
  ns.RequireQuery("sv=2020&sig=x");
  EXPECT_EQ(403u, Get(ns, "a.bin").status);
  EXPECT_EQ(403u, Get(ns, "a.bin", L"?sv=2020&sig=y").status);
  Answer ok = Get(ns, "a.bin", L"?sv=2020&sig=x");
  EXPECT_EQ(200u, ok.status);
  EXPECT_EQ("abc", ok.body);
}

TEST_F(TestFileHost, AttemptsApplyInOrderThenTheRest) {
  std::string bytes = Pattern(100000);
  ns.PutObject("p.bin", bytes);
  ns.SetBehaviour("p.bin",
                  {{"attempts", {{{"status", 500}}, {{"closeAfter", 1000}}, {{"corruptAt", 5}}}},
                   {"then", {{"body", "replaced"}}}});
  EXPECT_EQ(500u, Get(ns, "p.bin").status);

  // The body ends early: Wine's read then reports success with 0 bytes.
  Answer second = Get(ns, "p.bin");
  EXPECT_EQ(200u, second.status);
  EXPECT_NE(std::wstring::npos, second.headers.find(L"Content-Length: 100000\r\n"));
  EXPECT_EQ(1000u, second.body.size());
  EXPECT_FALSE(second.readFailed);

  Answer third = Get(ns, "p.bin");
  ASSERT_EQ(bytes.size(), third.body.size());
  std::string expected = bytes;
  expected[5] = static_cast<char>(expected[5] ^ 0xff);
  EXPECT_TRUE(third.body == expected);

  EXPECT_EQ("replaced", Get(ns, "p.bin").body);
  EXPECT_EQ("replaced", Get(ns, "p.bin").body);

  // Writing a behaviour again starts its count afresh.
  ns.SetBehaviour("p.bin", {{"attempts", {{{"status", 503}}}}});
  EXPECT_EQ(503u, Get(ns, "p.bin").status);
  EXPECT_TRUE(Get(ns, "p.bin").body == bytes);
  EXPECT_EQ(7u, ns.Requests("p.bin").size());
}

TEST_F(TestFileHost, BodyFileAndNoLength) {
  ns.PutObject("a.txt", std::string("first"));
  ns.PutObject("b.txt", std::string("second object"));
  ns.SetBehaviour("a.txt", {{"bodyFile", "b.txt"}, {"noLength", true}});
  Answer a = Get(ns, "a.txt");
  EXPECT_EQ(200u, a.status);
  EXPECT_EQ("second object", a.body);
  EXPECT_EQ(std::wstring::npos, a.headers.find(L"Content-Length"));
}

TEST_F(TestFileHost, StallAndRateDelayTheBody) {
  std::string bytes = Pattern(20000);
  ns.PutObject("s.bin", bytes);
  ns.SetBehaviour("s.bin", {{"attempts",
                             {{{"stallAfter", 100}, {"stallMs", 400}},
                              {{"stallAfter", 100}, {"stallMs", 3000}},
                              {{"rate", 40000}}}}});
  Answer stalled = Get(ns, "s.bin");
  EXPECT_TRUE(stalled.body == bytes);
  EXPECT_GE(stalled.millis, 380u);

  // A stall longer than the receive time-out fails the read.
  Request r = ObjectRequest(ns, "s.bin");
  r.receiveTimeoutMs = 500;
  Answer timedOut = Send(r);
  EXPECT_TRUE(timedOut.readFailed);
  EXPECT_LT(timedOut.body.size(), bytes.size());
  EXPECT_LT(timedOut.millis, 2900u);

  Answer slow = Get(ns, "s.bin");
  EXPECT_TRUE(slow.body == bytes);
  EXPECT_GE(slow.millis, 400u);  // 20000 bytes at 40000 per second
}

// What a resuming client meets through WinINet: the ETag of the first answer, a 206 with
// the rest of the object for "Range: bytes=N-" under If-Match of that ETag, 412 once the
// object's ETag is another, and the answers file's record of what was sent from which byte.
TEST_F(TestFileHost, RangesAndIfMatchThroughWinInet) {
  std::string bytes = Pattern(300000);
  ns.PutObject("r.bin", bytes);
  ns.SetBehaviour("r.bin", {{"attempts", {{{"closeAfter", 1000}}, nlohmann::json::object()}},
                            {"then", {{"etag", "replaced"}}}});
  Answer first = Get(ns, "r.bin");
  EXPECT_EQ(200u, first.status);
  EXPECT_EQ(1000u, first.body.size());
  const size_t at = first.headers.find(L"ETag: \"");
  ASSERT_NE(std::wstring::npos, at) << first.headers;
  const std::wstring etag = first.headers.substr(at + 6, first.headers.find(L"\r\n", at) - at - 6);
  EXPECT_EQ(34u, etag.size());
  EXPECT_NE(std::wstring::npos, first.headers.find(L"Accept-Ranges: bytes\r\n"));

  Request r = ObjectRequest(ns, "r.bin");
  r.headers = L"Range: bytes=1000-\r\nIf-Match: " + etag + L"\r\n";
  Answer rest = Send(r);
  EXPECT_EQ(206u, rest.status);
  EXPECT_NE(std::wstring::npos, rest.headers.find(L"Content-Range: bytes 1000-299999/300000\r\n"));
  EXPECT_NE(std::wstring::npos, rest.headers.find(L"Content-Length: 299000\r\n"));
  EXPECT_TRUE(rest.body == bytes.substr(1000));

  Answer changed = Send(r);
  EXPECT_EQ(412u, changed.status);
  EXPECT_NE(std::wstring::npos, changed.headers.find(L"x-ms-error-code: ConditionNotMet\r\n"));

  // An answer's line is written as it ends, a moment after the client has read it.
  std::vector<nlohmann::json> answers;
  testsupport::Eventually([&] { return (answers = ns.Answers()).size() >= 3; }, 5000);
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ(0, answers[0]["start"]);
  EXPECT_EQ(1000, answers[0]["sent"]);
  EXPECT_EQ(false, answers[0]["complete"]);
  EXPECT_EQ(1000, answers[1]["start"]);
  EXPECT_EQ(299000, answers[1]["sent"]);
  EXPECT_EQ("bytes=1000-", answers[1]["range"]);
  EXPECT_EQ(412, answers[2]["status"]);
  EXPECT_EQ(3u, ns.Requests("r.bin").size());
}

TEST_F(TestFileHost, GarbageIsNotAnHttpAnswer) {
  ns.PutObject("g.bin", std::string("good"));
  ns.SetBehaviour("g.bin", {{"garbage", true}});
  Answer a = Get(ns, "g.bin");
  // Wine reads the first line as a status line it cannot parse and reports the rest as the
  // body of an "HTTP/1.0 200 OK" answer without headers: a client must judge the body itself.
  ASSERT_TRUE(a.sent) << a.sendError;
  EXPECT_EQ(200u, a.status);
  EXPECT_EQ(0u, a.headers.find(L"HTTP/1.0 200 OK\r\n"));
  EXPECT_EQ(std::wstring::npos, a.headers.find(L"Content-Length"));
  EXPECT_NE(std::string::npos, a.body.find("garbage"));
  EXPECT_EQ(std::string::npos, a.body.find("good"));
}

TEST_F(TestFileHost, HugeHeadersOverflowTheHeaderBuffer) {
  ns.PutObject("h.bin", std::string("body"));
  ns.SetBehaviour("h.bin", {{"hugeHeaders", 600 * 1024}});
  Answer a = Get(ns, "h.bin");
  ASSERT_TRUE(a.sent) << a.sendError;
  EXPECT_EQ(200u, a.status);
  EXPECT_FALSE(a.headersRead);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), a.headersError);
  // Without misbehaviour the same object's headers fit.
  ns.SetBehaviour("h.bin", nlohmann::json::object());
  Answer plain = Get(ns, "h.bin");
  EXPECT_TRUE(plain.headersRead);
  EXPECT_EQ("body", plain.body);
}

}  // namespace
