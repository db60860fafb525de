#include "net/httpsession.h"

#include "diagnostics/error.h"
#include "net/httpcore.h"

namespace http = velmot::http;

HttpSession::~HttpSession() {
  velmot::CriticalSectionLock hold(lock_);
  // Children before the root, as WinINet wants.
  for (auto& entry : hosts_) entry.second.connect.Reset();
  root_.Reset();
}

HINTERNET HttpSession::ConnectHandle(const std::wstring& host, const wchar_t* agent) {
  velmot::CriticalSectionLock hold(lock_);
  if (!root_) {
    root_.Reset(http::OpenRoot(agent, http::Record::kReport));
    if (!root_) return nullptr;
    http::SetTimeouts(root_.Get(), http::kDefaultTimeouts);
  }
  Host& entry = hosts_[host];
  if (!entry.connect) {
    entry.connect.Reset(http::ConnectTo(root_.Get(), host, INTERNET_DEFAULT_HTTPS_PORT,
                                        L"Connection::OpenHttpConnection InternetConnect failed",
                                        http::Record::kLog));
    if (!entry.connect) return nullptr;
    // Wine ignores time-outs set on the root handle alone for reads.
    http::SetTimeouts(entry.connect.Get(), http::kDefaultTimeouts);
  }
  return entry.connect.Get();
}

bool HttpSession::TakeConnection(const std::wstring& host) {
  velmot::CriticalSectionLock hold(lock_);
  Host& entry = hosts_[host];
  if (entry.idle > 0) {
    --entry.idle;
    return true;
  }
  ++opened_;
  return false;
}

void HttpSession::ReturnConnection(const std::wstring& host) {
  velmot::CriticalSectionLock hold(lock_);
  ++hosts_[host].idle;
}

unsigned HttpSession::OpenedConnections() {
  velmot::CriticalSectionLock hold(lock_);
  return opened_;
}

void HttpSession::AllowConnectionsPerServer(DWORD count) {
  // Process-wide options take no handle.
  if (!InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &count, sizeof(count))) {
    VELMOT_LOG_LAST_ERROR(L"Unable to allow " + std::to_wstring(count) +
                          L" connections per server");
  }
}
