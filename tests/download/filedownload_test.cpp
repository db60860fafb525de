#include "download/filedownload.h"

#include "diagnostics/error.h"
#include "base/stringutils.h"
#include "support/downloadjob.h"
#include "support/recordingdownloadlistener.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using testsupport::RecordingDownloadListener;

constexpr unsigned kEndMs = 60000;  // generous: a hang must fail, a slow machine must not

std::string N(const std::wstring& text) { return StringUtils::ToNarrow(text); }

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

int32_t CrcOf(const std::vector<uint8_t>& bytes) {
  CRC crc;
  crc.BuildTable();
  return static_cast<int32_t>(crc.Compute(bytes.data(), static_cast<uint32_t>(bytes.size())));
}

using testsupport::ReadFileBytes;

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> Messages() {
  std::vector<std::string> out;
  for (const ErrorRecord& r : Error::GetRecords()) out.push_back(r.message);
  return out;
}

size_t CountStarting(const std::string& prefix) {
  size_t n = 0;
  for (const std::string& m : Messages()) n += StartsWith(m, prefix) ? 1 : 0;
  return n;
}

// Polls a condition that another process makes true (the host's request log).
template <typename Condition>
bool Eventually(Condition condition, unsigned timeoutMs = 10000) {
  ULONGLONG end = GetTickCount64() + timeoutMs;
  while (GetTickCount64() < end) {
    if (condition()) return true;
    Sleep(10);
  }
  return condition();
}

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
    ASSERT_TRUE(worker.WaitForEnd(kEndMs)) << "the worker did not end";
  }

  testservers::FileHostNamespace files;
  testenv::TempFolder temp{L"fd"};
  RecordingDownloadListener listener;
  FileDownload worker;
};

