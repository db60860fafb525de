// The soak's byte-range invariant (tests/ui/soak_test.cpp): no byte range of a part is
// fetched again once the file host sent it, and no range is asked past what it sent, read
// from the file host's answers file (what it sent of each part, from which byte) in the order
// of the requests. The host's count of sent bytes is an upper bound of what reached the
// program, so per part:
//   have     the end of the bytes the latest answer with the part's bytes carried (start +
//            sent; a 200 counts from 0, a 206 from its start): the most the program can hold;
//   a request from byte N (N of its Range, 0 without one) must not ask past what was sent
//            (N > have: "range asked past the bytes sent"), and is a refetch when N < have -
//            slack, slack being 0 after an answer that went out whole and kInFlight after a
//            cut; unless a restart is due, which only these make:
//     - a 412 (the object changed: the part starts over with a plain GET);
//     - a delivery that completed the part holding the flipped byte of a corruption (the
//       part fails its check and is fetched whole);
//     - the run deleted the part, or killed the program, since the part's previous request
//       (a new program may resume from what it kept on disk, anywhere up to have), or less
//       than 2 s before it (the host may stamp a request of the killed program late);
//     - for a program that never resumes inside a part (no request of the run carried a
//       Range: the engine before resuming landed), an answer that ended before the part's
//       end: such a program fetches a cut part whole again.
// A 200 to a ranged request (the host ignored Range) restarts the count (have = its sent
// bytes); the request is judged by its N like any other. A program that resumes must resume
// every cut part, so for it a plain GET after a cut past kInFlight is a refetch.
#pragma once

#include "support/soakstage.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testsupport::soak {

// Bytes of a part that the host counts as sent but that may never have reached the program
// when the answer was cut: what sat in the kernel's buffers, and the program's read in
// progress, which Wine's InternetReadFile loses whole when the connection breaks (reads
// are at most 512 KiB). A clean close loses none.
const uint64_t kInFlight = 768 * 1024;

// The rule on one part's answers in the order of their requests, with the moments a restart
// was forced from outside (resets); returns the violations found.
std::vector<std::pair<Violation, std::string>> JudgePart(
    const std::string& path, const std::vector<const nlohmann::json*>& list, bool resumes,
    const std::vector<std::string>& resets);

// The rule over the run's parts (partOf: the file host's path of each part), from the answers
// file once every request's answer has ended there (at most 15 s).
void CheckRefetches(const Stage& stage, const FolderSampler& sampler,
                    const std::map<std::string, std::pair<size_t, size_t>>& partOf,
                    Outcome& outcome);

}  // namespace testsupport::soak
