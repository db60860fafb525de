#include "download/service/serviceclient.h"

#include "base/stringutils.h"
#include "base/systemtexts.h"
#include "diagnostics/cgzip.h"
#include "diagnostics/error.h"
#include "download/store/filesystem.h"
#include "net/fileupload.h"
#include "net/uploadcancel.h"

#include <velmot/config.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kStatusOk = 200;
// The whole answer goes into the log, but a runaway answer must not swamp the report.
constexpr size_t kMaxLoggedAnswer = 64 * 1024;

const wchar_t* const kUnreachableText = velmot::texts::kServiceUnreachable;
const wchar_t* const kUnreadableText = velmot::texts::kServiceUnreadable;

// JSON is UTF-8 by definition, and nlohmann hands its strings back as UTF-8: converting
// them from the ANSI code page would garble every character beyond ASCII.
std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return StringUtils::ToWide(text);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], length,
                      nullptr, nullptr);
  return narrow;
}

// A service that writes its texts in the ANSI code page (as older JSON writers did) sends
// bytes that are not UTF-8; such an answer is read as ANSI rather than refused.
nlohmann::json ParseAnswer(const std::string& text) {
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (!value.is_discarded()) return value;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                          nullptr, 0) == 0) {
    value = nlohmann::json::parse(ToUtf8(StringUtils::ToWide(text)), nullptr, false);
  }
  return value;
}

// A member as text; missing members and members of another type read as empty.
std::wstring StringMember(const nlohmann::json& answer, const char* name) {
  auto found = answer.find(name);
  if (found == answer.end() || !found->is_string()) return std::wstring();
  return FromUtf8(found->get<std::string>());
}

void LogAnswer(const std::string& answer) {
  if (answer.size() <= kMaxLoggedAnswer) {
    Error::LogMessage(answer, VELMOT_HERE);
    return;
  }
  Error::LogMessage(answer.substr(0, kMaxLoggedAnswer) + "... (" + std::to_string(answer.size()) +
                        " bytes in all)",
                    VELMOT_HERE);
}

// Makes the work folder (one level: its parent, local app data, exists) so that a log
// upload after a failed request has somewhere to put the compressed report.
void EnsureFolder(const std::wstring& folder) {
  if (folder.empty()) return;
  if (CreateDirectoryW(folder.c_str(), nullptr)) return;
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) {
    Error::LogError(L"DownloadManager::RequestDownload unable to create the work folder " + folder,
                    error, VELMOT_HERE);
  }
}

// Records why the answer cannot be used and hands the user's text on.
bool Unusable(const char* why, std::wstring& errorText) {
  Error::LogError(std::string("DownloadManager::RequestDownload the web service's answer ") + why,
                  DL_MANAGER_HTTP_STATUS_NOT_OK, VELMOT_HERE);
  errorText += kUnreadableText;
  return false;
}

// A half-filled descriptor cannot start a useful job: the caller's fields change only when
// the whole answer has been read.
bool ReadDescriptor(const FileUpload& transport, const std::string& answerText,
                    DownloadDescriptor& answered, std::wstring& errorText) {
  if (transport.responseTruncated) return Unusable("is too long", errorText);
  std::wstring refusal;
  switch (ServiceClient::ReadAnswer(answerText, answered, refusal)) {
    case ServiceClient::Answer::kUsable:
      return true;
    case ServiceClient::Answer::kRefused:
      errorText += refusal;
      return false;
    case ServiceClient::Answer::kNoFileHost:
      return Unusable("names no file host", errorText);
    case ServiceClient::Answer::kNotJsonObject:
      break;
  }
  return Unusable("is not a JSON object", errorText);
}

}  // namespace

ServiceClient::Answer ServiceClient::ReadAnswer(const std::string& text,
                                                DownloadDescriptor& descriptor,
                                                std::wstring& refusal) {
  const nlohmann::json answer = ParseAnswer(text);
  if (!answer.is_object()) return Answer::kNotJsonObject;

  auto found = answer.find("error_info");
  if (found != answer.end() && found->is_string()) {
    refusal = FromUtf8(found->get<std::string>());
    return Answer::kRefused;
  }
  descriptor.productCode = StringMember(answer, "product_code");
  descriptor.companyName = StringMember(answer, "company_name");
  descriptor.downloadSubdir = StringMember(answer, "download_subdir");
  descriptor.hostName = StringMember(answer, "host_name");
  descriptor.sasText = StringMember(answer, "SAS");
  return descriptor.hostName.empty() ? Answer::kNoFileHost : Answer::kUsable;
}

