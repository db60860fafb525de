#include "diagnostics/computerid.h"

#include "base/handles.h"
#include "diagnostics/error.h"
#include "base/stringutils.h"

#include <windows.h>
#include <wincrypt.h>

#ifdef _MSC_VER
#include <intrin.h>
#else
#include <cpuid.h>
#endif

#include <cstdint>
#include <cstring>

namespace {

// Records a failed CryptoAPI call under its name; line is the failing call's.
bool Failed(const char* call, int line) {
  DWORD code = GetLastError();
  Error::LogError(std::string(call), code, __FILE__, line);
  return false;
}

// Highest standard leaf and vendor text, in the order EAX, EBX, ECX, EDX.
void CpuidLeaf0(int32_t registers[4]) {
#ifdef _MSC_VER
  int values[4] = {};
  __cpuidex(values, 0, 0);
  for (int i = 0; i < 4; ++i) registers[i] = values[i];
#else
  unsigned int a = 0, b = 0, c = 0, d = 0;
  __cpuid_count(0, 0, a, b, c, d);
  registers[0] = static_cast<int32_t>(a);
  registers[1] = static_cast<int32_t>(b);
  registers[2] = static_cast<int32_t>(c);
  registers[3] = static_cast<int32_t>(d);
#endif
}

}  // namespace

bool ComputerId::ReadMachineGuid(std::string& guid) {
  guid.clear();
  velmot::RegistryKey owned;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", 0,
                              KEY_READ | KEY_WOW64_64KEY, owned.Put());
  if (result != ERROR_SUCCESS) {
    Error::LogError(
        std::string("Unable to open HKLM\\Software\\Microsoft\\Cryptography registry key"),
        static_cast<uint32_t>(result), VELMOT_HERE);
    return true;
  }
  char buffer[255] = {};
  DWORD size = sizeof(buffer);
  if (RegQueryValueExA(owned.Get(), "MachineGuid", nullptr, nullptr,
                       reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS) {
    // A value that fills the buffer has no terminator of its own.
    guid.assign(buffer, strnlen(buffer, sizeof(buffer)));
  }
  return true;
}

bool ComputerId::ReadVolumeGuid(std::string& guid) {
  guid.clear();
  char buffer[1024] = {};
  if (!GetVolumeNameForVolumeMountPointA("C:\\", buffer, 1023)) {
    VELMOT_LOG_LAST_ERROR(std::string("GetVolumeNameForVolumeMountPoint failed"));
    return true;
  }
  std::string path(buffer);
  size_t open = path.find('{');
  size_t close = path.find('}');
  if (open != std::string::npos && close != std::string::npos && close > open) {
    guid = path.substr(open + 1, close - open - 1);
  }
  return true;
}

bool ComputerId::BuildText(std::string& text) {
  std::string machine, volume;
  ReadMachineGuid(machine);
  ReadVolumeGuid(volume);
  text = machine + "|" + volume;
  int32_t registers[4];
  CpuidLeaf0(registers);
  for (int32_t value : registers) text += std::to_string(value);
  return true;
}

bool ComputerId::HashHex(const std::string& text, std::string& digest) {
  velmot::CryptContext context;
  if (!CryptAcquireContextW(context.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    return Failed("CryptAcquireContext", __LINE__);
  }
  velmot::CryptHash hash;
  if (!CryptCreateHash(context.Get(), CALG_SHA1, 0, 0, hash.Put())) {
    return Failed("CryptCreateHash", __LINE__);
  }
  if (!CryptHashData(hash.Get(), reinterpret_cast<const BYTE*>(text.data()),
                     static_cast<DWORD>(text.size()), 0)) {
    return Failed("CryptHashData", __LINE__);
  }
  BYTE value[20] = {};
  DWORD length = sizeof(value);
  if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, value, &length, 0)) {
    return Failed("CryptGetHashParam", __LINE__);
  }
  // Released by hand on the normal path so that a failing release is recorded too.
  if (!CryptDestroyHash(hash.Release())) return Failed("CryptDestroyHash", __LINE__);
  if (!CryptReleaseContext(context.Release(), 0)) return Failed("CryptReleaseContext", __LINE__);

  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (BYTE b : value) {
    hex += kHex[b >> 4];
    hex += kHex[b & 0x0F];
  }
  digest = hex;
  return true;
}

bool ComputerId::Compute(std::string& id) {
  id.clear();
#ifdef VELMOT_TEST_SEAMS
  // Test builds only: whole-program runs side by side on one machine send an identity of
  // their own, so that each finds its own log upload at the web service.
  char forced[129];
  const DWORD n = GetEnvironmentVariableA("VELMOT_TEST_COMPUTER_ID", forced, sizeof(forced));
  if (n > 0 && n < sizeof(forced)) {
    id.assign(forced, n);
    return true;
  }
#endif
  std::string text;
  BuildText(text);
  HashHex(text, id);
  return true;
}

bool ComputerId::ComputeWide(std::wstring& id) {
  std::string narrow;
  Compute(narrow);
  id = StringUtils::ToWide(narrow);
  return true;
}