TEST_F(FileDownloadTest, GoodPartIsWrittenWithExactlyFourRecords) {
  std::vector<uint8_t> bytes = RandomBytes(1100000, 1);  // three reads of 512 KiB at most
  files.PutObject("rel/0_Setup.exe", bytes);
  std::wstring part = temp.File(L"Setup_1.exepart0");
  Prepare("rel/0_Setup.exe", part, CrcOf(bytes));
  RunToEnd();

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(ReadFileBytes(part), bytes);
  EXPECT_EQ(worker.PartDataSize(), 0u);  // released once written

  std::vector<std::string> m = Messages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0], "Opening connection: " + N(files.Host()));
  EXPECT_TRUE(StartsWith(m[1], "Response headers: HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ(m[2], "Finished file: " + N(part));
  EXPECT_EQ(m[3], "Download: " + N(part) + " correct CRC. Download succesful.");
  EXPECT_FALSE(Error::HasErrors());

  std::vector<RecordingDownloadListener::Event> events = listener.Events();
  ASSERT_GE(events.size(), 4u);
  uint64_t last = 0;
  for (size_t i = 0; i + 1 < events.size(); ++i) {
    EXPECT_FALSE(events[i].finished);
    EXPECT_GT(events[i].size, last);  // every report follows a read that added bytes
    EXPECT_LE(events[i].size - last, FileDownload::kChunkSize);
    last = events[i].size;
  }
  EXPECT_EQ(last, bytes.size());
  EXPECT_TRUE(events.back().finished);
  EXPECT_EQ(events.back().state, FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(listener.FinishedCount(), 1u);
}

TEST_F(FileDownloadTest, NotFoundFourTimesWithAPauseAfterEach) {
  Prepare("rel/missing.exe", temp.File(L"p0"), 12345);
  ULONGLONG begin = GetTickCount64();
  RunToEnd();
  ULONGLONG elapsed = GetTickCount64() - begin;

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(worker.HttpStatus(), 404);
  EXPECT_EQ(worker.PartDataSize(), 0u);
  EXPECT_TRUE(worker.PartData().empty());
  EXPECT_GE(elapsed, 390u);
  EXPECT_EQ(files.Requests("rel/missing.exe").size(), 4u);
  EXPECT_EQ(CountStarting("Opening connection: "), 4u);
  EXPECT_EQ(CountStarting("Response status not 200, but 404 Response headers: "), 4u);
  EXPECT_EQ(CountStarting("Download: "), 0u);  // no CRC verdict without a body
  EXPECT_EQ(Error::GetRecords().size(), 12u);
  EXPECT_EQ(listener.ProgressCount(), 0u);
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_FALSE(Exists(temp.File(L"p0")));
}

TEST_F(FileDownloadTest, CrcThatNeverMatchesGivesFourSignedRecords) {
  // A body whose CRC has its top bit set, so that "found" reads negative.
  std::vector<uint8_t> bytes;
  for (unsigned seed = 10;; ++seed) {
    bytes = RandomBytes(70000, seed);
    if (CrcOf(bytes) < 0) break;
  }
  files.PutObject("rel/0_a.exe", bytes);
  std::wstring part = temp.File(L"a.exepart0");
  Prepare("rel/0_a.exe", part, -1);  // 0xFFFFFFFF
  RunToEnd();

  const std::string expected = "Download: " + N(part) + " incorrect CRC. Expected: -1 found: " +
                               std::to_string(CrcOf(bytes)) + " bytes read: 70000Retrying download";
  size_t found = 0;
  for (const ErrorRecord& r : Error::GetRecords()) {
    if (StartsWith(r.message, "Download: ")) {
      EXPECT_EQ(r.message, expected);
      EXPECT_EQ(r.errorNumber, static_cast<int32_t>(DL_MANAGER_CRC_INCORRECT));
      ++found;
    }
  }
  EXPECT_EQ(found, 4u);
  EXPECT_EQ(files.Requests("rel/0_a.exe").size(), 4u);
  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_FALSE(Exists(part));
  EXPECT_EQ(worker.PartDataSize(), 0u);
  EXPECT_EQ(listener.FinishedCount(), 1u);
}

TEST_F(FileDownloadTest, ConnectionDroppedMidBodyThenAGoodAttempt) {
  std::vector<uint8_t> bytes = RandomBytes(800000, 2);
  files.PutObject("rel/0_b.exe", bytes);
  files.SetBehaviour("rel/0_b.exe", {{"attempts", nlohmann::json::array({{{"closeAfter", 300000}}})}});
  std::wstring part = temp.File(L"b.exepart0");
  Prepare("rel/0_b.exe", part, CrcOf(bytes));
  RunToEnd();

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(ReadFileBytes(part), bytes);
  EXPECT_EQ(files.Requests("rel/0_b.exe").size(), 2u);
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 9u);
  EXPECT_EQ(records[2].message, "Body ended after 300000 of 800000 bytes for: " + N(part));
  EXPECT_EQ(records[2].errorNumber, ERROR_INTERNET_CONNECTION_ABORTED);
  EXPECT_EQ(records[3].message, "Error reading file, reconnecting.");
  EXPECT_EQ(records[4].message, "Download: " + N(part) + " incorrect CRC. Expected: " +
                                    std::to_string(CrcOf(bytes)) +
                                    " found: 0 bytes read: 300000Retrying download");
  EXPECT_EQ(CountStarting("Download: " + N(part) + " incorrect CRC."), 1u);
  EXPECT_EQ(CountStarting("Download: " + N(part) + " correct CRC."), 1u);
  EXPECT_EQ(CountStarting("Finished file: "), 1u);  // the cut-short body is not an end
}

TEST_F(FileDownloadTest, CutShortBodyNeverPassesAnInMemoryFetch) {
  // Without a CRC only the announced length can tell a truncated document.
  files.PutObject("rel/list.txt", std::string(5000, 'L'));
  files.SetBehaviour("rel/list.txt", {{"then", {{"closeAfter", 1000}}}});
  Prepare("rel/list.txt", L"", 0);
  RunToEnd();

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_TRUE(worker.PartData().empty());
  EXPECT_EQ(files.Requests("rel/list.txt").size(), 4u);
  EXPECT_EQ(CountStarting("Body ended after 1000 of 5000 bytes for: "), 4u);
  EXPECT_EQ(CountStarting("Download:  correct CRC."), 0u);
  EXPECT_EQ(CountStarting("Finished file: "), 0u);
}

TEST_F(FileDownloadTest, InMemoryFetchKeepsTheWholeBody) {
  std::string text = "x;Setup.exe\r\n25000000\r\n111\r\n222\r\n333\r\n";
  files.PutObject("rel/list.txt", text);
  Prepare("rel/list.txt", L"", 0);
  RunToEnd();

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(std::string(worker.PartData().begin(), worker.PartData().end()), text);
  EXPECT_EQ(worker.PartDataSize(), text.size());
  std::vector<std::string> m = Messages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[2], "Finished file: ");
  EXPECT_EQ(m[3], "Download:  correct CRC. Download succesful.");
  EXPECT_EQ(listener.ProgressCount(), 1u);
}

