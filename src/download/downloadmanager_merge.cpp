// Joining an installer file's part files into the file, and starting setup once every
// installer file is verified.
#include "download/downloadmanager.h"

#include "diagnostics/error.h"
#include "download/crc.h"
#include "download/filesystem.h"
#include "download/normalpriorityscope.h"
#include "download/setupsignature.h"

#include <shellapi.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring Normalised(const std::wstring& path) {
  std::wstring n = path;
  for (wchar_t& c : n) {
    if (c == L'\\') c = L'/';
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  while (!n.empty() && n.back() == L'/') n.pop_back();
  return n;
}

}  // namespace

// Each part is checked again, appended with one write and deleted at once, so the disk
// holds about one copy of the file while it is merged.
void DownloadManager::MergePartFiles(size_t partCount, const CRCInfoEntry& entry) {
  if (!IsSafeFileName(currentName)) {
    Error::LogError(L"Rejected file name for merging: " + currentName, DL_MANAGER_INVALID_FILE_NAME,
                    VELMOT_HERE);
    return;
  }
  CRC crc;
  crc.BuildTable();
  const std::wstring target = downloadFolder + L"/" + currentName;
  velmot::FileHandle out(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) {
    DWORD err = GetLastError();
    Error::LogError(L"Merging part files failed. Unable to create: " + target, err, VELMOT_HERE);
    return;
  }
  copyPercent = 0;
  copying = true;
  std::vector<uint8_t> buffer;
  bool merged = true;
  for (size_t i = 0; i < partCount && merged; ++i) {
    copyPercent = static_cast<uint64_t>(100.0 * static_cast<double>(i) / static_cast<double>(partCount));
    merged = false;
    const std::wstring partPath = PartPath(i);
    velmot::FileHandle part(CreateFileW(partPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!part) {
      DWORD err = GetLastError();
      Error::LogError(L"Merging part files failed. Unable to open: " + partPath, err, "", 0);
      break;
    }
    LARGE_INTEGER size64;
    if (!GetFileSizeEx(part.Get(), &size64)) size64.QuadPart = 0;
    // A part is never larger than the part size; a larger file is not ours to trust.
    DWORD size = size64.QuadPart > kPartSize ? kPartSize + 1 : static_cast<DWORD>(size64.QuadPart);
    if (buffer.size() < size) buffer.resize(size);
    DWORD read = 0;
    if (size > 0 && !ReadFile(part.Get(), buffer.data(), size, &read, nullptr)) {
      DWORD err = GetLastError();
      Error::LogError(L"Merging part files failed. Unable to read: " + partPath, err, VELMOT_HERE);
      break;
    }
    const int32_t expected = i + 2 < entry.size() ? ParseCrcLine(entry[i + 2]) : 0;
    if (i + 2 >= entry.size() || size64.QuadPart > kPartSize ||
        static_cast<int32_t>(crc.Compute(buffer.data(), read)) != expected) {
      DWORD err = GetLastError();
      Error::LogError(L"CRC Check of file : " + target + L" failed!", err, VELMOT_HERE);
      break;
    }
    DWORD written = 0;
    if (read > 0 && !WriteFile(out.Get(), buffer.data(), read, &written, nullptr)) {
      DWORD err = GetLastError();
      Error::LogError(L"Merging part files failed. Unable to write to: " + target, err, VELMOT_HERE);
      break;
    }
    if (written < read) break;
    part.Reset();
    DeleteOwnFile(partPath);
    merged = true;
  }
  out.Reset();
  if (!merged) DeleteOwnFile(target);
  copying = false;
}

// The work folder is removed with everything in it; never a drive root, and never a
// folder that holds the download folder (the installer files would go with it).
bool DownloadManager::WorkFolderIsRemovable() const {
  const std::wstring work = Normalised(workFolder);
  if (work.empty() || work.size() <= 2 || work.find(L'/') == std::wstring::npos) return false;
  const std::wstring download = Normalised(downloadFolder);
  if (download == work) return false;
  return download.compare(0, work.size() + 1, work + L"/") != 0;
}

void DownloadManager::StartSetup() {
  if (setupPath.empty()) {
    const wchar_t text[] = L"Failed to run setup. Setup executable is missing.";
    Error::LogError(std::wstring(text), DL_MANAGER_EXECUTABLE_MISSING, VELMOT_HERE);
    if (listener_) listener_->OnError(text);
    return;
  }
  SetupSignature signature(setupPublisher);  // holds the file until setup has started
  std::wstring untrusted;
  if (!signature.Allows(setupPath, untrusted)) {
    if (listener_) listener_->OnError(untrusted);
    return;
  }
  if (Error::HasErrors()) {
    Error::LogError(
        std::string("The download contained errors, but they seem to be resolved. Starting setup"),
        DL_MANAGER_ERRORS_RESOLVED, VELMOT_HERE);
  }
  watcher_.Stop(500);
  if (WorkFolderIsRemovable()) {
    FileSystem::RecursivelyRemoveDirectory(workFolder);
  } else {
    Error::LogError(L"The work folder is not removed: " + workFolder, ERROR_INVALID_PARAMETER,
                    VELMOT_HERE);
  }

  INT_PTR result = 0;
  {
    NormalPriorityScope normal;  // setup must not inherit the window's background class
    result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", setupPath.c_str(), L"", downloadFolder.c_str(), SW_SHOW));
  }
  if (result >= 32) return;
  const std::wstring message = L"Unable to start setup. You can start it manually by executing the file " +
                               setupPath + L" in folder " + downloadFolder +
                               L". The error message is: ";
  const std::wstring text =
      Error::FormatError(message, static_cast<uint32_t>(result), VELMOT_HERE);
  Error::LogError(text, 0, "", 0);
  if (listener_) listener_->OnError(text);
  ShellExecuteW(nullptr, L"explore", setupPath.c_str(), L"", downloadFolder.c_str(), SW_SHOW);
}
