// A worker thread that fetches one object from the file host over HTTPS into memory,
// checks it against an expected CRC-32 and, given a local path, writes it as a part file.
// Started and stopped by the download manager (or by whoever fetches the CRC info
// document); Stop(INFINITE) takes effect at the next test of the read loop, at the latest
// after the current read returns (120 s receive time-out) or within 100 ms while paused.
#pragma once

#include "app/orx_thread.h"
#include "download/connection.h"
#include "download/crc.h"
#include "download/idownloadlistener.h"

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

  FileDownload();
  ~FileDownload() override;

  void Run() override;
  bool WritePartFile();

  // Set by the owner before Start.
  ConnectionState connectionState;  // host, objectPath, objectSuffix, localPath, handles, httpStatus
  int32_t expectedCrc = 0;          // 0: the object is not checked
  IDownloadListener* listener = nullptr;
  uint64_t maxObjectSize = kMaxObjectSize;

  // Shared with other threads.
  std::atomic<bool> paused{false};
  std::atomic<int32_t> state{FILE_DOWNLOAD_IDLE};

  int32_t HttpStatus() const { return connectionState.httpStatus.load(); }
  // Bytes received in the current attempt; safe to read from any thread.
  uint64_t PartDataSize() const { return partDataSize_.load(); }
  // The received bytes; read only after the worker's thread has ended.
  const std::vector<uint8_t>& PartData() const { return partData_; }
  void ReleasePartData();

 private:
  std::vector<uint8_t> partData_;
  std::atomic<uint64_t> partDataSize_{0};
  CRC crc_;
  Connection connection_;
};
