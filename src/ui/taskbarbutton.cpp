#include "ui/taskbarbutton.h"

#include <objbase.h>
#include <shobjidl.h>

namespace {

class SystemTaskbarButton : public TaskbarButton {
 public:
  ~SystemTaskbarButton() override { Release(); }

  void SetProgress(HWND window, uint32_t percent) override {
    if (ITaskbarList3* list = List()) list->SetProgressValue(window, percent, 100);
  }

  void SetState(HWND window, State state) override {
    ITaskbarList3* list = List();
    if (list == nullptr) return;
    TBPFLAG flag = TBPF_NORMAL;
    if (state == State::kPaused) flag = TBPF_PAUSED;
    if (state == State::kError) flag = TBPF_ERROR;
    list->SetProgressState(window, flag);
  }

  void Flash(HWND window) override {
    FLASHWINFO info = {sizeof(info), window, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
    FlashWindowEx(&info);
  }

  void Recreated() override {
    Release();
    tried_ = false;
  }

 private:
  // Made on first use, on the UI thread (its apartment); without a shell that offers the
  // interface (Windows before 7, some Wine set-ups) the calls do nothing.
  ITaskbarList3* List() {
    if (!tried_) {
      tried_ = true;
      void* made = nullptr;
      if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ITaskbarList3, &made))) {
        list_ = static_cast<ITaskbarList3*>(made);
        if (FAILED(list_->HrInit())) Release();
      }
    }
    return list_;
  }

  void Release() {
    if (list_) list_->Release();
    list_ = nullptr;
  }

  ITaskbarList3* list_ = nullptr;
  bool tried_ = false;
};

}  // namespace

std::unique_ptr<TaskbarButton> TaskbarButton::System() {
  return std::unique_ptr<TaskbarButton>(new SystemTaskbarButton());
}
