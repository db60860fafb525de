// The loopback test servers seen from inside Wine with plain WinINet and full certificate
// checks: the test CA is trusted, the file host serves objects and misbehaves on request,
// both servers log what they saw, and the web service answers the download request and
// stores log uploads. Other components' tests rely on all of this.
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

using testservers::FileHostNamespace;

// Owns one WinINet handle.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET h) : handle_(h) {}
  ~InternetHandle() {
    if (handle_ != nullptr) InternetCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HINTERNET handle_;
};

struct Answer {
  bool sent = false;
  DWORD sendError = 0;
  DWORD status = 0;
  bool headersRead = false;
  DWORD headersError = 0;
  std::wstring headers;
  std::string body;
  bool readFailed = false;
  DWORD readError = 0;
  ULONGLONG millis = 0;
};

struct Request {
  std::wstring host;
  INTERNET_PORT port = INTERNET_DEFAULT_HTTPS_PORT;
  std::wstring verb = L"GET";
  std::wstring object;
  std::wstring headers;
  std::string body;
  DWORD receiveTimeoutMs = 20000;
  DWORD headerBufferBytes = 524288;
};

void SetTimeouts(HINTERNET handle, DWORD receiveMs) {
  DWORD connect = 10000, send = 20000;
  InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &send, sizeof send);
  InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveMs, sizeof receiveMs);
}

// One request over TLS with the stack's certificate checks left fully on.
Answer Send(const Request& r) {
  Answer a;
  ULONGLONG start = GetTickCount64();
  InternetHandle root(InternetOpenW(L"testfilehost", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  InternetHandle connection(InternetConnectW(root.Get(), r.host.c_str(), r.port, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 0));
  DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE | INTERNET_FLAG_PRAGMA_NOCACHE |
                INTERNET_FLAG_RELOAD;
  InternetHandle request(HttpOpenRequestW(connection.Get(), r.verb.c_str(), r.object.c_str(), nullptr,
                                          nullptr, nullptr, flags, 0));
  if (!request) {
    a.sendError = GetLastError();
    return a;
  }
  SetTimeouts(root.Get(), r.receiveTimeoutMs);
  SetTimeouts(request.Get(), r.receiveTimeoutMs);  // Wine ignores the root's for reads
  std::string body = r.body;
  a.sent = HttpSendRequestW(request.Get(), r.headers.empty() ? nullptr : r.headers.c_str(),
                            static_cast<DWORD>(r.headers.size()), body.empty() ? nullptr : &body[0],
                            static_cast<DWORD>(body.size())) != FALSE;
  if (!a.sent) {
    a.sendError = GetLastError();
    a.millis = GetTickCount64() - start;
    return a;
  }
  DWORD size = sizeof a.status;
  HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &a.status, &size, nullptr);
  std::vector<wchar_t> raw(r.headerBufferBytes / sizeof(wchar_t) + 1, L'\0');
  DWORD rawSize = r.headerBufferBytes;
  a.headersRead = HttpQueryInfoW(request.Get(), HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &rawSize, nullptr) != FALSE;
  if (a.headersRead) {
    a.headers.assign(raw.data());
  } else {
    a.headersError = GetLastError();
  }
  std::vector<char> chunk(65536);
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(request.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got)) {
      a.readFailed = true;
      a.readError = GetLastError();
      break;
    }
    if (got == 0) break;
    a.body.append(chunk.data(), got);
  }
  a.millis = GetTickCount64() - start;
  return a;
}

Answer Get(const FileHostNamespace& ns, const std::string& relative, const std::wstring& query = L"") {
  Request r;
  r.host = ns.Host();
  r.object = ns.ObjectPath(relative) + query;
  return Send(r);
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return bytes;
}

std::wstring ServicePath() { return L"/Velmot/DownloadManager8.ashx"; }

Request ServiceRequest(const std::wstring& object) {
  Request r;
  r.host = L"localhost";
  r.port = static_cast<INTERNET_PORT>(std::stoi(testenv::Get(L"VELMOT_SERVICE_PORT")));
  r.verb = L"POST";
  r.object = object;
  return r;
}

std::string Gzip(const std::string& bytes) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(bytes.size())) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Utf16le(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    out += static_cast<char>(c & 0xff);
    out += static_cast<char>((c >> 8) & 0xff);
  }
  return out;
}

// A fresh ComputerId per test run, so that uploads of earlier runs do not count.
std::string FreshComputerId(const char* tag) {
  return std::string(tag) + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64());
}

// ---------------------------------------------------------------------------------------

