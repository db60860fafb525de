#include "support/unixshell.h"

#include "support/testenv.h"

#include <windows.h>

namespace testsupport {

std::string UnixPath(const std::wstring& path) {
  // Wine's own export; absent on Windows, where these tests do not run.
  using ToUnix = char*(__cdecl*)(const wchar_t*);
  // Through void*: the compiler rightly warns about casting between function types.
  auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (toUnix == nullptr) return std::string();
  char* unix = toUnix(path.c_str());
  if (unix == nullptr) return std::string();
  std::string text = unix;
  HeapFree(GetProcessHeap(), 0, unix);
  return text;
}

void RunUnix(const std::string& shellCommand) {
  std::wstring line = L"/bin/sh -c \"" + FromUtf8(shellCommand) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                     &info)) {
    if (info.hThread) CloseHandle(info.hThread);
    if (info.hProcess) CloseHandle(info.hProcess);
  }
}

}  // namespace testsupport
