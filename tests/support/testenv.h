// Shared test helpers: temporary folders inside the test prefix, environment lookups, folder
// removal and text conversions. Everything under tests/support lives in the namespace
// testsupport.
#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

// Value of an environment variable set by tools/test-env (empty if unset).
std::wstring Get(const wchar_t* name);
// A decimal number from the environment (campaign sizes, seeds), or fallback if unset.
unsigned long EnvNumber(const char* name, unsigned long fallback);

// Polls condition every 10 ms: true once it holds, false when timeoutMs ran out first.
template <typename Condition>
bool Eventually(Condition condition, unsigned timeoutMs = 10000) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (GetTickCount64() < end) {
    if (condition()) return true;
    Sleep(10);
  }
  return condition();
}

inline bool Contains(const std::wstring& text, const std::wstring& piece) {
  return text.find(piece) != std::wstring::npos;
}

// How often piece stands in text (occurrences that overlap count each), as in a log.
inline size_t Occurrences(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// Removes folder with everything in it, read-only files included; missing is fine.
void RemoveTree(const std::wstring& folder);

// ANSI-code-page text, as the error log stores it (StringUtils::ToNarrow).
std::string Narrow(const std::wstring& text);
// UTF-8, as the test servers speak it.
std::wstring FromUtf8(const std::string& utf8);
std::string ToUtf8(const std::wstring& text);

// A fresh, empty folder (wide path with "/" separators) that is removed with its contents
// when the object goes away.
class TempFolder {
 public:
  explicit TempFolder(const std::wstring& tag = L"t");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::wstring& Path() const { return path_; }
  std::wstring File(const std::wstring& name) const { return path_ + L"/" + name; }

 private:
  std::wstring path_;
};

}  // namespace testsupport
