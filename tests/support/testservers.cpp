#include "support/testservers.h"

#include "support/testenv.h"
#include "velmot/config.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <stdexcept>

namespace testsupport {

namespace {

std::wstring Required(const wchar_t* name) {
  std::wstring value = testsupport::Get(name);
  if (value.empty()) {
    std::fwprintf(stderr, L"testservers: %ls is not set (run the tests through tools/test-env)\n", name);
    throw std::runtime_error("test servers are not configured");
  }
  return value;
}

// Creates every folder along path (a "/"-separated wide path).
void MakeFolders(const std::wstring& path) {
  for (size_t at = path.find(L'/', 3); at != std::wstring::npos; at = path.find(L'/', at + 1)) {
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryW(path.c_str(), nullptr);
}

std::wstring Parent(const std::wstring& path) {
  size_t slash = path.find_last_of(L"/\\");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

// Writes through a temporary file and a rename, so that the servers, which read these
// files on every request, never see half of one.
void WriteFileAtomically(const std::wstring& path, const void* data, size_t size) {
  static std::atomic<unsigned> counter{0};
  MakeFolders(Parent(path));
  std::wstring temp = path + L".tmp" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                      std::to_wstring(counter++);
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("testservers: cannot create a control file");
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  bool ok = true;
  while (ok && done < size) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    DWORD written = 0;
    ok = WriteFile(file, bytes + done, chunk, &written, nullptr) && written == chunk;
    done += written;
  }
  CloseHandle(file);
  if (!ok || !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileW(temp.c_str());
    throw std::runtime_error("testservers: cannot write a control file");
  }
}

void WriteText(const std::wstring& path, const std::string& text) {
  WriteFileAtomically(path, text.data(), text.size());
}

// Whole file; empty when it does not exist. Shared for writing: the servers append.
std::string ReadWholeFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string out;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) out.append(buffer, read);
  CloseHandle(file);
  return out;
}

// JSON lines; a last line still being written (no line break yet) is left out.
std::vector<nlohmann::json> ReadJsonLines(const std::wstring& path) {
  std::vector<nlohmann::json> out;
  std::string text = ReadWholeFile(path);
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
    if (!value.is_discarded()) out.push_back(std::move(value));
  }
  return out;
}

// The file host's flat name for an object's behaviour file: the relative path's UTF-8
// bytes with every byte outside A-Z a-z 0-9 . _ - as %XX (tests/servers/controls.js).
std::wstring BehaviourKey(const std::string& relative) {
  static const char kHex[] = "0123456789ABCDEF";
  std::wstring out;
  for (unsigned char c : relative) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '_' || c == '-';
    if (plain) {
      out += static_cast<wchar_t>(c);
    } else {
      out += L'%';
      out += static_cast<wchar_t>(kHex[c >> 4]);
      out += static_cast<wchar_t>(kHex[c & 15]);
    }
  }
  return out;
}

std::wstring UniqueTag() {
  static std::atomic<unsigned> counter{0};
  return std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) +
         L"-" + std::to_wstring(counter++);
}

std::wstring ControlFolder(const std::wstring& nsFolder) { return nsFolder + L"/.velmot"; }

}  // namespace

// FileHostNamespace ------------------------------------------------------------------------

FileHostNamespace::FileHostNamespace()
    : name_(L"ns-" + UniqueTag()), folder_(Required(L"VELMOT_FILEHOST_ROOT") + L"/" + name_) {
  MakeFolders(ControlFolder(folder_) + L"/behaviour");
}

FileHostNamespace::~FileHostNamespace() { RemoveTree(folder_); }

std::wstring FileHostNamespace::Host() const { return Required(L"VELMOT_FILEHOST_NAME"); }

std::wstring FileHostNamespace::ObjectPath(const std::string& relative) const {
  return L"/" + name_ + L"/" + FromUtf8(relative);
}

void FileHostNamespace::PutObject(const std::string& relative, const std::vector<uint8_t>& bytes) {
  WriteFileAtomically(folder_ + L"/" + FromUtf8(relative), bytes.data(), bytes.size());
}

void FileHostNamespace::PutObject(const std::string& relative, const std::string& bytes) {
  WriteFileAtomically(folder_ + L"/" + FromUtf8(relative), bytes.data(), bytes.size());
}

void FileHostNamespace::RemoveObject(const std::string& relative) {
  DeleteFileW((folder_ + L"/" + FromUtf8(relative)).c_str());
}

void FileHostNamespace::SetBehaviour(const std::string& relative, const nlohmann::json& behaviour) {
  // The stamp makes every write a new behaviour text, whose request count starts at 1.
  static std::atomic<unsigned> stamp{0};
  nlohmann::json stamped = behaviour;
  if (stamped.is_object()) {
    stamped["_stamp"] = std::to_string(GetTickCount64()) + "-" + std::to_string(stamp++);
  }
  WriteText(ControlFolder(folder_) + L"/behaviour/" + BehaviourKey(relative) + L".json", stamped.dump());
}

void FileHostNamespace::RequireQuery(const std::string& query) {
  WriteText(ControlFolder(folder_) + L"/query", query);
}

std::vector<nlohmann::json> FileHostNamespace::Requests() const {
  return ReadJsonLines(ControlFolder(folder_) + L"/requests.jsonl");
}

std::vector<nlohmann::json> FileHostNamespace::Requests(const std::string& relative) const {
  const std::string wanted = ToUtf8(ObjectPath(relative));
  std::vector<nlohmann::json> out;
  for (auto& request : Requests()) {
    bool raw = request.value("path", std::string()) == wanted;
    bool decoded = request["decodedPath"].is_string() && request["decodedPath"].get<std::string>() == wanted;
    if (raw || decoded) out.push_back(std::move(request));
  }
  return out;
}

// ServiceRelease ---------------------------------------------------------------------------

ServiceRelease::ServiceRelease(const std::string& releaseName, const nlohmann::json& entry)
    : file_(Required(L"VELMOT_SERVICE_ROOT") + L"/catalogue.d/release-" + UniqueTag() + L".json") {
  WriteText(file_, nlohmann::json{{"release", releaseName}, {"entry", entry}}.dump());
}

ServiceRelease::~ServiceRelease() { DeleteFileW(file_.c_str()); }

// Service queries --------------------------------------------------------------------------

std::vector<nlohmann::json> ServiceRequests() {
  return ReadJsonLines(Required(L"VELMOT_SERVICE_ROOT") + L"/requests.jsonl");
}

std::vector<std::string> ServiceUploads(const std::string& computerId) {
  std::wstring folder = Required(L"VELMOT_SERVICE_ROOT") + L"/uploads/" + FromUtf8(computerId);
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"/*.json").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  // The names start with the time of arrival and a sequence number: name order is arrival order.
  std::sort(names.begin(), names.end());
  std::vector<std::string> out;
  for (const auto& name : names) out.push_back(ReadWholeFile(folder + L"/" + name));
  return out;
}

std::wstring ServiceUrl() { return velmot::kServiceUrl; }

std::string UniqueId(const std::string& prefix) {
  static std::atomic<unsigned> counter{0};
  return prefix + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount64()) + "-" + std::to_string(counter++);
}

std::string Base64Decode(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    size_t index = kAlphabet.find(c);
    if (index == std::string::npos) continue;
    value = (value << 6) | static_cast<unsigned>(index);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return out;
}

}  // namespace testsupport
