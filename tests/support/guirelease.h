// One release published on the test servers for the whole-program window tests: a catalogue
// entry at the web service, its CRC info document and parts in a file-host namespace, and
// a folder for the program. The release name is unique per test run.
#pragma once

#include "support/testenv.h"
#include "support/testservers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// One release published on the test servers: a catalogue entry at the web service and
// its CRC info document and parts in a file-host namespace; the program lives in folder.
class GuiRelease {
 public:
  explicit GuiRelease(const wchar_t* stem);
  ~GuiRelease();

  void AddFile(const std::string& listed, const std::vector<uint8_t>& bytes);
  // Setup.exe (the fake setup), then VelmotData.bin of dataBytes random bytes from seed.
  void AddSetupAndData(size_t dataBytes, unsigned seed);
  void Publish(int delayMs = 0);
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

  // Every part file in the work folder holds exactly the bytes of its part.
  ::testing::AssertionResult PartFilesAreIntact(const std::string& localName,
                                                size_t firstPart) const;

  std::wstring name;
  FileHostNamespace host;
  // The file host's name the web service hands out; empty: the host itself (a test puts
  // a LinkRelay's Host() here to fetch through an emulated link).
  std::wstring hostName;
  TempFolder folder;
  std::wstring workFolder;
  std::string document = "x";
  std::vector<std::vector<uint8_t>> parts;
  std::unique_ptr<ServiceRelease> service;
};

class DmProcess;

// Starts program (the release's, see DmProcess) and waits for its window.
::testing::AssertionResult StartedWithWindow(DmProcess& program, const GuiRelease& release,
                                             DWORD timeoutMs = 30000);

}  // namespace testsupport
