#include "net/fileupload.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "net/httpcore.h"
#include "net/proxysignin.h"
#include "base/stringutils.h"

#include <wininet.h>

#include <exception>

namespace {

constexpr DWORD kWriteChunk = 1024;
constexpr DWORD kHeaderBufferBytes = 0x100000;
constexpr DWORD kHeaderOfferBytes = 0x80000;
constexpr DWORD kStatusTextBytes = 4096;
// How long a worker that ran out of time gets to end after its request was closed.
constexpr DWORD kStopGraceMs = 250;

std::atomic<DWORD> gConnectTimeoutOverride{0};
std::atomic<DWORD> gSendTimeoutOverride{0};
std::atomic<DWORD> gReceiveTimeoutOverride{0};

namespace http = velmot::http;

// The verb for a method number; null for an unknown number (the verb stays as it was).
const wchar_t* VerbOf(int32_t method) {
  switch (method) {
    case 1:
      return L"GET";
    case 2:
      return L"POST";
    case 3:
      return L"PUT";
    case 4:
      return L"DELETE";
    default:
      return nullptr;
  }
}

}  // namespace

void FileUpload::OverrideTimeoutsForTesting(DWORD connectMs, DWORD sendMs, DWORD receiveMs) {
  gConnectTimeoutOverride = connectMs;
  gSendTimeoutOverride = sendMs;
  gReceiveTimeoutOverride = receiveMs;
}

FileUpload::FileUpload() : Orx_Thread(L"Velmot upload") {
  if (gConnectTimeoutOverride) connectTimeoutMs = gConnectTimeoutOverride;
  if (gSendTimeoutOverride) sendTimeoutMs = gSendTimeoutOverride;
  if (gReceiveTimeoutOverride) receiveTimeoutMs = gReceiveTimeoutOverride;
}

// The body uses the members: it must have ended before they go. Owners that cannot wait
// (a close) get false from PostForm/PostData and abandon the object instead.
FileUpload::~FileUpload() { Stop(INFINITE); }

// Closing the request is WinINet's way to cancel a blocking call on another thread; the
// worker finds the handle gone and its next call fails harmlessly.
void FileUpload::OnStopRequested() {
  velmot::CriticalSectionLock lock(handleLock_);
  requestHandle.Reset();
}

void FileUpload::ServerSettingsFromUrl(const std::wstring& url) {
  Error::ReportMessage(L"FileUpload::ServerSettingsFromUrl: " + url, VELMOT_HERE);
  StringUtils::SplitUrl(url, host, objectPath, port, secure);
}

bool FileUpload::PostForm(const std::wstring& url, int32_t newMethod, const TextMap& newHeaders,
                          const TextMap& newFormFields, bool encodeValues) {
  ServerSettingsFromUrl(url);
  method = newMethod;
  headers = newHeaders;
  formFields = newFormFields;
  if (encodeValues) {
    for (auto& field : formFields) field.second = StringUtils::UrlEncode(field.second);
  }
  Start();
  return WaitForWorker();
}

bool FileUpload::PostData(const std::wstring& url, int32_t newMethod, const TextMap& newHeaders,
                          const std::vector<uint8_t>& data) {
  ServerSettingsFromUrl(url);
  method = newMethod;
  headers = newHeaders;
  if (!data.empty()) body = data;
  Start();
  return WaitForWorker();
}

bool FileUpload::WaitForWorker() {
  // A stop from another thread (an UploadCancel) ends the wait too: the caller must not sit
  // out a send that closing its request does not end (Wine lets it run on).
  if (WaitForEndOrStop(waitLimitMs)) return true;
  // Out of time or stopped: the stop closes the request, which ends a blocked call on
  // Windows at once.
  return StopWithin(kStopGraceMs);
}

