// The installer of the demo release (built by tools/demo as a GUI program): shows a small window
// saying that setup has started, writes "demo-setup-started.txt" into its working folder so that
// the demo knows, and closes itself after 20 seconds.
#include <windows.h>

namespace {

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void WriteMarker() {
  HANDLE file = CreateFileW(L"demo-setup-started.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, "started", 7, &written, nullptr);
  CloseHandle(file);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  WriteMarker();
  WNDCLASSW cls = {};
  cls.lpfnWndProc = WindowProc;
  cls.hInstance = instance;
  cls.hbrBackground = reinterpret_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  cls.lpszClassName = L"VelmotDemoSetup";
  RegisterClassW(&cls);
  HWND window =
      CreateWindowW(L"VelmotDemoSetup", L"Velmot Setup", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                    200, 200, 420, 160, nullptr, nullptr, instance, nullptr);
  CreateWindowW(L"STATIC",
                L"Velmot setup has started.\r\n\r\nThis is the demo installer fetched by the "
                L"Velmot download manager; it closes by itself.",
                WS_CHILD | WS_VISIBLE, 16, 16, 380, 90, window, nullptr, instance, nullptr);
  ShowWindow(window, SW_SHOW);
  SetTimer(window, 1, 20000, nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
