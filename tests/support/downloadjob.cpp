#include "support/downloadjob.h"

#include "base/handles.h"

#include "base/stringutils.h"
#include "download/store/crc.h"
#include "download/store/crcinforeader.h"

#include <velmot/config.h>

#include <windows.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {

const wchar_t kSetupMarker[] = L"fakesetup-ran.txt";
const wchar_t kSetupPriorityRecord[] = L"fakesetup-priority.txt";

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

std::vector<uint8_t> PartOf(const std::vector<uint8_t>& bytes, size_t k) {
  const size_t at = std::min(bytes.size(), k * kPart);
  const size_t end = std::min(bytes.size(), at + kPart);
  return std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + end);
}

int32_t CrcOf(const uint8_t* data, size_t n) {
  CRC crc;
  crc.BuildTable();
  return static_cast<int32_t>(crc.Compute(data, static_cast<uint32_t>(n)));
}

int32_t CrcOf(const std::vector<uint8_t>& bytes) { return CrcOf(bytes.data(), bytes.size()); }

std::vector<uint8_t> ReadFileBytes(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  // Shared for writing and deleting: a file the program is still writing (a merging file)
  // is read without getting in its way.
  velmot::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return bytes;
  LARGE_INTEGER size;
  GetFileSizeEx(file.Get(), &size);
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes.empty())
    ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  bytes.resize(read);
  return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  velmot::FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw std::runtime_error("cannot create a test file");
  DWORD written = 0;
  if (!bytes.empty() &&
      (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
       written != bytes.size()))
    throw std::runtime_error("cannot write a test file");
}

std::vector<std::wstring> NamesIn(const std::wstring& folder, bool filesOnly) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"/*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    const bool isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (name != L"." && name != L".." && !(filesOnly && isFolder)) names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

std::string TextLogIn(const std::wstring& folder) {
  const std::vector<uint8_t> bytes = ReadFileBytes(folder + L"/logfile.txt");
  return std::string(bytes.begin(), bytes.end());
}

bool RegionEndsWith(const std::wstring& path, uint64_t offset, const std::vector<uint8_t>& part) {
  size_t end = part.size();
  while (end > 0 && part[end - 1] == 0) --end;
  const size_t tail = std::min<size_t>(4096, end);
  if (tail == 0) return false;
  velmot::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset + end - tail);
  std::vector<uint8_t> bytes(tail);
  DWORD read = 0;
  return SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN) &&
         ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(tail), &read, nullptr) &&
         read == tail && std::equal(bytes.begin(), bytes.end(), part.begin() + (end - tail));
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring Backslashed(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

bool FileSize(const std::wstring& path, uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

std::wstring TestProgramFolder() {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path(self, n);
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::vector<uint8_t> FakeSetupBytes() {
  std::vector<uint8_t> bytes = ReadFileBytes(TestProgramFolder() + L"/fakesetup.exe");
  if (bytes.empty()) throw std::runtime_error("fakesetup.exe is missing beside the test");
  return bytes;
}

std::string CRCInfoEntryText(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::ostringstream text;
  text << name << "\r\n" << bytes.size() << "\r\n";
  for (size_t k = 0; k * kPart < bytes.size(); ++k) text << CrcOf(PartOf(bytes, k)) << "\r\n";
  return text.str();
}

CRCInfoEntry CRCInfoEntryOf(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::vector<std::wstring> lines;
  StringUtils::Split(StringUtils::ToWide(CRCInfoEntryText(name, bytes)), L"\r\n", true, lines);
  lines.pop_back();  // after the last line break
  return lines;
}

DownloadJob::DownloadJob() : root(L"dm") {
  downloadFolder = root.File(L"download");
  workFolder = root.File(L"work");
  CreateDirectoryW(downloadFolder.c_str(), nullptr);
}

std::string DownloadJob::PartObject(size_t k, const std::string& name) {
  return "rel/" + std::to_string(k) + "_" + name;
}

void DownloadJob::AddFile(const std::string& name, const std::vector<uint8_t>& bytes,
                          bool publishParts) {
  for (size_t k = 0; publishParts && k * kPart < bytes.size(); ++k)
    host.PutObject(PartObject(k, name), PartOf(bytes, k));
  document_ += ";" + CRCInfoEntryText(name, bytes);
}

void DownloadJob::PublishList() { host.PutObject(ListObject(), document_); }

void DownloadJob::Describe(DownloadManager& manager) const {
  manager.descriptor.productCode = StringUtils::ToWide(kProductCode);
  manager.descriptor.downloadSubdir = host.Name() + L"/rel";
  manager.descriptor.hostName = host.Host();
  manager.productSuffix = L"_" + manager.descriptor.productCode;
  manager.listFileName = StringUtils::ToWide(kListName);
  manager.downloadFolder = downloadFolder;
  manager.workFolder = workFolder;
  manager.appDataFolder = root.Path();  // the work folder is its direct child
}

void DownloadJob::Start(DownloadManager& manager) const {
  Describe(manager);
  manager.StartJob(StringUtils::ToWide(kListName), workFolder, downloadFolder);
}

std::wstring DownloadJob::LocalPath(const DownloadManager& manager, const std::string& name) const {
  return downloadFolder + L"/" + manager.GetLocalName(StringUtils::ToWide(name));
}

std::wstring DownloadJob::PartPath(const DownloadManager& manager, const std::string& name,
                                   size_t k) const {
  return workFolder + L"/" + manager.GetLocalName(StringUtils::ToWide(name)) + L"part" +
         std::to_wstring(k);
}

std::wstring DownloadJob::LocalName(const std::string& listed) {
  return CRCInfoReader::LocalName(StringUtils::ToWide(listed),
                                  L"_" + StringUtils::ToWide(kProductCode));
}

bool DownloadJob::SetupStarted(unsigned waitMs) const {
  const std::wstring marker = downloadFolder + L"/" + kSetupMarker;
  return Eventually([&] { return FileExists(marker); }, waitMs);
}

std::vector<std::string> BrowserLog(const std::wstring& openedIn) {
  std::wstring path = testsupport::Get(L"VELMOT_BROWSER_LOG");
  std::vector<std::string> urls;
  if (path.empty()) return urls;
  if (path[0] == L'/') path = L"Z:" + path;
  // Each line is the URL, a tab and the Unix folder it was opened in. The test's folders
  // have unique last names, so that name alone tells the Unix spelling of the folder.
  std::wstring leaf = openedIn;
  std::replace(leaf.begin(), leaf.end(), L'\\', L'/');
  const std::string tail = "/" + StringUtils::ToNarrow(leaf.substr(leaf.find_last_of(L'/') + 1));
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  for (std::string line; std::getline(in, line);) {
    const size_t tab = line.find('\t');
    const std::string folder = tab == std::string::npos ? "" : line.substr(tab + 1);
    const bool inFolder = folder.size() >= tail.size() &&
                          folder.compare(folder.size() - tail.size(), tail.size(), tail) == 0;
    if (!line.empty() && (openedIn.empty() || inFolder)) urls.push_back(line.substr(0, tab));
  }
  return urls;
}

size_t SupportPageOpenings(const std::wstring& openedIn) {
  const std::vector<std::string> urls = BrowserLog(openedIn);
  return std::count(urls.begin(), urls.end(), StringUtils::ToNarrow(velmot::kSupportUrl));
}

}  // namespace testsupport
