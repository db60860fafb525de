// Stands in for the installer in the download manager's tests: appends "ran" to the marker
// file "fakesetup-ran.txt" in its working folder (so a test can count the starts), and
// writes its own priority class as a decimal number into "fakesetup-priority.txt".
// A GUI program, as installers are: the shell starts a console program in a new console,
// and under Wine that console's host process could outlive the test and hold the test
// runner's output pipe open, so that a test that had passed never seemed to end.
#include <windows.h>

#include <string>

namespace {

bool WriteText(const wchar_t* name, const std::string& text, DWORD disposition) {
  HANDLE file =
      CreateFileW(name, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END);
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The priority first: the tests wait for the marker and then read both.
  const std::string priority = std::to_string(GetPriorityClass(GetCurrentProcess()));
  if (!WriteText(L"fakesetup-priority.txt", priority, CREATE_ALWAYS)) return 1;
  return WriteText(L"fakesetup-ran.txt", "ran", OPEN_ALWAYS) ? 0 : 1;
}
