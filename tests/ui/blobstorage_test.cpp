// The real program against blob storage: velmot-dm.exe under Wine fetches a release from
// the blob storage emulator (Azurite, https on port 443 of a blobs-M.velmot.test name)
// with the read-only SAS token the reference web service issues for it. Faults Azurite
// cannot make stay with the file host's tests.
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include "resource.h"

#include "base/systemtexts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

using testing::HasSubstr;
using testsupport::DmProcess;

namespace {

const DWORD kWindowMs = 30000;
const char kPrefix[] = "velmot/rel 1";  // a space in the folder as well
const char kCode[] = "42";

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// A release in a fresh container: its parts and CRC info document, a catalogue entry at
// the web service that names the container (the service signs the token), and the
// program's folder.
class BlobRelease {
 public:
  explicit BlobRelease(const std::string& stem)
      : name(testsupport::UniqueId(stem)),
        folder(L"blob"),
        workFolder(testsupport::WorkFolderOf(Wide(name))) {}
  ~BlobRelease() { testsupport::RemoveTree(workFolder); }

  void AddFile(const std::string& listed, const std::vector<uint8_t>& bytes) {
    for (size_t at = 0, k = 0; at < bytes.size(); at += DownloadManager::kPartSize, ++k) {
      const size_t n = std::min<size_t>(DownloadManager::kPartSize, bytes.size() - at);
      parts[listed].emplace_back(bytes.begin() + at, bytes.begin() + at + n);
      blobs.PutBlob(PartBlob(listed, k), parts[listed].back());
    }
    files[listed] = bytes;
    document += ";" + testsupport::CRCInfoEntryText(listed, bytes);
  }
  // Setup.exe (the fake setup) and a data file of random bytes.
  void AddSetupAndData(const std::string& data, size_t dataBytes, unsigned seed) {
    AddFile("Setup.exe", testsupport::FakeSetupBytes());
    AddFile(data, testsupport::RandomBytes(dataBytes, seed));
  }
  // storageExtra: extra members of the catalogue entry's "storage" (e.g. another account key).
  void Publish(const nlohmann::json& storageExtra = nlohmann::json::object()) {
    blobs.PutBlob(DocumentBlob(), document);
    nlohmann::json storage = blobs.Storage(kPrefix);
    storage.update(storageExtra);
    service.reset(new testsupport::ServiceRelease(
        name, {{"product_code", kCode}, {"company_name", "Velmot Test"}, {"storage", storage}}));
  }
  static std::string PartBlob(const std::string& listed, size_t k) {
    return std::string(kPrefix) + "/" + std::to_string(k) + "_" + listed;
  }
  std::string DocumentBlob() const { return std::string(kPrefix) + "/" + name + ".txt"; }
  std::wstring ExeName() const { return Wide(name) + L"_b1.exe"; }
  std::wstring Caption() const { return Wide(name) + L" download manager"; }
  std::wstring Local(const std::string& file) const { return folder.Path() + L"/" + Wide(file); }

  std::string name;
  testsupport::BlobContainer blobs;
  testsupport::TempFolder folder;
  std::wstring workFolder;
  std::string document = "x";
  std::map<std::string, std::vector<std::vector<uint8_t>>> parts;
  std::map<std::string, std::vector<uint8_t>> files;
  std::unique_ptr<testsupport::ServiceRelease> service;
};

// Azurite writes its debug log a moment after it answers.
size_t ReadCountSettled(const BlobRelease& release, const std::string& blob, size_t atLeast) {
  testsupport::Eventually([&] { return release.blobs.ReadCount(blob) >= atLeast; }, 5000);
  Sleep(200);
  return release.blobs.ReadCount(blob);
}

// The program runs to its end by itself: both files of the release arrived whole, setup
// started and the work folder is gone.
void RunToSetup(BlobRelease& release) {
  DmProcess program(release.folder.Path(), release.ExeName());
  ASSERT_TRUE(program.Start());
  EXPECT_EQ(program.WaitForExit(120000), 0u);  // it closes itself once setup has started
  EXPECT_EQ(testsupport::ReadFileBytes(release.Local("Setup_42.exe")), release.files["Setup.exe"]);
  EXPECT_EQ(testsupport::ReadFileBytes(release.Local("Velmot D_42ata.bin")),
            release.files["Velmot Data.bin"]);
  const std::wstring marker = release.folder.Path() + L"/" + testsupport::kSetupMarker;
  EXPECT_TRUE(testsupport::Eventually([&] { return testsupport::FileExists(marker); }, 10000));
  EXPECT_FALSE(testsupport::FileExists(release.workFolder));
}

}  // namespace

