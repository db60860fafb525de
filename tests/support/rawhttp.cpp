#include "support/rawhttp.h"

#include "base/handles.h"
#include "support/testenv.h"

#include <wininet.h>
#include <zlib.h>

#include <vector>

namespace testsupport {

namespace {

void SetTimeouts(HINTERNET handle, DWORD receiveMs) {
  DWORD connect = 10000, send = 20000;
  InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &send, sizeof send);
  InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveMs, sizeof receiveMs);
}

}  // namespace

Answer Send(const Request& r) {
  Answer a;
  ULONGLONG start = GetTickCount64();
  velmot::InternetHandle root(InternetOpenW(L"testfilehost", r.access, nullptr, nullptr, 0));
  velmot::InternetHandle connection(InternetConnectW(root.Get(), r.host.c_str(), r.port, nullptr,
                                                     nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE | INTERNET_FLAG_PRAGMA_NOCACHE |
                INTERNET_FLAG_RELOAD;
  velmot::InternetHandle request(HttpOpenRequestW(
      connection.Get(), r.verb.c_str(), r.object.c_str(), nullptr, nullptr, nullptr, flags, 0));
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
  HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &a.status, &size,
                 nullptr);
  std::vector<wchar_t> raw(r.headerBufferBytes / sizeof(wchar_t) + 1, L'\0');
  DWORD rawSize = r.headerBufferBytes;
  a.headersRead = HttpQueryInfoW(request.Get(), HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &rawSize,
                                 nullptr) != FALSE;
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

Request ObjectRequest(const FileHostNamespace& ns, const std::string& relative,
                      const std::wstring& query) {
  Request r;
  r.host = ns.Host();
  r.object = ns.ObjectPath(relative) + query;
  return r;
}

Answer Get(const FileHostNamespace& ns, const std::string& relative, const std::wstring& query) {
  return Send(ObjectRequest(ns, relative, query));
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
  r.port = static_cast<INTERNET_PORT>(std::stoi(testsupport::Get(L"VELMOT_SERVICE_PORT")));
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

}  // namespace testsupport