TEST_F(FileDownloadTest, InMemoryFetchOfAnEmptyBodyIsGood) {
  files.PutObject("rel/empty.txt", std::string());
  Prepare("rel/empty.txt", L"", 0);
  RunToEnd();
  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_TRUE(worker.PartData().empty());
  EXPECT_EQ(files.Requests("rel/empty.txt").size(), 1u);
  EXPECT_EQ(CountStarting("Download:  correct CRC. Download succesful."), 1u);
  EXPECT_EQ(listener.ProgressCount(), 0u);
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_FALSE(Error::HasErrors());
}

TEST_F(FileDownloadTest, EmptyBodyFailsWhenACrcIsExpected) {
  files.PutObject("rel/0_e.exe", std::string());
  Prepare("rel/0_e.exe", temp.File(L"e0"), 77);
  RunToEnd();
  EXPECT_EQ(CountStarting("Download: " + N(temp.File(L"e0")) +
                          " incorrect CRC. Expected: 77 found: 0 bytes read: 0Retrying download"),
            4u);
  EXPECT_FALSE(Exists(temp.File(L"e0")));
}

TEST_F(FileDownloadTest, AnnouncedBodyBeyondTheLimitIsRefusedUnread) {
  files.PutObject("rel/big.bin", RandomBytes(300000, 3));
  Prepare("rel/big.bin", L"", 0);
  worker.maxObjectSize = 100000;
  RunToEnd();
  EXPECT_TRUE(worker.PartData().empty());
  EXPECT_EQ(listener.ProgressCount(), 0u);
  EXPECT_EQ(CountStarting("Object of 300000 bytes is larger than the 100000 bytes accepted for: "),
            4u);
  EXPECT_EQ(CountStarting("Download:  correct CRC."), 0u);
}

TEST_F(FileDownloadTest, UnannouncedBodyBeyondTheLimitStopsGrowing) {
  files.PutObject("rel/big.bin", RandomBytes(300000, 4));
  files.SetBehaviour("rel/big.bin", {{"then", {{"noLength", true}}}});
  Prepare("rel/big.bin", L"", 0);
  worker.maxObjectSize = 100000;
  worker.chunkSize = 16384;
  RunToEnd();
  EXPECT_TRUE(worker.PartData().empty());
  for (const auto& e : listener.Events()) EXPECT_LE(e.size, 100000u);
  EXPECT_EQ(CountStarting("Object larger than the 100000 bytes accepted for: "), 4u);
  EXPECT_EQ(CountStarting("Download:  correct CRC."), 0u);
}

TEST_F(FileDownloadTest, GarbageOrOversizedHeadersNeverGiveData) {
  for (const char* fault : {"garbage", "hugeHeaders"}) {
    Error::Clear();
    FileDownload w;
    files.PutObject("rel/list.txt", std::string("good text"));
    nlohmann::json step = std::string(fault) == "garbage" ? nlohmann::json{{"garbage", true}}
                                                          : nlohmann::json{{"hugeHeaders", 300000}};
    files.SetBehaviour("rel/list.txt", {{"then", step}});
    w.connectionState.host = files.Host();
    w.connectionState.objectPath = files.ObjectPath("rel/list.txt");
    w.Start();
    ASSERT_TRUE(w.WaitForEnd(kEndMs)) << fault;
    EXPECT_EQ(w.state.load(), FILE_DOWNLOAD_FINISHED) << fault;
    EXPECT_TRUE(w.PartData().empty()) << fault;
    EXPECT_TRUE(Error::HasErrors()) << fault;
    EXPECT_EQ(CountStarting("Download:  correct CRC."), 0u) << fault;
  }
}

TEST_F(FileDownloadTest, StopWhileReadingEndsAfterTheCurrentRead) {
  std::vector<uint8_t> bytes = RandomBytes(2000000, 5);
  files.PutObject("rel/0_s.exe", bytes);
  files.SetBehaviour("rel/0_s.exe", {{"then", {{"rate", 200000}}}});
  std::wstring part = temp.File(L"s0");
  Prepare("rel/0_s.exe", part, CrcOf(bytes));
  worker.chunkSize = 16384;
  worker.Start();
  ASSERT_TRUE(listener.WaitForProgress(1, kEndMs));
  ULONGLONG begin = GetTickCount64();
  worker.Stop(INFINITE);
  EXPECT_LT(GetTickCount64() - begin, 5000u);

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_FALSE(Exists(part));
  EXPECT_EQ(files.Requests("rel/0_s.exe").size(), 1u);  // no retry after a stop
  EXPECT_EQ(CountStarting("Download: " + N(part) + " incorrect CRC."), 1u);
}

