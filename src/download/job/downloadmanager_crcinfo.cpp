// The CRC info document (fetched until two copies agree, then read by CRCInfoReader) and
// the checks of files already on disk against it.
#include "download/job/downloadmanager.h"

#include "base/fileio.h"
#include "base/stringutils.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "download/store/crcinforeader.h"
#include "download/store/filesystem.h"
#include "download/store/partstore.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

namespace {

// A host that keeps answering differently must not keep the job, or its stop, waiting.
const int kMaxAgreementRounds = 5;
// The document lists a few lines per installer file; anything this large is not it.
const uint64_t kMaxCRCInfoSize = 4u * 1024u * 1024u;

}  // namespace

// Runs the worker once and waits for it. When the job is stopped meanwhile the worker gets
// PartFetcher::kStopMs to end; one stuck in a read is abandoned (worker is then empty).
bool DownloadManager::FetchCRCInfoCopy(std::unique_ptr<FileDownload>& worker, std::string& copy,
                                       bool& gone) {
  copy.clear();
  worker->Start();
  while (!worker->WaitForEnd(kPartPollMs)) {
    if (stopRequested_) {
      PartFetcher::StopOrAbandon(std::move(worker), GetTickCount64() + PartFetcher::kStopMs);
      return false;
    }
  }
  gone = worker->HttpStatus() == 404;
  const std::vector<uint8_t>& body = worker->PartData();
  copy.reserve(body.size());
  for (uint8_t b : body) {
    if (b != 0) copy.push_back(static_cast<char>(b));
  }
  worker->ReleasePartData();
  return true;
}

bool DownloadManager::ReadCRCInfo(CRCInfo& entries) {
  // The job keeps the folder it fetches from (parts and a renewed link use it too).
  descriptor.downloadSubdir = CRCInfoReader::ObjectFolder(listFileName, descriptor.downloadSubdir);
  const std::wstring objectPath = descriptor.downloadSubdir + L"/" + listFileName;
  OutputDebugStringW(objectPath.c_str());

  // No local path: the body stays in memory; expected CRC 0: it is not checked.
  std::unique_ptr<FileDownload> worker =
      fetcher_.NewWorker(descriptor.hostName, descriptor.sasText, objectPath);
  worker->expectedCrc = 0;
  worker->maxObjectSize = kMaxCRCInfoSize;

  std::string first;
  std::string second;
  bool agreed = false;
  for (int round = 0; round < kMaxAgreementRounds && !agreed; ++round) {
    if (round > 0 && stopRequested_) return false;
    bool gone = false;
    if (!FetchCRCInfoCopy(worker, first, gone)) return false;
    if (gone) {
      // Code 0, as the log's readers know this record.
      Error::LogError(std::string(velmot::texts::kReleaseGone), 0, VELMOT_HERE);
      releaseGone_ = true;
      if (listener_) listener_->OnFinished(*this);
      return false;
    }
    // Copies from a host that could not be reached, a sign-in page, or attempts that all
    // failed are no document (two empty copies would agree on an empty list): the pass
    // ends and the caller decides. A body that really is empty is a copy like any other.
    if (NoteFetch(*worker) || !worker->Succeeded()) {
      entries.clear();
      return true;
    }
    bool ignored = false;
    if (!FetchCRCInfoCopy(worker, second, ignored)) return false;
    if (NoteFetch(*worker) || !worker->Succeeded()) {
      entries.clear();
      return true;
    }
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
  CRCInfoReader::Parse(first, entries);
  return true;
}

bool DownloadManager::CRCCheckFile(const std::wstring& path, int32_t expectedCrc) {
  return PartStore::PartIsGood(path, expectedCrc,
                               L"DownloadManager::CRCCheckFile unable to open file ",
                               L"DownloadManager::CRCCheckFile unable read file ");
}

// A file passes when it has its listed size and every part's CRC. A file that fails is
// deleted (the next pass fetches it again) and its listed size no longer counts as finished.
bool DownloadManager::CheckFileFromCRCInfo(const CRCInfoEntry& entry) {
  if (entry.empty() || !AcceptListedName(entry[0]) || !AcceptEntry(entry)) return false;
  currentName = GetLocalName(entry[0]);
  const std::wstring path = downloadFolder + L"/" + currentName;
  if (!FileIO::Exists(path)) return false;
  velmot::FileHandle file = FileIO::OpenForReading(path, FILE_FLAG_SEQUENTIAL_SCAN);
  if (!file) {
    VELMOT_LOG_LAST_ERROR(L"CheckFileFromCRCInfo: Error opening file: " + path);
    return false;
  }
  const uint64_t listedSize = CRCInfoReader::ParseSizeLine(entry[1]);
  uint64_t actualSize = 0;
  if (!FileIO::SizeOf(file.Get(), actualSize) || actualSize != listedSize) {
    Error::LogError(L"CheckFileFromCRCInfo size is not correct: " + path + L" is listed with " +
                        std::to_wstring(listedSize) + L" bytes, but has " +
                        std::to_wstring(actualSize),
                    ERROR_INVALID_DATA, VELMOT_HERE);
    file.Reset();
    RejectCheckedFile(path, entry, false);
    return false;
  }
  const PartStore::Check result = CheckParts(file.Get(), entry, path);
  if (result == PartStore::Check::kGood) return true;
  // Stopped between parts: the file is neither judged nor deleted.
  if (stopRequested_) return false;
  file.Reset();
  RejectCheckedFile(path, entry, result == PartStore::Check::kReadFailed);
  return false;
}

void DownloadManager::RejectCheckedFile(const std::wstring& path, const CRCInfoEntry& entry,
                                        bool readFailed) {
  if (!DeleteOwnFile(path)) {
    VELMOT_LOG_LAST_ERROR((readFailed ? L"CheckFileFromCRCInfo Couldn't delete corrupt file "
                                      : L"Couldn't delete corrupt file ") +
                          path);
  }
  const uint64_t listedSize = CRCInfoReader::ParseSizeLine(entry[1]);
  const uint64_t finished = finishedBytes.load();
  if (finished != 0) finishedBytes -= std::min(finished, listedSize);
}

// Records the first failing part; the caller deletes the file.
PartStore::Check DownloadManager::CheckParts(HANDLE file, const CRCInfoEntry& entry,
                                             const std::wstring& path) {
  std::vector<uint8_t> buffer;
  for (size_t i = 2; i < entry.size(); ++i) {
    // A close must not wait for the rest of a large file.
    if (stopRequested_) return PartStore::Check::kReadFailed;
    DWORD read = 0;
    const PartStore::Check check = PartStore::ReadAndCheck(
        file, kPartSize, CRCInfoReader::ParseCrcLine(entry[i]), buffer, read);
    if (check == PartStore::Check::kReadFailed) {
      VELMOT_LOG_LAST_ERROR(L"CheckFileFromCRCInfo Error reading file: " + path);
      return check;
    }
    if (check == PartStore::Check::kWrongCrc) {
      Error::LogError(L"CheckFileFromCRCInfo CRC is not correct: " + path,
                      kVerifiedPartCrcNotCorrect, VELMOT_HERE);
      return check;
    }
    verifiedBytes += read;
  }
  return PartStore::Check::kGood;
}
