#include "net/connection.h"

#include "diagnostics/error.h"
#include "net/httpcore.h"
#include "net/proxysignin.h"

#include <velmot/config.h>

#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

namespace http = velmot::http;

const http::Timeouts kTimeouts = {Connection::kConnectTimeoutMs, Connection::kSendTimeoutMs,
                                  Connection::kReceiveTimeoutMs};

}  // namespace

int64_t Connection::ParseContentLength(const wchar_t* text) {
  if (*text == L'\0') return -1;
  int64_t value = 0;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p < L'0' || *p > L'9') return -1;
    if (value > (INT64_MAX - 9) / 10) return -1;
    value = value * 10 + (*p - L'0');
  }
  return value;
}

// WinINet answers bytes that are not HTTP with a made-up "HTTP/1.0 200 OK" status line
// and no header fields, and hands the bytes on as the body. A real host always sends
// fields (at least how the body ends), so a block without any is refused.
bool Connection::HasHeaderFields(const std::wstring& headers) {
  size_t lineEnd = headers.find(L"\r\n");
  if (lineEnd == std::wstring::npos) return false;
  return headers.find(L':', lineEnd) != std::wstring::npos;
}

namespace {

// The value of one header field in a raw CRLF block, the name compared without case.
std::wstring HeaderValue(const std::wstring& headers, const std::wstring& name) {
  size_t at = 0;
  while ((at = headers.find(L"\r\n", at)) != std::wstring::npos) {
    at += 2;
    if (headers.size() - at <= name.size() || headers[at + name.size()] != L':') continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) same = towlower(headers[at + i]) == name[i];
    if (!same) continue;
    size_t begin = at + name.size() + 1;
    size_t end = headers.find(L"\r\n", begin);
    if (end == std::wstring::npos) end = headers.size();
    while (begin < end && headers[begin] == L' ') ++begin;
    return headers.substr(begin, end - begin);
  }
  return L"";
}

}  // namespace

bool Connection::IsNetworkError(DWORD code) {
  switch (code) {
    case ERROR_INTERNET_TIMEOUT:
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
    case ERROR_INTERNET_DISCONNECTED:
    case ERROR_INTERNET_SERVER_UNREACHABLE:
    case ERROR_INTERNET_PROXY_SERVER_UNREACHABLE:
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:  // the connection closed before any answer
      return true;
    default:
      return false;
  }
}

bool Connection::ParseContentRange(const std::wstring& text, int64_t& first, int64_t& total) {
  first = total = -1;
  long long a = 0;
  long long b = 0;
  long long t = 0;
  wchar_t tail = 0;
  if (swscanf(text.c_str(), L"bytes %lld-%lld/%lld%lc", &a, &b, &t, &tail) != 3) return false;
  if (a < 0 || b < a || t <= b) return false;
  first = a;
  total = t;
  return true;
}

bool Connection::Connect(ConnectionState& state) {
  Close(state);
  state.contentLength = -1;
  state.unreachable = false;
  state.contentType.clear();
  state.storageError.clear();
  state.proxyRefused = false;
  state.etag.clear();
  state.rangeFirst = state.rangeTotal = -1;
  state.serverBusy = false;
  state.objectChanged = false;
  // A connection that an earlier request of the job read to its end is reused; the record
  // says which, so that the log counts the connections the job opened.
  const bool reused = state.session && state.session->TakeConnection(state.host);
  Error::ReportError(
      (reused ? L"Reusing the open connection: " : L"Opening connection: ") + state.host, 0,
      VELMOT_HERE);
  // A sign-in at the proxy is answered on fresh handles that carry the new credentials; a
  // second 407 for them ends it (ProxySignIn never answers the same generation twice).
  for (;;) {
    signInRetry_ = false;
    if (OpenAndSend(state)) return true;
    if (!signInRetry_) return false;
  }
}

bool Connection::OpenAndSend(ConnectionState& state) {
  return OpenHttpConnection(state) && HttpOpenRequest(state) && HttpSendRequest(state) &&
         HttpQueryInfo(state);
}

void Connection::Close(ConnectionState& state) {
  velmot::CriticalSectionLock hold(state.handleLock);
  http::CloseInOrder(state.requestHandle, state.connectHandle, state.internetHandle);
}

