// How a part's attempts go on after a cut, a stall, a host that ignores ranges, an object
// that changed and a host that is too busy: what the host is asked for, and that the file
// still arrives whole.
#include "download/job/downloadmanager.h"

#include "diagnostics/error.h"
#include "support/managerjob.h"
#include "support/records.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace testsupport;

struct Resumption {
  const char* name;
  nlohmann::json attempts;          // part 0's answers, in order (then normal ones)
  std::vector<const char*> ranges;  // the Range of each request of part 0 ("": none, "*": any)
  const char* record;               // a record that starts so, or ""
};

TEST(DownloadManagerTransfer, APartGoesOnFromItsLastByteOrStartsOverWhenItMust) {
  const Resumption cases[] = {
      {"a cut part goes on from its last byte",
       {{{"closeAfter", 4000000}}},
       {"", "bytes=4000000-"},
       "Resuming at byte 4000000 of 10000000: "},
      {"a host that ignores the range starts the part over",
       {{{"closeAfter", 4000000}}, {{"ignoreRange", true}}},
       {"", "bytes=4000000-"},
       "The file host sent the whole object instead of its bytes from 4000000 on"},
      {"an object that changed starts over without the old bytes",
       {{{"closeAfter", 4000000}}, {{"etag", "\"changed\""}}},
       {"", "bytes=4000000-", ""},
       "The object changed since its first bytes came"},
      {"a stalled connection is ended and goes on",
       {{{"stallAfter", 4000000}, {"stallMs", 8000}}},
       {"", "*"},
       ""},
      {"a busy host is asked for fewer parts at once",
       {{{"status", 503}, {"storageError", "ServerBusy"}}},
       {"", ""},
       "The file host is busy: fetching 2 parts at a time from now on"},
  };
  for (const Resumption& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> data = RandomBytes(kPart + 5000, 71);
    ManagerJob run({{"Data.bin", data}});
    run.job.host.SetBehaviour(DownloadJob::PartObject(0, "Data.bin"), {{"attempts", c.attempts}});
    run.manager.settings.stallMs = 1500;
    ASSERT_TRUE(run.Run());
    EXPECT_EQ(ReadFileBytes(run.LocalPath("Data.bin")), data);
    EXPECT_EQ(run.PartRequests("Data.bin", 1), 1u);
    const std::vector<nlohmann::json> requests =
        run.job.host.Requests(DownloadJob::PartObject(0, "Data.bin"));
    ASSERT_EQ(requests.size(), c.ranges.size());
    for (size_t i = 0; i < requests.size(); ++i) {
      const nlohmann::json& headers = requests[i]["headers"];
      const std::string range = headers.value("range", "");
      if (std::string(c.ranges[i]) == "*") {
        EXPECT_EQ(range.compare(0, 6, "bytes="), 0) << i;
      } else {
        EXPECT_EQ(range, c.ranges[i]) << i;
      }
      // A resumed request names the object its bytes came from.
      EXPECT_EQ(headers.contains("if-match"), !range.empty()) << i;
    }
    if (*c.record) {
      EXPECT_EQ(CountRecordsStartingWith(c.record), 1u);
    }
  }
}

}  // namespace
