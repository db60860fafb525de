#include "net/connection.h"

#include "diagnostics/error.h"
#include "base/stringutils.h"
#include "support/records.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>
#include <velmot/config.h>

#include <string>
#include <vector>

namespace {

using testsupport::StartsWith;

std::string N(const std::wstring& text) { return StringUtils::ToNarrow(text); }

bool AllClosed(const ConnectionState& s) {
  return !s.internetHandle && !s.connectHandle && !s.requestHandle;
}

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Error::Clear();
    state.host = files.Host();
    state.localPath = L"C:/work/Setup_1.exepart0";
  }

  ConnectionState state;
  Connection connection;
  testsupport::FileHostNamespace files;
};

TEST_F(ConnectionTest, GoodObjectOpensWithStatus200AndRecordsTheHeaderBlock) {
  files.PutObject("rel/0_Setup.exe", std::string(1234, 'a'));
  state.objectPath = files.ObjectPath("rel/0_Setup.exe");

  ASSERT_TRUE(connection.Connect(state));
  EXPECT_EQ(state.httpStatus.load(), 200);
  EXPECT_EQ(state.contentLength, 1234);
  EXPECT_TRUE(state.internetHandle && state.connectHandle && state.requestHandle);

  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message, "Opening connection: " + N(state.host));
  EXPECT_EQ(records[0].errorNumber, 0);
  EXPECT_TRUE(StartsWith(records[1].message, "Response headers: HTTP/1.1 200 OK\r\n"));
  EXPECT_NE(records[1].message.find("\r\nContent-Length: 1234\r\n"), std::string::npos);
  EXPECT_EQ(records[1].message.substr(records[1].message.size() - 4), "\r\n\r\n");
  EXPECT_EQ(records[1].errorNumber, 0);
  EXPECT_FALSE(Error::HasErrors());

  connection.Close(state);
  EXPECT_TRUE(AllClosed(state));
  connection.Close(state);  // a second close is harmless
  EXPECT_TRUE(AllClosed(state));
}

TEST_F(ConnectionTest, CloseOnAFreshStateDoesNothing) {
  connection.Close(state);
  EXPECT_TRUE(AllClosed(state));
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(ConnectionTest, RequestCarriesTheAgreedShape) {
  files.PutObject("rel/0_Setup.exe", std::string("x"));
  files.RequireQuery("sv=2020-10-02&sig=a%2Bb%3D");
  state.objectPath = files.ObjectPath("rel/0_Setup.exe");
  state.objectSuffix = L"?sv=2020-10-02&sig=a%2Bb%3D";
  ASSERT_TRUE(connection.Connect(state));
  connection.Close(state);

  std::vector<nlohmann::json> seen = files.Requests("rel/0_Setup.exe");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]["method"], "GET");
  EXPECT_EQ(seen[0]["path"], N(state.objectPath));
  EXPECT_EQ(seen[0]["query"], "sv=2020-10-02&sig=a%2Bb%3D");
  EXPECT_EQ(seen[0]["headers"]["user-agent"], N(velmot::kUserAgent));
  EXPECT_EQ(seen[0]["headers"]["pragma"], "no-cache");
  EXPECT_EQ(seen[0]["headers"].count("range"), 0u);
}

TEST_F(ConnectionTest, EmptySuffixRequestsThePathAlone) {
  files.PutObject("rel/list.txt", std::string("x"));
  state.objectPath = files.ObjectPath("rel/list.txt");
  ASSERT_TRUE(connection.Connect(state));
  connection.Close(state);
  std::vector<nlohmann::json> seen = files.Requests("rel/list.txt");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]["query"], "");
}

TEST_F(ConnectionTest, NotFoundRecordsTheStatusAndClosesEverything) {
  state.objectPath = files.ObjectPath("rel/missing.exe");
  EXPECT_FALSE(connection.Connect(state));
  EXPECT_EQ(state.httpStatus.load(), 404);
  EXPECT_TRUE(AllClosed(state));

  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(StartsWith(records[1].message, "Response headers: HTTP/1.1 404 "));
  std::string headers = records[1].message.substr(std::string("Response headers: ").size());
  EXPECT_EQ(records[2].message, "Response status not 200, but 404 Response headers: " + headers);
  EXPECT_EQ(records[2].errorNumber, static_cast<int32_t>(DL_MANAGER_HTTP_STATUS_NOT_OK));
}

