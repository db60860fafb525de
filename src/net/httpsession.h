// One WinINet session for a whole download job: a root handle and one connect handle per
// host, shared by every request of the job. WinINet keeps a connection whose body was read
// to its end in the session's pool and sends the next request of that host over it, so a
// part after the first pays neither the TCP and TLS set-up nor slow start again; several
// requests in flight open several connections side by side.
//
// The pool itself is WinINet's and cannot be asked which socket a request got. The session
// keeps the count the records need: a request that ended with its body read whole gives its
// connection back (ReturnConnection), a request that starts takes one back out when any is
// idle and otherwise opens a new one (TakeConnection). A request that failed gives nothing
// back: WinINet drops a connection that broke.
//
// Threads: any; every member takes the lock. Workers hold the session by shared_ptr, so that
// one abandoned in a blocking read keeps the handles alive until it ends.
#pragma once

#include "base/handles.h"

#include <windows.h>
#include <wininet.h>

#include <map>
#include <string>

class HttpSession {
 public:
  HttpSession() = default;
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  ~HttpSession();

  // The connect handle for host on port 443, opened (with the root) on first use; null
  // after the failure was recorded, with the call's code in GetLastError().
  HINTERNET ConnectHandle(const std::wstring& host, const wchar_t* agent);
  // True when a kept-alive connection to host was idle and is now taken by the caller;
  // false when the caller's request opens a new one.
  bool TakeConnection(const std::wstring& host);
  void ReturnConnection(const std::wstring& host);
  // Connections opened so far (a request that found none idle), for the statistics.
  unsigned OpenedConnections();

  // WinINet limits the connections to one server process-wide (two by default under
  // HTTP/1.1); parts fetched side by side need one each. Recorded when refused.
  static void AllowConnectionsPerServer(DWORD count);

 private:
  struct Host {
    velmot::InternetHandle connect;
    unsigned idle = 0;
  };
  velmot::CriticalSection lock_;
  velmot::InternetHandle root_;
  std::map<std::wstring, Host> hosts_;
  unsigned opened_ = 0;
};
