#include "net/httpcore.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"

namespace velmot {
namespace http {

namespace {

struct TimeoutOption {
  DWORD option;
  DWORD Timeouts::*value;
  const char* failure;
};

const TimeoutOption kTimeoutOptions[] = {
    {INTERNET_OPTION_CONNECT_TIMEOUT, &Timeouts::connectMs, texts::kConnectTimeoutFailed},
    {INTERNET_OPTION_SEND_TIMEOUT, &Timeouts::sendMs, texts::kSendTimeoutFailed},
    {INTERNET_OPTION_RECEIVE_TIMEOUT, &Timeouts::receiveMs, texts::kReceiveTimeoutFailed},
};

void RecordFailure(Record record, const std::wstring& failure, uint32_t code) {
  if (record == Record::kReport) {
    Error::ReportError(failure, code, VELMOT_HERE);
  } else {
    Error::LogError(failure, code, VELMOT_HERE);
  }
}

}  // namespace

void SetTimeouts(HINTERNET handle, const Timeouts& timeouts) {
  for (const TimeoutOption& t : kTimeoutOptions) {
    DWORD value = timeouts.*(t.value);
    if (!InternetSetOptionW(handle, t.option, &value, sizeof(value))) {
      VELMOT_LOG_LAST_ERROR(std::string(t.failure));
    }
  }
}

HINTERNET OpenRoot(const wchar_t* agent, Record record) {
  HINTERNET root = InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!root) {
    const DWORD error = GetLastError();
    RecordFailure(record, L"InternetOpen failed", error);
  }
  return root;
}

HINTERNET ConnectTo(HINTERNET root, const std::wstring& host, INTERNET_PORT port,
                    const std::wstring& failure, Record record) {
  HINTERNET connection =
      InternetConnectW(root, host.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  if (!connection) {
    const DWORD error = GetLastError();
    RecordFailure(record, failure, error);
  }
  return connection;
}

HINTERNET OpenRequest(HINTERNET connection, const wchar_t* verb, const std::wstring& object,
                      DWORD flags, const std::wstring& failure, Record record) {
  HINTERNET request =
      ::HttpOpenRequestW(connection, verb, object.c_str(), nullptr, nullptr, nullptr, flags, 0);
  if (!request) {
    const DWORD error = GetLastError();
    RecordFailure(record, failure, error);
  }
  return request;
}

bool QueryStatusCode(HINTERNET request, DWORD& status, DWORD& error) {
  DWORD length = sizeof(status);
  if (::HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length,
                       nullptr)) {
    return true;
  }
  error = GetLastError();
  return false;
}

bool QueryText(HINTERNET request, DWORD query, DWORD bufferBytes, DWORD offerBytes,
               std::vector<wchar_t>& buffer, DWORD& length, DWORD& error) {
  buffer.assign(bufferBytes / sizeof(wchar_t), L'\0');
  length = offerBytes;
  if (::HttpQueryInfoW(request, query, buffer.data(), &length, nullptr)) return true;
  error = GetLastError();
  return false;
}

void CloseInOrder(InternetHandle& request, InternetHandle& connection, InternetHandle& root) {
  request.Reset();
  connection.Reset();
  root.Reset();
}

}  // namespace http
}  // namespace velmot
