#include "download/filedownload.h"

#include "base/handles.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string>

namespace {

constexpr int kMaxExtraAttempts = 3;  // four attempts in all
constexpr DWORD kRetryWaitMs = 100;
constexpr DWORD kPauseWaitMs = 100;

// CRC values and the byte count are written as their signed 32-bit readings.
std::wstring Signed(uint32_t value) { return std::to_wstring(static_cast<int32_t>(value)); }

// One spare body buffer for the whole process. Parts are fetched one after another by
// fresh workers; handing the previous part's buffer on spares every new part the cost of
// touching 10 MB of fresh pages, which under Wine roughly halved the throughput. At most
// one buffer, never larger than the default object limit, is kept.
class SpareBuffer {
 public:
  static SpareBuffer& Instance() {
    static SpareBuffer instance;
    return instance;
  }
  std::vector<uint8_t> Take() {
    velmot::CriticalSectionLock lock(section_);
    std::vector<uint8_t> taken;
    taken.swap(spare_);
    return taken;
  }
  void Give(std::vector<uint8_t>& buffer) {
    buffer.clear();
    velmot::CriticalSectionLock lock(section_);
    if (buffer.capacity() > spare_.capacity() &&
        buffer.capacity() <= FileDownload::kMaxObjectSize) {
      spare_.swap(buffer);
    }
    std::vector<uint8_t>().swap(buffer);
  }

 private:
  velmot::CriticalSection section_;
  std::vector<uint8_t> spare_;
};

}  // namespace

FileDownload::FileDownload() : Orx_Thread(L"Velmot part download") { crc_.BuildTable(); }

// The thread body uses the members: it must end before they go away.
FileDownload::~FileDownload() {
  Stop(INFINITE);
  ReleasePartData();
}

void FileDownload::ReleasePartData() {
  partDataSize_ = 0;
  SpareBuffer::Instance().Give(partData_);
}

void FileDownload::Run() { RunAttempts(); }

void FileDownload::OnStopRequested() { Connection::Close(connectionState); }

void FileDownload::Detach() {
  velmot::CriticalSectionLock hold(listenerLock_);
  listener = nullptr;
}

void FileDownload::ReportProgress() {
  velmot::CriticalSectionLock hold(listenerLock_);
  if (listener) listener->OnDownloadProgress(this);
}

void FileDownload::ReportFinished() {
  velmot::CriticalSectionLock hold(listenerLock_);
  if (listener) listener->OnDownloadFinished(this);
}

void FileDownload::OnEscapedException(const std::exception* e) {
  Error::LogError(
      std::string(velmot::texts::kFileDownloadMalfunction) + (e ? e->what() : "unknown exception"),
      DL_MANAGER_WIN32_EXCEPTION, VELMOT_HERE);
  state = FILE_DOWNLOAD_IDLE;
  Connection::Close(connectionState);
}

void FileDownload::RunAttempts() {
  succeeded_ = false;
  state = FILE_DOWNLOAD_RUNNING;
  const std::wstring& localPath = connectionState.localPath;

  // A part file needs a folder: refuse before fetching bytes that could never be saved.
  if (!localPath.empty() && !HasFolder()) {
    Error::LogError(L"Part file path has no folder: " + localPath, ERROR_BAD_PATHNAME, VELMOT_HERE);
    ReleasePartData();
    state = FILE_DOWNLOAD_WRITE_FAILED;
    ReportProgress();
    return;
  }

  summary = Summary();
  connectionState.stopEvent = StopEvent();
  std::vector<AttemptResult> attempts;
  bool good = false;
  for (int attempt = 0;; ++attempt) {
    attempts.push_back(Attempt());
    good = attempts.back().good;
    // Without a sign-in the proxy refuses every attempt alike.
    if (good || !running || attempt >= kMaxExtraAttempts || attempts.back().proxyRefused) break;
  }
  Summarise(attempts);

  if (good) {
    Error::ReportMessage(L"Download: " + localPath + velmot::texts::kDownloadSuccessfulTail,
                         VELMOT_HERE);
    bool kept = localPath.empty();  // an in-memory fetch keeps its bytes for the caller
    if (!localPath.empty() && running) {
      if (!WritePartFile()) {
        state = FILE_DOWNLOAD_WRITE_FAILED;
        ReleasePartData();
        ReportProgress();
        return;
      }
      ReleasePartData();
      kept = true;
    }
    succeeded_ = kept;
  } else {
    // Bytes that did not pass must never reach the caller (an in-memory fetch has no CRC
    // to catch a cut-short body).
    ReleasePartData();
  }
  state = FILE_DOWNLOAD_FINISHED;
  ReportFinished();
}

