// The program's two exchanges with the maker's web service, each one FileUpload request:
// the download request before the job (which release, from which file host) and the log
// upload at window close. Both run on the caller's thread and wait for their worker;
// failures are recorded and never thrown.
#pragma once

#include <windows.h>

#include <string>

class UploadCancel;

// What the web service tells about the release.
struct DownloadDescriptor {
  std::wstring productCode;
  std::wstring companyName;
  std::wstring downloadSubdir;
  std::wstring hostName;
  std::wstring sasText;
};

class ServiceClient {
 public:
  explicit ServiceClient(const std::wstring& computerId) : computerId_(computerId) {}

  // Posts "Method: RequestDownload" for the release. On success fills descriptor and
  // productSuffix ("_" + product code) and returns true; otherwise leaves both as they were
  // and appends the text for the user to errorText. workFolder is made first (one level)
  // so that a later log upload has somewhere to put its file. cancel, when given, lets
  // another thread abort the request: it then fails like an unreachable service within a
  // quarter of a second, and an upload still blocked is left to end by itself.
  bool RequestDownload(const std::wstring& releaseName, const std::wstring& workFolder,
                       DownloadDescriptor& descriptor, std::wstring& productSuffix,
                       std::wstring& errorText, UploadCancel* cancel = nullptr);

  // Gzips the error log's JSON report into workFolder/logfile.gz, posts it ("Method:
  // LogErrorInfo"), writes logfile.txt beside the executable when the log holds errors, and
  // deletes the gzip file. Without a work folder nothing is uploaded. budgetMs bounds the
  // whole upload, every attempt included: an upload still running then is left to end by
  // itself (the process may end first) and the rest goes on.
  void PostLogFile(const std::wstring& workFolder, DWORD budgetMs = INFINITE);

  enum class Answer { kUsable, kNotJsonObject, kRefused, kNoFileHost };
  // Reads the text of the service's answer to RequestDownload (JSON in UTF-8, or in the
  // ANSI code page from older services). kUsable fills descriptor; kRefused hands the
  // service's error_info text to refusal. Pure (no records), any thread, throws nothing but
  // std::bad_alloc; descriptor may be half filled unless kUsable.
  static Answer ReadAnswer(const std::string& text, DownloadDescriptor& descriptor,
                           std::wstring& refusal);

 private:
  std::wstring computerId_;
};
