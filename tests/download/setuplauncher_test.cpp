// Where the work folder may be removed after a good job (folders compared as the file system
// resolves them), what its removal deletes (only the program's own files; a canary in local
// application data and in its parent survives), and what a failed start shows.
#include "download/setup/setuplauncher.h"

#include "base/systemtexts.h"
#include "support/downloadjob.h"
#include "support/testenv.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

namespace {

using testsupport::Backslashed;
using testsupport::FileExists;
using testsupport::WriteFileBytes;

struct Folders {
  testsupport::TempFolder root{L"launch"};
  std::wstring appData = root.File(L"AppData Local");
  std::wstring downloads = root.File(L"Downloads");
  std::wstring work = appData + L"/Release Folder";

  Folders() {
    for (const std::wstring& folder : {appData, downloads, work})
      CreateDirectoryW(folder.c_str(), nullptr);
    WriteFileBytes(root.File(L"canary.txt"), {1});
    WriteFileBytes(appData + L"/canary.txt", {2});
  }
  ~Folders() {
    EXPECT_TRUE(FileExists(root.File(L"canary.txt")));
    EXPECT_TRUE(FileExists(appData + L"/canary.txt"));
  }
  bool Removable(const std::wstring& w, const std::wstring& d) const {
    return SetupLauncher::WorkFolderIsRemovable(w, d, appData);
  }
};

std::wstring ShortName(const std::wstring& path) {
  wchar_t buffer[MAX_PATH] = {};
  DWORD n = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(buffer, n) : path;
}

TEST(SetupLauncher, OnlyADirectChildOfLocalAppDataHoldingNoInstallerMayGo) {
  Folders f;
  EXPECT_TRUE(f.Removable(f.work, f.downloads));
  // Other spellings of the same folders resolve alike.
  EXPECT_TRUE(f.Removable(Backslashed(f.work + L"/"), f.downloads));
  EXPECT_TRUE(f.Removable(f.appData + L"/./release folder", f.downloads));

  EXPECT_FALSE(f.Removable(f.appData, f.downloads));
  EXPECT_FALSE(f.Removable(f.appData + L"/.", f.downloads));
  EXPECT_FALSE(f.Removable(f.appData + L"/..", f.downloads));
  EXPECT_FALSE(f.Removable(f.root.Path(), f.downloads));
  EXPECT_FALSE(f.Removable(f.work + L"/nested", f.downloads));  // does not exist
  CreateDirectoryW((f.work + L"/nested").c_str(), nullptr);
  EXPECT_FALSE(f.Removable(f.work + L"/nested", f.downloads));  // not a direct child
  EXPECT_FALSE(f.Removable(L"", f.downloads));
  EXPECT_FALSE(SetupLauncher::WorkFolderIsRemovable(f.work, f.downloads, L""));
}

TEST(SetupLauncher, AWorkFolderThatIsOrHoldsTheDownloadFolderNeverGoes) {
  Folders f;
  // The download folder inside local application data, reached by other spellings.
  const std::wstring download = f.appData + L"/Velmot Downloads";
  CreateDirectoryW(download.c_str(), nullptr);
  CreateDirectoryW((download + L"/inner").c_str(), nullptr);
  EXPECT_FALSE(f.Removable(download + L"/.", download));
  EXPECT_FALSE(f.Removable(download, download + L"/inner"));
  EXPECT_FALSE(f.Removable(ShortName(download), download));
  EXPECT_FALSE(f.Removable(download, ShortName(download + L"/inner")));
  EXPECT_FALSE(f.Removable(L"\\\\?\\" + ShortName(download), download + L"/inner"));
  EXPECT_FALSE(f.Removable(f.work, L"Z:/no/such/folder"));  // unknown: kept
}

TEST(SetupLauncher, RemovalDeletesOnlyPartFilesAndTheLogAndKeepsAForeignFile) {
  Folders f;
  for (const wchar_t* name : {L"Setup_1.exepart0", L"Setup_1.exepart12", L"logfile.gz"})
    WriteFileBytes(f.work + L"/" + name, {3});
  WriteFileBytes(f.work + L"/notes.txt", {4});
  WriteFileBytes(f.work + L"/part", {5});
  SetupLauncher::RemoveOwnFiles(f.work);
  for (const wchar_t* name : {L"Setup_1.exepart0", L"Setup_1.exepart12", L"logfile.gz"})
    EXPECT_FALSE(FileExists(f.work + L"/" + name));
  for (const wchar_t* foreign : {L"/notes.txt", L"/part"}) {
    EXPECT_TRUE(FileExists(f.work + foreign));
    DeleteFileW((f.work + foreign).c_str());
  }
  WriteFileBytes(f.work + L"/Setup_1.exepart0", {3});
  SetupLauncher::RemoveOwnFiles(f.work);
  EXPECT_FALSE(FileExists(f.work));
}

// The shell calls go through the launcher's seams, in this order, with the path as given.
TEST(SetupLauncher, AFailedStartOpensTheFolderWithSetupSelected) {
  Folders f;
  const std::wstring setup = f.downloads + L"/Setup_1.exe";
  const std::wstring head = velmot::texts::kStartSetupFailedHead + setup;
  WriteFileBytes(setup, {'M', 'Z'});
  std::vector<std::wstring> calls;
  SetupLauncher launcher(
      L"",
      [&](const std::wstring& text) { calls.push_back(L"box " + text.substr(0, head.size())); },
      nullptr);
  launcher.shellStart = [&](const std::wstring& file, const std::wstring& folder) {
    calls.push_back(L"start " + file + L" in " + folder);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return static_cast<intptr_t>(SE_ERR_FNF);
  };
  launcher.showInFolder = [&](const std::wstring& file) {
    calls.push_back(L"select " + file);
    return S_OK;
  };
  launcher.Launch(setup, f.downloads, f.work, f.appData);
  const std::vector<std::wstring> expected = {L"start " + setup + L" in " + f.downloads,
                                              L"box " + head, L"select " + setup};
  EXPECT_EQ(calls, expected);
}

}  // namespace