void FileDownload::Summarise(const std::vector<AttemptResult>& attempts) {
  summary.good = !attempts.empty() && attempts.back().good;
  if (summary.good || attempts.empty()) return;
  bool unreachable = true;
  bool same = attempts.size() >= 2;
  for (const AttemptResult& a : attempts) {
    unreachable = unreachable && a.unreachable;
    summary.signInPage = summary.signInPage || a.webPage;
    summary.proxyRefused = summary.proxyRefused || a.proxyRefused;
    same =
        same && a.wholeBodyWrongCrc && a.crc == attempts[0].crc && a.length == attempts[0].length;
  }
  summary.unreachable = unreachable;
  summary.sameWrongCrc = same;
  summary.foundCrc = attempts[0].crc;
}

bool FileDownload::IsWebPage(const std::wstring& contentType, const std::vector<uint8_t>& body) {
  std::wstring type;
  for (wchar_t c : contentType) type += (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
  if (type.compare(0, 9, L"text/html") == 0) return true;
  size_t at = 0;
  while (at < body.size() && (body[at] == ' ' || (body[at] >= '\t' && body[at] <= '\r'))) ++at;
  auto startsWith = [&](const char* word) {
    for (size_t i = 0; word[i]; ++i) {
      if (at + i >= body.size()) return false;
      uint8_t c = body[at + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + 32);
      if (c != static_cast<uint8_t>(word[i])) return false;
    }
    return true;
  };
  return startsWith("<!doctype") || startsWith("<html");
}

FileDownload::AttemptResult FileDownload::Attempt() {
  ReleasePartData();
  // A status belongs to its attempt: an earlier 404 must not outlive a later attempt that
  // got no answer at all.
  connectionState.httpStatus = 0;
  if (!connection_.Connect(connectionState)) {
    AttemptResult failed;
    failed.unreachable = connectionState.unreachable;
    failed.proxyRefused = connectionState.proxyRefused;
    WaitForStop(kRetryWaitMs);
    return failed;
  }
  int64_t length = connectionState.contentLength;
  partData_ = SpareBuffer::Instance().Take();
  if (length > 0 && static_cast<uint64_t>(length) <= maxObjectSize) {
    partData_.reserve(static_cast<size_t>(length));
  }
  ReadOutcome outcome = ReadBody();
  AttemptResult result = Judge(outcome);
  Connection::Close(connectionState);
  return result;
}

FileDownload::ReadOutcome FileDownload::ReadBody() {
  ReadOutcome outcome;
  const std::wstring& localPath = connectionState.localPath;
  const int64_t length = connectionState.contentLength;
  if (length >= 0 && static_cast<uint64_t>(length) > maxObjectSize) {
    outcome.lastFailed = outcome.incomplete = true;
    outcome.error = ERROR_FILE_TOO_LARGE;
    Error::ReportError(L"Object of " + std::to_wstring(length) + L" bytes is larger than the " +
                           std::to_wstring(maxObjectSize) + L" bytes accepted for: " + localPath,
                       outcome.error, VELMOT_HERE);
    return outcome;
  }

  std::unique_ptr<uint8_t[]> buffer(new uint8_t[chunkSize]);
  for (;;) {
    HINTERNET request = connectionState.Request();
    if (!request || !running) break;
    if (paused) {
      WaitForStop(kPauseWaitMs);
      continue;
    }
    DWORD read = 0;
    outcome.anyRead = true;
    if (!InternetReadFile(request, buffer.get(), chunkSize, &read)) {
      outcome.error = GetLastError();
      outcome.lastFailed = true;
      outcome.unreachable = Connection::IsNetworkError(outcome.error);
      Error::ReportError(L"InternetReadFile Failed for: " + localPath, outcome.error, VELMOT_HERE);
      break;
    }
    if (read == 0) {
      // A host that closes early reads as a clean end: only the announced length tells.
      if (length >= 0 && partData_.size() < static_cast<uint64_t>(length)) {
        outcome.lastFailed = outcome.incomplete = true;
        outcome.error = ERROR_INTERNET_CONNECTION_ABORTED;
        Error::ReportError(L"Body ended after " + std::to_wstring(partData_.size()) + L" of " +
                               std::to_wstring(length) + L" bytes for: " + localPath,
                           outcome.error, VELMOT_HERE);
        break;
      }
      Error::ReportMessage(L"Finished file: " + localPath, VELMOT_HERE);
      break;
    }
    if (!Append(buffer.get(), read, outcome)) break;
    ReportProgress();
  }
  return outcome;
}

bool FileDownload::Append(const uint8_t* bytes, DWORD count, ReadOutcome& outcome) {
  // The CRC takes a 32-bit length, so no object may exceed that either.
  const uint64_t limit = std::min<uint64_t>(maxObjectSize, 0xFFFFFFFFu);
  const uint64_t needed = partData_.size() + count;
  if (needed > limit) {
    outcome.lastFailed = outcome.incomplete = true;
    outcome.error = ERROR_FILE_TOO_LARGE;
    Error::ReportError(L"Object larger than the " + std::to_wstring(limit) +
                           L" bytes accepted for: " + connectionState.localPath,
                       outcome.error, VELMOT_HERE);
    return false;
  }
  if (needed > partData_.capacity()) {
    // Geometric growth when the length was not announced, never beyond the limit.
    uint64_t grown = std::max<uint64_t>(needed, 2 * static_cast<uint64_t>(partData_.capacity()));
    partData_.reserve(static_cast<size_t>(std::min(grown, limit)));
  }
  partData_.insert(partData_.end(), bytes, bytes + count);
  partDataSize_ = partData_.size();
  return true;
}

FileDownload::AttemptResult FileDownload::Judge(const ReadOutcome& outcome) {
  AttemptResult result;
  const uint64_t n = partData_.size();
  uint32_t found = 0;
  bool good;
  if (outcome.lastFailed || !outcome.anyRead) {
    DWORD error = outcome.lastFailed ? outcome.error : GetLastError();
    Error::LogError(std::string("Error reading file, reconnecting."), error, VELMOT_HERE);
    // A failed read is a failed attempt whatever it received: with no CRC to check, an
    // empty result would otherwise pass for an empty document. A stop before the first
    // read is no failure; the owner that stopped the worker takes nothing from it.
    good = !outcome.lastFailed && n == 0 && expectedCrc == 0;
    result.unreachable = outcome.unreachable;
  } else if (n == 0) {
    good = expectedCrc == 0;
  } else if (expectedCrc == 0) {
    // Nothing to check the bytes against: a sign-in page must not pass for the object.
    good = !IsWebPage(connectionState.contentType, partData_);
    if (!good) {
      result.webPage = true;
      Error::ReportMessage(
          L"Response is a web page, not the object, for: " + connectionState.objectPath,
          VELMOT_HERE);
      return result;
    }
  } else {
    found = crc_.Compute(partData_.data(), static_cast<uint32_t>(n));
    good = found == static_cast<uint32_t>(expectedCrc);
    if (!good) {
      result.wholeBodyWrongCrc = true;
      result.crc = found;
      result.length = n;
      result.webPage = IsWebPage(connectionState.contentType, partData_);
    }
  }
  result.good = good;
  if (!good) {
    Error::ReportError(L"Download: " + connectionState.localPath + L" incorrect CRC. Expected: " +
                           std::to_wstring(expectedCrc) + L" found: " + Signed(found) +
                           L" bytes read: " + Signed(static_cast<uint32_t>(n)) +
                           L"Retrying download",
                       DL_MANAGER_CRC_INCORRECT, VELMOT_HERE);
  }
  return result;
}

bool FileDownload::HasFolder() const {
  return connectionState.localPath.find_first_of(L"/\\") != std::wstring::npos;
}

bool FileDownload::WritePartFile() {
  if (partData_.empty()) return false;
  const std::wstring& localPath = connectionState.localPath;
  size_t cut = localPath.find_last_of(L"/\\");
  if (cut == std::wstring::npos) {
    Error::LogError(L"Part file path has no folder: " + localPath, ERROR_BAD_PATHNAME, VELMOT_HERE);
    return false;
  }
  // The folder keeps its trailing separator, as it appears in the record.
  std::wstring folder = localPath.substr(0, cut + 1);
  if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
    // One level only: a missing parent means the work folder itself is gone.
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
      VELMOT_LOG_LAST_ERROR(L"Unable to create directory: " + folder);
      return false;
    }
  }

  velmot::FileHandle file(CreateFileW(localPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    VELMOT_LOG_LAST_ERROR(L"Couldn't create part file: " + localPath);
    return false;
  }
  const DWORD size = static_cast<DWORD>(partData_.size());
  DWORD written = 0;
  BOOL ok = WriteFile(file.Get(), partData_.data(), size, &written, nullptr);
  DWORD error = ok ? ERROR_HANDLE_DISK_FULL : GetLastError();
  if (ok && written == size) return true;

  Error::LogError(std::string("Couldn't write part file"), error, VELMOT_HERE);
  // A part file on disk must be whole: a broken one is removed, not left to be trusted.
  file.Reset();
  velmot::CriticalSectionLock hold(listenerLock_);
  if (listener) listener->OnDeletingOwnFile(this, localPath);
  if (!DeleteFileW(localPath.c_str()) && listener) listener->OnOwnFileKept(this, localPath);
  return false;
}
