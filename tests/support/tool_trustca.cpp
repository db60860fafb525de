// trustca.exe CA.der
// Adds a test CA certificate (DER file) to the LocalMachine "Root" store of the Wine prefix
// it runs in, so that the loopback test servers' certificates verify inside that prefix
// only; the machine's own trust is never touched. Run by tests/servers/start.
// Exit code 0 when the certificate is in the store afterwards.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

namespace {

bool ReadWholeFile(const char* path, std::vector<BYTE>& bytes) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (1 << 20);
  if (ok) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
         read == bytes.size();
  }
  CloseHandle(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trustca CA.der\n");
    return 2;
  }
  std::vector<BYTE> der;
  if (!ReadWholeFile(argv[1], der)) {
    std::fprintf(stderr, "trustca: cannot read %s (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) {
    std::fprintf(stderr, "trustca: cannot open the Root store (error %lu)\n", GetLastError());
    return 1;
  }
  BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  DWORD error = GetLastError();
  CertCloseStore(store, 0);
  if (!added) {
    std::fprintf(stderr, "trustca: adding the certificate failed (error 0x%lx)\n", error);
    return 1;
  }
  std::printf("trustca: %s trusted\n", argv[1]);
  return 0;
}
