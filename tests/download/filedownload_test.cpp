// One part fetched over HTTPS: what a good, missing, corrupt, cut-short, empty, oversized or
// garbled object gives, with the exact records.
#include "download/fetch/filedownload.h"

#include "base/systemtexts.h"
#include "support/filedownloadfixture.h"
#include "support/records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace testsupport;

// The record of a good CRC for a part file ("" for a fetch into memory).
std::string GoodCrcRecord(const std::wstring& part) {
  return "Download: " + Narrow(part) + Narrow(velmot::texts::kDownloadSuccessfulTail);
}

TEST_F(FileDownloadTest, GoodPartIsWrittenWithExactlyFourRecords) {
  std::vector<uint8_t> bytes = RandomBytes(1100000, 1);  // three reads of 512 KiB at most
  std::wstring part = PreparePart("rel/0_Setup.exe", bytes, L"Setup_1.exepart0");
  RunToEnd();

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(ReadFileBytes(part), bytes);
  EXPECT_EQ(worker.PartDataSize(), 0u);  // released once written
  std::vector<std::string> m = RecordMessages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0], "Opening connection: " + Narrow(files.Host()));
  EXPECT_TRUE(StartsWith(m[1], "Response headers: HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ(m[2], "Finished file: " + Narrow(part));
  EXPECT_EQ(m[3], GoodCrcRecord(part));
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

// A status belongs to its attempt: a worker whose last attempts reached no host must not
// still report the 404 of an earlier one (the manager would take the release for gone).
TEST_F(FileDownloadTest, TheStatusIsThatOfTheLastAttempt) {
  Prepare("rel/missing.exe", temp.File(L"p0"), 12345);
  RunToEnd();
  EXPECT_EQ(worker.HttpStatus(), 404);
  worker.connectionState.host = L"127.0.0.250";  // outside the servers' pools: refused
  RunToEnd();
  EXPECT_EQ(worker.HttpStatus(), 0);
  EXPECT_FALSE(worker.Succeeded());
  PreparePart("rel/missing.exe", {1, 2, 3}, L"p0");
  RunToEnd();
  EXPECT_EQ(worker.HttpStatus(), 200);
  EXPECT_TRUE(worker.Succeeded());
}

TEST_F(FileDownloadTest, NotFoundFourTimesWithAPauseAfterEach) {
  Prepare("rel/missing.exe", temp.File(L"p0"), 12345);
  EXPECT_GE(MsTaken([&] { RunToEnd(); }), 390u);

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(worker.HttpStatus(), 404);
  EXPECT_EQ(worker.PartDataSize(), 0u);
  EXPECT_TRUE(worker.PartData().empty());
  EXPECT_EQ(files.Requests("rel/missing.exe").size(), 4u);
  EXPECT_EQ(CountRecordsStartingWith("Opening connection: "), 4u);
  EXPECT_EQ(CountRecordsStartingWith("Response status not 200, but 404 Response headers: "), 4u);
  EXPECT_EQ(CountRecordsStartingWith("Download: "), 0u);  // no CRC verdict without a body
  EXPECT_EQ(Error::GetRecords().size(), 12u);
  EXPECT_EQ(listener.ProgressCount(), 0u);
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_FALSE(FileExists(temp.File(L"p0")));
}

TEST_F(FileDownloadTest, CrcThatNeverMatchesGivesFourSignedRecords) {
  // A body whose CRC has its top bit set, so that "found" reads negative.
  std::vector<uint8_t> bytes = RandomBytes(70000, 10);
  for (unsigned seed = 11; CrcOf(bytes) >= 0; ++seed) bytes = RandomBytes(70000, seed);
  files.PutObject("rel/0_a.exe", bytes);
  std::wstring part = temp.File(L"a.exepart0");
  Prepare("rel/0_a.exe", part, -1);  // 0xFFFFFFFF
  RunToEnd();

  const std::string expected =
      "Download: " + Narrow(part) +
      " incorrect CRC. Expected: -1 found: " + std::to_string(CrcOf(bytes)) +
      " bytes read: 70000Retrying download";
  size_t found = 0;
  for (const ErrorRecord& r : Error::GetRecords()) {
    if (!StartsWith(r.message, "Download: ")) continue;
    EXPECT_EQ(r.message, expected);
    EXPECT_EQ(r.errorNumber, static_cast<int32_t>(DL_MANAGER_CRC_INCORRECT));
    ++found;
  }
  EXPECT_EQ(found, 4u);
  EXPECT_EQ(files.Requests("rel/0_a.exe").size(), 4u);
  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_FALSE(FileExists(part));
  EXPECT_EQ(worker.PartDataSize(), 0u);
  EXPECT_EQ(listener.FinishedCount(), 1u);
}

TEST_F(FileDownloadTest, ConnectionDroppedMidBodyThenAGoodAttempt) {
  std::vector<uint8_t> bytes = RandomBytes(800000, 2);
  std::wstring part = PreparePart("rel/0_b.exe", bytes, L"b.exepart0");
  files.SetBehaviour("rel/0_b.exe",
                     {{"attempts", nlohmann::json::array({{{"closeAfter", 300000}}})}});
  RunToEnd();

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(ReadFileBytes(part), bytes);
  // The second attempt goes on from the bytes the first one kept.
  const std::vector<nlohmann::json> requests = files.Requests("rel/0_b.exe");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1]["headers"].value("range", ""), "bytes=300000-");
  EXPECT_EQ(CountRecords("Resuming at byte 300000 of 800000: " + Narrow(part)), 1u);
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 10u);
  EXPECT_EQ(records[2].message, "Body ended after 300000 of 800000 bytes for: " + Narrow(part));
  EXPECT_EQ(records[2].errorNumber, ERROR_INTERNET_CONNECTION_ABORTED);
  EXPECT_EQ(records[3].message, "Error reading file, reconnecting.");
  const std::string incorrect = "Download: " + Narrow(part) + " incorrect CRC.";
  EXPECT_EQ(records[4].message, incorrect + " Expected: " + std::to_string(CrcOf(bytes)) +
                                    " found: 0 bytes read: 300000Retrying download");
  EXPECT_EQ(CountRecordsStartingWith(incorrect), 1u);
  EXPECT_EQ(CountRecordsStartingWith("Download: " + Narrow(part) + " correct CRC."), 1u);
  EXPECT_EQ(CountRecordsStartingWith("Finished file: "), 1u);  // the cut-short body is not an end
}

