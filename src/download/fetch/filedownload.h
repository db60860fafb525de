// A worker thread that fetches one object from the file host over HTTPS into memory,
// checks it against an expected CRC-32 and, given a local path, writes it: as a part file,
// or at its offset into the file the parts make up (regionFile). An attempt that ends
// after some bytes (a drop, a reset, a stall, a pause) keeps them, and the next attempt
// asks only for the rest (Range, with If-Match the ETag of the first answer); such an
// attempt does not use up one of the four. The whole object's CRC-32 still decides.
//
// Started and stopped by the download manager (or by whoever fetches the CRC info
// document). A stop closes the open request (OnStopRequested), which on Windows ends a
// blocking send or read at once; under Wine 8 the call goes on until data comes or the
// receive time-out (measured: closing the request, connection or root handle from
// another thread left HttpSendRequestW and InternetReadFile blocked for 10 s and more).
// Owners therefore stop with a bound (StopWithin) and, when a worker does not end in time,
// Detach it and hand it to Orx_Thread::Abandon. While paused or between attempts the stop
// takes effect at once (the waits are on the base's stop event).
#pragma once

#include "base/handles.h"
#include "base/orx_thread.h"
#include "net/connection.h"
#include "download/store/crc.h"
#include "download/fetch/idownloadlistener.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

enum FileDownloadState : int32_t {
  FILE_DOWNLOAD_IDLE = 0,
  FILE_DOWNLOAD_RUNNING = 6,
  FILE_DOWNLOAD_FINISHED = 7,
  FILE_DOWNLOAD_WRITE_FAILED = 8,
};

class FileDownload : public Orx_Thread {
 public:
  // Largest body accepted for one object; a larger one fails the attempt (a hostile or
  // broken host must not grow memory without bound). Parts are 10,000,000 bytes.
  static constexpr uint64_t kMaxObjectSize = 12u * 1024u * 1024u;
  // Bytes asked for per read, at most (a read asks for about a second of the line).
  static constexpr uint32_t kChunkSize = 0x80000;
  // A body that brings no byte for this long ends its attempt; the next one resumes. The
  // 120 s time-outs stay the bound of everything before the body.
  static constexpr DWORD kStallMs = 30000;

  FileDownload();
  ~FileDownload() override;

  void Run() override;
  bool WritePartFile();
  // Cuts the link to the listener: no report reaches it once this returns (a report in
  // progress is waited for). Any thread; for an owner that abandons the worker.
  void Detach();

  // Why the worker's attempts ended as they did; filled before the worker reports or ends
  // (read by the listener on the worker's thread, or by the owner after the thread ended).
  struct Summary {
    bool good = false;          // the object was accepted
    bool unreachable = false;   // every attempt failed without any answer from the host
    bool signInPage = false;    // an attempt got a web page instead of the object
    bool proxyRefused = false;  // the company proxy wanted a sign-in that did not come
    bool sameWrongCrc = false;  // every attempt (two or more) read a whole body of the same
                                // length whose CRC was the same wrong value
    uint32_t foundCrc = 0;      // that value
  };
  Summary summary;

  // A body that is a web page: Content-Type text/html, or text that starts with "<!DOCTYPE"
  // or "<html" (ASCII case ignored) after white space. Networks that want a sign-in answer
  // every request with such a page.
  static bool IsWebPage(const std::wstring& contentType, const std::vector<uint8_t>& body);

 protected:
  // Closes the connection so that a blocking send or read is cancelled where the platform
  // allows it.
  void OnStopRequested() override;
  // Records the escaped exception, leaves the worker Idle (the manager then starts the next
  // part itself) and closes the connection.
  void OnEscapedException(const std::exception* e) override;

 public:
  // Set by the owner before Start.
  ConnectionState
      connectionState;      // host, objectPath, objectSuffix, localPath, handles, httpStatus
  int32_t expectedCrc = 0;  // 0: the object is not checked
  IDownloadListener* listener = nullptr;  // reports go through listenerLock_
  uint64_t maxObjectSize = kMaxObjectSize;
  uint32_t chunkSize = kChunkSize;
  DWORD stallMs = kStallMs;
  // Given: the checked bytes are written at regionOffset into this existing file instead of
  // to localPath, which then only names the part in the records.
  std::wstring regionFile;
  uint64_t regionOffset = 0;

