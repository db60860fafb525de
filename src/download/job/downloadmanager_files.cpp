// The download manager's work on one installer file: names, totals, what is on disk
// already, and the orders for its missing parts, which the PartFetcher fetches.
#include "download/job/downloadmanager.h"

#include "base/fileio.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "download/store/crcinforeader.h"
#include "download/store/filesystem.h"
#include "download/store/partstore.h"

#include <windows.h>

#include <exception>
#include <string>
#include <vector>

std::wstring DownloadManager::GetLocalName(const std::wstring& name) const {
  return CRCInfoReader::LocalName(name, productSuffix);
}

// Announced before the delete, so that the watcher cannot see the change first; withdrawn
// when the delete fails, so that the stale announcement cannot hide a later deletion by
// someone else. The delete's error code is kept for the caller's record.
bool DownloadManager::DeleteOwnFile(const std::wstring& path) {
  watcher_.ExpectChange(path);
  if (DeleteFileW(path.c_str())) return true;
  const DWORD error = GetLastError();
  watcher_.WithdrawExpected(path);
  SetLastError(error);
  return false;
}

bool DownloadManager::AcceptListedName(const std::wstring& listed) {
  if (CRCInfoReader::IsSafeFileName(listed) && CRCInfoReader::IsSafeFileName(GetLocalName(listed)))
    return true;
  Error::LogError(L"Rejected file name in the CRC info document: " + listed,
                  DL_MANAGER_INVALID_FILE_NAME, VELMOT_HERE);
  return false;
}

std::wstring DownloadManager::PartPath(size_t k) const {
  return PartStore::PartPath(workFolder, currentName, k);
}

void DownloadManager::ComputeTotals(const CRCInfo& entries) {
  uint64_t total = 0;
  for (const CRCInfoEntry& entry : entries) {
    if (entry.size() < 2) continue;
    total += CRCInfoReader::ParseSizeLine(entry[1]);
    if (!CRCInfoReader::IsSafeFileName(entry[0])) continue;
    std::wstring local = GetLocalName(entry[0]);
    if (!CRCInfoReader::IsSafeFileName(local)) continue;
    uint64_t size = 0;
    if (FileIO::SizeOf(downloadFolder + L"/" + local, size)) finishedBytes += size;
  }
  totalBytes = total;
}

bool DownloadManager::AcceptEntry(const CRCInfoEntry& entry) {
  uint64_t size = 0;
  if (CRCInfoReader::IsConsistent(entry, size)) return true;
  const size_t crcLines = entry.size() > 2 ? entry.size() - 2 : 0;
  Error::LogError(L"Broken CRC info document: the entry of " + (entry.empty() ? L"" : entry[0]) +
                      L" has " + std::to_wstring(crcLines) + L" CRC lines for the size line \"" +
                      (entry.size() > 1 ? entry[1] : L"") + L"\"",
                  ERROR_INVALID_DATA, VELMOT_HERE);
  return false;
}

void DownloadManager::DownloadFileFromCRCInfo(const CRCInfoEntry& entry) {
  if (entry.empty()) return;
  try {
    if (!AcceptListedName(entry[0]) || !AcceptEntry(entry)) return;
    currentName = GetLocalName(entry[0]);
    const std::wstring target = downloadFolder + L"/" + currentName;
    if (FileIO::Exists(target)) {
      CountPresentFile(target);
      return;
    }
    // The check of what the merging file holds reads up to the whole file: it runs before
    // the lock is taken, so that a pause (which takes the lock) never waits for the disk.
    std::vector<size_t> missing;
    if (!PrepareMergingFile(entry, missing)) return;
    size_t first = 0;
    size_t end = 0;
    if (!QueueMissingParts(entry, missing, first, end)) return;
    // Only a complete file gets its name: a part whose attempts ran out in this pass
    // leaves the others in the merging file for the next pass.
    if (WaitForParts(first, end) && Active()) FinishMerge(entry);
  } catch (const std::exception& e) {
    Error::LogError(std::string(velmot::texts::kManagerMalfunction) + e.what(),
                    DL_MANAGER_WIN32_EXCEPTION, VELMOT_HERE);
  }
}

// An installer file already in the download folder is verified later, not fetched.
void DownloadManager::CountPresentFile(const std::wstring& target) {
  velmot::FileHandle file = FileIO::OpenForReading(target);
  if (!file) {
    VELMOT_LOG_LAST_ERROR(L"DownloadManager::DownloadFileFromCRCInfo unable to read file" + target);
    return;
  }
  uint64_t size = 0;
  if (FileIO::SizeOf(file.Get(), size)) presentBytes += size;
}

// Queues a worker for each missing part, writing into the merging file at the part's
// offset; the first ones start at once. [first, end) are the queued workers. False after a
// stop.
bool DownloadManager::QueueMissingParts(const CRCInfoEntry& entry,
                                        const std::vector<size_t>& missing, size_t& first,
                                        size_t& end) {
  const uint64_t fileSize = CRCInfoReader::ParseSizeLine(entry[1]);
  std::vector<PartFetcher::Order> orders;
  for (size_t k : missing) {
    PartFetcher::Order order;
    order.objectPath = CRCInfoReader::PartObject(descriptor.downloadSubdir, k, entry[0]);
    order.partPath = PartPath(k);
    order.regionFile = MergeFilePath(currentName);
    order.regionOffset = static_cast<uint64_t>(k) * kPartSize;
    order.bytes = CRCInfoReader::PartBytes(fileSize, k);
    order.expectedCrc = CRCInfoReader::ParseCrcLine(entry[k + 2]);
    orders.push_back(std::move(order));
  }
  return fetcher_.Queue(descriptor.hostName, descriptor.sasText, orders, first, end);
}

// Waits until the queued workers have ended; true when every one brought its part. The merging
// file keeps what came for the next run when the job stops or the user was sent to support
// meanwhile.
bool DownloadManager::WaitForParts(size_t first, size_t end) {
  bool allFinished = true;
  for (;;) {
    const bool ended = fetcher_.Ended(first, end, allFinished);
    if (!Active() || supportRedirected) return false;
    if (Interrupted()) {
      fetcher_.DropQueued();
      return false;
    }
    // Checked before the wait: the file is finished as soon as the last part is in.
    if (ended) return allFinished;
    if (WaitForStop(kPartPollMs)) return false;
  }
}
