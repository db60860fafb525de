// Shared test helpers: temporary folders inside the test prefix, environment lookups.
#pragma once

#include <string>

namespace testenv {

// Value of an environment variable set by tools/test-env (empty if unset).
std::wstring Get(const wchar_t* name);

// Removes a folder with everything in it ("/"-separated wide path); a missing one is fine.
void RemoveTree(const std::wstring& folder);

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

}  // namespace testenv
