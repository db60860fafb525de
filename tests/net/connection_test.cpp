// The connection of a part worker to the file host: the request it sends, which answers
// open and which fail, and the records and handles each leaves behind.
#include "net/connection.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "support/records.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>
#include <velmot/config.h>

#include <string>
#include <vector>

namespace {

using namespace testsupport;

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Error::Clear();
    state.host = files.Host();
    state.localPath = L"C:/work/Setup_1.exepart0";
  }
  // Puts body on the host, answered as step says when one is given, and aims the state at it.
  void Serve(const std::string& relative, const std::string& body,
             const nlohmann::json& step = nullptr) {
    files.PutObject(relative, body);
    if (!step.is_null()) files.SetBehaviour(relative, {{"then", step}});
    state.objectPath = files.ObjectPath(relative);
  }
  bool AllClosed() const {
    return !state.internetHandle && !state.connectHandle && !state.requestHandle;
  }
  // Whether a connection opened; it is closed again either way.
  bool OpenAndClose() {
    const bool opened = connection.Connect(state);
    connection.Close(state);
    return opened;
  }
  // Connects expecting a failure that leaves no handle open; the records made.
  std::vector<ErrorRecord> FailedConnect() {
    EXPECT_FALSE(connection.Connect(state));
    EXPECT_TRUE(AllClosed());
    return Error::GetRecords();
  }

  ConnectionState state;
  Connection connection;
  FileHostNamespace files;
};

TEST_F(ConnectionTest, GoodObjectOpensWithStatus200AndRecordsTheHeaderBlock) {
  Serve("rel/0_Setup.exe", std::string(1234, 'a'));
  ASSERT_TRUE(connection.Connect(state));
  EXPECT_EQ(state.httpStatus.load(), 200);
  EXPECT_EQ(state.contentLength, 1234);
  EXPECT_TRUE(state.internetHandle && state.connectHandle && state.requestHandle);

  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message, "Opening connection: " + Narrow(state.host));
  EXPECT_EQ(records[0].errorNumber, 0);
  EXPECT_TRUE(StartsWith(records[1].message, "Response headers: HTTP/1.1 200 OK\r\n"));
  EXPECT_NE(records[1].message.find("\r\nContent-Length: 1234\r\n"), std::string::npos);
  EXPECT_EQ(records[1].message.substr(records[1].message.size() - 4), "\r\n\r\n");
  EXPECT_EQ(records[1].errorNumber, 0);
  EXPECT_FALSE(Error::HasErrors());

  connection.Close(state);
  EXPECT_TRUE(AllClosed());
  connection.Close(state);  // a second close is harmless
  EXPECT_TRUE(AllClosed());
}

TEST_F(ConnectionTest, CloseOnAFreshStateDoesNothing) {
  connection.Close(state);
  EXPECT_TRUE(AllClosed());
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(ConnectionTest, RequestCarriesTheAgreedShape) {
  Serve("rel/0_Setup.exe", "x");
  files.RequireQuery("sv=2020-10-02&sig=a%2Bb%3D");
  state.objectSuffix = L"?sv=2020-10-02&sig=a%2Bb%3D";
  ASSERT_TRUE(OpenAndClose());

  std::vector<nlohmann::json> seen = files.Requests("rel/0_Setup.exe");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]["method"], "GET");
  EXPECT_EQ(seen[0]["path"], Narrow(state.objectPath));
  EXPECT_EQ(seen[0]["query"], "sv=2020-10-02&sig=a%2Bb%3D");
  EXPECT_EQ(seen[0]["headers"]["user-agent"], Narrow(velmot::kUserAgent));
  EXPECT_EQ(seen[0]["headers"]["pragma"], "no-cache");
  EXPECT_EQ(seen[0]["headers"].count("range"), 0u);
}

TEST_F(ConnectionTest, EmptySuffixRequestsThePathAlone) {
  Serve("rel/list.txt", "x");
  ASSERT_TRUE(OpenAndClose());
  std::vector<nlohmann::json> seen = files.Requests("rel/list.txt");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]["query"], "");
}

