#include "download/setup/setupsignature.h"

#include "base/orx_thread.h"
#include "diagnostics/error.h"

#include <windows.h>
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include <cwchar>
#include <memory>
#include <utility>

namespace {

// Revocation could not be asked (offline, no revocation server reachable, or a
// certificate that names none). Refusing then would stop every offline customer, so the
// check is repeated without revocation; a certificate found revoked (CRYPT_E_REVOKED)
// is never in this list.
bool RevocationUnavailable(LONG result) {
  return result == static_cast<LONG>(CERT_E_REVOCATION_FAILURE) ||
         result == static_cast<LONG>(CRYPT_E_REVOCATION_OFFLINE) ||
         result == static_cast<LONG>(CRYPT_E_NO_REVOCATION_CHECK);
}

std::wstring CommonName(PCCERT_CONTEXT cert) {
  void* oid = const_cast<char*>(szOID_COMMON_NAME);
  DWORD size = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, nullptr, 0);
  if (size <= 1) return std::wstring();
  std::wstring name(size, L'\0');
  size = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, &name[0], size);
  name.resize(size > 0 ? size - 1 : 0);
  return name;
}

// The signer's chain judged again with the Authenticode chain policy. On Windows this
// repeats what WinVerifyTrust has just done and changes nothing; Wine's WinVerifyTrust
// returns 0 for chains that end in an untrusted root or in no root at all (measured, see
// docs/release.md), and without this any self-made certificate with the publisher's name
// would pass there. Revocation is left to WinVerifyTrust: its offline fallback stands.
LONG ChainPolicyResult(PCCERT_CHAIN_CONTEXT chain) {
  CERT_CHAIN_POLICY_PARA para{};
  para.cbSize = sizeof(para);
  para.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof(status);
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &para, &status)) {
    return static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED);
  }
  if (status.dwError != 0) return static_cast<LONG>(status.dwError);
  // Wine's policy lets a chain without a root through; Windows' says CERT_E_CHAINING.
  if (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN) {
    return static_cast<LONG>(CERT_E_CHAINING);
  }
  return 0;
}

// The trust provider's entry points. wintrust.dll is loaded from System32 when the first
// check runs, not imported: the program's import table then names only the base DLLs that
// start it, only a start that checks a signature pays for the provider, and no copy
// planted beside the program can stand in for it. The module stays loaded for the process.
struct TrustApi {
  decltype(&::WinVerifyTrust) verify = nullptr;
  decltype(&::WTHelperProvDataFromStateData) providerData = nullptr;
  decltype(&::WTHelperGetProvSignerFromChain) signerOf = nullptr;
  bool Complete() const { return verify && providerData && signerOf; }
};

