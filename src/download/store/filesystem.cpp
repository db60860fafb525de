#include "download/store/filesystem.h"

#include "base/fileio.h"
#include "base/handles.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "base/stringutils.h"

#include <windows.h>

#include <atomic>
#include <new>

namespace {

bool IsDotEntry(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == 0) || (name[0] == L'.' && name[1] == L'.' && name[2] == 0);
}

// Calls take(entry) for every entry the search pattern finds, in the system's order.
template <typename Take>
void ForEachEntry(const std::wstring& pattern, Take take) {
  WIN32_FIND_DATAW data;
  velmot::FindHandle find(FindFirstFileW(pattern.c_str(), &data));
  if (!find) return;
  do {
    take(data);
  } while (FindNextFileW(find.Get(), &data));
}

// A directory symbolic link or junction is removed as a link: descending into it would
// delete files that live outside the folder being removed.
bool IsLinkedFolder(const std::wstring& folder) {
  DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

void RemoveFolderItself(const std::wstring& folder) {
  // The narrow path is what gets removed, so the record names exactly that path.
  std::string narrow = StringUtils::ToNarrow(folder);
  if (!RemoveDirectoryA(narrow.c_str())) {
    VELMOT_LOG_LAST_ERROR(velmot::texts::kRemoveDirectoryFailed + narrow);
  }
}

}  // namespace

void FileSystem::ListSubdirectories(const std::wstring& folder, std::vector<std::wstring>& names) {
  names.clear();
  ForEachEntry(folder + L"/*.*", [&](const WIN32_FIND_DATAW& data) {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) return;
    if (IsDotEntry(data.cFileName)) return;
    names.push_back(data.cFileName);
  });
}

void FileSystem::ListFiles(const std::wstring& folder, std::vector<std::wstring>& paths) {
  paths.clear();
  ForEachEntry(folder + L"/" + L"/*.*", [&](const WIN32_FIND_DATAW& data) {
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN)) return;
    paths.push_back(folder + L"/" + data.cFileName);
  });
}

void FileSystem::RecursivelyRemoveDirectory(const std::wstring& folder) {
  if (!IsLinkedFolder(folder)) {
    std::vector<std::wstring> names;
    ListSubdirectories(folder, names);
    for (const auto& name : names) RecursivelyRemoveDirectory(folder + L"/" + name);

    std::vector<std::wstring> files;
    ListFiles(folder, files);
    for (const auto& file : files) {
      if (!DeleteFileW(file.c_str())) {
        VELMOT_LOG_LAST_ERROR("FileSystem::RecursivelyRemoveDirectory DeleteFile failed " +
                              StringUtils::ToNarrow(file));
      }
    }
  }
  RemoveFolderItself(folder);
}

void FileSystem::ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& bytes) {
  bytes.clear();
  velmot::FileHandle file = FileIO::OpenForReading(path);
  if (!file) {
    VELMOT_LOG_LAST_ERROR(L"Couldn't read file " + path);
    return;
  }
  const std::string failure = "Unable to read from file" + StringUtils::ToNarrow(path);

  // One ReadFile call reads at most 4 GiB - 1 bytes; a larger file is refused rather than
  // handed back cut to its low 32 bits.
  uint64_t size = 0;
  if (!FileIO::SizeOf(file.Get(), size)) {
    VELMOT_LOG_LAST_ERROR(failure);
    return;
  }
  if (size > MAXDWORD) {
    Error::LogError(failure, ERROR_FILE_TOO_LARGE, VELMOT_HERE);
    return;
  }
  const DWORD length = static_cast<DWORD>(size);
  if (length == 0) return;

  std::vector<uint8_t> buffer;
  try {
    buffer.resize(length);
  } catch (const std::bad_alloc&) {
    Error::LogError(failure, ERROR_NOT_ENOUGH_MEMORY, VELMOT_HERE);
    return;
  }
  DWORD read = 0;
  if (!ReadFile(file.Get(), buffer.data(), length, &read, nullptr)) {
    VELMOT_LOG_LAST_ERROR(failure);
    return;
  }
  // The file may have shrunk since its size was taken: keep only what was read.
  buffer.resize(read);
  bytes.swap(buffer);
}

void FileSystem::GetExecutableFolder(std::string& folder) {
  char buffer[260] = {};
  DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof(buffer));
  std::string path(buffer, n < sizeof(buffer) ? n : sizeof(buffer) - 1);
  size_t slash = path.find_last_of('\\');
  folder = slash == std::string::npos ? path : path.substr(0, slash);
}

bool FileSystem::CanonicalPath(const std::wstring& path, std::wstring& canonical) {
  canonical.clear();
  if (path.empty()) return false;
  DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return false;
  std::wstring full(length, L'\0');
  length = GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
  if (length == 0 || length >= full.size()) return false;
  full.resize(length);
  length = GetLongPathNameW(full.c_str(), nullptr, 0);
  if (length == 0) return false;
  std::wstring longPath(length, L'\0');
  length = GetLongPathNameW(full.c_str(), &longPath[0], length);
  if (length == 0 || length >= longPath.size()) return false;
  longPath.resize(length);
  // No access is asked for: only the handle's path is read. FILE_FLAG_BACKUP_SEMANTICS
  // opens folders too.
  velmot::FileHandle handle(
      CreateFileW(longPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return false;
  const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  length = GetFinalPathNameByHandleW(handle.Get(), nullptr, 0, flags);
  if (length == 0) return false;
  std::wstring resolved(length, L'\0');
  length = GetFinalPathNameByHandleW(handle.Get(), &resolved[0], length, flags);
  if (length == 0 || length >= resolved.size()) return false;
  resolved.resize(length);
  if (resolved.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    resolved = L"\\\\" + resolved.substr(8);
  } else if (resolved.compare(0, 4, L"\\\\?\\") == 0) {
    resolved = resolved.substr(4);
  }
  while (resolved.size() > 3 && resolved.back() == L'\\') resolved.pop_back();
  canonical = resolved;
  return true;
}

bool FileSystem::SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool FileSystem::CanCreateFiles(const std::wstring& folder, DWORD& error,
                                const std::function<void(const std::wstring&)>& beforeDelete) {
  static std::atomic<unsigned> counter{0};
  // A name no other run or thread uses, so CREATE_NEW fails for the folder's sake; a file
  // of the same name left by a crash (ERROR_FILE_EXISTS) only moves on to the next name.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::wstring path =
        folder + L"/velmot-write-check-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
        std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++) + L".tmp";
    velmot::FileHandle probe(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!probe) {
      error = GetLastError();
      if (error == ERROR_FILE_EXISTS) continue;
      return false;
    }
    probe.Reset();
    if (beforeDelete) beforeDelete(path);
    if (!DeleteFileW(path.c_str())) {
      // A folder that takes new files but keeps them cannot take a merge's replacements.
      error = GetLastError();
      return false;
    }
    error = ERROR_SUCCESS;
    return true;
  }
  return false;
}
