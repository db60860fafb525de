#include "download/descriptorrequest.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"

#include <string>

DescriptorRequest::DescriptorRequest(const std::wstring& computerId,
                                     const std::wstring& releaseName,
                                     const std::wstring& workFolder, HWND window, UINT doneMessage)
    : Orx_Thread(L"Velmot download request"),
      computerId_(computerId),
      releaseName_(releaseName),
      workFolder_(workFolder),
      window_(window),
      doneMessage_(doneMessage) {}

// The body uses the members: it must end before they go away.
DescriptorRequest::~DescriptorRequest() { Stop(INFINITE); }

DescriptorRequest::Result DescriptorRequest::TakeResult() {
  velmot::CriticalSectionLock hold(resultLock_);
  return result_;
}

void DescriptorRequest::Run() {
  Result result;
  result.ok = ServiceClient(computerId_)
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
