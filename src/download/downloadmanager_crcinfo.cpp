// The CRC info document (fetched until two copies agree, then split into entries) and the
// checks of files already on disk against it.
#include "download/downloadmanager.h"

#include "diagnostics/error.h"
#include "base/stringutils.h"
#include "download/crc.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace {

// A host that keeps answering differently must not keep the job, or its stop, waiting.
const int kMaxAgreementRounds = 5;
// The document lists a few lines per installer file; anything this large is not it.
const uint64_t kMaxCRCInfoSize = 4u * 1024u * 1024u;

const char kReleaseGoneText[] =
    "This version of Velmot can no longer be downloaded.\r\nPlease download the latest version you "
    "received in an e-mail message";

uint64_t FileSize(HANDLE file) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

}  // namespace

// Runs the worker once and waits for it, stopping it when the job is stopped meanwhile.
bool DownloadManager::FetchCRCInfoCopy(FileDownload& worker, std::string& copy, bool& gone) {
  copy.clear();
  worker.Start();
  while (!worker.WaitForEnd(100)) {
    if (stopRequested_) {
      worker.Stop(INFINITE);
      return false;
    }
  }
  gone = worker.HttpStatus() == 404;
  const std::vector<uint8_t>& body = worker.PartData();
  copy.reserve(body.size());
  for (uint8_t b : body) {
    if (b != 0) copy.push_back(static_cast<char>(b));
  }
  worker.ReleasePartData();
  return true;
}

void DownloadManager::ParseCRCInfo(const std::string& text, CRCInfo& entries) {
  entries.clear();
  std::vector<std::wstring> pieces;
  StringUtils::Split(StringUtils::ToWide(text), L";", true, pieces);
  for (size_t i = 1; i < pieces.size(); ++i) {
    CRCInfoEntry lines;
    StringUtils::Split(pieces[i], L"\r\n", true, lines);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    // A piece of nothing but line breaks names no file.
    if (std::none_of(lines.begin(), lines.end(), [](const std::wstring& l) { return !l.empty(); })) {
      continue;
    }
    entries.push_back(std::move(lines));
  }
}

bool DownloadManager::ReadCRCInfo(CRCInfo& entries) {
  if (listFileName.find(L"2_5") != std::wstring::npos) {
    descriptor.downloadSubdir = basePath;
    basePath.clear();
  }
  for (wchar_t& c : descriptor.downloadSubdir) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  const std::wstring objectPath = descriptor.downloadSubdir + L"/" + listFileName;
  OutputDebugStringW(objectPath.c_str());

  // No local path: the body stays in memory; expected CRC 0: it is not checked.
  FileDownload worker;
  worker.connectionState.host = descriptor.hostName;
  worker.connectionState.objectPath = objectPath;
  worker.connectionState.objectSuffix = descriptor.sasText;
  worker.expectedCrc = 0;
  worker.maxObjectSize = kMaxCRCInfoSize;

  std::string first;
  std::string second;
  bool agreed = false;
  for (int round = 0; round < kMaxAgreementRounds && !agreed; ++round) {
    if (round > 0 && stopRequested_) return false;
    bool gone = false;
    if (!FetchCRCInfoCopy(worker, first, gone)) return false;
    if (gone) {
      Error::LogError(std::string(kReleaseGoneText), 0, "", 0);
      releaseGone_ = true;
      if (listener_) listener_->OnFinished(*this);
      return false;
    }
    bool ignored = false;
    if (!FetchCRCInfoCopy(worker, second, ignored)) return false;
    agreed = first == second;
  }
  if (!agreed) {
    // As if the host could not be reached: an empty list, and the pass fails.
    Error::LogError(L"The CRC info document " + objectPath + L" changed between every two fetches",
                    ERROR_INVALID_DATA, VELMOT_HERE);
    entries.clear();
    return true;
  }
  OutputDebugStringA(first.c_str());
  ParseCRCInfo(first, entries);
  return true;
}

bool DownloadManager::CRCCheckFile(const std::wstring& path, int32_t expectedCrc) {
  velmot::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    DWORD err = GetLastError();
    Error::LogError(L"DownloadManager::CRCCheckFile unable to open file " + path, err, VELMOT_HERE);
    return false;
  }
  // A part file is at most one part; a larger one cannot be right and is not read whole.
  uint64_t size = FileSize(file.Get());
  if (size > kPartSize) return false;
  std::vector<uint8_t> buffer(static_cast<size_t>(size));
  DWORD read = 0;
  if (size > 0 && !ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(size), &read, nullptr)) {
    DWORD err = GetLastError();
    Error::LogError(L"DownloadManager::CRCCheckFile unable read file " + path, err, VELMOT_HERE);
    return false;
  }
  CRC crc;
  crc.BuildTable();
  return static_cast<int32_t>(crc.Compute(buffer.data(), read)) == expectedCrc;
}

bool DownloadManager::CheckFileFromCRCInfo(const CRCInfoEntry& entry) {
  if (entry.empty() || !AcceptListedName(entry[0])) return false;
  currentName = GetLocalName(entry[0]);
  const std::wstring path = downloadFolder + L"/" + currentName;
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  velmot::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    DWORD err = GetLastError();
    Error::LogError(L"CheckFileFromCRCInfo: Error opening file: " + path, err, VELMOT_HERE);
    return false;
  }
  if (entry.size() < 3) return true;

  const uint64_t listedSize = entry.size() > 1 ? ParseSizeLine(entry[1]) : 0;
  auto forget = [&]() {
    uint64_t finished = finishedBytes.load();
    if (finished != 0) finishedBytes -= std::min(finished, listedSize);
  };
  std::vector<uint8_t> buffer(kPartSize);
  CRC crc;
  crc.BuildTable();
  for (size_t i = 2; i < entry.size(); ++i) {
    DWORD read = 0;
    if (!ReadFile(file.Get(), buffer.data(), kPartSize, &read, nullptr)) {
      DWORD err = GetLastError();
      Error::LogError(L"CheckFileFromCRCInfo Error reading file: " + path, err, VELMOT_HERE);
      forget();
      file.Reset();
      if (!DeleteOwnFile(path)) {
        err = GetLastError();
        Error::LogError(L"CheckFileFromCRCInfo Couldn't delete corrupt file " + path, err, VELMOT_HERE);
      }
      return false;
    }
    if (static_cast<int32_t>(crc.Compute(buffer.data(), read)) != ParseCrcLine(entry[i])) {
      Error::LogError(L"CheckFileFromCRCInfo CRC is not correct: " + path, static_cast<uint32_t>(-3),
                      VELMOT_HERE);
      file.Reset();
      if (!DeleteOwnFile(path)) {
        DWORD err = GetLastError();
        Error::LogError(L"Couldn't delete corrupt file " + path, err, VELMOT_HERE);
      }
      forget();
      return false;
    }
    verifiedBytes += read;
  }
  return true;
}
