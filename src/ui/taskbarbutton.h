// The window's taskbar button: download progress and state (ITaskbarList3, as browsers show
// a download) and the flash that asks for the user's attention (FlashWindowEx). A seam: the
// window talks to this interface, tests hand it a recording one (Wine may draw nothing).
// UI thread only: ITaskbarList3 lives in the UI thread's COM apartment.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

class TaskbarButton {
 public:
  enum class State { kNormal, kPaused, kError };

  virtual ~TaskbarButton() = default;
  // percent: 0..100.
  virtual void SetProgress(HWND window, uint32_t percent) = 0;
  virtual void SetState(HWND window, State state) = 0;
  // Flashes the button until the window comes to the front.
  virtual void Flash(HWND window) = 0;
  // The shell (re)created the button (Explorer restarted, or the first time): whatever was
  // set before is gone; the next calls set it again.
  virtual void Recreated() {}

  // The system's: ITaskbarList3 when the shell offers it (calls are quietly dropped
  // otherwise), FlashWindowEx.
  static std::unique_ptr<TaskbarButton> System();
};
