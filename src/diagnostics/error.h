// The process-wide error log: every failure and noteworthy event is appended as a record
// (message, detailed message, error number, source file and line, position in the log).
// Recording never throws and never interrupts the caller. Any thread may record; one
// process-wide lock orders the records, and no other lock is taken while it is held.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

// The program's own error numbers. error_number shows them as signed values (-32767 ...).
enum DownloadManagerError : uint32_t {
  DL_MANAGER_NO_ERROR = 0xFFFF8000,
  DL_MANAGER_MAX_ATTEMPTS_EXCEEDED = 0xFFFF8001,
  DL_MANAGER_CRC_INCORRECT = 0xFFFF8002,
  DL_MANAGER_WIN32_EXCEPTION = 0xFFFF8003,
  DL_MANAGER_HTTP_STATUS_NOT_OK = 0xFFFF8004,
  // Recorded just before setup starts after a download that had errors; it has no name.
  DL_MANAGER_ERRORS_RESOLVED = 0xFFFF8005,
  DL_MANAGER_EXECUTABLE_MISSING = 0xFFFF8006,
  DL_MANAGER_DELETED_OUTSIDE = 0xFFFF8007,
  DL_MANAGER_RENAMED_OUTSIDE = 0xFFFF8008,
  // A file name from the CRC info document that could escape the job's folders.
  DL_MANAGER_INVALID_FILE_NAME = 0xFFFF8009,
  // A setup executable whose signature or signer did not satisfy the required publisher.
  DL_MANAGER_SETUP_NOT_TRUSTED = 0xFFFF800A,
  // The file host refused the download link (HTTP 403: an expired or invalid SAS).
  DL_MANAGER_LINK_REFUSED = 0xFFFF800B,
  // The network answered with a web page (a sign-in page) instead of the download.
  DL_MANAGER_SIGN_IN_PAGE = 0xFFFF800C,
  // An object comes back with the same wrong CRC every time: it and the CRC info
  // document were published from different files.
  DL_MANAGER_PUBLISHED_INCONSISTENTLY = 0xFFFF800D,
};

// Not one of the program's codes: the verification of an installer file records a part
// whose CRC differs with the plain number -3 ("CheckFileFromCRCInfo CRC is not correct: "),
// which the readers of uploaded logs look for.
constexpr uint32_t kVerifiedPartCrcNotCorrect = static_cast<uint32_t>(-3);

// One record as stored. Narrow texts are ANSI-code-page bytes.
struct ErrorRecord {
  std::string message;
  std::string detailedMessage;
  int32_t errorNumber = 0;
  std::string file;
  int32_t line = 0;
  int32_t logIndex = 0;
};

// The recording site, for the operations' file and line arguments.
#define VELMOT_HERE __FILE__, __LINE__

// One line at a failing call: records message with the thread's last-error code and the
// site. The code is read before the message is built, since building it may allocate and
// so change the code. The REPORT form also names WinINet codes in the detailed message.
#define VELMOT_LOG_LAST_ERROR(message)                          \
  do {                                                          \
    const uint32_t velmotLastError_ = Error::LastSystemError(); \
    Error::LogError((message), velmotLastError_, VELMOT_HERE);  \
  } while (0)
#define VELMOT_REPORT_LAST_ERROR(message)                         \
  do {                                                            \
    const uint32_t velmotLastError_ = Error::LastSystemError();   \
    Error::ReportError((message), velmotLastError_, VELMOT_HERE); \
  } while (0)

class Error {
 public:
  virtual ~Error() = default;

  static void LogError(const std::string& message, uint32_t code, const char* file, int line);
  static void LogError(const std::wstring& message, uint32_t code, const char* file, int line);
  // Records and returns the with-code display text.
  static std::wstring ReportError(const std::wstring& message, uint32_t code, const char* file,
                                  int line);
  // A note (code 0): progress and outcomes that are no failure.
  static void LogMessage(const std::string& message, const char* file, int line);
  static void LogMessage(const std::wstring& message, const char* file, int line);
  // Records (code 0) and returns the no-code display text, ending in "\r\n".
  static std::wstring ReportMessage(const std::wstring& message, const char* file, int line);
  // Composes the plain display text; records nothing.
  static std::string FormatError(const std::string& message, uint32_t code, const char* file,
                                 int line);
  static std::wstring FormatError(const std::wstring& message, uint32_t code, const char* file,
                                  int line);

  // The calling thread's GetLastError(), for the macros above (this header stays free of
  // <windows.h>).
  static uint32_t LastSystemError();

  // WinINet or program code name; empty for every other code.
  static std::string GetErrorName(uint32_t code);

  static bool HasErrors();
  static void Clear();

  // Copies of all records, in log order, as a JSON array of objects with the members
  // detailed_message, error_number, file, line, log_index, message.
  static nlohmann::json GetLogJson();
  // The JSON report's exact bytes: ", " and ": " separators, keys sorted, narrow string
  // bytes >= 0x80 passed through unchanged (they are ANSI text, not UTF-8).
  static std::string DumpJson(const nlohmann::json& value);

  // Writes the text log file (entries separated by "\t\n") to a narrow path.
  static void WriteLogFile(const std::string& path);

  // A snapshot of the records, for tests and diagnostics.
  static std::vector<ErrorRecord> GetRecords();
};