TEST(BlobStorage, FreshJobDownloadsEveryPartOnceAndStartsSetup) {
  BlobRelease release("VelmotBlobFresh");
  release.AddSetupAndData("Velmot Data.bin", 21000000, 11);
  release.Publish();
  ASSERT_NO_FATAL_FAILURE(RunToSetup(release));

  // Every part once, each answered 200; the document at least twice (two copies must agree).
  for (size_t k = 0; k < 3; ++k) {
    const std::string blob = BlobRelease::PartBlob("Velmot Data.bin", k);
    EXPECT_EQ(release.blobs.ReadStatuses(blob), std::vector<int>{200}) << blob;
  }
  EXPECT_EQ(release.blobs.ReadStatuses(BlobRelease::PartBlob("Setup.exe", 0)),
            std::vector<int>{200});
  EXPECT_GE(release.blobs.ReadCount(release.DocumentBlob()), 2u);
}

TEST(BlobStorage, KilledMidDownloadRerunFetchesOnlyTheMissingParts) {
  BlobRelease release("VelmotBlobKill");
  const size_t kParts = 8;
  release.AddSetupAndData("VelmotData.bin", kParts * DownloadManager::kPartSize - 123, 12);
  release.Publish();
  const std::wstring merging = release.Local("VelmotD_42ata.bin") + L".merging";
  const auto& parts = release.parts["VelmotData.bin"];
  {
    DmProcess program(release.folder.Path(), release.ExeName());
    ASSERT_TRUE(program.Start());
    // Killed as soon as the first part of the data file is in its region: seven are still
    // to come.
    bool seen = false;
    const ULONGLONG end = GetTickCount64() + 90000;
    while (!seen && GetTickCount64() < end && program.WaitForExit(10) == STILL_ACTIVE) {
      for (size_t k = 0; k < kParts && !seen; ++k)
        seen = testsupport::RegionEndsWith(merging, k * DownloadManager::kPartSize, parts[k]);
    }
    ASSERT_TRUE(seen) << "no part arrived";
    program.Kill();
  }

  // What the killed run left: the regions that hold their parts (a part cut short by the
  // kill is not one of them and has to come again).
  std::vector<bool> kept(kParts, false);
  std::vector<size_t> before(kParts);
  const std::vector<uint8_t> file = testsupport::ReadFileBytes(merging);
  for (size_t k = 0; k < kParts; ++k) {
    const size_t at = k * DownloadManager::kPartSize;
    kept[k] = file.size() >= at + parts[k].size() &&
              std::equal(parts[k].begin(), parts[k].end(), file.begin() + at);
  }
  const size_t keptCount = std::count(kept.begin(), kept.end(), true);
  ASSERT_GE(keptCount, 1u);
  ASSERT_LT(keptCount, kParts) << "the kill came too late to leave anything missing";
  for (size_t k = 0; k < kParts; ++k)
    before[k] = ReadCountSettled(release, BlobRelease::PartBlob("VelmotData.bin", k), 0);

  DmProcess rerun(release.folder.Path(), release.ExeName());
  ASSERT_TRUE(rerun.Start());
  EXPECT_EQ(rerun.WaitForExit(120000), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(release.Local("VelmotD_42ata.bin")),
            release.files["VelmotData.bin"]);
  for (size_t k = 0; k < kParts; ++k) {
    const std::string blob = BlobRelease::PartBlob("VelmotData.bin", k);
    const size_t after = ReadCountSettled(release, blob, before[k] + (kept[k] ? 0 : 1));
    EXPECT_EQ(after - before[k], kept[k] ? 0u : 1u)
        << "part " << k << (kept[k] ? " was kept" : " was missing");
  }
}

