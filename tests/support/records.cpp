#include "support/records.h"

#include "diagnostics/error.h"

namespace testsupport {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool HasRecord(const std::string& message) { return CountRecords(message) > 0; }

bool HasRecord(const std::string& message, uint32_t code) {
  for (const ErrorRecord& record : Error::GetRecords()) {
    if (record.message == message && static_cast<uint32_t>(record.errorNumber) == code) return true;
  }
  return false;
}

size_t CountRecords(const std::string& message) {
  size_t count = 0;
  for (const ErrorRecord& record : Error::GetRecords()) count += record.message == message;
  return count;
}

size_t CountRecords(uint32_t code) { return MessagesWithCode(code).size(); }

std::vector<std::string> MessagesWithCode(uint32_t code) {
  std::vector<std::string> out;
  for (const ErrorRecord& record : Error::GetRecords()) {
    if (static_cast<uint32_t>(record.errorNumber) == code) out.push_back(record.message);
  }
  return out;
}

std::vector<std::string> RecordMessages() {
  std::vector<std::string> out;
  for (const ErrorRecord& record : Error::GetRecords()) out.push_back(record.message);
  return out;
}

size_t CountRecordsStartingWith(const std::string& prefix) {
  size_t n = 0;
  for (const std::string& m : RecordMessages()) n += StartsWith(m, prefix) ? 1 : 0;
  return n;
}

}  // namespace testsupport