  // Shared with other threads.
  std::atomic<bool> paused{false};
  std::atomic<int32_t> state{FILE_DOWNLOAD_IDLE};
  // Answers of a host too busy to serve (500, 503, ServerBusy) so far; the owner asks for
  // fewer objects at once when it rises.
  std::atomic<uint32_t> busyAnswers{0};

  // The bytes of an object whose attempts ran out, with what the host said of it, so that a
  // later worker for the same object goes on from them instead of from its first byte.
  struct KeptBytes {
    std::vector<uint8_t> bytes;
    std::wstring etag;
    uint64_t objectLength = 0;
  };
  // The owner, in OnDownloadFinished of a worker that did not succeed: takes what it kept
  // (false when nothing can be resumed). Before Start of another worker: hands them on.
  bool TakeKeptBytes(KeptBytes& kept);
  void GiveKeptBytes(KeptBytes&& kept);

  // True while a body is being read and no byte of it came for ms (any thread).
  bool StalledFor(DWORD ms) const;
  // Ends the attempt in progress from the owner's thread by closing its request; the next
  // attempt resumes where it stopped.
  void EndAttempt();

  // The status of the last attempt's answer; 0 when that attempt got no HTTP answer.
  int32_t HttpStatus() const { return connectionState.httpStatus.load(); }
  // True once the object passed its check and, given a local path, its part file was
  // written; a worker whose attempts ran out also ends Finished, but not succeeded.
  bool Succeeded() const { return succeeded_.load(); }
  // Bytes received in the current attempt; safe to read from any thread.
  uint64_t PartDataSize() const { return partDataSize_.load(); }
  // The received bytes; read only after the worker's thread has ended.
  const std::vector<uint8_t>& PartData() const { return partData_; }
  void ReleasePartData();

 private:
  // How one attempt's read loop ended.
  struct ReadOutcome {
    bool anyRead = false;      // at least one InternetReadFile call was made
    bool lastFailed = false;   // the last read failed, or the body was cut short or too large
    bool incomplete = false;   // the body is known to be wrong whatever was received
    bool unreachable = false;  // the read failed because the connection was lost
    bool paused = false;       // a pause gave the connection up; the bytes are kept
    bool complete = false;     // the body was read to its end
    DWORD error = 0;           // the failing read's code
  };
  // What one attempt found, for the summary.
  struct AttemptResult {
    bool good = false;
    bool unreachable = false;
    bool webPage = false;
    bool proxyRefused = false;
    bool wholeBodyWrongCrc = false;
    bool progressed = false;  // ended early with more bytes kept than any attempt before
    bool busy = false;        // the host was too busy to answer
    uint32_t crc = 0;
    uint64_t length = 0;
  };

  void RunAttempts();
  AttemptResult Attempt();
  AttemptResult Refused();
  // Whether the kept bytes can be continued: an ETag and a known length they fall short of.
  bool CanResume() const;
  // Drops the kept bytes (keeping the buffer) and what was known of the object.
  void StartOver();
  // Takes the object's ETag and length from a whole answer.
  void TakeObject();
  // Checks the answer to a resumed request; false when it cannot continue the kept bytes.
  bool AcceptResumed();
  // False when stopped while paused.
  bool WaitWhilePaused();
  DWORD NextReadSize(uint64_t received, ULONGLONG started) const;
  bool WriteRegion();
  ReadOutcome ReadBody();
  void ReadFailed(ReadOutcome& outcome, DWORD error);
  bool Append(const uint8_t* bytes, DWORD count, ReadOutcome& outcome);
  AttemptResult Judge(const ReadOutcome& outcome);
  void Summarise(const std::vector<AttemptResult>& attempts);
  bool HasFolder() const;
  void ReportProgress();
  void ReportFinished();

  std::vector<uint8_t> partData_;
  std::atomic<uint64_t> partDataSize_{0};
  // What the first answer said of the object; the most bytes any attempt held.
  std::wstring etag_;
  uint64_t objectLength_ = 0;
  uint64_t mostReceived_ = 0;
  // GetTickCount64 of the body's last byte (its start at first); 0 when no body is read.
  std::atomic<uint64_t> lastByteTick_{0};
  std::atomic<bool> endedByOwner_{false};
  std::atomic<bool> succeeded_{false};
  CRC crc_;
  Connection connection_;
  velmot::CriticalSection listenerLock_;  // a report and Detach never overlap
};
