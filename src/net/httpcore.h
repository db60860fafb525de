// The WinINet steps both HTTP clients share: the time-out table, opening the root,
// connection and request handles, reading status and header block, and closing in the one
// order WinINet wants (request, connection, root). Connection (the GET side) and FileUpload
// (posts) keep their own handles and decide what a failure means; these functions do the
// call, record a failure in the error log under the text the caller gives, and return.
//
// Stateless: any thread, on handles that thread may use. Nothing here throws.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>
#include <vector>

#include "base/handles.h"

namespace velmot {
namespace http {

struct Timeouts {
  DWORD connectMs;
  DWORD sendMs;
  DWORD receiveMs;
};
constexpr Timeouts kDefaultTimeouts = {10000, 120000, 120000};

// How a failure is recorded: kLog gives the system's text for the code; kReport also names
// WinINet codes and is what a failure shown to the user would use. Each site keeps the form
// its records have always had.
enum class Record { kLog, kReport };

// Sets the three time-outs on handle. A time-out that cannot be set is recorded under its
// fixed text but does not fail anything. Wine ignores time-outs set on the root handle
// alone for reads, so callers set them on every handle they open.
void SetTimeouts(HINTERNET handle, const Timeouts& timeouts);

// Each returns the new handle, or null after recording failure with the call's last error.
HINTERNET OpenRoot(const wchar_t* agent, Record record);
HINTERNET ConnectTo(HINTERNET root, const std::wstring& host, INTERNET_PORT port,
                    const std::wstring& failure, Record record);
HINTERNET OpenRequest(HINTERNET connection, const wchar_t* verb, const std::wstring& object,
                      DWORD flags, const std::wstring& failure, Record record);

// The numeric status of the answer; false with the call's error code when it failed
// (nothing is recorded: the callers record under their own texts).
bool QueryStatusCode(HINTERNET request, DWORD& status, DWORD& error);
// Queries a text header (HTTP_QUERY_RAW_HEADERS_CRLF, HTTP_QUERY_STATUS_TEXT) into a
// zero-filled buffer of bufferBytes, offering offerBytes; length is what WinINet wrote, in
// bytes. false with the call's error code when it failed.
bool QueryText(HINTERNET request, DWORD query, DWORD bufferBytes, DWORD offerBytes,
               std::vector<wchar_t>& buffer, DWORD& length, DWORD& error);

// Request, then connection, then root. Safe at any time and repeatedly.
void CloseInOrder(InternetHandle& request, InternetHandle& connection, InternetHandle& root);

}  // namespace http
}  // namespace velmot
