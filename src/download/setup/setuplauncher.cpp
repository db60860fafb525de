#include "download/setup/setuplauncher.h"

#include "base/comapartment.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "download/store/filesystem.h"
#include "download/setup/normalpriorityscope.h"
#include "download/setup/setupsignature.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {

// "<local name>part<k>", as PartStore names them.
bool IsPartFileName(const std::wstring& name) {
  size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= L'0' && name[digits - 1] <= L'9') --digits;
  return digits < name.size() && digits > 4 && name.compare(digits - 4, 4, L"part") == 0;
}

bool IsOwnFileName(const std::wstring& name) {
  return IsPartFileName(name) ||
         CompareStringOrdinal(name.c_str(), -1, L"logfile.gz", -1, TRUE) == CSTR_EQUAL;
}

std::wstring ParentOf(const std::wstring& canonical) {
  const size_t cut = canonical.find_last_of(L'\\');
  if (cut == std::wstring::npos) return std::wstring();
  return canonical.substr(0, cut == 2 ? 3 : cut);  // "C:\\" keeps its separator
}

// An item identifier list the shell allocated, freed with the shell's allocator.
struct ItemIdListFree {
  void operator()(ITEMIDLIST* list) const { ILFree(list); }
};
using ItemIdList = std::unique_ptr<ITEMIDLIST, ItemIdListFree>;

// Opens the file's folder in Explorer with the file selected (needs COM on this thread).
HRESULT SelectInFolder(const std::wstring& file) {
  std::wstring path = file;
  std::replace(path.begin(), path.end(), L'/', L'\\');  // the shell parses Windows paths only
  ItemIdList item(ILCreateFromPathW(path.c_str()));
  if (!item) return E_FAIL;
  return SHOpenFolderAndSelectItems(item.get(), 0, nullptr, 0);
}

}  // namespace

SetupLauncher::SetupLauncher(std::wstring publisher,
                             std::function<void(const std::wstring&)> showError,
                             std::function<void()> beforeRemoval)
    : publisher_(std::move(publisher)),
      showError_(std::move(showError)),
      beforeRemoval_(std::move(beforeRemoval)) {}

bool SetupLauncher::WorkFolderIsRemovable(const std::wstring& workFolder,
                                          const std::wstring& downloadFolder,
                                          const std::wstring& appDataFolder) {
  std::wstring work;
  std::wstring appData;
  if (!FileSystem::CanonicalPath(workFolder, work) ||
      !FileSystem::CanonicalPath(appDataFolder, appData)) {
    return false;
  }
  if (FileSystem::SamePath(work, appData) || !FileSystem::SamePath(ParentOf(work), appData)) {
    return false;
  }
  std::wstring download;
  if (!FileSystem::CanonicalPath(downloadFolder, download)) return false;
  for (std::wstring folder = download; !folder.empty(); folder = ParentOf(folder)) {
    if (FileSystem::SamePath(folder, work)) return false;
    if (ParentOf(folder) == folder) break;
  }
  return true;
}

void SetupLauncher::RemoveOwnFiles(const std::wstring& workFolder) {
  std::vector<std::wstring> files;
  FileSystem::ListFiles(workFolder, files);
  for (const std::wstring& file : files) {
    const std::wstring name = file.substr(file.find_last_of(L"/\\") + 1);
    if (IsOwnFileName(name) && !DeleteFileW(file.c_str())) {
      VELMOT_LOG_LAST_ERROR(L"Couldn't delete the work file " + file);
    }
  }
  // Fails, and keeps the folder, while anything not ours is left in it.
  RemoveDirectoryW(workFolder.c_str());
}

