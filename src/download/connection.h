// The download side's HTTP client: takes a worker from nothing to an open HTTPS GET
// (port 443, TLS, fixed time-outs and flags) whose status is 200, recording every step.
// Runs on the worker's thread and touches only that worker's state.
#pragma once

#include "app/handles.h"

#include <atomic>
#include <cstdint>
#include <string>

struct ConnectionState {
  std::wstring host;
  std::wstring objectPath;
  std::wstring objectSuffix;
  std::wstring localPath;
  velmot::InternetHandle internetHandle;
  velmot::InternetHandle connectHandle;
  velmot::InternetHandle requestHandle;
  std::atomic<int32_t> httpStatus{0};
  // Content-Length of the open response, or -1 when the host sent none.
  int64_t contentLength = -1;
};

class Connection {
 public:
  virtual ~Connection() = default;
  // True when the request is open with status 200; otherwise every handle is closed.
  bool Connect(ConnectionState& state);
  // Request, then connection, then root handle. Safe at any time and repeatedly.
  void Close(ConnectionState& state);
};