TEST(BlobStorage, WrongSasIsRefusedWith403AndTheJobFailsClearly) {
  BlobRelease release("VelmotBlobSas");
  release.AddFile("Setup.exe", testsupport::FakeSetupBytes());
  // Signed with a key that is not the account's: Azurite refuses every request.
  release.Publish({{"accountKey", "bm90IHRoZSBhY2NvdW50J3Mga2V5IGF0IGFsbCwgc29ycnkhISE="}});
  DmProcess program(release.folder.Path(), release.ExeName());
  ASSERT_TRUE(program.Start());
  ASSERT_NE(program.FindWindowByCaption(release.Caption(), kWindowMs), nullptr);

  // The manager gives up after its passes and says so in a box; the support page opens.
  EXPECT_EQ(program.MessageBoxText(L"Error", 180000), velmot::texts::kGiveUp);
  EXPECT_EQ(program.CloseAndWait(30000), 0u);

  // Nothing was saved; every request of the document was answered 403; the log beside the
  // program names the status and the storage's reason.
  EXPECT_FALSE(testsupport::FileExists(release.Local("Setup_42.exe")));
  const std::vector<int> statuses = release.blobs.ReadStatuses(release.DocumentBlob());
  ASSERT_FALSE(statuses.empty());
  for (int status : statuses) EXPECT_EQ(status, 403);
  EXPECT_EQ(release.blobs.ReadCount(BlobRelease::PartBlob("Setup.exe", 0)), 0u);
  const std::string logText = testsupport::TextLogIn(release.folder.Path());
  EXPECT_THAT(logText, HasSubstr("Response status not 200, but 403"));
  EXPECT_THAT(logText, HasSubstr("AuthorizationFailure"));
  // The log says plainly who refused what; a new link from the service failed the same way.
  EXPECT_THAT(logText, HasSubstr("The file host refused the download link (HTTP 403, "
                                 "AuthorizationFailure) for: "));
  EXPECT_THAT(logText, HasSubstr("The web service gave a new download link"));
  EXPECT_GE(testsupport::SupportPageOpenings(), 1u);
}

TEST(BlobStorage, AnExpiredLinkIsRenewedThroughTheServiceAndTheJobCompletes) {
  BlobRelease release("VelmotBlobExpired");
  release.AddSetupAndData("Velmot Data.bin", 12000000, 13);
  // The first descriptor carries a token whose expiry has passed, the next a valid one.
  release.Publish({{"expiredAnswers", 1}});
  ASSERT_NO_FATAL_FAILURE(RunToSetup(release));

  // Two download requests for the release: the first answer, then the renewal.
  std::string form = "ReleaseName=";
  for (unsigned char c : release.name) {
    static const char kHex[] = "0123456789abcdef";
    if (isalnum(c)) {
      form += static_cast<char>(c);
    } else {
      form += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  auto requests = [&] {
    size_t n = 0;
    for (const auto& request : testsupport::ServiceRequestsOf("RequestDownload", form)) {
      const std::string body = testsupport::Base64Decode(request.value("bodyBase64", ""));
      n += body.compare(body.size() - form.size(), form.size(), form) == 0;  // the last field
    }
    return n;
  };
  testsupport::Eventually([&] { return requests() >= 2; }, 5000);
  EXPECT_EQ(requests(), 2u);
  // The storage refused the old token, then served the document and every part once.
  const std::vector<int> document = release.blobs.ReadStatuses(release.DocumentBlob());
  ASSERT_FALSE(document.empty());
  EXPECT_EQ(document.front(), 403);
  EXPECT_EQ(document.back(), 200);
  for (size_t k = 0; k < 2; ++k) {
    const std::string blob = BlobRelease::PartBlob("Velmot Data.bin", k);
    EXPECT_EQ(ReadCountSettled(release, blob, 1), 1u) << blob;
  }
}
