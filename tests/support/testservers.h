// Test-side control of the loopback test servers that tools/test-env starts
// (tests/servers): the fault-injecting file host and the reference web service.
// Both are steered through files: a test writes objects, behaviours and catalogue
// entries into its own namespace folder and reads back the servers' request logs.
// Environment (set by tools/test-env from BUILD/servers.env):
//   VELMOT_FILEHOST_NAME  host name of the file host (port 443, TLS, test CA)
//   VELMOT_FILEHOST_ROOT  its object folder (a Windows path, e.g. Z:/.../files)
//   VELMOT_SERVICE_ROOT   the web service's folder (catalogue.d/, uploads/, requests)
//   VELMOT_SERVICE_PORT   the web service's port on localhost
//   VELMOT_BLOB_NAME      host name of the blob storage emulator (Azurite, port 443)
//   VELMOT_BLOB_ACCOUNT   its account (the first path segment)
//   VELMOT_BLOB_WRITE_SAS a token for the test set-up to create containers and blobs
//   VELMOT_BLOB_DEBUG_LOG Azurite's debug log (every request), a Windows path
#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A namespace of the file host: a fresh folder /<ns>/ under the host's root, removed
// again on destruction. Object paths are given relative to it ("rel/0_Setup.exe") and
// come back from ObjectPath() as the absolute path the product requests ("/<ns>/rel/...").
class FileHostNamespace {
 public:
  FileHostNamespace();
  ~FileHostNamespace();
  FileHostNamespace(const FileHostNamespace&) = delete;
  FileHostNamespace& operator=(const FileHostNamespace&) = delete;

  std::wstring Host() const;                                   // VELMOT_FILEHOST_NAME
  const std::wstring& Name() const { return name_; }           // "<ns>", no slashes
  std::wstring ObjectPath(const std::string& relative) const;  // "/<ns>/" + relative

  void PutObject(const std::string& relative, const std::vector<uint8_t>& bytes);
  void PutObject(const std::string& relative, const std::string& bytes);
  void RemoveObject(const std::string& relative);

  // Misbehaviour for one object, per request: behaviour["attempts"] is a list applied to
  // the 1st, 2nd, ... request of that object; later requests use behaviour["then"] (or
  // behave normally), and a behaviour with neither applies to every request. Requests are
  // counted from the latest SetBehaviour of the object (writing it again restarts the count).
  // A step holds "status", "closeAfter", "brokenAfter", "corruptAt", "stallAfter"/"stallMs",
  // "rate", "body", "bodyFile", "contentType", "hugeHeaders", "garbage", "noLength", "reset",
  // "ignoreRange", "etag" or "storageError". Every object answer carries ETag and
  // Accept-Ranges: bytes; a Range gets 206 (416 past the end), an If-Match naming another ETag
  // 412. What each does and what WinINet makes of it: docs/test-servers.md.
  void SetBehaviour(const std::string& relative, const nlohmann::json& behaviour);

  // The query string (without "?") every request of this namespace must carry; otherwise 403.
  void RequireQuery(const std::string& query);

  // An outage of the namespace for the next ms milliseconds: every request is logged with
  // "refused": true and its connection reset without an answer.
  void GoDown(DWORD ms);

  // Requests the host saw for this namespace, oldest first; each
  // {"method","path","query","headers":{lower-case name: value},"rawHeaders":[name,value,...]}.
  std::vector<nlohmann::json> Requests() const;
  // Only those whose path (without query), as sent or percent-decoded, equals
  // ObjectPath(relative).
  std::vector<nlohmann::json> Requests(const std::string& relative) const;
  // What the host answered, one record per request once its answer has ended (in the order
  // the answers ended): {"time" (the request's), "path", "decodedPath", "range", "ifMatch",
  // "status" (0: no HTTP answer), "etag", "objectLength", "start" (object byte the body
  // begins at, null when the body is not the object's), "length", "sent" (body bytes
  // written), "complete", "corruptAt"?}; see tests/servers/controls.js.
  std::vector<nlohmann::json> Answers() const;

 private:
  std::wstring name_;
  std::wstring folder_;
};

// A catalogue entry of the reference web service, removed on destruction.
// entry: {"product_code","company_name","download_subdir","host_name","SAS"} or a raw
// answer {"respond":{"status":N,"body":"...","delayMs":M,"headers":{...}}}.
class ServiceRelease {
 public:
  ServiceRelease(const std::string& releaseName, const nlohmann::json& entry);
  ~ServiceRelease();
  ServiceRelease(const ServiceRelease&) = delete;
  ServiceRelease& operator=(const ServiceRelease&) = delete;

 private:
  std::wstring file_;
};

// A container of the blob storage emulator, fresh per test ("t" + a unique number) and
// deleted with its blobs on destruction. Blobs are written with the set-up's write token;
// the product reads them with the read-only token the web service issues for a catalogue
// entry with Storage(prefix).
class BlobContainer {
 public:
  BlobContainer();
  ~BlobContainer();
  BlobContainer(const BlobContainer&) = delete;
  BlobContainer& operator=(const BlobContainer&) = delete;

  const std::string& Name() const { return name_; }
  // Creates or replaces a block blob; throws when the emulator does not answer 201.
  void PutBlob(const std::string& blobName, const std::vector<uint8_t>& bytes);
  void PutBlob(const std::string& blobName, const std::string& bytes);
  // The catalogue entry's "storage" member for this container and a prefix.
  nlohmann::json Storage(const std::string& prefix) const;
  // GET requests of one blob that reached the emulator (from its debug log), and the
  // answers' status codes in the order they were sent.
  size_t ReadCount(const std::string& blobName) const;
  std::vector<int> ReadStatuses(const std::string& blobName) const;

 private:
  int Send(const wchar_t* verb, const std::string& pathAndQuery, const std::string& headers,
           const std::string& body);
  std::string name_;
};

// Requests the web service saw, oldest first; each {"method","path","headers":{...},
// "rawHeaders":[...],"bodyBase64","bodyLength","time"}.
std::vector<nlohmann::json> ServiceRequests();
// Only those with this Method header (any, when empty) whose decoded body holds bodyPiece.
std::vector<nlohmann::json> ServiceRequestsOf(const std::string& method,
                                              const std::string& bodyPiece = "");
// Only those that carried this ComputerId header.
std::vector<nlohmann::json> ServiceRequestsFrom(const std::string& computerId);
// The header names of a request (of either server) that are among names, as sent: in the
// order and spelling of its rawHeaders.
std::vector<std::string> SentHeaderNames(const nlohmann::json& request,
                                         const std::vector<std::string>& names);
// Stored log uploads for one ComputerId: each the decoded UTF-16LE JSON text as UTF-8.
std::vector<std::string> ServiceUploads(const std::string& computerId);
// Stored log uploads of every ComputerId that arrived between the two times (ms since 1970,
// UTC, as the service names them), by ComputerId and then oldest first.
std::vector<std::string> ServiceUploadsBetween(uint64_t fromMs, uint64_t toMs);

// A text unique to this call in this test run, for paths and ids that parallel test
// processes must not share: prefix-pid-ticks-counter.
std::string UniqueId(const std::string& prefix);
// Decodes the logs' base64 bodies.
std::string Base64Decode(const std::string& text);

// The web service endpoint the product is built with.
std::wstring ServiceUrl();

}  // namespace testsupport