TEST_F(ConnectionTest, EveryStatusButTwoHundredFails) {
  files.PutObject("rel/x", std::string("body"));
  state.objectPath = files.ObjectPath("rel/x");
  for (int status : {206, 301, 403, 500, 503}) {
    Error::Clear();
    files.SetBehaviour("rel/x", {{"then", {{"status", status}}}});
    EXPECT_FALSE(connection.Connect(state)) << status;
    EXPECT_EQ(state.httpStatus.load(), status);
    EXPECT_TRUE(AllClosed(state));
    std::vector<ErrorRecord> records = Error::GetRecords();
    ASSERT_FALSE(records.empty());
    EXPECT_TRUE(StartsWith(records.back().message,
                           "Response status not 200, but " + std::to_string(status) + " "))
        << records.back().message;
  }
}

TEST_F(ConnectionTest, ClosedPortFailsAtSendNotAtConnect) {
  // Nothing listens on port 443 of localhost (the web service has a port of its own).
  state.host = L"localhost";
  state.objectPath = L"/rel/0_Setup.exe";
  EXPECT_FALSE(connection.Connect(state));
  EXPECT_TRUE(AllClosed(state));
  EXPECT_EQ(state.httpStatus.load(), 0);
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].message,
            "Connection::HttpSendRequest failed for: localhost/ /rel/0_Setup.exe");
  EXPECT_EQ(records[1].errorNumber, ERROR_INTERNET_CANNOT_CONNECT);
  EXPECT_EQ(records[1].detailedMessage, "ERROR_INTERNET_CANNOT_CONNECT");
}

TEST_F(ConnectionTest, CertificateThatDoesNotMatchTheHostFailsBeforeAnyRequest) {
  files.PutObject("rel/0_Setup.exe", std::string("secret"));
  // The certificate names the host, not its address: TLS must refuse the address.
  state.host = testsupport::Get(L"VELMOT_FILEHOST_ADDRESS");
  ASSERT_FALSE(state.host.empty());
  state.objectPath = files.ObjectPath("rel/0_Setup.exe");
  EXPECT_FALSE(connection.Connect(state));
  EXPECT_TRUE(AllClosed(state));
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(StartsWith(records[1].message, "Connection::HttpSendRequest failed for: "));
  EXPECT_GE(records[1].errorNumber, 12001);
  EXPECT_LE(records[1].errorNumber, 12175);
  EXPECT_TRUE(files.Requests("rel/0_Setup.exe").empty());
}

TEST_F(ConnectionTest, HeaderBlockBeyondTheBufferFailsTheQuery) {
  files.PutObject("rel/x", std::string("body"));
  files.SetBehaviour("rel/x", {{"then", {{"hugeHeaders", 300000}}}});  // > 512 KiB as UTF-16
  state.objectPath = files.ObjectPath("rel/x");
  state.localPath.clear();
  EXPECT_FALSE(connection.Connect(state));
  EXPECT_TRUE(AllClosed(state));
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_FALSE(records.empty());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].message, "Connection::HttpQueryInfo failed for: ");
  EXPECT_EQ(records[1].errorNumber, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(Error::HasErrors());
}

TEST_F(ConnectionTest, LargeHeaderBlockWithinTheBufferIsRecordedWhole) {
  files.PutObject("rel/x", std::string("body"));
  files.SetBehaviour("rel/x", {{"then", {{"hugeHeaders", 100000}}}});
  state.objectPath = files.ObjectPath("rel/x");
  ASSERT_TRUE(connection.Connect(state));
  connection.Close(state);
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_GT(records[1].message.size(), 100000u);
  EXPECT_EQ(records[1].message.substr(records[1].message.size() - 4), "\r\n\r\n");
}

TEST_F(ConnectionTest, GarbageInsteadOfHttpIsAFailureWithARecord) {
  files.PutObject("rel/x", std::string("body"));
  files.SetBehaviour("rel/x", {{"then", {{"garbage", true}}}});
  state.objectPath = files.ObjectPath("rel/x");
  // Wine stands in a bare "HTTP/1.0 200 OK" for an answer without a status line.
  EXPECT_FALSE(connection.Connect(state));
  EXPECT_TRUE(AllClosed(state));
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().message, "Response is not HTTP for: " + N(state.localPath));
  EXPECT_EQ(records.back().errorNumber, ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

TEST_F(ConnectionTest, BodyWithoutLengthHasUnknownContentLength) {
  files.PutObject("rel/x", std::string("body"));
  files.SetBehaviour("rel/x", {{"then", {{"noLength", true}}}});
  state.objectPath = files.ObjectPath("rel/x");
  ASSERT_TRUE(connection.Connect(state));
  EXPECT_EQ(state.contentLength, -1);
  connection.Close(state);
}

}  // namespace
