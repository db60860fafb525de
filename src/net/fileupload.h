// The upload side's HTTP client: one worker thread that sends one request with a body (a
// URL-encoded form or raw bytes), with up to three attempts, and keeps the answer's status,
// headers and body for the caller. A company proxy's 407 asks for the sign-in
// (ProxySignIn) and sends the request again on fresh handles with the new credentials.
//
// Threads: the caller constructs it, calls PostForm or PostData, which start the worker and
// wait for its end, then reads the results on the same thread. Stop may come from any
// thread: the base's stop hook also closes the open request so that a blocked send or read
// gives up at once (where the platform supports it), and the caller's wait ends with it.
// When the worker has not ended 250 ms after the stop (or after waitLimitMs), PostForm and
// PostData return false and the caller must abandon the object (Orx_Thread::Abandon): the
// destructor waits without limit. A FileUpload is used for one request and then destroyed.
//
// Failures are recorded in the error log and never thrown. After three failed attempts
// httpStatus is 9000 and statusText "HTTP Operation failed"; any answer the server gave,
// 200 or not, ends the attempts (the caller judges the status).
#pragma once

#include "base/handles.h"
#include "base/orx_thread.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class FileUpload : public Orx_Thread {
 public:
  // Ordered by name, comparing UTF-16 code units: headers and fields go out sorted.
  using TextMap = std::map<std::wstring, std::wstring>;

  static constexpr uint32_t kAllAttemptsFailed = 9000;
  // What is kept of an answer's body; the rest is dropped with a record.
  static constexpr uint64_t kMaxResponseBytes = 4u * 1024 * 1024;

  FileUpload();
  ~FileUpload() override;

  // Sends formFields (values URL-encoded when encodeValues) with headers. method: 1 GET,
  // 2 POST, 3 PUT, 4 DELETE. Returns when the worker has ended (true), or when waitLimitMs
  // ran out or a stop came from another thread and the worker did not end soon after
  // either (false: it is still running and the object must be kept alive, see
  // Orx_Thread::Abandon).
  bool PostForm(const std::wstring& url, int32_t method, const TextMap& headers,
                const TextMap& formFields, bool encodeValues);
  // Sends data as the raw body (an empty block leaves the form path in use). Returns as
  // PostForm does.
  bool PostData(const std::wstring& url, int32_t method, const TextMap& headers,
                const std::vector<uint8_t>& data);
  void ServerSettingsFromUrl(const std::wstring& url);

  // The answer's body up to its first zero byte; empty when there is none.
  std::string GetResponseText();

  // Results, valid once PostForm/PostData returned.
  uint32_t httpStatus = 0;
  std::wstring statusText;
  TextMap responseHeaders;
  std::wstring rawResponseHeaders;
  // Set when the answer's body was longer than kMaxResponseBytes and was cut there.
  bool responseTruncated = false;
  // Set when the company proxy answered 407 and no sign-in got past it (the user cancelled
  // the prompt, nobody could ask, or the proxy refused the credentials); httpStatus is 407.
  bool proxyRefused = false;

  // Request settings (public so that tests can inspect and shorten them).
  std::wstring host;
  int32_t method = 2;
  std::wstring verb = L"POST";
  TextMap headers;
  TextMap formFields;
  std::vector<uint8_t> body;
  uint16_t port = 80;
  bool secure = false;
  std::wstring objectPath;
  uint32_t chunkSize = 0x100000;
  uint64_t maxAttempts = 3;
  DWORD retryDelayMs = 100;
  DWORD connectTimeoutMs = 10000;
  DWORD sendTimeoutMs = 120000;
  DWORD receiveTimeoutMs = 120000;
  // How long PostForm and PostData wait for the worker, all attempts together.
  DWORD waitLimitMs = INFINITE;

  // Counters.
  std::atomic<uint64_t> bytesReceived{0};
  std::atomic<uint64_t> bytesToSend{0};
  std::atomic<uint64_t> bytesSent{0};
  std::atomic<uint64_t> attempt{0};

  // Time-outs for every FileUpload constructed afterwards, for tests of callers that build
  // their own FileUpload (the product never calls it). Zero restores the defaults.
  static void OverrideTimeoutsForTesting(DWORD connectMs, DWORD sendMs, DWORD receiveMs);

 protected:
  void Run() override;
  // Closes the open request so that a blocked send or read gives up at once.
  void OnStopRequested() override;
  void OnEscapedException(const std::exception* e) override;

 private:
  enum class SendResult { kSent, kRetry, kStopped };

  void RunAttempts();
  bool Connect();
  void Disconnect();
  void AddAcceptEncoding();
  std::wstring BuildHeaderText() const;
  std::string BuildFormBody() const;
  SendResult SendData(const std::wstring& headerText);
  SendResult SendForm(const std::wstring& headerText, const std::string& formBody);
  enum class AnswerResult { kRead, kNoAnswer, kFailed };

  AnswerResult ReadAnswer();
  AnswerResult ReadHeaders();
  AnswerResult QueryFailed(DWORD error);
  void KeepHeaders(const std::wstring& block);
  void ReadBody();
  // After a 407 from the proxy: true when the request should go out again.
  bool SignedInAtProxy();
  bool KeepGoing() const { return running.load(); }
  HINTERNET Request();
  bool WaitForWorker();

  velmot::InternetHandle internetHandle;
  velmot::InternetHandle connectHandle;
  velmot::InternetHandle requestHandle;
  // Guards the three handles: Stop closes the request from another thread.
  velmot::CriticalSection handleLock_;
  uint64_t signInApplied_ = 0;  // the proxy sign-in the open request went out with
  std::vector<uint8_t> responseBody;
  velmot::CriticalSection responseLock;
};
