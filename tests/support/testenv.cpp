#include "support/testenv.h"

#include "base/stringutils.h"

#include <atomic>
#include <cstdlib>

namespace testsupport {

std::wstring Get(const wchar_t* name) {
  wchar_t buffer[32768];
  DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
  if (n == 0 || n >= 32768) return L"";
  return std::wstring(buffer, n);
}

unsigned long EnvNumber(const char* name, unsigned long fallback) {
  const char* text = getenv(name);
  if (!text || !*text) return fallback;
  return strtoul(text, nullptr, 10);
}

bool FinishesWithin(DWORD timeoutMs, std::function<void()> call) {
  auto* job = new std::function<void()>(std::move(call));
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        auto* f = static_cast<std::function<void()>*>(p);
        (*f)();
        delete f;
        return 0;
      },
      job, 0, nullptr);
  if (!thread) {
    delete job;
    return false;
  }
  const bool ended = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return ended;
}

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"/*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"/" + name;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileW(path.c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(folder.c_str());
}

std::string Narrow(const std::wstring& text) { return StringUtils::ToNarrow(text); }

std::wstring FromUtf8(const std::string& utf8) {
  if (utf8.empty()) return L"";
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return "";
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

TempFolder::TempFolder(const std::wstring& tag) {
  static std::atomic<int> counter{0};
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring base = temp;
  for (auto& c : base)
    if (c == L'\\') c = L'/';
  if (!base.empty() && base.back() == L'/') base.pop_back();
  path_ = base + L"/velmot-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
  CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() { RemoveTree(path_); }

}  // namespace testsupport
