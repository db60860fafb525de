#include "support/guirelease.h"

#include "base/stringutils.h"
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

GuiRelease::GuiRelease(const wchar_t* stem, const std::string& blobPrefix)
    : name(UniqueRelease(stem)),
      folder(L"gui"),
      workFolder(WorkFolderOf(name)),
      blobs(blobPrefix.empty() ? nullptr : new BlobContainer()),
      blobPrefix(blobPrefix) {}

GuiRelease::~GuiRelease() { RemoveTree(workFolder); }

void GuiRelease::AddFile(const std::string& listed, const std::vector<uint8_t>& bytes) {
  fileParts[listed] = {parts.size(), 0};
  for (size_t k = 0; k * kPart < bytes.size(); ++k) {
    parts.push_back(PartOf(bytes, k));
    ++fileParts[listed].second;
    if (blobs) {
      blobs->PutBlob(PartObject(listed, k), parts.back());
    } else {
      host.PutObject(PartObject(listed, k), parts.back());
    }
  }
  document += ";" + CRCInfoEntryText(listed, bytes);
}

std::vector<uint8_t> GuiRelease::AddSetupAndData(size_t dataBytes, unsigned seed,
                                                 const std::string& data) {
  AddFile("Setup.exe", FakeSetupBytes());
  std::vector<uint8_t> bytes = RandomBytes(dataBytes, seed);
  AddFile(data, bytes);
  return bytes;
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

void GuiRelease::Publish(int delayMs, const nlohmann::json& storageExtra) {
  nlohmann::json descriptor = {{"product_code", "7"}, {"company_name", "Velmot Test"}};
  if (blobs) {
    blobs->PutBlob(DocumentObject(), document);
    descriptor["storage"] = blobs->Storage(blobPrefix);
    descriptor["storage"].update(storageExtra);
  } else {
    host.PutObject(DocumentObject(), document);
    descriptor.update({{"download_subdir", Narrow(host.Name()) + "/rel"},
                       {"host_name", Narrow(hostName.empty() ? host.Host() : hostName)},
                       {"SAS", ""}});
  }
  if (delayMs == 0) {
    service.reset(new ServiceRelease(Narrow(name), descriptor));
  } else {
    nlohmann::json respond = {{"status", 200}, {"body", descriptor.dump()}, {"delayMs", delayMs}};
    service.reset(new ServiceRelease(Narrow(name), {{"respond", respond}}));
  }
}

std::vector<bool> GuiRelease::RegionsHeld(const std::string& listed) const {
  const std::vector<uint8_t> file = ReadFileBytes(LocalPath(listed) + L".merging");
  std::vector<bool> held(fileParts.at(listed).second);
  for (size_t k = 0; k < held.size(); ++k) {
    const std::vector<uint8_t>& part = Part(listed, k);
    const size_t at = k * kPart;
    held[k] =
        file.size() >= at + part.size() && std::equal(part.begin(), part.end(), file.begin() + at);
  }
  return held;
}

size_t GuiRelease::DownloadRequests() const {
  // The name is letters and digits: the form carries it as it is.
  const std::string form = "ReleaseName=" + Narrow(name);
  size_t n = 0;
  for (const auto& request : ServiceRequestsOf("RequestDownload", form)) {
    const std::string body = Base64Decode(request.value("bodyBase64", ""));
    n += body.size() >= form.size() &&
         body.compare(body.size() - form.size(), form.size(), form) == 0;
  }
  return n;
}

std::wstring GuiRelease::ModulePath() const {
  return Backslashed(DownloadFolder() + L"/" + ExeName());
}

bool GuiRelease::SetupStarted(DWORD waitMs) const {
  const std::wstring marker = DownloadFolder() + L"/" + kSetupMarker;
  return Eventually([&] { return FileExists(marker); }, waitMs);
}

void GuiRelease::KeepWorkFolder() const {
  CreateDirectoryW(workFolder.c_str(), nullptr);
  WriteFileBytes(workFolder + L"/kept.txt", {'k'});
}

::testing::AssertionResult GuiRelease::PartFilesAreIntact(const std::string& listed) const {
  for (size_t k = 0; k < fileParts.at(listed).second; ++k) {
    const std::wstring path = PartPath(listed, k);
    if (FileExists(path) && ReadFileBytes(path) != Part(listed, k)) {
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
