// The fixture of the FileDownload tests: a file-host namespace, a temporary folder, a
// recording listener and one worker aimed at an object of the namespace.
#pragma once

#include "diagnostics/error.h"
#include "download/fetch/filedownload.h"
#include "support/downloadjob.h"
#include "support/recordingdownloadlistener.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

class FileDownloadTest : public ::testing::Test {
 protected:
  static constexpr unsigned kEndMs = 60000;  // generous: a hang must fail, a slow machine must not

  void SetUp() override { Error::Clear(); }

  void Prepare(const std::string& relative, const std::wstring& localPath, int32_t crc) {
    worker.connectionState.host = files.Host();
    worker.connectionState.objectPath = files.ObjectPath(relative);
    worker.connectionState.localPath = localPath;
    worker.expectedCrc = crc;
    worker.listener = &listener;
  }
  // Puts bytes on the host and aims the worker at them, to be written to the temporary
  // folder's file partName with their CRC expected; returns that file's path.
  std::wstring PreparePart(const std::string& relative, const std::vector<uint8_t>& bytes,
                           const std::wstring& partName) {
    files.PutObject(relative, bytes);
    Prepare(relative, temp.File(partName), CrcOf(bytes));
    return temp.File(partName);
  }
  // The same for a fetch into memory: no part file, no CRC.
  template <typename Bytes>
  void PrepareInMemory(const std::string& relative, const Bytes& bytes) {
    files.PutObject(relative, bytes);
    Prepare(relative, L"", 0);
  }

  // Starts the worker; success once it ended within kEndMs. Callers assert on it, so that a
  // worker still running ends the test there.
  [[nodiscard]] ::testing::AssertionResult RunToEnd() {
    worker.Start();
    if (worker.WaitForEnd(kEndMs)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the worker did not end within " << kEndMs << " ms";
  }
  // True once count progress reports (or the end) came in time.
  bool StartUntilProgress(size_t count) {
    worker.Start();
    return listener.WaitForProgress(count, kEndMs);
  }

  FileHostNamespace files;
  TempFolder temp{L"fd"};
  RecordingDownloadListener listener;
  FileDownload worker;
};

}  // namespace testsupport
