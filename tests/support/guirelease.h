// One release published on the test servers for the whole-program window tests: a catalogue
// entry at the web service, its CRC info document and parts in a file-host namespace, and
// a folder for the program. The release name is unique per test run.
#pragma once

#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// One release published on the test servers: a catalogue entry at the web service and
// its CRC info document and parts in a file-host namespace (or a blob container); the
// program lives in folder.
class GuiRelease {
 public:
  // With a blobPrefix the parts and the document go to a fresh container of the blob
  // storage emulator under it instead of the file host, and the catalogue entry names the
  // container (the service signs the token).
  explicit GuiRelease(const wchar_t* stem, const std::string& blobPrefix = "");
  ~GuiRelease();

  void AddFile(const std::string& listed, const std::vector<uint8_t>& bytes);
  // Setup.exe (the fake setup), then data of dataBytes random bytes from seed; returns them.
  std::vector<uint8_t> AddSetupAndData(size_t dataBytes, unsigned seed,
                                       const std::string& data = "VelmotData.bin");
  // The service's answer held back delayMs (file host only); storageExtra: more members of
  // the catalogue entry's "storage" in a blob container (e.g. another account key).
  void Publish(int delayMs = 0, const nlohmann::json& storageExtra = nlohmann::json::object());
  // The service refuses the release with this text.
  void PublishRefusal(const std::string& text) {
    service.reset(new ServiceRelease(Narrow(name), {{"error_info", text}}));
  }
  std::wstring ExeName() const { return name + L"_b1.exe"; }
  std::wstring Caption() const { return name + L" download manager"; }
  std::wstring DownloadFolder() const { return folder.Path(); }
  // The name a listed file gets on disk ("VelmotData.bin" -> "VelmotD_7ata.bin"), and its
  // path in the download folder and (part k) in the work folder.
  static std::wstring LocalName(const std::string& listed);
  std::wstring LocalPath(const std::string& listed) const;
  std::wstring PartPath(const std::string& listed, size_t k) const;
  // Where the store keeps the document and part k of a listed file: "rel/..." in the file
  // host's namespace, or a blob name under the prefix.
  std::string DocumentObject() const { return Object(Narrow(name) + ".txt"); }
  std::string PartObject(const std::string& listed, size_t k) const {
    return Object(std::to_string(k) + "_" + listed);
  }
  const std::vector<uint8_t>& Part(const std::string& listed, size_t k) const {
    return parts[fileParts.at(listed).first + k];
  }
  // For each part of a listed file, whether its region of the merging file in the download
  // folder holds its bytes.
  std::vector<bool> RegionsHeld(const std::string& listed) const;
  // The download requests the web service saw that named this release (as their last field).
  size_t DownloadRequests() const;
  // The program's path as the system gives it (backslashes), for a window built in the
  // test process.
  std::wstring ModulePath() const;
  // True once the fake setup has written its marker into the download folder (the shell
  // starts it asynchronously), false when waitMs passed first.
  bool SetupStarted(DWORD waitMs) const;
  // Puts a file of the test's own into the work folder before the program starts: the
  // folder then outlives the setup start, so that even a finished job's close uploads its
  // log and writes logfile.txt beside the program (when it holds errors).
  void KeepWorkFolder() const;

  // Every part file of a listed file in the work folder holds exactly the bytes of its part.
  ::testing::AssertionResult PartFilesAreIntact(const std::string& listed) const;

  std::wstring name;
  FileHostNamespace host;
  // The file host's name the web service hands out; empty: the host itself (a test puts
  // a LinkRelay's Host() here to fetch through an emulated link).
  std::wstring hostName;
  TempFolder folder;
  std::wstring workFolder;
  std::string document = "x";
  std::vector<std::vector<uint8_t>> parts;
  // Of each listed file: the index of its first part in parts, and its number of parts.
  std::map<std::string, std::pair<size_t, size_t>> fileParts;
  std::unique_ptr<BlobContainer> blobs;
  std::string blobPrefix;
  std::unique_ptr<ServiceRelease> service;

 private:
  std::string Object(const std::string& file) const {
    return (blobs ? blobPrefix : std::string("rel")) + "/" + file;
  }
};

class DmProcess;

// Starts program (the release's, see DmProcess) and waits for its window.
::testing::AssertionResult StartedWithWindow(DmProcess& program, const GuiRelease& release,
                                             DWORD timeoutMs = 30000);

}  // namespace testsupport
