// Stands in for the installer in the download manager's tests: writes the marker file
// "fakesetup-ran.txt" into its working folder, and its own priority class as a decimal
// number into "fakesetup-priority.txt", then exits.
#include <windows.h>

#include <string>

namespace {

bool WriteText(const wchar_t* name, const std::string& text) {
  HANDLE file =
      CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

}  // namespace

int main() {
  // The priority first: the tests wait for the marker and then read both.
  if (!WriteText(L"fakesetup-priority.txt", std::to_string(GetPriorityClass(GetCurrentProcess())))) {
    return 1;
  }
  return WriteText(L"fakesetup-ran.txt", "ran") ? 0 : 1;
}