void SetupLauncher::Launch(const std::wstring& setupPath, const std::wstring& downloadFolder,
                           const std::wstring& workFolder, const std::wstring& appDataFolder) {
  if (setupPath.empty()) {
    Error::LogError(std::wstring(velmot::texts::kSetupMissing), DL_MANAGER_EXECUTABLE_MISSING,
                    VELMOT_HERE);
    if (showError_) showError_(velmot::texts::kSetupMissing);
    return;
  }
  SetupSignature signature(publisher_);  // holds the file until setup has started
  // A close must not wait for a revocation check that may go to the network.
  signature.wait = wait;
  std::wstring untrusted;
  if (!signature.Allows(setupPath, untrusted)) {
    // An empty text: the check was given up on a stop, and nobody is there to read it.
    if (showError_ && !untrusted.empty()) showError_(untrusted);
    return;
  }
  if (Error::HasErrors()) {
    Error::LogError(std::string(velmot::texts::kErrorsResolved), DL_MANAGER_ERRORS_RESOLVED,
                    VELMOT_HERE);
  }
  RemoveWorkFolder(workFolder, downloadFolder, appDataFolder);

  const intptr_t result = StartWhenNotBusy(setupPath, downloadFolder);
  if (result >= 32) return;
  ReportStartFailure(result, setupPath, downloadFolder);
}

intptr_t SetupLauncher::StartWhenNotBusy(const std::wstring& setupPath,
                                         const std::wstring& downloadFolder) {
  const ULONGLONG deadline = GetTickCount64() + kBusyRetryMs;
  DWORD waitMs = 250;
  for (;;) {
    intptr_t result = 0;
    DWORD error = 0;
    {
      NormalPriorityScope normal;  // setup must not inherit the window's background class
      velmot::ComApartment com;
      result =
          shellStart
              ? shellStart(setupPath, downloadFolder)
              : reinterpret_cast<intptr_t>(ShellExecuteW(nullptr, L"open", setupPath.c_str(), L"",
                                                         downloadFolder.c_str(), SW_SHOW));
      error = GetLastError();
    }
    // The shell maps most failures to its own small codes; the last error tells the
    // sharing and lock violations apart from the rest.
    const bool busy =
        result == SE_ERR_SHARE || result == SE_ERR_ACCESSDENIED ||
        (result < 32 && (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION));
    const ULONGLONG now = GetTickCount64();
    if (result >= 32 || !busy || now >= deadline) return result;
    const DWORD ms = static_cast<DWORD>(std::min<ULONGLONG>(waitMs, deadline - now));
    Error::ReportMessage(
        L"Setup is in use by another program (a virus scanner?); it is started "
        L"again in " +
            std::to_wstring(ms) + L" ms. Shell result: " + std::to_wstring(result) + L", error: " +
            std::to_wstring(error),
        VELMOT_HERE);
    if (wait) {
      if (!wait(ms)) return result;
    } else {
      Sleep(ms);
    }
    waitMs = std::min<DWORD>(waitMs * 2, 4000);
  }
}

void SetupLauncher::RemoveWorkFolder(const std::wstring& workFolder,
                                     const std::wstring& downloadFolder,
                                     const std::wstring& appDataFolder) {
  if (beforeRemoval_) beforeRemoval_();
  if (WorkFolderIsRemovable(workFolder, downloadFolder, appDataFolder)) {
    RemoveOwnFiles(workFolder);
  } else {
    Error::LogError(L"The work folder is not removed: " + workFolder, ERROR_INVALID_PARAMETER,
                    VELMOT_HERE);
  }
}

// Shows where the installer is, and opens that folder, so that the user can start it.
void SetupLauncher::ReportStartFailure(intptr_t result, const std::wstring& setupPath,
                                       const std::wstring& downloadFolder) {
  const std::wstring message = velmot::texts::kStartSetupFailedHead + setupPath + L" in folder " +
                               downloadFolder + L". The error message is: ";
  const std::wstring text = Error::FormatError(message, static_cast<uint32_t>(result), VELMOT_HERE);
  // Code 0, as the log's readers know this record: the shell's code is inside the text.
  Error::LogError(text, 0, VELMOT_HERE);
  if (showError_) showError_(text);
  velmot::ComApartment com;
  const HRESULT shown = showInFolder ? showInFolder(setupPath) : SelectInFolder(setupPath);
  if (FAILED(shown)) {
    Error::LogError(L"The folder of setup could not be opened: " + setupPath,
                    static_cast<uint32_t>(shown), VELMOT_HERE);
  }
}
