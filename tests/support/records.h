// Looking at the error log from tests: whether a record with a message (and code) was
// made, how many, which messages in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

bool StartsWith(const std::string& text, const std::string& prefix);
bool HasRecord(const std::string& message);
bool HasRecord(const std::string& message, uint32_t code);
size_t CountRecords(const std::string& message);
// Records made with this error code, and their messages in log order.
size_t CountRecords(uint32_t code);
std::vector<std::string> MessagesWithCode(uint32_t code);
// The messages of all records, in log order.
std::vector<std::string> RecordMessages();
size_t CountRecordsStartingWith(const std::string& prefix);

}  // namespace testsupport