// GetProcAddress's generic pointer, as the entry point's own type.
template <typename Function>
void Load(HMODULE module, const char* name, Function& entry) {
  entry = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const TrustApi& Trust() {
  static const TrustApi api = [] {
    TrustApi loaded;
    HMODULE module = LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return loaded;
    Load(module, "WinVerifyTrust", loaded.verify);
    Load(module, "WTHelperProvDataFromStateData", loaded.providerData);
    Load(module, "WTHelperGetProvSignerFromChain", loaded.signerOf);
    return loaded;
  }();
  return api;
}

// One WinVerifyTrust call. The signer is read from the call's state, which exists also
// when the chain is not trusted, before the state is closed.
LONG VerifyOnce(const std::wstring& path, HANDLE file, bool revocation, std::wstring& signer) {
  signer.clear();
  const TrustApi& trust = Trust();
  // Without the provider nothing can be shown to be signed: a refusal, never a pass.
  if (!trust.Complete()) return static_cast<LONG>(TRUST_E_PROVIDER_UNKNOWN);
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = path.c_str();
  fileInfo.hFile = file == INVALID_HANDLE_VALUE ? nullptr : file;
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = revocation ? WTD_REVOKE_WHOLECHAIN : WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = revocation ? WTD_REVOCATION_CHECK_CHAIN : WTD_REVOCATION_CHECK_NONE;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  // INVALID_HANDLE_VALUE as the window: there is no interactive user to ask.
  HWND noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
  LONG result = trust.verify(noUser, &action, &data);

  if (data.hWVTStateData != nullptr) {
    CRYPT_PROVIDER_DATA* provider = trust.providerData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* sgnr =
        provider != nullptr ? trust.signerOf(provider, 0, FALSE, 0) : nullptr;
    if (sgnr != nullptr && sgnr->csCertChain > 0 && sgnr->pasCertChain != nullptr &&
        sgnr->pasCertChain[0].pCert != nullptr) {
      signer = CommonName(sgnr->pasCertChain[0].pCert);
    }
    if (result == 0) {
      result = sgnr != nullptr && sgnr->pChainContext != nullptr
                   ? ChainPolicyResult(sgnr->pChainContext)
                   : static_cast<LONG>(TRUST_E_NO_SIGNER_CERT);
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    trust.verify(noUser, &action, &data);
  }
  return result;
}

struct ResultName {
  DWORD code;
  const wchar_t* name;
};

const ResultName kResultNames[] = {
    {static_cast<DWORD>(TRUST_E_NOSIGNATURE), L"TRUST_E_NOSIGNATURE"},
    {static_cast<DWORD>(TRUST_E_BAD_DIGEST), L"TRUST_E_BAD_DIGEST"},
    {static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN), L"TRUST_E_SUBJECT_FORM_UNKNOWN"},
    {static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED), L"TRUST_E_SUBJECT_NOT_TRUSTED"},
    {static_cast<DWORD>(TRUST_E_EXPLICIT_DISTRUST), L"TRUST_E_EXPLICIT_DISTRUST"},
    {static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN), L"TRUST_E_PROVIDER_UNKNOWN"},
    {static_cast<DWORD>(TRUST_E_NO_SIGNER_CERT), L"TRUST_E_NO_SIGNER_CERT"},
    {static_cast<DWORD>(TRUST_E_CERT_SIGNATURE), L"TRUST_E_CERT_SIGNATURE"},
    {static_cast<DWORD>(CERT_E_UNTRUSTEDROOT), L"CERT_E_UNTRUSTEDROOT"},
    {static_cast<DWORD>(CERT_E_CHAINING), L"CERT_E_CHAINING"},
    {static_cast<DWORD>(CERT_E_EXPIRED), L"CERT_E_EXPIRED"},
    {static_cast<DWORD>(CERT_E_WRONG_USAGE), L"CERT_E_WRONG_USAGE"},
    {static_cast<DWORD>(CERT_E_REVOKED), L"CERT_E_REVOKED"},
    {static_cast<DWORD>(CERT_E_REVOCATION_FAILURE), L"CERT_E_REVOCATION_FAILURE"},
    {static_cast<DWORD>(CRYPT_E_REVOKED), L"CRYPT_E_REVOKED"},
    {static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE), L"CRYPT_E_REVOCATION_OFFLINE"},
    {static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK), L"CRYPT_E_NO_REVOCATION_CHECK"},
    {static_cast<DWORD>(CRYPT_E_FILE_ERROR), L"CRYPT_E_FILE_ERROR"},
};

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// How often a trust call still running is looked at between the caller's waits.
constexpr DWORD kTrustPollMs = 50;

// One trust call on a thread of its own, with copies of everything it uses, so that it may
// be left to end by itself.
class TrustQuery : public Orx_Thread {
 public:
  TrustQuery(SetupSignature::TrustCall call, std::wstring path, HANDLE file)
      : Orx_Thread(L"Velmot signature check"), call_(std::move(call)), path_(std::move(path)) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (file != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
      file_.Reset(copy);
    }
  }
  ~TrustQuery() override { Stop(INFINITE); }

  // Valid once the thread has ended; ran stays false when no thread could be started.
  SetupTrust result;
  bool ran = false;

 protected:
  void Run() override {
    ran = true;
    result = call_(path_, file_.Get());
  }
  void OnEscapedException(const std::exception* e) override {
    Error::LogError(
        std::string("SetupSignature: the trust call failed: ") + (e ? e->what() : "unknown"), 0,
        VELMOT_HERE);
    result.result = static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED);
  }

 private:
  const SetupSignature::TrustCall call_;
  const std::wstring path_;
  velmot::FileHandle file_;
};

}  // namespace