TEST_F(FileDownloadTest, CutShortBodyNeverPassesAnInMemoryFetchButIsCompletedWithRanges) {
  // Without a CRC only the announced length tells a truncated document; each cut attempt
  // keeps what came and the next one asks for the rest.
  PrepareInMemory("rel/list.txt", std::string(5000, 'L'));
  files.SetBehaviour("rel/list.txt", {{"then", {{"closeAfter", 1000}}}});
  RunToEnd();

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(worker.PartData(), std::vector<uint8_t>(5000, 'L'));
  EXPECT_EQ(files.Requests("rel/list.txt").size(), 5u);
  EXPECT_EQ(CountRecordsStartingWith("Body ended after "), 4u);
  EXPECT_EQ(CountRecordsStartingWith("Resuming at byte "), 4u);
  EXPECT_EQ(CountRecordsStartingWith("Finished file: "), 1u);
}

TEST_F(FileDownloadTest, InMemoryFetchKeepsTheWholeBody) {
  std::string text = "x;Setup.exe\r\n25000000\r\n111\r\n222\r\n333\r\n";
  PrepareInMemory("rel/list.txt", text);
  RunToEnd();

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_EQ(std::string(worker.PartData().begin(), worker.PartData().end()), text);
  EXPECT_EQ(worker.PartDataSize(), text.size());
  std::vector<std::string> m = RecordMessages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[2], "Finished file: ");
  EXPECT_EQ(m[3], GoodCrcRecord(L""));
  EXPECT_EQ(listener.ProgressCount(), 1u);
}

TEST_F(FileDownloadTest, InMemoryFetchOfAnEmptyBodyIsGood) {
  PrepareInMemory("rel/empty.txt", std::string());
  RunToEnd();
  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_TRUE(worker.PartData().empty());
  EXPECT_EQ(files.Requests("rel/empty.txt").size(), 1u);
  EXPECT_EQ(CountRecordsStartingWith(GoodCrcRecord(L"")), 1u);
  EXPECT_EQ(listener.ProgressCount(), 0u);
  EXPECT_EQ(listener.FinishedCount(), 1u);
  EXPECT_FALSE(Error::HasErrors());
}

