#include "download/service/descriptorrequest.h"

#include "base/systemtexts.h"
#include "base/stringutils.h"
#include "diagnostics/error.h"
#include "download/store/filesystem.h"

#include <string>

namespace {

// The folder as Explorer shows it.
std::wstring Shown(std::wstring folder) {
  StringUtils::ReplaceAll(folder, L"/", L"\\");
  return folder;
}

}  // namespace

DescriptorRequest::DescriptorRequest(const std::wstring& computerId,
                                     const std::wstring& releaseName,
                                     const std::wstring& workFolder,
                                     const std::wstring& downloadFolder, HWND window,
                                     UINT doneMessage)
    : Orx_Thread(L"Velmot download request"),
      computerId_(computerId),
      releaseName_(releaseName),
      workFolder_(workFolder),
      downloadFolder_(downloadFolder),
      window_(window),
      doneMessage_(doneMessage) {}

// The body uses the members: it must end before they go away.
DescriptorRequest::~DescriptorRequest() { Stop(INFINITE); }

DescriptorRequest::Result DescriptorRequest::TakeResult() {
  velmot::CriticalSectionLock hold(resultLock_);
  return result_;
}

// Runs on this worker, not the UI thread: a probe on a slow share can take its time. The
// folder watcher does not watch yet (the job starts after the answer), so the probes need
// no announcement.
bool DescriptorRequest::FoldersTakeFiles(std::wstring& errorText) const {
  // Made here already, so that the log upload after a refusal has a place for its file.
  if (!workFolder_.empty()) CreateDirectoryW(workFolder_.c_str(), nullptr);
  struct Needed {
    const std::wstring& folder;
    const char* record;
    const wchar_t* head;
    const wchar_t* tail;
  };
  const Needed needed[] = {
      {downloadFolder_, velmot::texts::kProgramFolderLockedRecord,
       velmot::texts::kProgramFolderLockedHead, velmot::texts::kProgramFolderLockedTail},
      {workFolder_, velmot::texts::kWorkFolderLockedRecord, velmot::texts::kWorkFolderLockedHead,
       velmot::texts::kWorkFolderLockedTail},
  };
  for (const Needed& each : needed) {
    DWORD error = ERROR_SUCCESS;
    if (each.folder.empty() || FileSystem::CanCreateFiles(each.folder, error)) continue;
    Error::LogError(each.record + StringUtils::ToNarrow(Shown(each.folder)), error, VELMOT_HERE);
    errorText += each.head + Shown(each.folder) + each.tail;
    return false;
  }
  return true;
}

void DescriptorRequest::Run() {
  Result result;
  result.ok = FoldersTakeFiles(result.errorText) &&
              ServiceClient(computerId_)
                  .RequestDownload(releaseName_, workFolder_, result.descriptor,
                                   result.productSuffix, result.errorText, &cancel_);
  result.ok = result.ok && result.errorText.empty();
  result.done = true;
  {
    velmot::CriticalSectionLock hold(resultLock_);
    result_ = result;
  }
  PostMessageW(window_, doneMessage_, 0, 0);
}

void DescriptorRequest::OnStopRequested() { cancel_.Cancel(); }

void DescriptorRequest::OnEscapedException(const std::exception* e) {
  Error::LogError(std::string(velmot::texts::kManagerMalfunction) + (e ? e->what() : "unknown"),
                  DL_MANAGER_WIN32_EXCEPTION, VELMOT_HERE);
  {
    velmot::CriticalSectionLock hold(resultLock_);
    result_.done = true;
    result_.ok = false;
  }
  // The window must not wait for an answer that will never come.
  PostMessageW(window_, doneMessage_, 0, 0);
}
