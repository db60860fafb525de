// Keeps Wine's desktop for the whole test session (tools/test-env starts it with its output
// closed). Wine starts the desktop (explorer.exe) as a child of the first program that uses
// windows and ends it a second after the last one has gone. Started by a test, it would
// inherit that test's output and hold it open for as long as other tests use windows; ended
// and started again between tests, a program starting in that second could fail. This
// program uses the desktop through an invisible message-only window and waits until the
// session's wineserver ends it.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"VelmotDesktopKeeper";
  if (!RegisterClassW(&windowClass)) return 1;
  if (!CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                       instance, nullptr)) {
    return 1;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}
