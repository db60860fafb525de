// A download job's surroundings for the manager's tests: a file-host namespace holding the
// release's objects (CRC info document and parts), a download folder, a work folder path,
// and helpers for bytes, CRCs and files.
#pragma once

#include "download/job/downloadmanager.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed);
// The size the CRC info document cuts files into parts by, and part k of a file's bytes
// (empty past the end).
constexpr size_t kPart = DownloadManager::kPartSize;
std::vector<uint8_t> PartOf(const std::vector<uint8_t>& bytes, size_t k);
int32_t CrcOf(const uint8_t* data, size_t n);
int32_t CrcOf(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFileBytes(const std::wstring& path);
// Throws when the file cannot be made or does not take every byte.
void WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::wstring& path);
// The path with backslashes for slashes, as the program shows folders to the user.
std::wstring Backslashed(std::wstring path);
// The names of the entries directly in folder ("." and ".." left out), sorted; with
// filesOnly, only the files'. Empty for a missing folder.
std::vector<std::wstring> NamesIn(const std::wstring& folder, bool filesOnly = false);
// The text log the program writes beside itself in folder (empty when there is none).
std::string TextLogIn(const std::wstring& folder);
// Whether the bytes of the file at path, from offset on for the part's length, hold the
// part's last 4 KiB up to its last byte that is not zero (a part is written in one piece once
// whole): cheap enough to poll while the program writes the file. A merging file is zeros
// until its parts come, so zeros prove nothing, and a part of nothing but zeros is never
// found this way.
bool RegionEndsWith(const std::wstring& path, uint64_t offset, const std::vector<uint8_t>& part);
// The file's size; false if it is not there.
bool FileSize(const std::wstring& path, uint64_t& size);
// The folder this test program runs from (BUILD/tests), without a trailing separator.
std::wstring TestProgramFolder();
// The bytes of BUILD/tests/fakesetup.exe, which writes kSetupMarker into its working folder.
std::vector<uint8_t> FakeSetupBytes();
extern const wchar_t kSetupMarker[];
// Written by fakesetup.exe before kSetupMarker: its priority class as a decimal number.
extern const wchar_t kSetupPriorityRecord[];

// "name\r\nsize\r\ncrc0\r\ncrc1...\r\n" for the bytes, cut into 10,000,000-byte parts.
std::string CRCInfoEntryText(const std::string& name, const std::vector<uint8_t>& bytes);
// The same entry as the manager reads it: the name, the size and the CRC lines.
CRCInfoEntry CRCInfoEntryOf(const std::string& name, const std::vector<uint8_t>& bytes);

class DownloadJob {
 public:
  static constexpr const char* kListName = "Velmot.txt";
  static constexpr const char* kProductCode = "123";

  DownloadJob();

  // Publishes the parts of a file under its listed name and adds it to the document.
  void AddFile(const std::string& name, const std::vector<uint8_t>& bytes,
               bool publishParts = true);
  // Adds a raw entry text (after a ";") to the document.
  void AddRawEntry(const std::string& text) { document_ += ";" + text; }
  // Puts the CRC info document on the host.
  void PublishList();
  const std::string& Document() const { return document_; }

  // The object path relative to the namespace: "rel/<k>_<name>" or the list.
  static std::string PartObject(size_t k, const std::string& name);
  static std::string ListObject() { return std::string("rel/") + kListName; }

  // Descriptor and suffix for this job's host and folder.
  void Describe(DownloadManager& manager) const;
  void Start(DownloadManager& manager) const;
  std::wstring LocalPath(const DownloadManager& manager, const std::string& name) const;
  std::wstring PartPath(const DownloadManager& manager, const std::string& name, size_t k) const;
  // The name a listed file gets on disk in this job (the product code as its suffix).
  static std::wstring LocalName(const std::string& listed);
  // True once the started fake setup has written its marker into the download folder (and
  // so has ended: a child still running would keep the test's output open).
  bool SetupStarted(unsigned waitMs = 20000) const;
  // Requests the host saw for an object.
  size_t RequestCount(const std::string& relative) const { return host.Requests(relative).size(); }

  testsupport::FileHostNamespace host;
  testsupport::TempFolder root;
  std::wstring downloadFolder;
  std::wstring workFolder;

 private:
  std::string document_ = "x";
};

// The URLs in the browser log, read through drive Z:; given a folder, only those opened by a
// program running in it (a program the test started there), not by tests run beside it.
std::vector<std::string> BrowserLog(const std::wstring& openedIn = L"");
// How often the browser log shows the program's support page (opened in the folder, if given).
size_t SupportPageOpenings(const std::wstring& openedIn = L"");

}  // namespace testsupport