void Connection::Finish(ConnectionState& state) {
  if (state.session) state.session->ReturnConnection(state.host);
  Close(state);
}

void Connection::DrainAndClose(ConnectionState& state) {
  ReadContentLength(state);
  HINTERNET request = state.Request();
  // Only a short body that says how long it is: more would cost more than a new connection.
  if (!state.session || !request || state.contentLength < 0 || state.contentLength > 4096) {
    Close(state);
    return;
  }
  const DWORD drainTimeoutMs = 2000;
  InternetSetOptionW(request, INTERNET_OPTION_RECEIVE_TIMEOUT, const_cast<DWORD*>(&drainTimeoutMs),
                     sizeof(drainTimeoutMs));
  char buffer[4096];
  int64_t left = state.contentLength;
  DWORD read = 0;
  while (left > 0 && InternetReadFile(request, buffer, sizeof(buffer), &read) && read > 0) {
    left -= read;
  }
  if (left == 0) {
    Finish(state);
  } else {
    Close(state);
  }
}

bool Connection::OpenHttpConnection(ConnectionState& state) {
  if (state.session) {
    sharedConnect_ = state.session->ConnectHandle(state.host, velmot::kUserAgent);
    if (!sharedConnect_) {
      state.unreachable = IsNetworkError(GetLastError());
      Close(state);
      return false;
    }
    return true;
  }
  if (!state.internetHandle) {
    // The agent name is the part file's path; the request's own User-Agent header is what
    // the host sees.
    HINTERNET root = http::OpenRoot(state.localPath.c_str(), http::Record::kReport);
    {
      velmot::CriticalSectionLock hold(state.handleLock);
      state.internetHandle.Reset(root);
    }
    if (!state.internetHandle) {
      Close(state);
      return false;
    }
  }
  http::SetTimeouts(state.internetHandle.Get(), kTimeouts);
  if (!state.connectHandle) {
    HINTERNET connection = http::ConnectTo(
        state.internetHandle.Get(), state.host, INTERNET_DEFAULT_HTTPS_PORT,
        L"Connection::OpenHttpConnection InternetConnect failed", http::Record::kLog);
    {
      velmot::CriticalSectionLock hold(state.handleLock);
      state.connectHandle.Reset(connection);
    }
    if (!state.connectHandle) {
      state.unreachable = IsNetworkError(GetLastError());
      Close(state);
      return false;
    }
  }
  // Wine ignores time-outs set on the root handle alone for reads: a stalled body would
  // block until the host closes. The child handles get them too.
  http::SetTimeouts(state.connectHandle.Get(), kTimeouts);
  return true;
}

bool Connection::HttpOpenRequest(ConnectionState& state) {
  HINTERNET request = http::OpenRequest(
      state.session ? sharedConnect_ : state.connectHandle.Get(), L"GET",
      state.objectPath + state.objectSuffix, kRequestFlags,
      L"Connection::HttpOpenRequest failed for: " + state.host + L"/ " + state.objectPath,
      http::Record::kReport);
  {
    velmot::CriticalSectionLock hold(state.handleLock);
    state.requestHandle.Reset(request);
  }
  if (!state.requestHandle) {
    Close(state);
    return false;
  }
  http::SetTimeouts(state.Request(), kTimeouts);
  signInApplied_ = ProxySignIn::Apply(state.Request());
  return true;
}

bool Connection::HttpSendRequest(ConnectionState& state) {
  std::wstring header = std::wstring(L"User-Agent: ") + velmot::kUserAgent + L"\r\n";
  if (state.resumeFrom > 0) {
    header += L"Range: bytes=" + std::to_wstring(state.resumeFrom) + L"-\r\n";
    if (!state.ifMatch.empty()) header += L"If-Match: " + state.ifMatch + L"\r\n";
  }
  if (!::HttpSendRequestW(state.Request(), header.c_str(), static_cast<DWORD>(header.size()),
                          nullptr, 0)) {
    state.unreachable = IsNetworkError(GetLastError());
    VELMOT_REPORT_LAST_ERROR(L"Connection::HttpSendRequest failed for: " + state.host + L"/ " +
                             state.objectPath);
    Close(state);
    return false;
  }
  return true;
}

