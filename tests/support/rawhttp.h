// A plain WinINet client for the tests of the loopback servers themselves: one request over
// TLS with the stack's certificate checks left fully on, everything the answer held, and the
// small builders those tests share.
#pragma once

#include "support/testservers.h"

#include <windows.h>
#include <wininet.h>

#include <string>

namespace testsupport {

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
  DWORD access = INTERNET_OPEN_TYPE_PRECONFIG;  // the prefix's proxy settings, or DIRECT
  std::wstring host;
  INTERNET_PORT port = INTERNET_DEFAULT_HTTPS_PORT;
  std::wstring verb = L"GET";
  std::wstring object;
  std::wstring headers;
  std::string body;
  DWORD receiveTimeoutMs = 20000;
  DWORD headerBufferBytes = 524288;
};

// One request; never throws, every failure is in the answer.
Answer Send(const Request& r);
// A GET of an object of the namespace (query: "?..." or empty), and that request sent.
Request ObjectRequest(const FileHostNamespace& ns, const std::string& relative,
                      const std::wstring& query = L"");
Answer Get(const FileHostNamespace& ns, const std::string& relative,
           const std::wstring& query = L"");
// size bytes of a fixed, non-repeating pattern.
std::string Pattern(size_t size);
std::wstring ServicePath();
// A POST to the web service's port on localhost.
Request ServiceRequest(const std::wstring& object);
std::string Gzip(const std::string& bytes);
std::string Utf16le(const std::wstring& text);

}  // namespace testsupport