std::string FileUpload::GetResponseText() {
  velmot::CriticalSectionLock lock(responseLock);
  size_t length = 0;
  while (length < responseBody.size() && responseBody[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(responseBody.data()), length);
}

HINTERNET FileUpload::Request() {
  velmot::CriticalSectionLock lock(handleLock_);
  return requestHandle.Get();
}

void FileUpload::Run() { RunAttempts(); }

void FileUpload::OnEscapedException(const std::exception* e) {
  Error::LogError(std::string(velmot::texts::kFileUploadMalfunction) + (e ? e->what() : "unknown"),
                  0, VELMOT_HERE);
}

void FileUpload::RunAttempts() {
  attempt = 0;
  while (KeepGoing()) {
    if (attempt >= maxAttempts) {
      httpStatus = kAllAttemptsFailed;
      statusText = velmot::texts::kAllAttemptsFailed;
      return;
    }
    ++attempt;
    bytesToSend = 0;
    bytesSent = 0;

    if (!Connect()) {
      WaitForStop(retryDelayMs);
      continue;
    }
    // A stop that came while the request was being opened found no handle to close.
    if (!KeepGoing()) break;

    const std::wstring headerText = BuildHeaderText();
    const std::string formBody = body.empty() ? BuildFormBody() : std::string();
    Error::ReportError(L"Sending HTTP " + verb + L" " + L"Headers:\r\n" + headerText, 0,
                       VELMOT_HERE);
    bytesToSend = body.empty() ? formBody.size() : body.size();

    const SendResult sent = body.empty() ? SendForm(headerText, formBody) : SendData(headerText);
    if (sent == SendResult::kStopped) break;
    if (sent == SendResult::kRetry) {
      // A refused or reset connection usually fails again at once: pause as after a
      // failed connect so that the attempts are spread out.
      WaitForStop(retryDelayMs);
      continue;
    }

    const AnswerResult answer = ReadAnswer();
    if (answer == AnswerResult::kNoAnswer && KeepGoing()) {
      // The connection was closed before any status line came: nothing was answered, so
      // this counts as a failed attempt like a failed send.
      WaitForStop(retryDelayMs);
      continue;
    }
    if (answer == AnswerResult::kRead && httpStatus == HTTP_STATUS_PROXY_AUTH_REQ &&
        SignedInAtProxy()) {
      // The sign-in is no failed attempt of the request itself.
      --attempt;
      continue;
    }
    break;
  }
  Disconnect();
}

bool FileUpload::Connect() {
  Disconnect();
  Error::LogError(L"Opening connection for: " + objectPath, 0, VELMOT_HERE);

  const http::Timeouts timeouts = {connectTimeoutMs, sendTimeoutMs, receiveTimeoutMs};
  if (!internetHandle) {
    HINTERNET root = http::OpenRoot(L"Velmot", http::Record::kLog);
    if (!root) {
      Disconnect();
      return false;
    }
    velmot::CriticalSectionLock lock(handleLock_);
    internetHandle.Reset(root);
  }

  http::SetTimeouts(internetHandle.Get(), timeouts);
  BOOL decode = TRUE;
  if (InternetSetOptionW(internetHandle.Get(), INTERNET_OPTION_HTTP_DECODING, &decode,
                         sizeof(decode))) {
    AddAcceptEncoding();
  } else {
    VELMOT_LOG_LAST_ERROR(std::string("Setting INTERNET_OPTION_HTTP_DECODING failed"));
  }

  if (!connectHandle) {
    const std::wstring target = host + L" " + std::to_wstring(port);
    Error::LogError(L"InternetConnect " + target, 0, VELMOT_HERE);
    HINTERNET connection =
        http::ConnectTo(internetHandle.Get(), host, port,
                        L"Connection::OpenHttpConnection InternetConnect failed for " + target,
                        http::Record::kReport);
    if (!connection) {
      Disconnect();
      return false;
    }
    velmot::CriticalSectionLock lock(handleLock_);
    connectHandle.Reset(connection);
  }

  if (const wchar_t* named = VerbOf(method)) verb = named;
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
  if (secure) flags |= INTERNET_FLAG_SECURE;
  HINTERNET request = http::OpenRequest(connectHandle.Get(), verb.c_str(), objectPath, flags,
                                        L"Connection::HttpOpenRequest failed for: " + objectPath,
                                        http::Record::kLog);
  if (!request) {
    Disconnect();
    return false;
  }
  // Time-outs on the root alone do not bound reads everywhere; the request gets them too.
  http::SetTimeouts(request, timeouts);
  signInApplied_ = ProxySignIn::Apply(request);
  velmot::CriticalSectionLock lock(handleLock_);
  requestHandle.Reset(request);
  return true;
}

void FileUpload::AddAcceptEncoding() {
  auto found = headers.find(L"Accept-Encoding");
  if (found == headers.end()) {
    headers[L"Accept-Encoding"] = L"gzip,deflate";
  } else {
    found->second += L",gzip,deflate";
  }
}

void FileUpload::Disconnect() {
  Error::LogError(L"Disconnecting " + objectPath, 0, VELMOT_HERE);
  velmot::CriticalSectionLock lock(handleLock_);
  http::CloseInOrder(requestHandle, connectHandle, internetHandle);
}

std::wstring FileUpload::BuildHeaderText() const {
  std::wstring text;
  for (const auto& header : headers) {
    if (!text.empty()) text += L"\r\n";
    text += header.first + L": " + header.second;
  }
  return text;
}

std::string FileUpload::BuildFormBody() const {
  std::string text;
  bool first = true;
  for (const auto& field : formFields) {
    if (!first) text += "&";
    first = false;
    if (!field.first.empty()) text += StringUtils::ToNarrow(field.first) + "=";
    text += StringUtils::ToNarrow(field.second);
  }
  return text;
}

FileUpload::SendResult FileUpload::SendData(const std::wstring& headerText) {
  INTERNET_BUFFERSW buffers = {};
  buffers.dwStructSize = sizeof(buffers);
  buffers.lpcszHeader = headerText.c_str();
  buffers.dwHeadersLength = static_cast<DWORD>(headerText.size());
  buffers.dwHeadersTotal = static_cast<DWORD>(headerText.size());
  buffers.dwBufferTotal = static_cast<DWORD>(body.size());
  if (!HttpSendRequestExW(Request(), &buffers, nullptr, 0, 0)) {
    // Without an open request every chunk would fail too: try the next attempt instead.
    VELMOT_LOG_LAST_ERROR(std::string("Error on HttpSendRequestEx\n"));
    return KeepGoing() ? SendResult::kRetry : SendResult::kStopped;
  }

  uint64_t sent = 0;
  while (sent < body.size()) {
    if (!KeepGoing()) return SendResult::kStopped;
    const DWORD length =
        static_cast<DWORD>(body.size() - sent < kWriteChunk ? body.size() - sent : kWriteChunk);
    DWORD written = 0;
    if (!InternetWriteFile(Request(), body.data() + sent, length, &written) || written == 0) {
      // The server would wait for the missing bytes: this attempt cannot succeed.
      VELMOT_LOG_LAST_ERROR(std::string("\nError on InternetWriteFile\n"));
      return KeepGoing() ? SendResult::kRetry : SendResult::kStopped;
    }
    sent += written;
    bytesSent = sent;
  }

  if (!HttpEndRequestW(Request(), nullptr, 0, 0)) {
    VELMOT_LOG_LAST_ERROR(std::string("Error on HttpEndRequest\n"));
    return KeepGoing() ? SendResult::kRetry : SendResult::kStopped;
  }
  return KeepGoing() ? SendResult::kSent : SendResult::kStopped;
}

FileUpload::SendResult FileUpload::SendForm(const std::wstring& headerText,
                                            const std::string& formBody) {
  if (!HttpSendRequestW(Request(), headerText.c_str(), static_cast<DWORD>(headerText.size()),
                        const_cast<char*>(formBody.data()), static_cast<DWORD>(formBody.size()))) {
    VELMOT_REPORT_LAST_ERROR(std::wstring(L"Error on HttpSendRequest, "));
    return KeepGoing() ? SendResult::kRetry : SendResult::kStopped;
  }
  bytesSent = formBody.size();
  return KeepGoing() ? SendResult::kSent : SendResult::kStopped;
}

bool FileUpload::SignedInAtProxy() {
  switch (ProxySignIn::Ask(Request(), StopEvent(), signInApplied_)) {
    case ProxySignIn::Outcome::kRetry:
      return KeepGoing();
    case ProxySignIn::Outcome::kRefused:
      proxyRefused = true;
      Error::LogError(std::string("FileUpload: the company proxy refused the request (HTTP 407)"),
                      DL_MANAGER_HTTP_STATUS_NOT_OK, VELMOT_HERE);
      return false;
    case ProxySignIn::Outcome::kStopped:
      break;
  }
  return false;
}

FileUpload::AnswerResult FileUpload::ReadAnswer() {
  const AnswerResult result = ReadHeaders();
  if (result == AnswerResult::kRead) ReadBody();
  return result;
}

FileUpload::AnswerResult FileUpload::ReadHeaders() {
  std::vector<wchar_t> buffer;
  DWORD length = 0;
  DWORD error = 0;
  if (!http::QueryText(Request(), HTTP_QUERY_RAW_HEADERS_CRLF, kHeaderBufferBytes,
                       kHeaderOfferBytes, buffer, length, error)) {
    return QueryFailed(error);
  }
  if (length != 0) KeepHeaders(std::wstring(buffer.data(), length / sizeof(wchar_t)));

  DWORD status = 0;
  if (!http::QueryStatusCode(Request(), status, error)) return QueryFailed(error);
  if (status == 0) {
    Error::LogError(std::string("FileUpload: the server closed the connection without an answer"),
                    ERROR_INTERNET_CONNECTION_ABORTED, VELMOT_HERE);
    return AnswerResult::kNoAnswer;
  }
  httpStatus = status;

  if (!http::QueryText(Request(), HTTP_QUERY_STATUS_TEXT, kStatusTextBytes, kStatusTextBytes,
                       buffer, length, error)) {
    Error::LogError(std::string(velmot::texts::kQueryInfoFailed), error, VELMOT_HERE);
    return AnswerResult::kFailed;
  }
  const std::wstring reason(buffer.data(), length / sizeof(wchar_t));
  if (!reason.empty()) statusText = reason;
  return AnswerResult::kRead;
}

// A header query that fails before any status line came means nothing was answered.
FileUpload::AnswerResult FileUpload::QueryFailed(DWORD error) {
  Error::LogError(std::string(velmot::texts::kQueryInfoFailed), error, VELMOT_HERE);
  return error == ERROR_HTTP_HEADER_NOT_FOUND ? AnswerResult::kNoAnswer : AnswerResult::kFailed;
}

void FileUpload::KeepHeaders(const std::wstring& block) {
  Error::LogError(L"HTTPSendRequest response headers:\r\n" + block, 0, VELMOT_HERE);
  rawResponseHeaders = block;
  responseHeaders.clear();
  std::vector<std::wstring> lines;
  StringUtils::Split(block, L"\r\n", false, lines);
  for (const auto& line : lines) {
    std::vector<std::wstring> pieces;
    StringUtils::Split(line, L": ", true, pieces);
    if (pieces.size() != 2) continue;
    std::wstring value = pieces[1];
    if (!value.empty() && value[0] == L' ') value.erase(0, 1);
    responseHeaders[pieces[0]] = value;
  }
}

void FileUpload::ReadBody() {
  std::vector<uint8_t> received;
  std::vector<uint8_t> chunk;
  while (Request() && KeepGoing()) {
    chunk.assign(chunkSize, 0);
    DWORD read = 0;
    if (!InternetReadFile(Request(), chunk.data(), chunkSize, &read)) {
      VELMOT_LOG_LAST_ERROR(std::string("InternetReadFile Failed"));
      break;
    }
    if (read == 0) break;
    bytesReceived += read;
    const uint64_t room = kMaxResponseBytes - received.size();
    if (read > room) {
      received.insert(received.end(), chunk.begin(), chunk.begin() + room);
      responseTruncated = true;
      Error::LogError("FileUpload: the answer's body is longer than " +
                          std::to_string(kMaxResponseBytes) + " bytes; the rest is dropped",
                      0, VELMOT_HERE);
      break;
    }
    received.insert(received.end(), chunk.begin(), chunk.begin() + read);
  }
  if (!KeepGoing()) return;
  velmot::CriticalSectionLock lock(responseLock);
  responseBody.swap(received);
}
