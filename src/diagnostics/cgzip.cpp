#include "diagnostics/cgzip.h"

#include "base/fileio.h"
#include "base/handles.h"

#include <windows.h>

#include <climits>
#include <cwchar>
#include <string>

namespace zlib {

namespace {

// Paths this long or longer are refused: their narrow buffer size would overflow.
const size_t kMaxPathChars = 0x3FFFFFFF;

// The narrow form of path in the calling thread's ANSI code page. exact is false when a
// character had no equivalent there (the narrow path would name another file).
bool ToNarrowPath(const wchar_t* path, std::string& narrow, bool& exact) {
  if (path == nullptr) return false;
  size_t length = wcslen(path);
  if (length >= kMaxPathChars) return false;
  // Two bytes per character covers every double-byte code page, plus the terminator.
  int capacity = static_cast<int>(length * 2 + 2);
  std::string buffer(static_cast<size_t>(capacity), '\0');
  BOOL usedDefault = FALSE;
  int written =
      WideCharToMultiByte(CP_THREAD_ACP, 0, path, -1, &buffer[0], capacity, nullptr, &usedDefault);
  if (written <= 0 && GetLastError() == ERROR_INVALID_PARAMETER) {
    // UTF-8 as the ANSI code page spells every character and refuses the lossy-use flag.
    usedDefault = FALSE;
    written =
        WideCharToMultiByte(CP_THREAD_ACP, 0, path, -1, &buffer[0], capacity, nullptr, nullptr);
  }
  if (written <= 0) return false;
  buffer.resize(static_cast<size_t>(written - 1));
  narrow.swap(buffer);
  exact = usedDefault == FALSE;
  return true;
}

gzFile OpenStream(const wchar_t* path, const std::string& narrow, bool exact, const char* mode) {
#if defined(_WIN32) && !defined(Z_SOLO)
  // A user folder whose name the ANSI code page cannot spell is still reachable by its
  // wide name; the narrow path would point at a file that does not exist.
  if (!exact) return gzopen_w(path, mode);
#else
  (void)path;
  if (!exact) return nullptr;
#endif
  return gzopen(narrow.c_str(), mode);
}

// Size on disk, for the read chunk; -1 if the file cannot be opened.
long long FileLength(const wchar_t* path) {
  uint64_t size = 0;
  if (!FileIO::SizeOf(std::wstring(path), size)) return -1;
  return static_cast<long long>(size);
}

}  // namespace

CGZip::~CGZip() {
  if (handle_ != nullptr) {
    gzclose(handle_);
    handle_ = nullptr;
  }
}

bool CGZip::Open(const wchar_t* path, int newMode) {
  if (handle_ != nullptr) return false;
  std::string narrow;
  bool exact = true;
  if (!ToNarrowPath(path, narrow, exact)) {
    mode = 0;
    return false;
  }

  if (newMode == 1) {
    handle_ = OpenStream(path, narrow, exact, "wb");
    if (handle_ != nullptr) {
      mode = 1;
      // The owner sets level and strategy before opening; they must govern the first byte.
      ApplyParameters();
    }
  } else if (newMode == 2) {
    long long length = FileLength(path);
    if (length >= 0) {
      readSize_ = length > INT_MAX ? INT_MAX : static_cast<int32_t>(length);
      handle_ = OpenStream(path, narrow, exact, "rb");
    }
  }

  mode = handle_ != nullptr ? newMode : 0;
  if (handle_ == nullptr) readSize_ = 0;
  return handle_ != nullptr;
}

bool CGZip::Close() {
  if (handle_ == nullptr) return false;
  int result = gzclose(handle_);
  handle_ = nullptr;
  readSize_ = 0;
  return result == Z_OK;
}

bool CGZip::IsOpen() const { return handle_ != nullptr; }

bool CGZip::Write(const void* data, uint32_t length) {
  if (handle_ == nullptr || mode != 1) return false;
  if (length == 0) return true;
  if (data == nullptr || length > static_cast<uint32_t>(INT_MAX)) return false;
  int written = gzwrite(handle_, data, length);
  return static_cast<uint32_t>(written) == length;
}

bool CGZip::WriteString(const wchar_t* text) {
  if (text == nullptr) return false;
  size_t units = wcslen(text);
  // UTF-16 code units as they lie in memory: little-endian on every Windows target.
  static_assert(sizeof(wchar_t) == 2, "wide strings are UTF-16 code units");
  if (units > UINT32_MAX / sizeof(wchar_t)) return false;
  return Write(text, static_cast<uint32_t>(units * sizeof(wchar_t)));
}

int CGZip::Read(void* buffer, uint32_t length) {
  if (handle_ == nullptr || mode != 2) return 0;
  if (length > static_cast<uint32_t>(INT_MAX)) length = static_cast<uint32_t>(INT_MAX);
  return gzread(handle_, buffer, length);
}

int CGZip::ReadAll(std::vector<uint8_t>& buffer) {
  if (handle_ == nullptr || mode != 2 || readSize_ <= 0) return 0;
  std::vector<uint8_t> all;
  std::vector<uint8_t> chunk(static_cast<size_t>(readSize_));
  for (;;) {
    int n = gzread(handle_, chunk.data(), static_cast<unsigned>(chunk.size()));
    if (n == -1) {
      buffer.clear();  // a damaged stream gives nothing rather than a partial result
      return 0;
    }
    if (n <= 0) break;
    // The total is reported as an int: refuse a stream that would not fit.
    if (all.size() + static_cast<size_t>(n) > static_cast<size_t>(INT_MAX)) {
      buffer.clear();
      return 0;
    }
    all.insert(all.end(), chunk.begin(), chunk.begin() + n);
  }
  buffer.swap(all);
  return static_cast<int>(buffer.size());
}

int CGZip::ApplyParameters() {
  if (handle_ == nullptr || mode != 1) return Z_STREAM_ERROR;
  return gzsetparams(handle_, level, strategy);
}

}  // namespace zlib
