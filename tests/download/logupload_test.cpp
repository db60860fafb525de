// The log upload at window close against the reference web service: the compressed
// report on the wire, the text log file beside the executable, and the cases that must
// post nothing.
#include "download/job/downloadmanager.h"

#include "diagnostics/error.h"
#include "download/store/filesystem.h"
#include "support/downloadjob.h"
#include "support/httpservicetest.h"
#include "support/rawhttp.h"
#include "support/records.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using testsupport::Base64Decode;
using testsupport::FileExists;
using testsupport::FromUtf8;

// Unpacks a gzip member with zlib itself.
bool Gunzip(const std::string& packed, std::string& unpacked) {
  z_stream stream = {};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  stream.avail_in = static_cast<uInt>(packed.size());
  char buffer[65536];
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    result = inflate(&stream, Z_NO_FLUSH);
    unpacked.append(buffer, sizeof(buffer) - stream.avail_out);
  }
  inflateEnd(&stream);
  return result == Z_STREAM_END && stream.avail_in == 0;
}

std::wstring TextLogPath() {
  std::string folder;
  FileSystem::GetExecutableFolder(folder);
  return FromUtf8(folder) + L"/logfile.txt";
}

class LogUploadTest : public testsupport::HttpServiceTest {
 protected:
  LogUploadTest() : HttpServiceTest("lu") {}
  void SetUp() override {
    // Every case of this file checks the one text log file beside the executable, and
    // ctest may run them side by side: one case at a time.
    mutex_ = CreateMutexW(nullptr, FALSE, L"velmot-logupload-test-textlog");
    ASSERT_NE(nullptr, mutex_);
    const DWORD waited = WaitForSingleObject(mutex_, 60000);
    ASSERT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED);
    owned_ = true;
    DeleteFileW(TextLogPath().c_str());
    Error::Clear();
    manager.workFolder = work.Path();
  }
  void TearDown() override {
    DeleteFileW(TextLogPath().c_str());
    if (owned_) ReleaseMutex(mutex_);
    if (mutex_) CloseHandle(mutex_);
  }

  testsupport::TempFolder work{L"work"};

 private:
  HANDLE mutex_ = nullptr;
  bool owned_ = false;
};

TEST_F(LogUploadTest, PostsTheCompressedReportAndWritesTheTextLogForErrors) {
  Error::LogError(std::string("A note \"quoted\"\r\nsecond line"), 0, VELMOT_HERE);
  Error::LogError(std::string("Something failed"), ERROR_ACCESS_DENIED, VELMOT_HERE);
  const std::string report = Error::DumpJson(Error::GetLogJson());

  manager.PostLogFile();

  auto requests = MyRequests();
  ASSERT_EQ(1u, requests.size());
  const auto& request = requests[0];
  testsupport::ExpectServiceRequest(request, "LogErrorInfo", "application/octet-stream",
                                    {"Accept-Encoding", "ComputerId", "Content-Type",
                                     "DownloadManagerVersion", "Method", "User-Agent"});
  EXPECT_EQ("9.5", request["headers"]["downloadmanagerversion"]);

  // The body is a gzip file holding the report as UTF-16LE, without BOM or terminator.
  const std::string body = Base64Decode(request["bodyBase64"].get<std::string>());
  EXPECT_EQ(std::to_string(body.size()), request["headers"]["content-length"]);
  std::string unpacked;
  ASSERT_TRUE(Gunzip(body, unpacked));
  EXPECT_EQ(testsupport::Utf16le(FromUtf8(report)), unpacked);

  auto uploads = testsupport::ServiceUploads(id);
  ASSERT_EQ(1u, uploads.size());
  EXPECT_EQ(2u, nlohmann::json::parse(uploads[0]).size());

  EXPECT_FALSE(FileExists(work.File(L"logfile.gz")));
  EXPECT_TRUE(FileExists(TextLogPath()));
}

TEST_F(LogUploadTest, LogWithoutErrorsIsPostedWithoutATextLog) {
  Error::LogError(std::string("Progress note"), 0, VELMOT_HERE);
  manager.PostLogFile();
  EXPECT_EQ(1u, MyRequests().size());
  EXPECT_EQ(1u, testsupport::ServiceUploads(id).size());
  EXPECT_FALSE(FileExists(TextLogPath()));
  EXPECT_FALSE(FileExists(work.File(L"logfile.gz")));
}

TEST_F(LogUploadTest, EmptyLogPostsAnEmptyArray) {
  manager.PostLogFile();
  auto requests = MyRequests();
  ASSERT_EQ(1u, requests.size());
  std::string unpacked;
  ASSERT_TRUE(Gunzip(Base64Decode(requests[0]["bodyBase64"].get<std::string>()), unpacked));
  EXPECT_EQ(testsupport::Utf16le(L"[]"), unpacked);
  EXPECT_FALSE(FileExists(TextLogPath()));
}

TEST_F(LogUploadTest, RefusedUploadStillRemovesTheCompressedFile) {
  manager.computerId = FromUtf8(id) + L" not valid!";  // the service refuses this identifier
  Error::LogError(std::string("Something failed"), ERROR_ACCESS_DENIED, VELMOT_HERE);
  manager.PostLogFile();
  EXPECT_FALSE(FileExists(work.File(L"logfile.gz")));
  EXPECT_TRUE(FileExists(TextLogPath()));
}

TEST_F(LogUploadTest, AfterSetupStartedNothingIsPostedAndTheDeleteFailureIsRecorded) {
  manager.workFolder = work.File(L"removed after setup");
  Error::LogError(std::string("Something failed"), ERROR_ACCESS_DENIED, VELMOT_HERE);
  manager.PostLogFile();
  EXPECT_TRUE(MyRequests().empty());
  EXPECT_FALSE(FileExists(TextLogPath()));
  const std::string expected = "DownloadManager::PostLogFile Unable to delete " +
                               testsupport::Narrow(work.Path()) + "/removed after setup/logfile.gz";
  const auto records = Error::GetRecords();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const ErrorRecord& record) {
    return record.message == expected && record.errorNumber != 0;
  }));
}

TEST_F(LogUploadTest, WithoutAWorkFolderNothingIsWrittenAtTheDriveRoot) {
  const bool before = FileExists(L"/logfile.gz");
  manager.workFolder.clear();
  Error::LogError(std::string("Something failed"), ERROR_ACCESS_DENIED, VELMOT_HERE);
  manager.PostLogFile();
  EXPECT_TRUE(MyRequests().empty());
  EXPECT_EQ(before, FileExists(L"/logfile.gz"));
  EXPECT_FALSE(FileExists(TextLogPath()));
  EXPECT_NE(testsupport::CountRecordsStartingWith("DownloadManager::PostLogFile no work folder"),
            0u);
}

}  // namespace
