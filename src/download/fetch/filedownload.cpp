#include "download/fetch/filedownload.h"

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
// A host too busy to answer is asked again after 1, 2, 4, ... s, as blob storage asks.
constexpr DWORD kBusyFirstWaitMs = 1000;
constexpr DWORD kBusyMaxWaitMs = 8000;
// The first read of a body, before its rate is known, and the smallest.
constexpr DWORD kFirstReadBytes = 0x10000;
constexpr DWORD kSmallestReadBytes = 0x4000;

// CRC values and the byte count are written as their signed 32-bit readings.
std::wstring Signed(uint32_t value) { return std::to_wstring(static_cast<int32_t>(value)); }

// Spare body buffers for the whole process. Parts are fetched by fresh workers; handing a
// finished part's buffer on spares every new part the cost of touching 10 MB of fresh
// pages, which under Wine roughly halved the throughput. At most one buffer per part in
// flight is ever made, so keeping the idle ones adds nothing to the peak; none is larger
// than the default object limit.
class SpareBuffer {
 public:
  static constexpr size_t kMaxKept = 16;

  static SpareBuffer& Instance() {
    static SpareBuffer instance;
    return instance;
  }
  std::vector<uint8_t> Take() {
    velmot::CriticalSectionLock lock(section_);
    std::vector<uint8_t> taken;
    if (!spares_.empty()) {
      taken.swap(spares_.back());
      spares_.pop_back();
    }
    return taken;
  }
  void Give(std::vector<uint8_t>& buffer) {
    buffer.clear();
    velmot::CriticalSectionLock lock(section_);
    if (buffer.capacity() > 0 && buffer.capacity() <= FileDownload::kMaxObjectSize &&
        spares_.size() < kMaxKept) {
      spares_.emplace_back();
      spares_.back().swap(buffer);
    }
    std::vector<uint8_t>().swap(buffer);
  }