bool Connection::HttpQueryInfo(ConnectionState& state) {
  DWORD status = 0;
  DWORD error = 0;
  if (!http::QueryStatusCode(state.Request(), status, error)) {
    Error::ReportError(L"Connection::HttpQueryInfo failed for: " + state.localPath, error,
                       VELMOT_HERE);
    Close(state);
    return false;
  }
  state.httpStatus = static_cast<int32_t>(status);

  // Zero-filled, so the text ends at the first zero character whatever the length says.
  std::vector<wchar_t> buffer;
  DWORD headerLength = 0;
  if (!http::QueryText(state.Request(), HTTP_QUERY_RAW_HEADERS_CRLF, kHeaderBufferBytes,
                       kHeaderBufferBytes, buffer, headerLength, error)) {
    Error::ReportError(L"Connection::HttpQueryInfo failed for: " + state.localPath, error,
                       VELMOT_HERE);
    Close(state);
    return false;
  }
  std::wstring headers;
  if (headerLength != 0) headers.assign(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
  if (headerLength != 0) Error::ReportMessage(L"Response headers: " + headers, VELMOT_HERE);

  if (status == HTTP_STATUS_PROXY_AUTH_REQ) AskProxySignIn(state);
  if (!AcceptStatus(state, status, headers)) return false;
  if (!HasHeaderFields(headers)) {
    Error::ReportError(L"Response is not HTTP for: " + state.localPath,
                       ERROR_HTTP_INVALID_SERVER_RESPONSE, VELMOT_HERE);
    Close(state);
    return false;
  }
  ReadContentLength(state);
  state.contentType = HeaderValue(headers, L"content-type");
  state.etag = HeaderValue(headers, L"etag");
  if (status == HTTP_STATUS_PARTIAL_CONTENT) {
    ParseContentRange(HeaderValue(headers, L"content-range"), state.rangeFirst, state.rangeTotal);
  }
  return true;
}

// 200, and 206 only for a request that asked for a range: any other answer is a refusal.
bool Connection::AcceptStatus(ConnectionState& state, DWORD status, const std::wstring& headers) {
  const bool ranged = state.resumeFrom > 0;
  if (status == HTTP_STATUS_OK || (ranged && status == HTTP_STATUS_PARTIAL_CONTENT)) return true;
  state.unreachable = status == 0;
  state.storageError = HeaderValue(headers, L"x-ms-error-code");
  state.serverBusy = status == HTTP_STATUS_SERVER_ERROR || status == HTTP_STATUS_SERVICE_UNAVAIL ||
                     state.storageError == L"ServerBusy";
  state.objectChanged = status == HTTP_STATUS_PRECOND_FAILED;
  // Also without headers (a host that closed without answering reads as status 0): a
  // failed attempt always leaves a record.
  Error::LogError(
      L"Response status not 200, but " + std::to_wstring(status) + L" Response headers: " + headers,
      DL_MANAGER_HTTP_STATUS_NOT_OK, VELMOT_HERE);
  if (status == 0 || status == HTTP_STATUS_PROXY_AUTH_REQ) {
    Close(state);
  } else {
    DrainAndClose(state);
  }
  return false;
}

void Connection::AskProxySignIn(ConnectionState& state) {
  switch (ProxySignIn::Ask(state.Request(), state.stopEvent, signInApplied_)) {
    case ProxySignIn::Outcome::kRetry:
      signInRetry_ = true;
      break;
    case ProxySignIn::Outcome::kRefused:
      state.proxyRefused = true;
      break;
    case ProxySignIn::Outcome::kStopped:
      break;
  }
}

void Connection::ReadContentLength(ConnectionState& state) {
  wchar_t text[64] = {};
  DWORD length = sizeof(text) - sizeof(wchar_t);
  if (::HttpQueryInfoW(state.Request(), HTTP_QUERY_CONTENT_LENGTH, text, &length, nullptr)) {
    state.contentLength = ParseContentLength(text);
  } else {
    state.contentLength = -1;
  }
}
