#include "download/fetch/partfetcher.h"

#include "diagnostics/error.h"

#include <algorithm>
#include <utility>

namespace {

// A worker is running, or was started and its thread has not ended yet.
bool IsActive(FileDownload& worker, bool started) {
  if (!started) return false;
  int32_t state = worker.state.load();
  if (state == FILE_DOWNLOAD_RUNNING) return true;
  return state == FILE_DOWNLOAD_IDLE && !worker.WaitForEnd(0);
}

}  // namespace

PartFetcher::PartFetcher(Job& job, std::atomic<uint64_t>& inProgressBytes,
                         FileSystemWatcher& watcher)
    : job_(job), inProgressBytes_(inProgressBytes), watcher_(watcher) {}

PartFetcher::~PartFetcher() {
  AskToStop();
  StopAll(GetTickCount64() + kStopMs);
}

void PartFetcher::BeginJob(unsigned partsInFlight, DWORD stallMs) {
  velmot::CriticalSectionLock hold(lock_);
  session_ = std::make_shared<HttpSession>();
  stallMs_ = stallMs;
  limit_ = std::max(1u, partsInFlight);
  // Room for every part in flight, the CRC info document and the log upload.
  HttpSession::AllowConnectionsPerServer(limit_.load() + 2);
}

std::unique_ptr<FileDownload> PartFetcher::NewWorker(const std::wstring& host,
                                                     const std::wstring& linkSuffix,
                                                     const std::wstring& objectPath) {
  velmot::CriticalSectionLock hold(lock_);
  auto worker = std::make_unique<FileDownload>();
  worker->connectionState.host = host;
  worker->connectionState.objectPath = objectPath;
  worker->connectionState.objectSuffix = linkSuffix;
  worker->connectionState.session = session_;
  worker->stallMs = stallMs_;
  return worker;
}

bool PartFetcher::Queue(const std::wstring& host, const std::wstring& linkSuffix,
                        const std::vector<Order>& orders, size_t& first, size_t& end) {
  velmot::CriticalSectionLock hold(lock_);
  busySeen_ = 0;
  first = slots_.size();
  for (const Order& order : orders) {
    if (!job_.Running()) return false;
    OutputDebugStringW(order.objectPath.c_str());
    Slot slot;
    slot.worker = NewWorker(host, linkSuffix, order.objectPath);
    slot.worker->connectionState.localPath = order.partPath;
    slot.worker->regionFile = order.regionFile;
    slot.worker->regionOffset = order.regionOffset;
    slot.worker->expectedCrc = order.expectedCrc;
    slot.worker->listener = this;
    slot.worker->paused = paused_;
    auto kept = keptBytes_.find(order.objectPath);
    if (kept != keptBytes_.end()) {
      slot.worker->GiveKeptBytes(std::move(kept->second));
      keptBytes_.erase(kept);
    }
    slot.partBytes = order.bytes;
    slots_.push_back(std::move(slot));
  }
  end = slots_.size();
  StartNext();
  return true;
}

// Starts queued workers, in the order they were queued, while fewer than the limit run. A
// late report of an earlier file's last worker only counts as one of those running.
bool PartFetcher::StartNext() {
  size_t running = 0;
  for (Slot& slot : slots_) {
    if (IsActive(*slot.worker, slot.started)) ++running;
  }
  bool started = false;
  for (Slot& slot : slots_) {
    if (running >= limit_.load()) break;
    if (!slot.started) {
      slot.started = true;
      slot.worker->Start();
      ++running;
      started = true;
    }
  }
  return started;
}