TEST_F(ConnectionTest, NotFoundRecordsTheStatusAndClosesEverything) {
  state.objectPath = files.ObjectPath("rel/missing.exe");
  std::vector<ErrorRecord> records = FailedConnect();
  EXPECT_EQ(state.httpStatus.load(), 404);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(StartsWith(records[1].message, "Response headers: HTTP/1.1 404 "));
  std::string headers = records[1].message.substr(std::string("Response headers: ").size());
  EXPECT_EQ(records[2].message, "Response status not 200, but 404 Response headers: " + headers);
  EXPECT_EQ(records[2].errorNumber, static_cast<int32_t>(DL_MANAGER_HTTP_STATUS_NOT_OK));
}

TEST_F(ConnectionTest, EveryStatusButTwoHundredFails) {
  Serve("rel/x", "body");
  for (int status : {206, 301, 403, 500, 503}) {
    SCOPED_TRACE(status);
    Error::Clear();
    files.SetBehaviour("rel/x", {{"then", {{"status", status}}}});
    std::vector<ErrorRecord> records = FailedConnect();
    EXPECT_EQ(state.httpStatus.load(), status);
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
  std::vector<ErrorRecord> records = FailedConnect();
  EXPECT_EQ(state.httpStatus.load(), 0);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].message,
            "Connection::HttpSendRequest failed for: localhost/ /rel/0_Setup.exe");
  EXPECT_EQ(records[1].errorNumber, ERROR_INTERNET_CANNOT_CONNECT);
  EXPECT_EQ(records[1].detailedMessage, "ERROR_INTERNET_CANNOT_CONNECT");
}

TEST_F(ConnectionTest, CertificateThatDoesNotMatchTheHostFailsBeforeAnyRequest) {
  Serve("rel/0_Setup.exe", "secret");
  // The certificate names the host, not its address: TLS must refuse the address.
  state.host = Get(L"VELMOT_FILEHOST_ADDRESS");
  ASSERT_FALSE(state.host.empty());
  std::vector<ErrorRecord> records = FailedConnect();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(StartsWith(records[1].message, "Connection::HttpSendRequest failed for: "));
  EXPECT_GE(records[1].errorNumber, 12001);
  EXPECT_LE(records[1].errorNumber, 12175);
  EXPECT_TRUE(files.Requests("rel/0_Setup.exe").empty());
}

TEST_F(ConnectionTest, HeaderBlockBeyondTheBufferFailsTheQuery) {
  Serve("rel/x", "body", {{"hugeHeaders", 300000}});  // > 512 KiB as UTF-16
  state.localPath.clear();
  std::vector<ErrorRecord> records = FailedConnect();
  ASSERT_FALSE(records.empty());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].message, std::string(velmot::texts::kQueryInfoFailed) + " for: ");
  EXPECT_EQ(records[1].errorNumber, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(Error::HasErrors());
}

TEST_F(ConnectionTest, LargeHeaderBlockWithinTheBufferIsRecordedWhole) {
  Serve("rel/x", "body", {{"hugeHeaders", 100000}});
  ASSERT_TRUE(OpenAndClose());
  std::vector<ErrorRecord> records = Error::GetRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_GT(records[1].message.size(), 100000u);
  EXPECT_EQ(records[1].message.substr(records[1].message.size() - 4), "\r\n\r\n");
}

TEST_F(ConnectionTest, GarbageInsteadOfHttpIsAFailureWithARecord) {
  Serve("rel/x", "body", {{"garbage", true}});
  // Wine stands in a bare "HTTP/1.0 200 OK" for an answer without a status line.
  std::vector<ErrorRecord> records = FailedConnect();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().message, "Response is not HTTP for: " + Narrow(state.localPath));
  EXPECT_EQ(records.back().errorNumber, ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

TEST_F(ConnectionTest, BodyWithoutLengthHasUnknownContentLength) {
  Serve("rel/x", "body", {{"noLength", true}});
  ASSERT_TRUE(connection.Connect(state));
  EXPECT_EQ(state.contentLength, -1);
  connection.Close(state);
}

}  // namespace