TEST_F(FileDownloadTest, AReadFailureAfterTheHeadersIsNeverAnEmptyBody) {
  // No CRC to catch it: a failed read before the first byte must not pass for an empty
  // document (two such copies would agree on an empty list).
  PrepareInMemory("rel/list.txt", std::string(5000, 'L'));
  files.SetBehaviour("rel/list.txt", {{"then", {{"brokenAfter", 0}}}});
  RunToEnd();

  EXPECT_EQ(worker.state.load(), FILE_DOWNLOAD_FINISHED);
  EXPECT_FALSE(worker.Succeeded());
  EXPECT_FALSE(worker.summary.good);
  EXPECT_EQ(files.Requests("rel/list.txt").size(), 4u);
  EXPECT_EQ(CountRecordsStartingWith("InternetReadFile Failed for: "), 4u);
  EXPECT_EQ(CountRecordsStartingWith("Download:  correct CRC."), 0u)
      << testing::PrintToString(RecordMessages());
}

TEST_F(FileDownloadTest, EmptyBodyFailsWhenACrcIsExpected) {
  files.PutObject("rel/0_e.exe", std::string());
  Prepare("rel/0_e.exe", temp.File(L"e0"), 77);
  RunToEnd();
  EXPECT_EQ(CountRecordsStartingWith(
                "Download: " + Narrow(temp.File(L"e0")) +
                " incorrect CRC. Expected: 77 found: 0 bytes read: 0Retrying download"),
            4u);
  EXPECT_FALSE(FileExists(temp.File(L"e0")));
}

TEST_F(FileDownloadTest, AnnouncedBodyBeyondTheLimitIsRefusedUnread) {
  PrepareInMemory("rel/big.bin", RandomBytes(300000, 3));
  worker.maxObjectSize = 100000;
  RunToEnd();
  EXPECT_TRUE(worker.PartData().empty());
  EXPECT_EQ(listener.ProgressCount(), 0u);
  EXPECT_EQ(CountRecordsStartingWith(
                "Object of 300000 bytes is larger than the 100000 bytes accepted for: "),
            4u);
  EXPECT_EQ(CountRecordsStartingWith("Download:  correct CRC."), 0u);
}

TEST_F(FileDownloadTest, UnannouncedBodyBeyondTheLimitStopsGrowing) {
  PrepareInMemory("rel/big.bin", RandomBytes(300000, 4));
  files.SetBehaviour("rel/big.bin", {{"then", {{"noLength", true}}}});
  worker.maxObjectSize = 100000;
  worker.chunkSize = 16384;
  RunToEnd();
  EXPECT_TRUE(worker.PartData().empty());
  for (const auto& e : listener.Events()) EXPECT_LE(e.size, 100000u);
  EXPECT_EQ(CountRecordsStartingWith("Object larger than the 100000 bytes accepted for: "), 4u);
  EXPECT_EQ(CountRecordsStartingWith("Download:  correct CRC."), 0u);
}

TEST_F(FileDownloadTest, GarbageOrOversizedHeadersNeverGiveData) {
  for (const nlohmann::json& step :
       {nlohmann::json{{"garbage", true}}, nlohmann::json{{"hugeHeaders", 300000}}}) {
    SCOPED_TRACE(step.dump());
    Error::Clear();
    files.PutObject("rel/list.txt", std::string("good text"));
    files.SetBehaviour("rel/list.txt", {{"then", step}});
    FileDownload w;  // a fresh worker without a listener
    w.connectionState.host = files.Host();
    w.connectionState.objectPath = files.ObjectPath("rel/list.txt");
    w.Start();
    ASSERT_TRUE(w.WaitForEnd(kEndMs));
    EXPECT_EQ(w.state.load(), FILE_DOWNLOAD_FINISHED);
    EXPECT_TRUE(w.PartData().empty());
    EXPECT_TRUE(Error::HasErrors());
    EXPECT_EQ(CountRecordsStartingWith("Download:  correct CRC."), 0u);
  }
}

}  // namespace

TEST(FileDownload, WebPagesAreRecognisedByTypeOrByTheirFirstTag) {
  auto page = [](const wchar_t* type, const std::string& text) {
    return FileDownload::IsWebPage(type, std::vector<uint8_t>(text.begin(), text.end()));
  };
  EXPECT_TRUE(page(L"text/html", "anything"));
  EXPECT_TRUE(page(L"Text/HTML; charset=utf-8", ""));
  EXPECT_TRUE(page(L"", " \r\n\t<!DOCTYPE html><p>"));
  EXPECT_TRUE(page(L"application/octet-stream", "<HtMl lang=en>"));
  EXPECT_TRUE(page(L"", "<html"));
  EXPECT_FALSE(page(L"", "<htm"));
  EXPECT_FALSE(page(L"", "x<html>"));
  EXPECT_FALSE(page(L"text/plain", "Velmot;Setup.exe\r\n"));
  EXPECT_FALSE(page(L"application/octet-stream", ""));
  EXPECT_FALSE(page(L"", std::string("\0<html>", 7)));
}
