// Stands in for the installer in the download manager's tests: writes the marker file
// "fakesetup-ran.txt" into its working folder and exits.
#include <windows.h>

int main() {
  HANDLE file = CreateFileW(L"fakesetup-ran.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, "ran", 3, &written, nullptr);
  CloseHandle(file);
  return 0;
}