const wchar_t SetupSignature::kRefusalText[] =
    L"The downloaded installer could not be verified as coming from Velmot, so it was not "
    L"started.";

SetupSignature::SetupSignature(std::wstring publisher, TrustCall trust)
    : publisher_(std::move(publisher)), trust_(std::move(trust)) {}

SetupTrust SetupSignature::Query(const std::wstring& path, HANDLE file) {
  SetupTrust trust;
  trust.result = VerifyOnce(path, file, true, trust.signer);
  if (RevocationUnavailable(trust.result)) {
    trust.revocationResult = trust.result;
    trust.result = VerifyOnce(path, file, false, trust.signer);
  }
  return trust;
}

std::wstring SetupSignature::ResultText(LONG result) {
  wchar_t hex[16];
  std::swprintf(hex, sizeof(hex) / sizeof(hex[0]), L"0x%08lX", static_cast<unsigned long>(result));
  std::wstring text(hex);
  for (const ResultName& known : kResultNames) {
    if (known.code == static_cast<DWORD>(result)) return text + L" " + known.name;
  }
  return text;
}

bool SetupSignature::QueryOnWorker(const std::wstring& path, SetupTrust& trust) {
  std::unique_ptr<TrustQuery> query(new TrustQuery(trust_, path, held_.Get()));
  query->Start();
  while (!query->WaitForEnd(0)) {
    if (!wait(kTrustPollMs)) {
      // WinVerifyTrust cannot be cancelled: the worker ends when the call returns (or with
      // the process), on its own object.
      if (!query->StopWithin(0)) Orx_Thread::Abandon(std::move(query));
      return false;
    }
  }
  // Without a thread of its own the check still runs, here.
  trust = query->ran ? query->result : trust_(path, held_.Get());
  return true;
}

bool SetupSignature::Allows(const std::wstring& path, std::wstring& userText) {
  userText.clear();
  // Opened before the check and held until this object goes: nobody can replace or
  // rewrite the file between the check and the start.
  held_.Reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!held_) {
    DWORD err = GetLastError();
    Error::LogError(L"Setup could not be opened for its signature check: " + path, err,
                    VELMOT_HERE);
  }
  SetupTrust trust;
  if (!wait) {
    trust = trust_(path, held_.Get());
  } else if (!QueryOnWorker(path, trust)) {
    Error::LogError(L"The setup's signature check was given up: the job was stopped: " + path, 0,
                    VELMOT_HERE);
    return false;
  }

  if (trust.revocationResult != 0) {
    Error::LogError(L"The revocation of the setup's signing certificates could not be checked (" +
                        ResultText(trust.revocationResult) + L"); checked without it: " + path,
                    0, VELMOT_HERE);
  }
  const bool holds = trust.result == 0;
  const std::wstring signer = trust.signer.empty() ? L"nobody" : Quoted(trust.signer);
  const std::wstring finding = L"signed by " + signer + L", WinVerifyTrust result " +
                               ResultText(trust.result) + L": " + path;
  if (publisher_.empty()) {
    // A note: without a required publisher this changes nothing.
    Error::LogMessage(std::wstring(L"Setup signature ") + (holds ? L"holds" : L"does not hold") +
                          L" (no publisher required); " + finding,
                      VELMOT_HERE);
    return true;
  }
  if (holds && trust.signer == publisher_) {
    Error::LogMessage(L"Setup signature holds; " + finding, VELMOT_HERE);
    return true;
  }
  std::wstring reason;
  if (trust.result == static_cast<LONG>(TRUST_E_NOSIGNATURE)) {
    reason = L"it is not signed";
  } else if (!holds) {
    reason = L"its signature does not hold";
  } else {
    reason = L"its signer is not " + Quoted(publisher_);
  }
  Error::LogError(L"Setup not started: " + reason + L"; " + finding, DL_MANAGER_SETUP_NOT_TRUSTED,
                  VELMOT_HERE);
  userText = std::wstring(kRefusalText) +
             L"\r\n\r\nThe file was kept for our support team to examine:\r\n" + path +
             L"\r\n\r\nPlease contact the Velmot Support Center.";
  return false;
}
