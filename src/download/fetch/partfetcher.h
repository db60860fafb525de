// The parts of a job in flight: one HttpSession for the whole job, whose connections stay
// alive between parts, and up to a limit of FileDownload workers fetching side by side,
// started in the order they were queued. The limit is halved, down to one, for the rest of
// the job each time the host says it is busy; a worker whose connection brings no byte for
// the stall time has its attempt ended (it resumes with a Range). What a worker received
// before its attempts ran out waits here for the part's next worker, which goes on from it.
//
// Threads: the job's thread queues, watches and stops; each report (OnDownloadFinished,
// OnDownloadProgress) comes on its worker's thread and starts the next part at once, without
// waiting for the job's polling. Everything below is under one lock; the job is called back
// with it held only in EndsPass.
#pragma once

#include "base/handles.h"
#include "download/fetch/filedownload.h"
#include "download/fetch/idownloadlistener.h"
#include "download/store/filesystemwatcher.h"
#include "net/httpsession.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class PartFetcher : public IDownloadListener {
 public:
  // The job the parts are fetched for. Every call comes on a worker's thread.
  class Job {
   public:
    virtual ~Job() = default;
    // False once the job stops: reports are then dropped and nothing more starts.
    virtual bool Running() const = 0;
    // A worker ended (the fetcher's lock held); true when its end ends the pass (a host that
    // cannot be reached, a sign-in page, a refused link): the parts still queued then wait.
    virtual bool EndsPass(FileDownload& worker) = 0;
    // A part is in its region: its bytes have left the in-flight count.
    virtual void PartWritten(uint64_t bytes) = 0;
    // After a read that added bytes (the in-flight count already holds them), or once when
    // the region could not be written.
    virtual void PartProgressed(FileDownload& worker) = 0;
  };

  // Where one part comes from and goes to.
  struct Order {
    std::wstring objectPath;
    std::wstring partPath;    // the part's name in the work folder (its records use it)
    std::wstring regionFile;  // the file the part is written into, at regionOffset
    uint64_t regionOffset = 0;
    uint64_t bytes = 0;  // the part's listed length
    int32_t expectedCrc = 0;
  };

  // How long a stop waits for the workers (all together) before leaving them to end by
  // themselves; keeps a close within its few seconds.
  static constexpr DWORD kStopMs = 750;

  // inProgressBytes: the job's count of bytes received and not yet written; watcher is told
  // of the workers' own deletions.
  PartFetcher(Job& job, std::atomic<uint64_t>& inProgressBytes, FileSystemWatcher& watcher);
  ~PartFetcher() override;

  // A fresh session and the job's limits; before the first worker.
  void BeginJob(unsigned partsInFlight, DWORD stallMs);
  // A worker for objectPath on host, the link's text (its SAS) appended, on the job's
  // session (also for the CRC info document).
  std::unique_ptr<FileDownload> NewWorker(const std::wstring& host, const std::wstring& linkSuffix,
                                          const std::wstring& objectPath);
  // Queues a worker per order; the first ones start at once. [first, end) are the queued
  // workers for Ended. False after a stop.
  bool Queue(const std::wstring& host, const std::wstring& linkSuffix,
             const std::vector<Order>& orders, size_t& first, size_t& end);
  // Whether every worker of [first, end) has ended, and whether each brought its part; ends
  // stalled attempts and steps down on busy answers while they run.
  bool Ended(size_t first, size_t end, bool& allFinished);
  // The workers still queued belong to a pass that has ended; the next pass queues its own.
  void DropQueued();
  void TogglePause();
  // Asks every worker to stop; StopAll then waits for them until deadline (a GetTickCount64
  // value), abandoning those stuck in a read. After StopAll no report reaches the job.
  void AskToStop();
  void StopAll(ULONGLONG deadline);

  size_t WorkerCount();
  // Connections the job's session opened so far (a request that found none to reuse).
  unsigned ConnectionsOpened();

  // Waits for worker until deadline (a GetTickCount64 value); one that has not ended by
  // then is detached and abandoned.
  static void StopOrAbandon(std::unique_ptr<FileDownload> worker, ULONGLONG deadline);

  // IDownloadListener
  void OnDownloadFinished(FileDownload* worker) override;
  void OnDownloadProgress(FileDownload* worker) override;
  void OnDeletingOwnFile(FileDownload* worker, const std::wstring& path) override;
  void OnOwnFileKept(FileDownload* worker, const std::wstring& path) override;

 private:
  // A worker with what the fetcher knows about it. started: Start was called (a worker is
  // started at most once); partBytes: the length of its part, for the byte counters.
  struct Slot {
    std::unique_ptr<FileDownload> worker;
    uint64_t partBytes = 0;
    bool started = false;
  };

  bool StartNext();
  void WatchWorkers(size_t first, size_t end);
  void RecountInProgress();

  Job& job_;
  std::atomic<uint64_t>& inProgressBytes_;
  FileSystemWatcher& watcher_;
  velmot::CriticalSection lock_;
  // The job's connections; the workers keep them alive as long as they use them.
  std::shared_ptr<HttpSession> session_;
  DWORD stallMs_ = FileDownload::kStallMs;
  std::atomic<unsigned> limit_{1};
  uint32_t busySeen_ = 0;  // busy answers of the last queued workers seen so far
  // By object path, the bytes of parts whose workers ran out of attempts.
  std::map<std::wstring, FileDownload::KeptBytes> keptBytes_;
  std::vector<Slot> slots_;
  bool paused_ = false;  // workers queued later start in the same state
};