 private:
  velmot::CriticalSection section_;
  std::vector<std::vector<uint8_t>> spares_;
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

bool FileDownload::StalledFor(DWORD ms) const {
  const uint64_t last = lastByteTick_.load();
  return last != 0 && GetTickCount64() - last >= ms;
}

void FileDownload::EndAttempt() {
  endedByOwner_ = true;
  Connection::Close(connectionState);
}

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
  int failures = 0;
  DWORD busyWaitMs = kBusyFirstWaitMs;
  while (WaitWhilePaused()) {
    attempts.push_back(Attempt());
    const AttemptResult& last = attempts.back();
    good = last.good;
    // Without a sign-in the proxy refuses every attempt alike. An attempt that brought new
    // bytes is no failure: the next one goes on from them.
    if (good || !running || last.proxyRefused) break;
    if (!last.progressed && ++failures > kMaxExtraAttempts) break;
    if (last.busy) {
      WaitForStop(busyWaitMs);
      busyWaitMs = std::min(busyWaitMs * 2, kBusyMaxWaitMs);
    }
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
  }
  state = FILE_DOWNLOAD_FINISHED;
  // Bytes that did not pass never reach the caller as the object (an in-memory fetch has no
  // CRC to catch a cut-short body); the owner may take them to resume from.
  ReportFinished();
  if (!good) ReleasePartData();
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

bool FileDownload::TakeKeptBytes(KeptBytes& kept) {
  if (!CanResume()) return false;
  kept.bytes.swap(partData_);
  kept.etag = etag_;
  kept.objectLength = objectLength_;
  StartOver();
  return true;
}

void FileDownload::GiveKeptBytes(KeptBytes&& kept) {
  partData_.swap(kept.bytes);
  partDataSize_ = partData_.size();
  etag_ = kept.etag;
  objectLength_ = kept.objectLength;
  mostReceived_ = partData_.size();
}

bool FileDownload::WaitWhilePaused() {
  while (paused && running) WaitForStop(kPauseWaitMs);
  return running;
}

bool FileDownload::CanResume() const {
  return !partData_.empty() && !etag_.empty() && objectLength_ > partData_.size();
}

void FileDownload::StartOver() {
  partData_.clear();
  partDataSize_ = 0;
  etag_.clear();
  objectLength_ = 0;
}

void FileDownload::TakeObject() {
  etag_ = connectionState.etag;
  const int64_t length = connectionState.contentLength;
  objectLength_ = length > 0 ? static_cast<uint64_t>(length) : 0;
}

FileDownload::AttemptResult FileDownload::Refused() {
  AttemptResult failed;
  failed.unreachable = connectionState.unreachable;
  failed.proxyRefused = connectionState.proxyRefused;
  failed.busy = connectionState.serverBusy;
  if (failed.busy) ++busyAnswers;
  if (connectionState.objectChanged) {
    // 412: the object is no longer the one the kept bytes came from.
    Error::ReportMessage(
        L"The object changed since its first bytes came; fetching it again "
        L"from its first byte: " +
            connectionState.localPath,
        VELMOT_HERE);
    StartOver();
  }
  WaitForStop(kRetryWaitMs);
  return failed;
}

FileDownload::AttemptResult FileDownload::Attempt() {
  // A status belongs to its attempt: an earlier 404 must not outlive a later attempt that
  // got no answer at all.
  connectionState.httpStatus = 0;
  if (partData_.capacity() == 0) partData_ = SpareBuffer::Instance().Take();
  const bool resuming = CanResume();
  if (!resuming) StartOver();
  connectionState.resumeFrom = resuming ? partData_.size() : 0;
  connectionState.ifMatch = resuming ? etag_ : std::wstring();
  endedByOwner_ = false;
  if (!connection_.Connect(connectionState)) return Refused();
  if (resuming && !AcceptResumed()) {
    Connection::Close(connectionState);
    WaitForStop(kRetryWaitMs);
    return AttemptResult();
  }
  if (!resuming) TakeObject();
  if (objectLength_ > 0 && objectLength_ <= maxObjectSize) {
    partData_.reserve(static_cast<size_t>(objectLength_));
  }
  ReadOutcome outcome = ReadBody();
  AttemptResult result = Judge(outcome);
  if (outcome.complete) {
    Connection::Finish(connectionState);
  } else {
    Connection::Close(connectionState);
  }
  return result;
}

// A 206 must continue the kept bytes of the same object exactly; a 200 is a host that
// ignores ranges (or a proxy that strips them): its whole body starts the object over.
bool FileDownload::AcceptResumed() {
  const uint64_t kept = partData_.size();
  const std::wstring& path = connectionState.localPath;
  if (connectionState.httpStatus.load() == 200) {
    Error::ReportMessage(L"The file host sent the whole object instead of its bytes from " +
                             std::to_wstring(kept) + L" on; fetching it from its first byte: " +
                             path,
                         VELMOT_HERE);
    StartOver();
    TakeObject();
    return true;
  }
  const bool sameObject = connectionState.etag.empty() || connectionState.etag == etag_;
  if (connectionState.rangeFirst == static_cast<int64_t>(kept) &&
      connectionState.rangeTotal == static_cast<int64_t>(objectLength_) && sameObject) {
    Error::ReportMessage(L"Resuming at byte " + std::to_wstring(kept) + L" of " +
                             std::to_wstring(objectLength_) + L": " + path,
                         VELMOT_HERE);
    return true;
  }
  Error::LogError(L"The file host answered the request for the bytes from " +
                      std::to_wstring(kept) + L" on with bytes from " +
                      std::to_wstring(connectionState.rangeFirst) + L" of " +
                      std::to_wstring(connectionState.rangeTotal) + L"; fetching it again: " + path,
                  ERROR_INVALID_DATA, VELMOT_HERE);
  StartOver();
  return false;
}

// About a quarter of a second of the line per read: Wine's InternetReadFile returns only
// once the whole buffer is filled (and loses what it held when the connection breaks),
// and progress, a pause and the stall check all wait for the read.
DWORD FileDownload::NextReadSize(uint64_t received, ULONGLONG started) const {
  const DWORD smallest = std::min<DWORD>(kSmallestReadBytes, chunkSize);
  if (received == 0) return std::min<DWORD>(kFirstReadBytes, chunkSize);
  const ULONGLONG elapsed = GetTickCount64() - started;
  const uint64_t quarter = elapsed == 0 ? chunkSize : received * 250 / elapsed;
  return static_cast<DWORD>(std::max<uint64_t>(smallest, std::min<uint64_t>(quarter, chunkSize)));
}

FileDownload::ReadOutcome FileDownload::ReadBody() {
  ReadOutcome outcome;
  const std::wstring& localPath = connectionState.localPath;
  // The whole object's length: the kept bytes and what this answer announces.
  const int64_t length =
      connectionState.contentLength < 0
          ? -1
          : static_cast<int64_t>(partData_.size()) + connectionState.contentLength;
  if (length >= 0 && static_cast<uint64_t>(length) > maxObjectSize) {
    outcome.lastFailed = outcome.incomplete = true;
    outcome.error = ERROR_FILE_TOO_LARGE;
    Error::ReportError(L"Object of " + std::to_wstring(length) + L" bytes is larger than the " +
                           std::to_wstring(maxObjectSize) + L" bytes accepted for: " + localPath,
                       outcome.error, VELMOT_HERE);
    return outcome;
  }
  // Under Wine a close from the owner does not end a blocked read: the request's own
  // receive time-out does.
  if (HINTERNET request = connectionState.Request()) {
    DWORD stall = stallMs;
    InternetSetOptionW(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &stall, sizeof(stall));
  }

  std::unique_ptr<uint8_t[]> buffer(new uint8_t[chunkSize]);
  const ULONGLONG started = GetTickCount64();
  uint64_t received = 0;
  lastByteTick_ = started;
  for (;;) {
    HINTERNET request = connectionState.Request();
    if (!running) break;
    if (!request || endedByOwner_) {
      ReadFailed(outcome, ERROR_INTERNET_TIMEOUT);
      break;
    }
    if (paused) {
      // The connection is given up; the resume asks for the rest.
      outcome.paused = true;
      break;
    }
    DWORD read = 0;
    outcome.anyRead = true;
    if (!InternetReadFile(request, buffer.get(), NextReadSize(received, started), &read)) {
      ReadFailed(outcome, endedByOwner_ ? ERROR_INTERNET_TIMEOUT : GetLastError());
      break;
    }
    if (read == 0) {
      // A host that closes early reads as a clean end: only the announced length tells.
      if (length >= 0 && partData_.size() < static_cast<uint64_t>(length)) {
        outcome.lastFailed = true;
        outcome.error = ERROR_INTERNET_CONNECTION_ABORTED;
        Error::ReportError(L"Body ended after " + std::to_wstring(partData_.size()) + L" of " +
                               std::to_wstring(length) + L" bytes for: " + localPath,
                           outcome.error, VELMOT_HERE);
        break;
      }
      outcome.complete = true;
      Error::ReportMessage(L"Finished file: " + localPath, VELMOT_HERE);
      break;
    }
    if (!Append(buffer.get(), read, outcome)) break;
    received += read;
    lastByteTick_ = GetTickCount64();
    ReportProgress();
  }
  lastByteTick_ = 0;
  return outcome;
}

void FileDownload::ReadFailed(ReadOutcome& outcome, DWORD error) {
  outcome.error = error;
  outcome.lastFailed = true;
  outcome.unreachable = Connection::IsNetworkError(outcome.error);
  if (endedByOwner_) {
    Error::ReportError(L"No byte came for " + std::to_wstring(stallMs / 1000) +
                           L" s; the attempt is ended for: " + connectionState.localPath,
                       outcome.error, VELMOT_HERE);
  } else {
    Error::ReportError(L"InternetReadFile Failed for: " + connectionState.localPath, outcome.error,
                       VELMOT_HERE);
  }
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
  if (outcome.paused) {
    result.progressed = true;
    return result;
  }
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
    if (outcome.incomplete) StartOver();
    // Bytes kept for the next attempt beyond any earlier attempt's are progress.
    result.progressed = !good && CanResume() && n > mostReceived_;
    mostReceived_ = std::max(mostReceived_, n);
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

bool FileDownload::WriteRegion() {
  velmot::FileHandle file;
  // A scanner or a backup tool that has the file open without sharing it for writing lets
  // go of it soon: a few short tries before the write counts as failed.
  for (int tries = 0; tries < 20; ++tries) {
    file.Reset(CreateFileW(regionFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file || GetLastError() != ERROR_SHARING_VIOLATION || WaitForStop(100)) break;
  }
  if (!file) {
    VELMOT_LOG_LAST_ERROR(L"Couldn't open the file to write a part into: " + regionFile);
    return false;
  }
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(regionOffset);
  const DWORD size = static_cast<DWORD>(partData_.size());
  DWORD written = 0;
  const BOOL ok = SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN) &&
                  WriteFile(file.Get(), partData_.data(), size, &written, nullptr);
  if (ok && written == size) return true;
  const DWORD error = ok ? ERROR_HANDLE_DISK_FULL : GetLastError();
  // A region written in part fails its CRC when the file is next checked: nothing to undo.
  Error::LogError(L"Couldn't write part into file: " + regionFile, error, VELMOT_HERE);
  return false;
}

bool FileDownload::WritePartFile() {
  if (partData_.empty()) return false;
  if (!regionFile.empty()) return WriteRegion();
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
