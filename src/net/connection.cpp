#include "net/connection.h"

#include "diagnostics/error.h"

#include <velmot/config.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

struct TimeoutOption {
  DWORD option;
  DWORD value;
  const char* failure;
};

const TimeoutOption kTimeouts[] = {
    {INTERNET_OPTION_CONNECT_TIMEOUT, Connection::kConnectTimeoutMs,
     "Setting INTERNET_OPTION_CONNECT_TIMEOUT failed"},
    {INTERNET_OPTION_SEND_TIMEOUT, Connection::kSendTimeoutMs,
     "Setting INTERNET_OPTION_SEND_TIMEOUT failed"},
    {INTERNET_OPTION_RECEIVE_TIMEOUT, Connection::kReceiveTimeoutMs,
     "Setting INTERNET_OPTION_RECEIVE_TIMEOUT failed"},
};

// A time-out that cannot be set is recorded but does not fail the connection.
void SetTimeouts(HINTERNET handle) {
  for (const TimeoutOption& t : kTimeouts) {
    DWORD value = t.value;
    if (!InternetSetOptionW(handle, t.option, &value, sizeof(value))) {
      DWORD error = GetLastError();
      Error::LogError(std::string(t.failure), error, VELMOT_HERE);
    }
  }
}

// Content-Length as the host sent it; -1 when absent or not a plain decimal number.
int64_t ParseContentLength(const wchar_t* text) {
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
bool HasHeaderFields(const std::wstring& headers) {
  size_t lineEnd = headers.find(L"\r\n");
  if (lineEnd == std::wstring::npos) return false;
  return headers.find(L':', lineEnd) != std::wstring::npos;
}

}  // namespace

bool Connection::Connect(ConnectionState& state) {
  Close(state);
  state.contentLength = -1;
  Error::ReportError(L"Opening connection: " + state.host, 0, VELMOT_HERE);
  return OpenHttpConnection(state) && HttpOpenRequest(state) && HttpSendRequest(state) &&
         HttpQueryInfo(state);
}

void Connection::Close(ConnectionState& state) {
  state.requestHandle.Reset();
  state.connectHandle.Reset();
  state.internetHandle.Reset();
}

bool Connection::OpenHttpConnection(ConnectionState& state) {
  if (!state.internetHandle) {
    // The agent name is the part file's path; the request's own User-Agent header is what
    // the host sees.
    state.internetHandle.Reset(
        InternetOpenW(state.localPath.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!state.internetHandle) {
      DWORD error = GetLastError();
      Error::ReportError(L"InternetOpen failed", error, VELMOT_HERE);
      Close(state);
      return false;
    }
  }
  SetTimeouts(state.internetHandle.Get());
  if (!state.connectHandle) {
    state.connectHandle.Reset(InternetConnectW(state.internetHandle.Get(), state.host.c_str(),
                                               INTERNET_DEFAULT_HTTPS_PORT, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
    if (!state.connectHandle) {
      DWORD error = GetLastError();
      Error::LogError(std::string("Connection::OpenHttpConnection InternetConnect failed"), error,
                      VELMOT_HERE);
      Close(state);
      return false;
    }
  }
  // Wine ignores time-outs set on the root handle alone for reads: a stalled body would
  // block until the host closes. The child handles get them too.
  SetTimeouts(state.connectHandle.Get());
  return true;
}

bool Connection::HttpOpenRequest(ConnectionState& state) {
  std::wstring objectName = state.objectPath + state.objectSuffix;
  state.requestHandle.Reset(::HttpOpenRequestW(state.connectHandle.Get(), L"GET", objectName.c_str(),
                                             nullptr, nullptr, nullptr, kRequestFlags, 0));
  if (!state.requestHandle) {
    DWORD error = GetLastError();
    Error::ReportError(L"Connection::HttpOpenRequest failed for: " + state.host + L"/ " +
                           state.objectPath,
                       error, VELMOT_HERE);
    Close(state);
    return false;
  }
  SetTimeouts(state.requestHandle.Get());
  return true;
}

bool Connection::HttpSendRequest(ConnectionState& state) {
  std::wstring header = std::wstring(L"User-Agent: ") + velmot::kUserAgent + L"\r\n";
  if (!::HttpSendRequestW(state.requestHandle.Get(), header.c_str(),
                        static_cast<DWORD>(header.size()), nullptr, 0)) {
    DWORD error = GetLastError();
    Error::ReportError(L"Connection::HttpSendRequest failed for: " + state.host + L"/ " +
                           state.objectPath,
                       error, VELMOT_HERE);
    Close(state);
    return false;
  }
  return true;
}

bool Connection::HttpQueryInfo(ConnectionState& state) {
  DWORD status = 0;
  DWORD statusLength = sizeof(status);
  if (!::HttpQueryInfoW(state.requestHandle.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                      &status, &statusLength, nullptr)) {
    DWORD error = GetLastError();
    Error::ReportError(L"Connection::HttpQueryInfo failed for: " + state.localPath, error,
                       VELMOT_HERE);
    Close(state);
    return false;
  }
  state.httpStatus = static_cast<int32_t>(status);

  // Zero-filled, so the text ends at the first zero character whatever the length says.
  std::vector<wchar_t> buffer(kHeaderBufferBytes / sizeof(wchar_t), L'\0');
  DWORD headerLength = kHeaderBufferBytes;
  if (!::HttpQueryInfoW(state.requestHandle.Get(), HTTP_QUERY_RAW_HEADERS_CRLF, buffer.data(),
                      &headerLength, nullptr)) {
    DWORD error = GetLastError();
    Error::ReportError(L"Connection::HttpQueryInfo failed for: " + state.localPath, error,
                       VELMOT_HERE);
    Close(state);
    return false;
  }
  std::wstring headers;
  if (headerLength != 0) headers.assign(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
  if (headerLength != 0) Error::ReportMessage(L"Response headers: " + headers, VELMOT_HERE);

  if (status != 200) {
    // Also without headers (a host that closed without answering reads as status 0): a
    // failed attempt always leaves a record.
    Error::LogError(L"Response status not 200, but " + std::to_wstring(status) +
                        L" Response headers: " + headers,
                    DL_MANAGER_HTTP_STATUS_NOT_OK, VELMOT_HERE);
    Close(state);
    return false;
  }
  if (!HasHeaderFields(headers)) {
    Error::ReportError(L"Response is not HTTP for: " + state.localPath,
                       ERROR_HTTP_INVALID_SERVER_RESPONSE, VELMOT_HERE);
    Close(state);
    return false;
  }
  ReadContentLength(state);
  return true;
}

void Connection::ReadContentLength(ConnectionState& state) {
  wchar_t text[64] = {};
  DWORD length = sizeof(text) - sizeof(wchar_t);
  if (::HttpQueryInfoW(state.requestHandle.Get(), HTTP_QUERY_CONTENT_LENGTH, text, &length, nullptr)) {
    state.contentLength = ParseContentLength(text);
  } else {
    state.contentLength = -1;
  }
}