TEST_F(FileDownloadTest, StopWhileReadingAnInMemoryFetchKeepsWhatArrived) {
  files.PutObject("rel/list.txt", RandomBytes(2000000, 6));
  files.SetBehaviour("rel/list.txt", {{"then", {{"rate", 200000}}}});
  Prepare("rel/list.txt", L"", 0);
  worker.chunkSize = 16384;
  worker.Start();
  ASSERT_TRUE(listener.WaitForProgress(2, kEndMs));
  worker.Stop(INFINITE);
  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_GT(worker.PartData().size(), 0u);
  EXPECT_LT(worker.PartData().size(), 2000000u);
  EXPECT_EQ(worker.PartDataSize(), worker.PartData().size());
}

TEST_F(FileDownloadTest, StopWhilePausedEndsPromptlyWithTheReadErrorFirst) {
  files.PutObject("rel/0_p.exe", RandomBytes(1000, 7));
  std::wstring part = temp.File(L"p0");
  Prepare("rel/0_p.exe", part, 999);
  worker.paused = true;
  worker.Start();
  ASSERT_TRUE(Eventually([&] { return CountStarting("Response headers: ") == 1; }));
  ULONGLONG begin = GetTickCount64();
  worker.Stop(INFINITE);
  EXPECT_LT(GetTickCount64() - begin, 1000u);

  std::vector<std::string> m = Messages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[2], "Error reading file, reconnecting.");
  EXPECT_EQ(m[3], "Download: " + N(part) +
                      " incorrect CRC. Expected: 999 found: 0 bytes read: 0Retrying download");
  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(listener.ProgressCount(), 0u);
  EXPECT_FALSE(Exists(part));
}

TEST_F(FileDownloadTest, PauseHoldsTheReadsUntilResumed) {
  std::vector<uint8_t> bytes = RandomBytes(400000, 8);
  files.PutObject("rel/0_q.exe", bytes);
  std::wstring part = temp.File(L"q0");
  Prepare("rel/0_q.exe", part, CrcOf(bytes));
  worker.chunkSize = 16384;
  listener.onProgress = [](FileDownload* w) {
    if (w->PartDataSize() == 16384) w->paused = true;
  };
  worker.Start();
  ASSERT_TRUE(listener.WaitForProgress(1, kEndMs));
  EXPECT_FALSE(listener.WaitForProgress(2, 400));  // nothing is read while paused
  worker.paused = false;
  ASSERT_TRUE(worker.WaitForEnd(kEndMs));
  EXPECT_EQ(ReadFileBytes(part), bytes);
}

TEST_F(FileDownloadTest, OneMissingFolderLevelIsCreated) {
  std::vector<uint8_t> bytes = RandomBytes(5000, 9);
  files.PutObject("rel/0_c.exe", bytes);
  std::wstring part = temp.Path() + L"/Release/c.exepart0";
  Prepare("rel/0_c.exe", part, CrcOf(bytes));
  RunToEnd();
  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(ReadFileBytes(part), bytes);
}

TEST_F(FileDownloadTest, TwoMissingFolderLevelsEndWriteFailed) {
  std::vector<uint8_t> bytes = RandomBytes(5000, 10);
  files.PutObject("rel/0_d.exe", bytes);
  std::wstring folder = temp.Path() + L"/a/b/";
  Prepare("rel/0_d.exe", folder + L"d.exepart0", CrcOf(bytes));
  RunToEnd();

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_WRITE_FAILED);
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[4].message, "Unable to create directory: " + N(folder));
  EXPECT_EQ(records[4].errorNumber, ERROR_PATH_NOT_FOUND);
  std::vector<RecordingDownloadListener::Event> events = listener.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_FALSE(events.back().finished);
  EXPECT_EQ(events.back().state, FILE_DOWNLOAD_WRITE_FAILED);
  EXPECT_EQ(events.back().size, 0u);
  EXPECT_EQ(listener.FinishedCount(), 0u);
}

