// The fixture of the FileDownload tests: a file-host namespace, a temporary folder, a
// recording listener and one worker aimed at an object of the namespace.
#pragma once

#include "diagnostics/error.h"
#include "download/fetch/filedownload.h"
#include "support/recordingdownloadlistener.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>

#include <string>

namespace testsupport {

constexpr unsigned kWorkerEndMs = 60000;  // generous: a hang must fail, a slow machine must not

class FileDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override { Error::Clear(); }

  void Prepare(const std::string& relative, const std::wstring& localPath, int32_t crc) {
    worker.connectionState.host = files.Host();
    worker.connectionState.objectPath = files.ObjectPath(relative);
    worker.connectionState.localPath = localPath;
    worker.expectedCrc = crc;
    worker.listener = &listener;
  }

  void RunToEnd() {
    worker.Start();
    ASSERT_TRUE(worker.WaitForEnd(kWorkerEndMs)) << "the worker did not end";
  }

  FileHostNamespace files;
  TempFolder temp{L"fd"};
  RecordingDownloadListener listener;
  FileDownload worker;
};

}  // namespace testsupport
