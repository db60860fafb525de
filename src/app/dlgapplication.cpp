#include "app/dlgapplication.h"

#include "base/orx_thread.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "ui/downloaddialog.h"
#include "ui/releasepaths.h"
#include "ui/singleinstance.h"

#include <objbase.h>

#include <exception>
#include <string>

namespace {

HINSTANCE g_instance = nullptr;

// The record of an exception that ended the run names this fixed site.
const char kEntryFile[] = "dlgapplication";
const int kEntryLine = 76;

}  // namespace

DlgApplication::DlgApplication(HINSTANCE instance) : instance_(instance) {}

HINSTANCE DlgApplication::Instance() { return g_instance; }

HRESULT DlgApplication::InitializeSecurity() {
  return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
}

int DlgApplication::Run() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const HRESULT security = InitializeSecurity();
  if (FAILED(security) && security != RPC_E_TOO_LATE) return -1;
  g_instance = instance_;
  try {
    InstallStructuredExceptionTranslator();
    RunDialog();
  } catch (const std::exception& e) {
    Error::LogMessage(std::string(velmot::texts::kApplicationMalfunction) + e.what(), kEntryFile,
                      kEntryLine);
  }
  CoUninitialize();
  return 0;
}

void DlgApplication::RunDialog() {
  const ReleasePaths paths(ReleasePaths::ModulePath());
  const std::wstring release = paths.NamesARelease() ? paths.ReleaseName() : std::wstring();
  SingleInstance instance(release);
  if (!instance.IsFirst()) {
    SingleInstance::BringToFront(release + L" download manager");
    return;
  }
  DownloadDialog dialog(instance_);
  dialog.Show();
  MessageLoop(dialog.Window());
}

void DlgApplication::MessageLoop(HWND dialog) {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (dialog != nullptr && IsDialogMessageW(dialog, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}
