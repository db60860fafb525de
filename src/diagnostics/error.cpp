// The error log itself: the process-wide record list, its lock, the recording forms and
// their display texts, and the text log file.
#include "diagnostics/error.h"

#include "base/handles.h"
#include "base/stringutils.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <utility>

namespace {

struct ErrorLog {
  velmot::CriticalSection lock;
  std::vector<ErrorRecord> records;
};

// Never destroyed: threads and static destructors may still record while the process
// winds down, and the system reclaims the memory at exit anyway.
ErrorLog& Log() {
  static ErrorLog* const log = new ErrorLog();
  return *log;
}

// Creates the log (and its critical section) during static initialisation, before the
// program's entry runs and before any worker thread could race for it.
struct LogStarter {
  LogStarter() { Log(); }
} const kLogStarter;

// Owner of a buffer that FormatMessage allocated.
class LocalBuffer {
 public:
  LocalBuffer() = default;
  ~LocalBuffer() {
    if (text_ != nullptr) LocalFree(text_);
  }
  LocalBuffer(const LocalBuffer&) = delete;
  LocalBuffer& operator=(const LocalBuffer&) = delete;
  char** Receive() { return &text_; }
  const char* Get() const { return text_; }

 private:
  char* text_ = nullptr;
};

std::string FormatFrom(DWORD source, HMODULE module, uint32_t code, DWORD language) {
  LocalBuffer buffer;
  // Inserts are ignored: no arguments are passed, and a text with "%1" would otherwise
  // fail or read arguments that do not exist.
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | source;
  const DWORD length = FormatMessageA(flags, module, code, language,
                                      reinterpret_cast<LPSTR>(buffer.Receive()), 0, nullptr);
  if (length == 0 || buffer.Get() == nullptr) return std::string();
  return std::string(buffer.Get(), length);
}

// The operating system's text for a code, exactly as returned (trailing line break
// included); empty when there is none.
std::string SystemText(uint32_t code, bool tryWinInet) {
  std::string text = FormatFrom(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x409);
  if (text.empty()) text = FormatFrom(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0);
  if (text.empty() && tryWinInet) {
    HMODULE wininet = GetModuleHandleA("wininet.dll");
    if (wininet != nullptr) text = FormatFrom(FORMAT_MESSAGE_FROM_HMODULE, wininet, code, 0);
  }
  return text;
}

bool InNameRange(uint32_t code) {
  return (code >= 12000u && code <= 12174u) ||
         (code >= DL_MANAGER_MAX_ATTEMPTS_EXCEEDED && code <= DL_MANAGER_INVALID_FILE_NAME);
}

struct CodeText {
  std::string detailed;  // the record's detailed_message
  std::string display;   // what the display text gains after the hexadecimal code
};

CodeText DescribeCode(uint32_t code, bool tryWinInet) {
  CodeText text;
  if (InNameRange(code)) {
    // A code without a name still gains the blank: "0xffff8005 ".
    text.detailed = Error::GetErrorName(code);
    text.display = " " + text.detailed;
  } else if (code != 0) {
    text.detailed = SystemText(code, tryWinInet);
    if (!text.detailed.empty()) text.display = " Windows error message: " + text.detailed;
  }
  return text;
}

std::string Hex(uint32_t code) {
  static const char kDigits[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[code & 0xF]);
    code >>= 4;
  } while (code != 0);
  return digits;
}

std::string Site(const char* file, int line) {
  std::string site;
  if (file != nullptr && *file != '\0') site += std::string(" File: ") + file;
  if (line != 0) site += " Line: " + std::to_string(line);
  return site;
}

void Append(std::string message, std::string detailed, uint32_t code, const char* file, int line) {
  ErrorRecord record;
  record.message = std::move(message);
  record.detailedMessage = std::move(detailed);
  record.errorNumber = static_cast<int32_t>(code);
  record.file = file != nullptr ? file : "";
  record.line = line;
  ErrorLog& log = Log();
  velmot::CriticalSectionLock lock(log.lock);
  record.logIndex = static_cast<int32_t>(log.records.size());
  log.records.push_back(std::move(record));
}

std::string RenderLogFile(const std::vector<ErrorRecord>& records) {
  std::string text;
  for (size_t i = 0; i < records.size(); ++i) {
    const ErrorRecord& r = records[i];
    if (i > 0) text += "\t\n";
    text += "Message: " + r.message + " Detailed Message: " + r.detailedMessage +
            " Error Number: " + std::to_string(r.errorNumber) + " File: " + r.file +
            " Line: " + std::to_string(r.line);
  }
  return text;
}

}  // namespace