TEST_F(FileDownloadTest, PathWithoutAFolderIsRefusedBeforeFetching) {
  files.PutObject("rel/0_f.exe", std::string("abc"));
  Prepare("rel/0_f.exe", L"f.exepart0", 1);
  RunToEnd();
  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_WRITE_FAILED);
  EXPECT_TRUE(files.Requests("rel/0_f.exe").empty());
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "Part file path has no folder: f.exepart0");
  EXPECT_EQ(records[0].errorNumber, ERROR_BAD_PATHNAME);
  EXPECT_EQ(listener.ProgressCount(), 1u);
  EXPECT_EQ(listener.FinishedCount(), 0u);
}

TEST_F(FileDownloadTest, ExistingPartFileIsReplaced) {
  std::vector<uint8_t> bytes = RandomBytes(3000, 11);
  files.PutObject("rel/0_r.exe", bytes);
  std::wstring part = temp.File(L"r0");
  HANDLE old = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  std::string junk(10000, 'j');
  WriteFile(old, junk.data(), static_cast<DWORD>(junk.size()), &written, nullptr);
  CloseHandle(old);
  Prepare("rel/0_r.exe", part, CrcOf(bytes));
  RunToEnd();
  EXPECT_EQ(ReadFileBytes(part), bytes);
}

TEST_F(FileDownloadTest, StallShorterThanTheTimeoutStillSucceeds) {
  std::vector<uint8_t> bytes = RandomBytes(600000, 12);
  files.PutObject("rel/0_t.exe", bytes);
  files.SetBehaviour("rel/0_t.exe", {{"then", {{"stallAfter", 100000}, {"stallMs", 1500}}}});
  std::wstring part = temp.File(L"t0");
  Prepare("rel/0_t.exe", part, CrcOf(bytes));
  RunToEnd();
  EXPECT_EQ(ReadFileBytes(part), bytes);
  EXPECT_EQ(files.Requests("rel/0_t.exe").size(), 1u);
}

TEST_F(FileDownloadTest, ExceptionInTheBodyEndsIdleWithHandlesClosed) {
  files.PutObject("rel/0_x.exe", RandomBytes(100000, 13));
  Prepare("rel/0_x.exe", temp.File(L"x0"), 5);
  listener.onProgress = [](FileDownload*) { throw std::runtime_error("boom"); };
  RunToEnd();
  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_IDLE);
  EXPECT_FALSE(worker.connectionState.requestHandle);
  EXPECT_FALSE(worker.connectionState.internetHandle);
  EXPECT_EQ(listener.FinishedCount(), 0u);
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().message,
            "FildeDownload: Obviously a major malfunction. Stopping download. Message: boom");
  EXPECT_EQ(records.back().errorNumber, static_cast<int32_t>(DL_MANAGER_WIN32_EXCEPTION));
}

TEST_F(FileDownloadTest, SizeReadFromAnotherThreadOnlyGrowsAndEndsAtTheBody) {
  std::vector<uint8_t> bytes = RandomBytes(3000000, 14);
  files.PutObject("rel/0_g.exe", bytes);
  Prepare("rel/0_g.exe", L"", 0);
  worker.chunkSize = 65536;
  worker.Start();
  uint64_t last = 0;
  bool ordered = true;
  ULONGLONG end = GetTickCount64() + kEndMs;
  while (!worker.WaitForEnd(0) && GetTickCount64() < end) {
    uint64_t now = worker.PartDataSize();
    ordered = ordered && now >= last && now <= bytes.size();
    last = now;
    Sleep(1);
  }
  ASSERT_TRUE(worker.WaitForEnd(kEndMs));
  EXPECT_TRUE(ordered);
  EXPECT_EQ(worker.PartData(), bytes);
}

TEST_F(FileDownloadTest, WorkerCanBeStartedAgainAfterItEnded) {
  std::vector<uint8_t> bytes = RandomBytes(10000, 15);
  files.PutObject("rel/0_h.exe", bytes);
  std::wstring part = temp.File(L"h0");
  Prepare("rel/0_h.exe", part, CrcOf(bytes));
  RunToEnd();
  ASSERT_TRUE(DeleteFileW(part.c_str()));
  RunToEnd();
  EXPECT_EQ(ReadFileBytes(part), bytes);
  EXPECT_EQ(listener.FinishedCount(), 2u);
}

}  // namespace
