// The download manager's work on one installer file: names, totals, reuse of what is on
// disk, and the part workers, up to partsInFlight of them fetching side by side on the
// job's kept-alive connections.
#include "download/downloadmanager.h"

#include "base/fileio.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "download/crcinforeader.h"
#include "download/filesystem.h"
#include "download/partstore.h"

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

void DownloadManager::OnDeletingOwnFile(FileDownload* /*worker*/, const std::wstring& path) {
  watcher_.ExpectChange(path);
}

void DownloadManager::OnOwnFileKept(FileDownload* /*worker*/, const std::wstring& path) {
  watcher_.WithdrawExpected(path);
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

// A worker is running, or was started and its thread has not ended yet.
static bool IsActive(FileDownload& worker, bool started) {
  if (!started) return false;
  int32_t state = worker.state.load();
  if (state == FILE_DOWNLOAD_RUNNING) return true;
  return state == FILE_DOWNLOAD_IDLE && !worker.WaitForEnd(0);
}

// Starts queued workers, in the document's order, while fewer than the job's limit run. A
// late report of an earlier file's last worker only counts as one of those running.
bool DownloadManager::StartNextWorker() {
  size_t running = 0;
  for (WorkerSlot& slot : workers_) {
    if (IsActive(*slot.worker, slot.started)) ++running;
  }
  bool started = false;
  for (WorkerSlot& slot : workers_) {
    if (running >= inFlightLimit_.load()) break;
    if (!slot.started) {
      slot.started = true;
      slot.worker->Start();
      ++running;
      started = true;
    }
  }
  return started;
}

// A worker that ended Idle (an unexpected failure) sends no report: it counts as ended,
// and the manager starts the next part itself.
bool DownloadManager::WorkersEnded(size_t first, size_t end, bool& allFinished) {
  allFinished = true;
  bool allEnded = true;
  bool endedQuietly = false;
  for (size_t i = first; i < end && i < workers_.size(); ++i) {
    const WorkerSlot& slot = workers_[i];
    int32_t state = slot.worker->state.load();
    // A worker whose attempts ran out ends Finished too, without its part.
    if (state == FILE_DOWNLOAD_FINISHED) {
      allFinished = allFinished && slot.worker->Succeeded();
      continue;
    }
    allFinished = false;
    if (state == FILE_DOWNLOAD_WRITE_FAILED) continue;
    if (slot.started && state == FILE_DOWNLOAD_IDLE && slot.worker->WaitForEnd(0)) {
      endedQuietly = true;
      continue;
    }
    allEnded = false;
  }
  if (endedQuietly && StartNextWorker()) allEnded = false;
  return allEnded;
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
  velmot::CriticalSectionLock hold(lock_);
  first = workers_.size();
  for (size_t k : missing) {
    if (!Active()) return false;
    const std::wstring objectPath =
        CRCInfoReader::PartObject(descriptor.downloadSubdir, k, entry[0]);
    OutputDebugStringW(objectPath.c_str());

    WorkerSlot slot;
    slot.worker.reset(NewWorker(objectPath));
    slot.worker->connectionState.localPath = PartPath(k);
    slot.worker->regionFile = MergeFilePath(currentName);
    slot.worker->regionOffset = static_cast<uint64_t>(k) * kPartSize;
    slot.worker->expectedCrc = CRCInfoReader::ParseCrcLine(entry[k + 2]);
    slot.worker->listener = this;
    slot.worker->paused = paused_;
    auto kept = keptBytes_.find(objectPath);
    if (kept != keptBytes_.end()) {
      slot.worker->GiveKeptBytes(std::move(kept->second));
      keptBytes_.erase(kept);
    }
    slot.partBytes = CRCInfoReader::PartBytes(fileSize, k);
    workers_.push_back(std::move(slot));
  }
  end = workers_.size();
  StartNextWorker();
  return true;
}

FileDownload* DownloadManager::NewWorker(const std::wstring& objectPath) {
  FileDownload* worker = new FileDownload();
  worker->connectionState.host = descriptor.hostName;
  worker->connectionState.objectPath = objectPath;
  worker->connectionState.objectSuffix = descriptor.sasText;
  worker->connectionState.session = session_;
  worker->stallMs = stallMs;
  return worker;
}

// Waits until the queued workers have ended; true when every one brought its part. The merging
// file keeps what came for the next run when the job stops or the user was sent to support
// meanwhile.
bool DownloadManager::WaitForParts(size_t first, size_t end) {
  bool allFinished = true;
  busySeen_ = 0;
  for (;;) {
    bool ended = false;
    {
      velmot::CriticalSectionLock hold(lock_);
      ended = WorkersEnded(first, end, allFinished);
      if (!ended) WatchWorkers(first, end);
    }
    if (!Active() || supportRedirected) return false;
    if (Interrupted()) {
      velmot::CriticalSectionLock hold(lock_);
      DropQueuedWorkers();
      return false;
    }
    // Checked before the wait: the file is finished as soon as the last part is in.
    if (ended) return allFinished;
    if (WaitForStop(kPartPollMs)) return false;
  }
}

// Ends the attempt of a part whose connection has gone quiet (the worker resumes it), and
// asks for fewer parts at once for the rest of the job once the host says it is busy
// (lock held).
void DownloadManager::WatchWorkers(size_t first, size_t end) {
  uint32_t busy = 0;
  for (size_t i = first; i < end && i < workers_.size(); ++i) {
    FileDownload& worker = *workers_[i].worker;
    busy += worker.busyAnswers.load();
    if (workers_[i].started && worker.StalledFor(stallMs)) worker.EndAttempt();
  }
  if (busy <= busySeen_) return;
  busySeen_ = busy;
  const unsigned limit = inFlightLimit_.load();
  if (limit <= 1) return;
  inFlightLimit_ = limit / 2;
  Error::LogMessage(L"The file host is busy: fetching " + std::to_wstring(limit / 2) +
                        L" parts at a time from now on",
                    VELMOT_HERE);
}
