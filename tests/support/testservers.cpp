#include "support/testservers.h"

#include "support/downloadjob.h"
#include "support/rawhttp.h"
#include "support/testenv.h"
#include "velmot/config.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace testsupport {

namespace {

std::wstring Required(const wchar_t* name) {
  std::wstring value = testsupport::Get(name);
  if (value.empty()) {
    std::fwprintf(stderr, L"testservers: %ls is not set (run the tests through tools/test-env)\n",
                  name);
    throw std::runtime_error("test servers are not configured");
  }
  return value;
}

// Creates every folder along path (a "/"-separated wide path).
void MakeFolders(const std::wstring& path) {
  for (size_t at = path.find(L'/', 3); at != std::wstring::npos; at = path.find(L'/', at + 1))
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  CreateDirectoryW(path.c_str(), nullptr);
}

// Writes through a temporary file and a rename, so that the servers, which read these
// files on every request, never see half of one.
void WriteFileAtomically(const std::wstring& path, const void* data, size_t size) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = path.find_last_of(L"/\\");
  MakeFolders(slash == std::wstring::npos ? L"." : path.substr(0, slash));
  std::wstring temp =
      path + L".tmp" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    throw std::runtime_error("testservers: cannot create a control file");
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

// Whole file; empty when it does not exist (read shared: the servers append).
std::string ReadWholeFile(const std::wstring& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// The lines of text that are complete: a last line still being written (no line break yet)
// is left out.
std::vector<std::string> CompleteLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<nlohmann::json> ReadJsonLines(const std::wstring& path) {
  std::vector<nlohmann::json> out;
  for (const std::string& line : CompleteLines(ReadWholeFile(path))) {
    if (line.empty()) continue;
    nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
    if (!value.is_discarded()) out.push_back(std::move(value));
  }
  return out;
}

// UTF-8 bytes with every byte that plain() refuses as %XX.
std::string PercentEncode(const std::string& text, bool (*plain)(unsigned char)) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (plain(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool IsAlnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// The file host's flat name for an object's behaviour file: the relative path with every
// byte outside A-Z a-z 0-9 . _ - as %XX (tests/servers/controls.js).
std::wstring BehaviourKey(const std::string& relative) {
  return FromUtf8(PercentEncode(
      relative, [](unsigned char c) { return IsAlnum(c) || c == '.' || c == '_' || c == '-'; }));
}

// A blob name as the product's requests carry it: every byte outside the unreserved
// characters and "/" as %XX (a space is %20).
std::string EncodePath(const std::string& name) {
  return PercentEncode(name, [](unsigned char c) {
    return IsAlnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
  });
}

// "pid-ticks-counter": unique to this call in this test run.
std::string Tag() {
  static std::atomic<unsigned> counter{0};
  return std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) + "-" +
         std::to_string(counter++);
}

std::wstring ControlFolder(const std::wstring& nsFolder) { return nsFolder + L"/.velmot"; }

}  // namespace

FileHostNamespace::FileHostNamespace()
    : name_(FromUtf8("ns-" + Tag())), folder_(Required(L"VELMOT_FILEHOST_ROOT") + L"/" + name_) {
  MakeFolders(ControlFolder(folder_) + L"/behaviour");
}

FileHostNamespace::~FileHostNamespace() { testsupport::RemoveTree(folder_); }

std::wstring FileHostNamespace::Host() const { return Required(L"VELMOT_FILEHOST_NAME"); }

std::wstring FileHostNamespace::ObjectPath(const std::string& relative) const {
  return L"/" + name_ + L"/" + FromUtf8(relative);
}

void FileHostNamespace::PutObject(const std::string& relative, const std::vector<uint8_t>& bytes) {
  WriteFileAtomically(folder_ + L"/" + FromUtf8(relative), bytes.data(), bytes.size());
}

void FileHostNamespace::PutObject(const std::string& relative, const std::string& bytes) {
  PutObject(relative, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

void FileHostNamespace::RemoveObject(const std::string& relative) {
  DeleteFileW((folder_ + L"/" + FromUtf8(relative)).c_str());
}

void FileHostNamespace::SetBehaviour(const std::string& relative, const nlohmann::json& behaviour) {
  // The stamp makes every write a new behaviour text, whose request count starts at 1.
  static std::atomic<unsigned> stamp{0};
  nlohmann::json stamped = behaviour;
  if (stamped.is_object())
    stamped["_stamp"] = std::to_string(GetTickCount64()) + "-" + std::to_string(stamp++);
  WriteText(ControlFolder(folder_) + L"/behaviour/" + BehaviourKey(relative) + L".json",
            stamped.dump());
}

void FileHostNamespace::RequireQuery(const std::string& query) {
  WriteText(ControlFolder(folder_) + L"/query", query);
}

void FileHostNamespace::GoDown(DWORD ms) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  // 100 ns units since 1601 to ms since 1970.
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const uint64_t unixMs = ticks / 10000 - 11644473600000ull;
  WriteText(ControlFolder(folder_) + L"/down", nlohmann::json({{"untilMs", unixMs + ms}}).dump());
}

std::vector<nlohmann::json> FileHostNamespace::Requests() const {
  return ReadJsonLines(ControlFolder(folder_) + L"/requests.jsonl");
}

std::vector<nlohmann::json> FileHostNamespace::Answers() const {
  return ReadJsonLines(ControlFolder(folder_) + L"/answers.jsonl");
}

std::vector<nlohmann::json> FileHostNamespace::Requests(const std::string& relative) const {
  const std::string wanted = ToUtf8(ObjectPath(relative));
  std::vector<nlohmann::json> out;
  for (auto& request : Requests()) {
    bool raw = request.value("path", std::string()) == wanted;
    bool decoded =
        request["decodedPath"].is_string() && request["decodedPath"].get<std::string>() == wanted;
    if (raw || decoded) out.push_back(std::move(request));
  }
  return out;
}

ServiceRelease::ServiceRelease(const std::string& releaseName, const nlohmann::json& entry)
    : file_(Required(L"VELMOT_SERVICE_ROOT") + L"/catalogue.d/release-" + FromUtf8(Tag()) +
            L".json") {
  WriteText(file_, nlohmann::json{{"release", releaseName}, {"entry", entry}}.dump());
}

ServiceRelease::~ServiceRelease() { DeleteFileW(file_.c_str()); }

std::vector<nlohmann::json> ServiceRequests() {
  return ReadJsonLines(Required(L"VELMOT_SERVICE_ROOT") + L"/requests.jsonl");
}

namespace {

template <typename Keep>
std::vector<nlohmann::json> ServiceRequestsWhere(Keep keep) {
  std::vector<nlohmann::json> found;
  for (nlohmann::json& request : ServiceRequests())
    if (keep(request)) found.push_back(std::move(request));
  return found;
}

}  // namespace

std::vector<nlohmann::json> ServiceRequestsOf(const std::string& method,
                                              const std::string& bodyPiece) {
  return ServiceRequestsWhere([&](const nlohmann::json& request) {
    const auto headers = request.value("headers", nlohmann::json::object());
    return (method.empty() || headers.value("method", "") == method) &&
           Base64Decode(request.value("bodyBase64", "")).find(bodyPiece) != std::string::npos;
  });
}

std::vector<nlohmann::json> ServiceRequestsFrom(const std::string& computerId) {
  return ServiceRequestsWhere([&](nlohmann::json& request) {
    return request["headers"].value("computerid", std::string()) == computerId;
  });
}

std::vector<std::string> SentHeaderNames(const nlohmann::json& request,
                                         const std::vector<std::string>& names) {
  std::vector<std::string> sent;
  const auto& raw = request["rawHeaders"];
  for (size_t i = 0; i + 1 < raw.size(); i += 2) {
    const std::string name = raw[i].get<std::string>();
    if (std::find(names.begin(), names.end(), name) != names.end()) sent.push_back(name);
  }
  return sent;
}

namespace {

// The uploads in a folder of one ComputerId, oldest first (their names start with the time
// of arrival and a sequence number); one still being written (".json.tmp") is left out.
std::vector<std::wstring> UploadNames(const std::wstring& folder) {
  std::vector<std::wstring> names;
  for (const std::wstring& name : NamesIn(folder, true))
    if (name.size() > 5 && name.compare(name.size() - 5, 5, L".json") == 0) names.push_back(name);
  return names;
}

}  // namespace

std::vector<std::string> ServiceUploads(const std::string& computerId) {
  const std::wstring folder =
      Required(L"VELMOT_SERVICE_ROOT") + L"/uploads/" + FromUtf8(computerId);
  std::vector<std::string> out;
  for (const auto& name : UploadNames(folder)) out.push_back(ReadWholeFile(folder + L"/" + name));
  return out;
}

std::vector<std::string> ServiceUploadsBetween(uint64_t fromMs, uint64_t toMs) {
  const std::wstring uploads = Required(L"VELMOT_SERVICE_ROOT") + L"/uploads";
  std::vector<std::string> out;
  for (const auto& computer : NamesIn(uploads)) {
    const std::wstring folder = uploads + L"/" + computer;
    for (const auto& name : UploadNames(folder)) {
      const uint64_t arrived = _wcstoui64(name.c_str(), nullptr, 10);
      if (arrived >= fromMs && arrived <= toMs) out.push_back(ReadWholeFile(folder + L"/" + name));
    }
  }
  return out;
}

std::wstring ServiceUrl() { return velmot::kServiceUrl; }

std::string UniqueId(const std::string& prefix) { return prefix + "-" + Tag(); }

BlobContainer::BlobContainer() {
  // Container names: 3 to 63 lower-case letters, digits and single dashes.
  name_ = "t" + Tag();
  const int status = Send(L"PUT", "?restype=container", "", "");
  if (status != 201)
    throw std::runtime_error("testservers: the blob container could not be created (status " +
                             std::to_string(status) + ")");
}

BlobContainer::~BlobContainer() {
  try {
    Send(L"DELETE", "?restype=container", "", "");
  } catch (const std::exception&) {
    // The emulator keeps everything in memory and is stopped after the run.
  }
}

int BlobContainer::Send(const wchar_t* verb, const std::string& pathAndQuery,
                        const std::string& headers, const std::string& body) {
  std::string sas = ToUtf8(Required(L"VELMOT_BLOB_WRITE_SAS"));
  std::string target = "/" + ToUtf8(Required(L"VELMOT_BLOB_ACCOUNT")) + "/" + name_ + pathAndQuery;
  target += (target.find('?') == std::string::npos ? "?" : "&") + sas.substr(sas[0] == '?' ? 1 : 0);
  Request request;
  request.access = INTERNET_OPEN_TYPE_DIRECT;
  request.host = Required(L"VELMOT_BLOB_NAME");
  request.verb = verb;
  request.object = FromUtf8(target);
  request.headers = FromUtf8(headers);
  request.body = body;
  request.receiveTimeoutMs = 120000;  // a large blob under a loaded machine
  const Answer answer = testsupport::Send(request);
  if (!answer.sent)
    throw std::runtime_error("testservers: the blob emulator did not answer (error " +
                             std::to_string(answer.sendError) + ")");
  return static_cast<int>(answer.status);
}

void BlobContainer::PutBlob(const std::string& blobName, const std::vector<uint8_t>& bytes) {
  PutBlob(blobName, std::string(bytes.begin(), bytes.end()));
}

void BlobContainer::PutBlob(const std::string& blobName, const std::string& bytes) {
  const int status =
      Send(L"PUT", "/" + EncodePath(blobName),
           "x-ms-blob-type: BlockBlob\r\nContent-Type: application/octet-stream\r\n", bytes);
  if (status != 201)
    throw std::runtime_error("testservers: blob " + blobName + " not stored (status " +
                             std::to_string(status) + ")");
}

nlohmann::json BlobContainer::Storage(const std::string& prefix) const {
  return {{"container", name_}, {"prefix", prefix}};
}

// Azurite's debug log holds, per request, "<time> <request id> info:
// BlobStorageContextMiddleware: RequestMethod=GET RequestURL=https://host/account/container/
// blob?..." and later "<time> <request id> info: EndMiddleware: End response.
// TotalTimeInMS=n StatusCode=N ...".
std::vector<int> BlobContainer::ReadStatuses(const std::string& blobName) const {
  const std::string wanted = "/" + ToUtf8(Required(L"VELMOT_BLOB_ACCOUNT")) + "/" + name_ + "/" +
                             EncodePath(blobName) + "?";
  const std::string text = ReadWholeFile(Required(L"VELMOT_BLOB_DEBUG_LOG"));
  std::vector<std::string> ids;
  std::map<std::string, int> statuses;
  for (const std::string& line : CompleteLines(text)) {
    const size_t idStart = line.find(' ');
    const size_t idEnd = idStart == std::string::npos ? idStart : line.find(' ', idStart + 1);
    if (idEnd == std::string::npos) continue;
    const std::string id = line.substr(idStart + 1, idEnd - idStart - 1);
    const size_t url = line.find("RequestMethod=GET RequestURL=https://");
    if (url != std::string::npos) {
      const size_t path = line.find('/', url + 37);
      if (path != std::string::npos && line.compare(path, wanted.size(), wanted) == 0)
        ids.push_back(id);
      continue;
    }
    const size_t code = line.find("End response. TotalTimeInMS=");
    const size_t field = code == std::string::npos ? code : line.find(" StatusCode=", code);
    if (field != std::string::npos) statuses[id] = std::atoi(line.c_str() + field + 12);
  }
  std::vector<int> out;
  for (const std::string& id : ids) out.push_back(statuses.count(id) ? statuses[id] : 0);
  return out;
}

size_t BlobContainer::ReadCount(const std::string& blobName) const {
  return ReadStatuses(blobName).size();
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