bool ServiceClient::RequestDownload(const std::wstring& releaseName, const std::wstring& workFolder,
                                    DownloadDescriptor& descriptor, std::wstring& productSuffix,
                                    std::wstring& errorText, UploadCancel* cancel) {
  EnsureFolder(workFolder);

  std::unique_ptr<FileUpload> owned(new FileUpload());
  FileUpload& transport = *owned;
  FileUpload::TextMap headers;
  headers[L"ComputerId"] = computerId_;
  headers[L"Content-Type"] = L"application/x-www-form-urlencoded";
  headers[L"Method"] = L"RequestDownload";
  headers[L"User-Agent"] = velmot::kUserAgent;

  std::wstring release = releaseName;
  StringUtils::ReplaceAll(release, L".exe", L"");
  FileUpload::TextMap fields;
  fields[L"DownloadManagerVersion"] = velmot::kVersion;
  fields[L"ReleaseName"] = release;

  bool ended = true;
  if (cancel == nullptr || cancel->Attach(&transport)) {
    ended = transport.PostForm(velmot::kServiceUrl, 2, headers, fields, true);
    if (cancel) cancel->Detach();
  }
  if (cancel && cancel->Cancelled()) {
    Error::LogError(std::string("DownloadManager::RequestDownload cancelled: the window closed"), 0,
                    VELMOT_HERE);
    // A send that closing its request did not end runs on by itself; it touches only its
    // own object and the error log.
    if (!ended) Orx_Thread::Abandon(std::move(owned));
    errorText += kUnreachableText;
    return false;
  }

  if (transport.proxyRefused) {
    Error::LogError(L"DownloadManager::RequestDownload the company proxy refused the request (" +
                        std::to_wstring(transport.httpStatus) + L" " + transport.statusText + L")",
                    DL_MANAGER_HTTP_STATUS_NOT_OK, VELMOT_HERE);
    errorText += velmot::texts::kProxyRefused;
    return false;
  }
  if (transport.httpStatus != kStatusOk) {
    Error::LogError(L"DownloadManager::RequestDownload the web service answered " +
                        std::to_wstring(transport.httpStatus) + L" " + transport.statusText,
                    DL_MANAGER_HTTP_STATUS_NOT_OK, VELMOT_HERE);
    errorText += kUnreachableText;
    return false;
  }
  try {
    const std::string answerText = transport.GetResponseText();
    LogAnswer(answerText);
    DownloadDescriptor answered;
    if (!ReadDescriptor(transport, answerText, answered, errorText)) return false;
    std::wstring suffix = L"_" + answered.productCode;
    descriptor = std::move(answered);
    productSuffix = std::move(suffix);
    return true;
  } catch (const std::exception& e) {
    Error::LogMessage(
        "DownloadManager::RequestDownload could not handle the web service's "
        "answer. Message: " +
            std::string(e.what()),
        VELMOT_HERE);
    errorText += kUnreadableText;
    return false;
  }
}

void ServiceClient::PostLogFile(const std::wstring& workFolder, DWORD budgetMs) {
  // Without a work folder the path would be the root of the drive: never write there.
  if (workFolder.empty()) {
    Error::LogMessage("DownloadManager::PostLogFile no work folder; the log is not uploaded",
                      VELMOT_HERE);
    return;
  }
  const std::wstring path = workFolder + L"/logfile.gz";

  const std::wstring report = StringUtils::ToWide(Error::DumpJson(Error::GetLogJson()));
  {
    zlib::CGZip zip;
    zip.level = 9;
    if (zip.Open(path.c_str(), 1)) {
      zip.WriteString(report.c_str());
      zip.Close();
    }
  }

  FileUpload::TextMap headers;
  headers[L"User-Agent"] = velmot::kUserAgent;
  headers[L"Content-Type"] = L"application/octet-stream";
  headers[L"Method"] = L"LogErrorInfo";
  headers[L"ComputerId"] = computerId_;
  headers[L"DownloadManagerVersion"] = velmot::kVersion;

  std::vector<uint8_t> bytes;
  FileSystem::ReadWholeFile(path, bytes);
  if (!bytes.empty()) {
    std::unique_ptr<FileUpload> transport(new FileUpload());
    if (budgetMs != INFINITE) {
      // One attempt that stalls must not use up more than the whole budget either.
      transport->connectTimeoutMs = std::min(transport->connectTimeoutMs, budgetMs);
      transport->sendTimeoutMs = std::min(transport->sendTimeoutMs, budgetMs);
      transport->receiveTimeoutMs = std::min(transport->receiveTimeoutMs, budgetMs);
      transport->waitLimitMs = budgetMs;
    }
    if (!transport->PostData(velmot::kServiceUrl, 2, headers, bytes)) {
      Error::LogError("DownloadManager::PostLogFile the upload did not end within " +
                          std::to_string(budgetMs) + " ms and is left behind",
                      0, VELMOT_HERE);
      Orx_Thread::Abandon(std::move(transport));
    }
    if (Error::HasErrors()) {
      std::string folder;
      FileSystem::GetExecutableFolder(folder);
      Error::WriteLogFile(folder + "/logfile.txt");
    }
  }

  if (!DeleteFileW(path.c_str())) {
    VELMOT_LOG_LAST_ERROR(L"DownloadManager::PostLogFile Unable to delete " + path);
  }
}