// The recording forms swallow every standard exception (memory exhaustion in practice):
// a failure to record must never become the caller's failure. The lock is only taken
// inside Append, by a guard, so it is released on every path.

uint32_t Error::LastSystemError() { return GetLastError(); }

void Error::LogError(const std::string& message, uint32_t code, const char* file, int line) {
  try {
    CodeText text = DescribeCode(code, false);
    Append(message, std::move(text.detailed), code, file, line);
  } catch (const std::exception&) {
  }
}

void Error::LogError(const std::wstring& message, uint32_t code, const char* file, int line) {
  try {
    LogError(StringUtils::ToNarrow(message), code, file, line);
  } catch (const std::exception&) {
  }
}

std::wstring Error::ReportError(const std::wstring& message, uint32_t code, const char* file,
                                int line) {
  try {
    CodeText text = DescribeCode(code, true);
    const std::string tail = " Error code: 0x" + Hex(code) + text.display + Site(file, line);
    Append(StringUtils::ToNarrow(message), std::move(text.detailed), code, file, line);
    return message + StringUtils::ToWide(tail);
  } catch (const std::exception&) {
    return std::wstring();
  }
}

void Error::LogMessage(const std::string& message, const char* file, int line) {
  try {
    Append(message, std::string(), 0, file, line);
  } catch (const std::exception&) {
  }
}

void Error::LogMessage(const std::wstring& message, const char* file, int line) {
  try {
    LogMessage(StringUtils::ToNarrow(message), file, line);
  } catch (const std::exception&) {
  }
}

std::wstring Error::ReportMessage(const std::wstring& message, const char* file, int line) {
  try {
    Append(StringUtils::ToNarrow(message), std::string(), 0, file, line);
    return message + StringUtils::ToWide(Site(file, line)) + L"\r\n";
  } catch (const std::exception&) {
    return std::wstring();
  }
}

std::string Error::FormatError(const std::string& message, uint32_t code, const char* file,
                               int line) {
  std::string text = message + " Error code: 0x" + Hex(code);
  if (code != 0) {
    const std::string system = SystemText(code, false);
    if (!system.empty()) text += " Windows error message: " + system;
  }
  return text + Site(file, line);
}

std::wstring Error::FormatError(const std::wstring& message, uint32_t code, const char* file,
                                int line) {
  // The caller's text stays as given; only the composed tail passes through the ANSI
  // code page, where the system texts come from.
  const std::string tail = FormatError(std::string(), code, file, line);
  return message + StringUtils::ToWide(tail);
}

bool Error::HasErrors() {
  ErrorLog& log = Log();
  velmot::CriticalSectionLock lock(log.lock);
  return std::any_of(log.records.begin(), log.records.end(),
                     [](const ErrorRecord& r) { return r.errorNumber != 0; });
}

void Error::Clear() {
  ErrorLog& log = Log();
  velmot::CriticalSectionLock lock(log.lock);
  std::vector<ErrorRecord>().swap(log.records);
}

std::vector<ErrorRecord> Error::GetRecords() {
  ErrorLog& log = Log();
  velmot::CriticalSectionLock lock(log.lock);
  return log.records;
}

nlohmann::json Error::GetLogJson() {
  const std::vector<ErrorRecord> records = GetRecords();
  nlohmann::json array = nlohmann::json::array();
  for (const ErrorRecord& r : records) {
    array.push_back({{"detailed_message", r.detailedMessage},
                     {"error_number", r.errorNumber},
                     {"file", r.file},
                     {"line", r.line},
                     {"log_index", r.logIndex},
                     {"message", r.message}});
  }
  return array;
}

void Error::WriteLogFile(const std::string& path) {
  try {
    // Held while rendering and writing, so a record added meanwhile lands after the file.
    ErrorLog& log = Log();
    velmot::CriticalSectionLock lock(log.lock);
    const std::string text = RenderLogFile(log.records);
    velmot::FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    // One write in practice; the loop only matters should the system accept less.
    size_t done = 0;
    while (done < text.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(file.Get(), text.data() + done, chunk, &written, nullptr) || written == 0) {
        break;
      }
      done += written;
    }
  } catch (const std::exception&) {
  }
}
