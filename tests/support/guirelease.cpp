#include "support/guirelease.h"

#include "base/stringutils.h"
#include "download/job/downloadmanager.h"
#include "download/store/crcinforeader.h"
#include "support/dmprocess.h"
#include "support/downloadjob.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace testsupport {

namespace {

std::wstring UniqueRelease(const wchar_t* stem) {
  static int counter = 0;
  return std::wstring(stem) + std::to_wstring(GetCurrentProcessId()) + L"x" +
         std::to_wstring(GetTickCount64() % 100000) + L"x" + std::to_wstring(counter++);
}

}  // namespace

GuiRelease::GuiRelease(const wchar_t* stem)
    : name(UniqueRelease(stem)), folder(L"gui"), workFolder(WorkFolderOf(name)) {}

GuiRelease::~GuiRelease() { RemoveTree(workFolder); }

void GuiRelease::AddFile(const std::string& listed, const std::vector<uint8_t>& bytes) {
  for (size_t at = 0, k = 0; at < bytes.size(); at += DownloadManager::kPartSize, ++k) {
    const size_t n = std::min<size_t>(DownloadManager::kPartSize, bytes.size() - at);
    parts.emplace_back(bytes.begin() + at, bytes.begin() + at + n);
    host.PutObject(DownloadJob::PartObject(k, listed), parts.back());
  }
  document += ";" + CRCInfoEntryText(listed, bytes);
}

void GuiRelease::AddSetupAndData(size_t dataBytes, unsigned seed) {
  AddFile("Setup.exe", FakeSetupBytes());
  AddFile("VelmotData.bin", RandomBytes(dataBytes, seed));
}

std::wstring GuiRelease::LocalName(const std::string& listed) {
  return CRCInfoReader::LocalName(StringUtils::ToWide(listed), L"_7");
}

std::wstring GuiRelease::LocalPath(const std::string& listed) const {
  return DownloadFolder() + L"/" + LocalName(listed);
}

std::wstring GuiRelease::PartPath(const std::string& listed, size_t k) const {
  return workFolder + L"/" + LocalName(listed) + L"part" + std::to_wstring(k);
}

void GuiRelease::Publish(int delayMs) {
  host.PutObject("rel/" + Narrow(name) + ".txt", document);
  nlohmann::json descriptor = {{"product_code", "7"},
                               {"company_name", "Velmot Test"},
                               {"download_subdir", Narrow(host.Name()) + "/rel"},
                               {"host_name", Narrow(hostName.empty() ? host.Host() : hostName)},
                               {"SAS", ""}};
  if (delayMs == 0) {
    service.reset(new ServiceRelease(Narrow(name), descriptor));
  } else {
    nlohmann::json respond = {{"status", 200}, {"body", descriptor.dump()}, {"delayMs", delayMs}};
    service.reset(new ServiceRelease(Narrow(name), {{"respond", respond}}));
  }
}

std::wstring GuiRelease::ModulePath() const {
  std::wstring path = DownloadFolder() + L"/" + ExeName();
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

bool GuiRelease::SetupStarted(DWORD waitMs) const {
  const std::wstring marker = DownloadFolder() + L"/" + kSetupMarker;
  return Eventually([&] { return FileExists(marker); }, waitMs);
}

void GuiRelease::KeepWorkFolder() const {
  CreateDirectoryW(workFolder.c_str(), nullptr);
  WriteFileBytes(workFolder + L"/kept.txt", {'k'});
}

::testing::AssertionResult GuiRelease::PartFilesAreIntact(const std::string& localName,
                                                          size_t firstPart) const {
  for (size_t k = 0; k + firstPart < parts.size(); ++k) {
    const std::wstring path = workFolder + L"/" + std::wstring(localName.begin(), localName.end()) +
                              L"part" + std::to_wstring(k);
    if (!FileExists(path)) continue;
    if (ReadFileBytes(path) != parts[firstPart + k]) {
      return ::testing::AssertionFailure() << "part " << k << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult StartedWithWindow(DmProcess& program, const GuiRelease& release,
                                             DWORD timeoutMs) {
  if (!program.Start()) return ::testing::AssertionFailure() << "the program did not start";
  if (program.FindWindowByCaption(release.Caption(), timeoutMs) == nullptr) {
    return ::testing::AssertionFailure() << "its window did not show";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace testsupport
