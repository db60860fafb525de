// The fixture of the tests that watch a DownloadManager talk to the loopback web service. The
// manager carries a ComputerId of the test's own, so that its requests stand apart from those
// of tests running beside it.
#pragma once

#include "download/job/downloadmanager.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace testsupport {

class HttpServiceTest : public ::testing::Test {
 protected:
  explicit HttpServiceTest(const char* tag) : id(UniqueId(tag)) {
    manager.computerId = FromUtf8(id);
  }

  std::vector<nlohmann::json> MyRequests() const { return ServiceRequestsFrom(id); }

  std::string id;
  DownloadManager manager{nullptr};
};

// What every request of the program to the web service carries: the service's path, this
// Method and Content-Type, the program's User-Agent and Accept-Encoding, and of the header
// names the program sets exactly `ours`, in the order and spelling sent.
inline void ExpectServiceRequest(const nlohmann::json& request, const char* method,
                                 const char* contentType, const std::vector<std::string>& ours) {
  EXPECT_EQ("/Velmot/DownloadManager8.ashx", request["path"]);
  EXPECT_EQ(method, request["headers"]["method"]);
  EXPECT_EQ(contentType, request["headers"]["content-type"]);
  EXPECT_EQ("Velmot Download Manager / 9.5", request["headers"]["user-agent"]);
  EXPECT_EQ("gzip,deflate", request["headers"]["accept-encoding"]);
  EXPECT_EQ(ours, SentHeaderNames(request, ours));
}

}  // namespace testsupport
