#include "ui/releasepaths.h"

#include "base/stringutils.h"
#include "download/store/crcinforeader.h"

#include <windows.h>
#include <shlobj.h>

#include <stdexcept>
#include <vector>

ReleasePaths::ReleasePaths(const std::wstring& modulePath) : path_(modulePath) {}

std::wstring ReleasePaths::ModulePath() {
  // A program saved deep in a folder tree can have a path longer than MAX_PATH; a
  // truncated path would give a wrong release name, so the buffer grows until it fits.
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return L"";
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    if (buffer.size() >= 32768) return std::wstring(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring ReleasePaths::LocalAppData() {
  wchar_t buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return L"";
  }
  return buffer;
}

std::wstring ReleasePaths::ReleaseName() const {
  std::wstring name = path_;
  const size_t slash = name.rfind(L'\\');
  if (slash != std::wstring::npos) name = name.substr(slash + 1);
  if (name.size() >= 4) name.resize(name.size() - 4);
  const size_t underscore = name.rfind(L'_');
  if (underscore == std::wstring::npos) {
    throw std::out_of_range("the program's file name holds no \"_\", so it names no release");
  }
  return name.substr(0, underscore);
}

bool ReleasePaths::NamesARelease() const {
  try {
    return CRCInfoReader::IsSafeFileName(ReleaseName());
  } catch (const std::out_of_range&) {
    return false;
  }
}

std::wstring ReleasePaths::RequestName() const {
  std::wstring name = ReleaseName();
  return StringUtils::ReplaceAll(name, L".exe", L"");
}

std::wstring ReleasePaths::DownloadFolder() const {
  const size_t slash = path_.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path_.substr(0, slash);
}

std::wstring ReleasePaths::WorkFolder(const std::wstring& appData) const {
  std::wstring folder = appData + L"/" + ReleaseName();
  return StringUtils::ReplaceAll(folder, L"\\", L"/");
}

std::wstring ReleasePaths::ListFileName() const { return ReleaseName() + L".txt"; }
