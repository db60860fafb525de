// Whether a verified setup executable may be started: its Authenticode signature is checked
// with WinVerifyTrust and its signer's common name compared with the required publisher
// (VELMOT_SETUP_PUBLISHER, compiled in). With no publisher required the finding is only
// recorded, so that the uploaded logs show what requiring one would change.
//
// Threads: used on the manager's thread just before setup starts; one object per start.
// With a wait set, the trust call runs on a worker thread of its own: WinVerifyTrust with
// revocation may ask the network (revocation lists, OCSP) for as long as the system's own
// time-outs allow and cannot be cancelled, and a close must not wait for it. A stop then
// leaves that worker to end by itself (Orx_Thread::Abandon); it touches only its own
// copies (path, call, a duplicate of the file handle) and the result it writes.
// Records its finding in the error log and throws nothing. The object keeps the checked
// file open without write or delete sharing until it is destroyed, so that the file that
// is started is the file that was checked: keep it alive until the shell has started it.
#pragma once

#include "base/handles.h"

#include <windows.h>

#include <functional>
#include <string>

// What the trust call found out about one file.
struct SetupTrust {
  // WinVerifyTrust's final result: 0 when the signature and its chain hold.
  LONG result = 0;
  // The result of the check with revocation when it could not be completed (offline, no
  // revocation server reachable) and the check was repeated without it; 0 otherwise.
  LONG revocationResult = 0;
  // The signing certificate's subject common name; empty when the file carries no signer.
  std::wstring signer;
};

class SetupSignature {
 public:
  // The trust call: the file by path and by an open handle (which may be invalid).
  using TrustCall = std::function<SetupTrust(const std::wstring& path, HANDLE file)>;

  // publisher: the required signer's common name, compared exactly; empty requires none.
  // trust: the call that asks the system (tests put a stand-in here).
  explicit SetupSignature(std::wstring publisher, TrustCall trust = &SetupSignature::Query);
  virtual ~SetupSignature() = default;
  SetupSignature(const SetupSignature&) = delete;
  SetupSignature& operator=(const SetupSignature&) = delete;

  // True when setup at path may start. Otherwise userText is the text for the user and the
  // reason is recorded with DL_MANAGER_SETUP_NOT_TRUSTED; the file is left where it is.
  // A check given up on a stop returns false with userText empty.
  bool Allows(const std::wstring& path, std::wstring& userText);

  // How the caller waits for the trust call: wait(ms) waits up to ms and returns false once
  // the job is stopped. Empty: the call runs on the caller's thread.
  std::function<bool(DWORD ms)> wait;

  // WinVerifyTrust with the generic Authenticode action, no UI, revocation checked on the
  // whole chain; when revocation cannot be checked the call is repeated without it.
  static SetupTrust Query(const std::wstring& path, HANDLE file);

  // "0x800B0100 TRUST_E_NOSIGNATURE": a trust result as the log shows it.
  static std::wstring ResultText(LONG result);

  // The first line of the user's text on a refusal.
  static const wchar_t kRefusalText[];

 private:
  // The trust call on its worker, waited for with wait; false when a stop came first.
  bool QueryOnWorker(const std::wstring& path, SetupTrust& trust);

  std::wstring publisher_;
  TrustCall trust_;
  velmot::FileHandle held_;
};
