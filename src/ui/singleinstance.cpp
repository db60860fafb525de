#include "ui/singleinstance.h"

#include <cstdint>
#include <cwchar>

namespace {

const wchar_t kPrefix[] = L"Local\\Velmot download manager ";
// Kernel object names stop at MAX_PATH characters; longer release names keep a readable
// start and a hash of the whole.
const size_t kMaxNameChars = 200;

std::wstring UpperInvariant(const std::wstring& text) {
  if (text.empty()) return text;
  std::wstring upper(text.size(), L'\0');
  const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.c_str(),
                              static_cast<int>(text.size()), &upper[0],
                              static_cast<int>(upper.size()), nullptr, nullptr, 0);
  return n > 0 ? upper.substr(0, static_cast<size_t>(n)) : text;
}

std::wstring Fnv1aHex(const std::wstring& text) {
  uint64_t hash = 14695981039346656037ull;
  for (wchar_t c : text) {
    hash ^= static_cast<uint16_t>(c);
    hash *= 1099511628211ull;
  }
  wchar_t hex[17];
  swprintf(hex, 17, L"%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

}  // namespace

std::wstring SingleInstance::MutexName(const std::wstring& releaseName) {
  std::wstring name = UpperInvariant(releaseName);
  // A backslash would open a namespace of its own; release names never hold one, but the
  // name must stay one object name whatever it holds.
  for (wchar_t& c : name) {
    if (c == L'\\') c = L'/';
  }
  if (name.size() > kMaxNameChars) name = name.substr(0, kMaxNameChars) + L" " + Fnv1aHex(name);
  return kPrefix + name;
}

SingleInstance::SingleInstance(const std::wstring& releaseName) {
  if (releaseName.empty()) return;
  mutex_ = CreateMutexW(nullptr, FALSE, MutexName(releaseName).c_str());
  // A mutex that cannot be had at all (another object of that name) also means another
  // copy is in the way; a second window is the worse outcome.
  const DWORD error = GetLastError();
  first_ = mutex_ != nullptr && error != ERROR_ALREADY_EXISTS;
}

SingleInstance::~SingleInstance() {
  if (mutex_ != nullptr) CloseHandle(mutex_);
}

void SingleInstance::BringToFront(const std::wstring& caption) {
  HWND window = FindWindowW(L"#32770", caption.c_str());
  if (window == nullptr) return;
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  SetForegroundWindow(window);
}