TEST(TestFileHost, ServesWholeObjectOverTrustedTls) {
  FileHostNamespace ns;
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

TEST(TestFileHost, EscapedNamesMapToObjectsAndRequestsAreLogged) {
  FileHostNamespace ns;
  ns.PutObject("rel/Velmot Pro.txt", std::string("pro"));
  Request r;
  r.host = ns.Host();
  r.object = ns.ObjectPath("rel/Velmot Pro.txt") + L"?sv=1&sig=a%2Bb";
  r.headers = L"User-Agent: Velmot Download Manager / 9.5\r\n";
  Answer a = Send(r);
  ASSERT_TRUE(a.sent);
  EXPECT_EQ(200u, a.status);
  EXPECT_EQ("pro", a.body);

  auto requests = ns.Requests("rel/Velmot Pro.txt");
  ASSERT_EQ(1u, requests.size());
  const auto& q = requests[0];
  EXPECT_EQ("GET", q["method"]);
  EXPECT_EQ("/" + std::string(ns.Name().begin(), ns.Name().end()) + "/rel/Velmot%20Pro.txt", q["path"]);
  EXPECT_EQ("sv=1&sig=a%2Bb", q["query"]);
  EXPECT_EQ("Velmot Download Manager / 9.5", q["headers"]["user-agent"]);
  bool rawName = false;
  for (size_t i = 0; i + 1 < q["rawHeaders"].size(); i += 2) {
    if (q["rawHeaders"][i] == "User-Agent") rawName = true;
  }
  EXPECT_TRUE(rawName) << q.dump();
  EXPECT_EQ(1u, ns.Requests().size());
}

TEST(TestFileHost, MissingObjectAndControlFilesAre404) {
  FileHostNamespace ns;
  ns.RequireQuery("x=1");
  Answer missing = Get(ns, "rel/none.bin", L"?x=1");
  ASSERT_TRUE(missing.sent);
  EXPECT_EQ(404u, missing.status);
  Answer control = Get(ns, ".velmot/query", L"?x=1");
  EXPECT_EQ(404u, control.status);
  Answer outside = Get(ns, "../escape", L"?x=1");
  EXPECT_EQ(404u, outside.status);
}

TEST(TestFileHost, RequiredQueryRefusesOthersWith403) {
  FileHostNamespace ns;
  ns.PutObject("a.bin", std::string("abc"));
  ns.RequireQuery("sv=2020&sig=x");
  EXPECT_EQ(403u, Get(ns, "a.bin").status);
  EXPECT_EQ(403u, Get(ns, "a.bin", L"?sv=2020&sig=y").status);
  Answer ok = Get(ns, "a.bin", L"?sv=2020&sig=x");
  EXPECT_EQ(200u, ok.status);
  EXPECT_EQ("abc", ok.body);
}

TEST(TestFileHost, AttemptsApplyInOrderThenTheRest) {
  FileHostNamespace ns;
  std::string bytes = Pattern(100000);
  ns.PutObject("p.bin", bytes);
  ns.SetBehaviour("p.bin", {{"attempts", {{{"status", 500}}, {{"closeAfter", 1000}}, {{"corruptAt", 5}}}},
                            {"then", {{"body", "replaced"}}}});
  Answer first = Get(ns, "p.bin");
  EXPECT_EQ(500u, first.status);

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

TEST(TestFileHost, BodyFileAndNoLength) {
  FileHostNamespace ns;
  ns.PutObject("a.txt", std::string("first"));
  ns.PutObject("b.txt", std::string("second object"));
  ns.SetBehaviour("a.txt", {{"bodyFile", "b.txt"}, {"noLength", true}});
  Answer a = Get(ns, "a.txt");
  EXPECT_EQ(200u, a.status);
  EXPECT_EQ("second object", a.body);
  EXPECT_EQ(std::wstring::npos, a.headers.find(L"Content-Length"));
}

TEST(TestFileHost, StallAndRateDelayTheBody) {
  FileHostNamespace ns;
  std::string bytes = Pattern(20000);
  ns.PutObject("s.bin", bytes);
  ns.SetBehaviour("s.bin", {{"attempts", {{{"stallAfter", 100}, {"stallMs", 400}},
                                          {{"stallAfter", 100}, {"stallMs", 3000}},
                                          {{"rate", 40000}}}}});
  Answer stalled = Get(ns, "s.bin");
  EXPECT_TRUE(stalled.body == bytes);
  EXPECT_GE(stalled.millis, 380u);

  // A stall longer than the receive time-out fails the read.
  Request r;
  r.host = ns.Host();
  r.object = ns.ObjectPath("s.bin");
  r.receiveTimeoutMs = 500;
  Answer timedOut = Send(r);
  EXPECT_TRUE(timedOut.readFailed);
  EXPECT_LT(timedOut.body.size(), bytes.size());
  EXPECT_LT(timedOut.millis, 2900u);

  Answer slow = Get(ns, "s.bin");
  EXPECT_TRUE(slow.body == bytes);
  EXPECT_GE(slow.millis, 400u);  // 20000 bytes at 40000 per second
}

TEST(TestFileHost, GarbageIsNotAnHttpAnswer) {
  FileHostNamespace ns;
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

TEST(TestFileHost, HugeHeadersOverflowTheHeaderBuffer) {
  FileHostNamespace ns;
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

// The web service ------------------------------------------------------------------------

Answer RequestDownload(const std::string& form) {
  Request r = ServiceRequest(ServicePath());
  r.headers = L"ComputerId: 0123456789abcdef0123456789abcdef01234567\r\n"
              L"Content-Type: application/x-www-form-urlencoded\r\nMethod: RequestDownload";
  r.body = form;
  return Send(r);
}

TEST(TestWebService, AnswersTheDescriptorOfAKnownRelease) {
  std::string release = "Velmot Test " + std::to_string(GetTickCount64());
  testservers::ServiceRelease entry(release, {{"product_code", "77"}, {"company_name", "Velmot"},
                                              {"download_subdir", "Rel/X"}, {"host_name", "files.example"},
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
  auto unknown = nlohmann::json::parse(RequestDownload("DownloadManagerVersion=9%2e5&ReleaseName=Nope%201").body);
  EXPECT_EQ("Unknown release \"Nope 1\"", unknown["error_info"]);
  auto version = nlohmann::json::parse(RequestDownload("DownloadManagerVersion=9%2e4&ReleaseName=Velmot%2010%2e5").body);
  EXPECT_EQ("Unsupported download manager version \"9.4\"", version["error_info"]);
  auto missing = nlohmann::json::parse(RequestDownload("ReleaseName=Velmot%2010%2e5").body);
  EXPECT_TRUE(missing["error_info"].is_string());
  // The base catalogue's release points at this build's file host.
  auto base = nlohmann::json::parse(RequestDownload("DownloadManagerVersion=9%2e5&ReleaseName=Velmot%2010%2e5").body);
  std::wstring host = testenv::Get(L"VELMOT_FILEHOST_NAME");
  EXPECT_EQ(std::string(host.begin(), host.end()), base["host_name"]);
}

TEST(TestWebService, CannedAnswersAndTheRequestLog) {
  std::string release = "Canned " + std::to_string(GetTickCount64());
  testservers::ServiceRelease entry(release, {{"respond", {{"status", 500}, {"body", "oops"}, {"delayMs", 200}}}});
  std::string form = "DownloadManagerVersion=9%2e5&ReleaseName=" + release.substr(0, 6) + "%20" + release.substr(7);
  Answer a = RequestDownload(form);
  EXPECT_EQ(500u, a.status);
  EXPECT_EQ("oops", a.body);
  EXPECT_GE(a.millis, 190u);

  // Other tests post to the service at the same time: only this test's form is its own.
  bool found = false;
  for (const auto& q : testservers::ServiceRequests()) {
    if (testservers::Base64Decode(q.value("bodyBase64", "")) != form) continue;
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
  std::wstring id(computerId.begin(), computerId.end());
  r.headers = L"ComputerId: " + id + L"\r\nContent-Type: application/octet-stream\r\n"
              L"DownloadManagerVersion: 9.5\r\nMethod: LogErrorInfo";
  r.body = body;
  return Send(r);
}

TEST(TestWebService, StoresLogUploadsAndRefusesOtherBodies) {
  std::string id = FreshComputerId("upload");
  std::wstring report =
      L"[{\"detailed_message\": \"\", \"error_number\": -32767, \"file\": \"src/a.cpp\", "
      L"\"line\": 12, \"log_index\": 0, \"message\": \"caf\u00e9\"}]";
  Answer ok = Upload(id, Gzip(Utf16le(report)));
  ASSERT_TRUE(ok.sent) << ok.sendError;
  EXPECT_EQ(200u, ok.status) << ok.body;
  auto stored = testservers::ServiceUploads(id);
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(std::string("[{\"detailed_message\": \"\", \"error_number\": -32767, \"file\": \"src/a.cpp\", "
                        "\"line\": 12, \"log_index\": 0, \"message\": \"caf\xc3\xa9\"}]"),
            stored[0]);

  EXPECT_EQ(400u, Upload(id, Utf16le(report)).status);                       // not gzip
  EXPECT_EQ(400u, Upload(id, Gzip("[]")).status);                            // not UTF-16LE
  EXPECT_EQ(400u, Upload(id, Gzip(Utf16le(L"[{\"message\": \"x\"}]"))).status);  // wrong shape
  EXPECT_EQ(413u, Upload(id, Gzip(std::string(17 * 1024 * 1024, ' '))).status);  // too large
  EXPECT_EQ(200u, Upload(id, Gzip(Utf16le(L"[]"))).status);
  EXPECT_EQ(2u, testservers::ServiceUploads(id).size());
}

TEST(TestWebService, EchoAndDroppedConnections) {
  std::string id = FreshComputerId("drop");
  std::wstring wid(id.begin(), id.end());
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