// A worker that ended Idle (an unexpected failure) sends no report: it counts as ended, and
// the next part is started here.
bool PartFetcher::Ended(size_t first, size_t end, bool& allFinished) {
  velmot::CriticalSectionLock hold(lock_);
  allFinished = true;
  bool allEnded = true;
  bool endedQuietly = false;
  for (size_t i = first; i < end && i < slots_.size(); ++i) {
    const Slot& slot = slots_[i];
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
  if (endedQuietly && StartNext()) allEnded = false;
  if (!allEnded) WatchWorkers(first, end);
  return allEnded;
}

// Ends the attempt of a part whose connection has gone quiet (the worker resumes it), and
// asks for fewer parts at once for the rest of the job once the host says it is busy.
void PartFetcher::WatchWorkers(size_t first, size_t end) {
  uint32_t busy = 0;
  for (size_t i = first; i < end && i < slots_.size(); ++i) {
    FileDownload& worker = *slots_[i].worker;
    busy += worker.busyAnswers.load();
    if (slots_[i].started && worker.StalledFor(stallMs_)) worker.EndAttempt();
  }
  if (busy <= busySeen_) return;
  busySeen_ = busy;
  const unsigned limit = limit_.load();
  if (limit <= 1) return;
  limit_ = limit / 2;
  Error::LogMessage(L"The file host is busy: fetching " + std::to_wstring(limit / 2) +
                        L" parts at a time from now on",
                    VELMOT_HERE);
}

void PartFetcher::DropQueued() {
  velmot::CriticalSectionLock hold(lock_);
  for (size_t i = slots_.size(); i-- > 0;) {
    if (!slots_[i].started) slots_.erase(slots_.begin() + static_cast<ptrdiff_t>(i));
  }
}

void PartFetcher::TogglePause() {
  velmot::CriticalSectionLock hold(lock_);
  paused_ = !paused_;
  for (Slot& slot : slots_) slot.worker->paused = !slot.worker->paused.load();
}

void PartFetcher::AskToStop() {
  velmot::CriticalSectionLock hold(lock_);
  for (Slot& slot : slots_) slot.worker->StopWithin(0);
}

// The workers are taken out of the list under the lock and stopped outside it: a worker
// whose report passed the running test just before the stop may be waiting for the lock,
// and it must get it (and find the job stopped) for its thread to end. Each gets what is
// left of one common bound.
void PartFetcher::StopAll(ULONGLONG deadline) {
  std::vector<Slot> taken;
  {
    velmot::CriticalSectionLock hold(lock_);
    inProgressBytes_ = 0;
    taken.swap(slots_);
  }
  for (Slot& slot : taken) StopOrAbandon(std::move(slot.worker), deadline);
}

void PartFetcher::StopOrAbandon(std::unique_ptr<FileDownload> worker, ULONGLONG deadline) {
  if (!worker) return;
  const ULONGLONG now = GetTickCount64();
  const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
  if (worker->StopWithin(left)) return;
  // Stuck in a read that closing its handle did not end: it ends on its own at the read's
  // time-out and must then find nobody to report to.
  worker->Detach();
  Error::LogError(L"A part download did not stop within " + std::to_wstring(kStopMs) +
                      L" ms; it is left to end by itself: " + worker->connectionState.localPath,
                  0, VELMOT_HERE);
  Orx_Thread::Abandon(std::move(worker));
}

size_t PartFetcher::WorkerCount() {
  velmot::CriticalSectionLock hold(lock_);
  return slots_.size();
}

unsigned PartFetcher::ConnectionsOpened() {
  velmot::CriticalSectionLock hold(lock_);
  return session_ ? session_->OpenedConnections() : 0;
}

// The running test is repeated under the lock so that nothing starts once StopAll has begun
// to take the workers.
void PartFetcher::OnDownloadFinished(FileDownload* worker) {
  if (!job_.Running()) return;
  velmot::CriticalSectionLock hold(lock_);
  if (!job_.Running()) return;
  FileDownload::KeptBytes kept;
  if (!worker->Succeeded() && !worker->regionFile.empty() && worker->TakeKeptBytes(kept)) {
    keptBytes_[worker->connectionState.objectPath] = std::move(kept);
  }
  if (job_.EndsPass(*worker)) return;
  // A part counts once, at its listed length, and only when it was written: a worker whose
  // attempts ran out finishes too.
  uint64_t bytes = 0;
  for (const Slot& slot : slots_) {
    if (slot.worker.get() == worker && worker->Succeeded()) bytes = slot.partBytes;
  }
  // Its bytes leave the in-flight count before they join the finished one, so that no
  // moment counts them twice.
  RecountInProgress();
  StartNext();
  job_.PartWritten(bytes);
}

void PartFetcher::OnDownloadProgress(FileDownload* worker) {
  if (!job_.Running()) return;
  {
    velmot::CriticalSectionLock hold(lock_);
    if (!job_.Running()) return;
    RecountInProgress();
  }
  job_.PartProgressed(*worker);
}

void PartFetcher::OnDeletingOwnFile(FileDownload* /*worker*/, const std::wstring& path) {
  watcher_.ExpectChange(path);
}

void PartFetcher::OnOwnFileKept(FileDownload* /*worker*/, const std::wstring& path) {
  watcher_.WithdrawExpected(path);
}

void PartFetcher::RecountInProgress() {
  uint64_t sum = 0;
  for (const Slot& slot : slots_) {
    if (slot.worker->state.load() != FILE_DOWNLOAD_FINISHED) sum += slot.worker->PartDataSize();
  }
  inProgressBytes_ = sum;
}
