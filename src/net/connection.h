// The download side's HTTP client: takes a worker from nothing to an open HTTPS GET
// (port 443, TLS, fixed time-outs and flags) whose status is 200, or 206 for a request that
// resumes a body, recording every step. Runs on the worker's thread and touches only that
// worker's state. Given the job's HttpSession, requests share its root and connect handles
// so that WinINet keeps connections alive between them; without one, every Connect opens
// handles of its own.
#pragma once

#include "base/handles.h"
#include "net/httpsession.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// The worker's thread owns the state; only Connection::Close and the handle getter may be
// used from another thread (a stop closes the handles to cancel a blocking call).
struct ConnectionState {
  std::wstring host;
  std::wstring objectPath;
  std::wstring objectSuffix;
  std::wstring localPath;
  // The job's session; null: Connect opens a root and connect handle of its own.
  std::shared_ptr<HttpSession> session;
  velmot::InternetHandle internetHandle;
  velmot::InternetHandle connectHandle;
  velmot::InternetHandle requestHandle;
  std::atomic<int32_t> httpStatus{0};
  // Set by the caller before Connect: when resumeFrom > 0 the request asks for the bytes
  // from there on ("Range: bytes=N-"), and only of the object whose ETag is ifMatch.
  uint64_t resumeFrom = 0;
  std::wstring ifMatch;
  // Content-Length of the open response, or -1 when the host sent none.
  int64_t contentLength = -1;
  // Of the open response: its ETag ("" when none), and for a 206 the first byte and the
  // object's whole length that Content-Range names (-1 when it names none that reads).
  std::wstring etag;
  int64_t rangeFirst = -1;
  int64_t rangeTotal = -1;
  // The last refusal was the host's "too busy" (500, 503 or ServerBusy): callers back off
  // and ask less at once. The object changed since the ETag it was asked with (412).
  bool serverBusy = false;
  bool objectChanged = false;
  // What the last Connect learned beyond the status, for the caller's decisions:
  // unreachable: no HTTP answer at all (name resolution, connect, reset, time-out, or the
  // host closed without answering); contentType: of the open response; storageError: the
  // blob storage's x-ms-error-code of a refused request ("" when none was sent).
  bool unreachable = false;
  std::wstring contentType;
  std::wstring storageError;
  // The worker's stop event, which ends a wait for the proxy sign-in (set by the owner).
  HANDLE stopEvent = nullptr;
  // The company proxy answered 407 and no sign-in got past it (cancelled or refused again).
  bool proxyRefused = false;

  // Guards the three handles against a close from another thread.
  velmot::CriticalSection handleLock;

  // The open request, read under the lock (null once closed).
  HINTERNET Request() {
    velmot::CriticalSectionLock hold(handleLock);
    return requestHandle.Get();
  }
};

class Connection {
 public:
  static constexpr DWORD kConnectTimeoutMs = 10000;
  static constexpr DWORD kSendTimeoutMs = 120000;
  static constexpr DWORD kReceiveTimeoutMs = 120000;
  // INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE | INTERNET_FLAG_PRAGMA_NOCACHE.
  static constexpr DWORD kRequestFlags = 0x04800100;
  static constexpr DWORD kHeaderBufferBytes = 0x80000;

  virtual ~Connection() = default;
  // True when the request is open with status 200; otherwise every handle is closed. A
  // company proxy's 407 asks for the sign-in (ProxySignIn) and sends the request again.
  bool Connect(ConnectionState& state);
  // Request, then connection, then root handle (a session's handles stay: only the
  // request is this state's). Safe at any time and repeatedly, from any thread: closing is
  // how another thread cancels a blocking send or read (on Windows the call then fails at
  // once; Wine 8 lets it run on until its time-out, see FileDownload).
  static void Close(ConnectionState& state);
  // The body was read to its end: the connection goes back to the session's pool for the
  // next request of the host, then the request is closed.
  static void Finish(ConnectionState& state);
  // "bytes FIRST-LAST/TOTAL" (a 206's Content-Range): false for anything else, or a range
  // that does not fit its total.
  static bool ParseContentRange(const std::wstring& text, int64_t& first, int64_t& total);
  // A WinINet or system code that says the host could not be reached at all, as opposed
  // to an answer the host gave.
  static bool IsNetworkError(DWORD code);

  // Checks on what the host sent, pure and safe on any thread:
  // Content-Length as the host sent it (zero-terminated); -1 when absent or not a plain
  // decimal number.
  static int64_t ParseContentLength(const wchar_t* text);
  // The raw header block (HTTP_QUERY_RAW_HEADERS_CRLF) holds at least one field line.
  static bool HasHeaderFields(const std::wstring& headers);

 private:
  // wininet.h maps HttpOpenRequest and the like to their W forms; the calls inside use the
  // global ::...W functions explicitly so that these steps never shadow them.
  bool OpenHttpConnection(ConnectionState& state);
  bool HttpOpenRequest(ConnectionState& state);
  bool HttpSendRequest(ConnectionState& state);
  bool HttpQueryInfo(ConnectionState& state);
  bool AcceptStatus(ConnectionState& state, DWORD status, const std::wstring& headers);
  void ReadContentLength(ConnectionState& state);
  // A refusal's short body is read so that its connection can serve the next request.
  void DrainAndClose(ConnectionState& state);
  bool OpenAndSend(ConnectionState& state);
  void AskProxySignIn(ConnectionState& state);

  // The session's connect handle the open request was made on (the session owns it).
  HINTERNET sharedConnect_ = nullptr;
  uint64_t signInApplied_ = 0;  // the proxy sign-in the open request went out with
  bool signInRetry_ = false;    // the proxy's 407 was answered with new credentials
};
