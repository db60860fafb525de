#include "download/store/filesystem.h"

#include "diagnostics/error.h"
#include "base/stringutils.h"
#include "support/readonlyfolder.h"
#include "support/records.h"
#include "support/testenv.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kRemoveFailed = "FileSystem::RecursivelyRemoveDirectory RemoveDirectory failed ";
const std::string kDeleteFailed = "FileSystem::RecursivelyRemoveDirectory DeleteFile failed ";

void PutFile(const std::wstring& path, const std::string& content) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << StringUtils::ToNarrow(path);
  DWORD written = 0;
  if (!content.empty()) {
    ASSERT_TRUE(
        ::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
  }
  CloseHandle(h);
}

void MakeFolder(const std::wstring& path) {
  ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << StringUtils::ToNarrow(path);
}

void MakeHidden(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN));
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Folders below top ("" for top itself), parents first, then files with their contents.
void MakeTree(const std::wstring& top, std::initializer_list<const wchar_t*> folders,
              std::initializer_list<std::pair<const wchar_t*, std::string>> files) {
  auto below = [&](const std::wstring& relative) {
    return relative.empty() ? top : top + L"/" + relative;
  };
  for (const wchar_t* folder : folders) MakeFolder(below(folder));
  for (const auto& file : files) PutFile(below(file.first), file.second);
}

// A record's message: what failed, then the path.
std::string Failed(const std::string& what, const std::wstring& path) {
  return what + StringUtils::ToNarrow(path);
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { Error::Clear(); }
  // ReadWholeFile of path gives no bytes (whatever the vector held) and one record that
  // names the path and the system's error.
  void ExpectUnreadable(const std::wstring& path, DWORD error) {
    std::vector<uint8_t> bytes{9, 9};
    FileSystem::ReadWholeFile(path, bytes);
    EXPECT_TRUE(bytes.empty());
    auto records = Error::GetRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, Failed("Couldn't read file ", path));
    EXPECT_EQ(records[0].errorNumber, static_cast<int32_t>(error));
  }
  testsupport::TempFolder temp_{L"fs"};
  const std::wstring& Root() const { return temp_.Path(); }
};

TEST_F(FileSystemTest, WriteProbeTellsWhichFoldersTakeFilesAndLeavesNothing) {
  testsupport::TempFolder locked(L"fsro");
  testsupport::ReadOnlyFolder mount(locked.Path());
  ASSERT_TRUE(mount.Active()) << mount.Diagnosis();
  struct Case {
    std::wstring folder;
    bool takesFiles;
    DWORD error;
  } cases[] = {
      {Root(), true, ERROR_SUCCESS},
      {Root() + L"/missing", false, ERROR_PATH_NOT_FOUND},
      {locked.Path(), false, ERROR_ACCESS_DENIED},  // Wine's code for a read-only file system
  };
  for (const Case& c : cases) {
    std::vector<std::wstring> announced;
    DWORD error = 12345;
    EXPECT_EQ(FileSystem::CanCreateFiles(c.folder, error,
                                         [&](const std::wstring& path) {
                                           EXPECT_TRUE(Exists(path));
                                           announced.push_back(path);
                                         }),
              c.takesFiles)
        << StringUtils::ToNarrow(c.folder);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(announced.size(), c.takesFiles ? 1u : 0u);
    for (const std::wstring& path : announced) {
      EXPECT_EQ(path.rfind(c.folder + L"/velmot-write-check-", 0), 0u);
      EXPECT_FALSE(Exists(path));
    }
    EXPECT_FALSE(Error::HasErrors());
  }
  std::vector<std::wstring> left;
  FileSystem::ListFiles(Root(), left);
  EXPECT_TRUE(left.empty());
}

TEST_F(FileSystemTest, RemovingATreeLeavesNothingAndRecordsNothing) {
  std::wstring top = Root() + L"/work";
  MakeTree(top, {L"", L"sub1", L"sub1/deep", L"sub1/deep/deeper", L"empty"},
           {{L"a.exepart0", "part zero"},
            {L"sub1/b.bin", std::string(70000, 'b')},
            {L"sub1/deep/c.bin", ""},
            {L"sub1/deep/deeper/d.bin", "d"}});

  FileSystem::RecursivelyRemoveDirectory(top);

  EXPECT_FALSE(Exists(top));
  EXPECT_TRUE(Error::GetRecords().empty());
  EXPECT_TRUE(Exists(Root()));  // the parent is untouched
}

TEST_F(FileSystemTest, BackslashSeparatorsWorkToo) {
  std::wstring top = Root() + L"/back";
  MakeTree(top, {L"", L"s"}, {{L"s/f.txt", "x"}});
  std::wstring backslashed = top;
  std::replace(backslashed.begin(), backslashed.end(), L'/', L'\\');

  FileSystem::RecursivelyRemoveDirectory(backslashed);

  EXPECT_FALSE(Exists(top));
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(FileSystemTest, MissingFolderGivesOneRemoveDirectoryRecord) {
  std::wstring missing = Root() + L"/not-there";

  FileSystem::RecursivelyRemoveDirectory(missing);

  auto records = Error::GetRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, Failed(kRemoveFailed, missing));
  EXPECT_TRUE(records[0].errorNumber == ERROR_FILE_NOT_FOUND ||
              records[0].errorNumber == ERROR_PATH_NOT_FOUND)
      << records[0].errorNumber;
  EXPECT_FALSE(records[0].file.empty());
  EXPECT_GT(records[0].line, 0);
}

TEST_F(FileSystemTest, HiddenFileKeepsItsFolderAndEveryFolderAbove) {
  std::wstring top = Root() + L"/work";
  MakeTree(top, {L"", L"keep", L"keep/inner", L"gone"},
           {{L"a.bin", "a"},
            {L"keep/plain.bin", "p"},
            {L"keep/inner/secret.bin", "s"},
            {L"gone/x.bin", "x"}});
  MakeHidden(top + L"/keep/inner/secret.bin");

  FileSystem::RecursivelyRemoveDirectory(top);

  EXPECT_TRUE(Exists(top + L"/keep/inner/secret.bin"));
  EXPECT_FALSE(Exists(top + L"/a.bin"));
  EXPECT_FALSE(Exists(top + L"/keep/plain.bin"));
  EXPECT_FALSE(Exists(top + L"/gone"));

  // Depth first: the innermost folder fails first, then each folder above it.
  EXPECT_EQ(testsupport::RecordMessages(),
            (std::vector<std::string>{Failed(kRemoveFailed, top + L"/keep/inner"),
                                      Failed(kRemoveFailed, top + L"/keep"),
                                      Failed(kRemoveFailed, top)}));
  for (const auto& r : Error::GetRecords())
    EXPECT_EQ(r.errorNumber, ERROR_DIR_NOT_EMPTY) << r.message;
}

TEST_F(FileSystemTest, HiddenSubfolderIsNotEntered) {
  std::wstring top = Root() + L"/work";
  MakeTree(top, {L"", L"cache"}, {{L"cache/inside.bin", "i"}, {L"visible.bin", "v"}});
  MakeHidden(top + L"/cache");

  FileSystem::RecursivelyRemoveDirectory(top);

  EXPECT_TRUE(Exists(top + L"/cache/inside.bin"));
  EXPECT_FALSE(Exists(top + L"/visible.bin"));
  EXPECT_EQ(testsupport::RecordMessages(), std::vector<std::string>{Failed(kRemoveFailed, top)});
}

TEST_F(FileSystemTest, UndeletableFileIsRecordedAndTheWalkGoesOn) {
  std::wstring top = Root() + L"/work";
  MakeTree(top, {L""}, {{L"locked.bin", "l"}, {L"free1.bin", "1"}, {L"free2.bin", "2"}});
  // Held open without delete sharing: the delete fails with a sharing violation.
  HANDLE held = CreateFileW((top + L"/locked.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  FileSystem::RecursivelyRemoveDirectory(top);
  CloseHandle(held);

  EXPECT_TRUE(Exists(top + L"/locked.bin"));
  EXPECT_FALSE(Exists(top + L"/free1.bin"));
  EXPECT_FALSE(Exists(top + L"/free2.bin"));
  EXPECT_EQ(testsupport::RecordMessages(),
            (std::vector<std::string>{Failed(kDeleteFailed, top + L"/locked.bin"),
                                      Failed(kRemoveFailed, top)}));
  ASSERT_FALSE(Error::GetRecords().empty());
  EXPECT_NE(Error::GetRecords()[0].errorNumber, 0);
}

TEST_F(FileSystemTest, LinkedFolderIsRemovedWithoutTouchingItsTarget) {
  std::wstring outside = Root() + L"/outside";
  std::wstring top = Root() + L"/work";
  MakeFolder(outside);
  PutFile(outside + L"/precious.bin", "keep me");
  MakeFolder(top);
  std::wstring link = top + L"/link";
  std::wstring target = outside;
  std::replace(target.begin(), target.end(), L'/', L'\\');
  std::wstring linkPath = link;
  std::replace(linkPath.begin(), linkPath.end(), L'/', L'\\');
  if (!CreateSymbolicLinkW(linkPath.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) ||
      !(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)) {
    GTEST_SKIP() << "directory links are not available here";
  }

  FileSystem::RecursivelyRemoveDirectory(top);

  EXPECT_TRUE(Exists(outside + L"/precious.bin"));
  EXPECT_FALSE(Exists(top));
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(FileSystemTest, ListsNamesAndPathsSkippingHiddenAndDots) {
  std::wstring top = Root();
  MakeTree(top, {L"d1", L"d2", L"hd"}, {{L"f1.txt", "1"}, {L"f2", "2"}, {L"hf.txt", "h"}});
  MakeHidden(top + L"/hd");
  MakeHidden(top + L"/hf.txt");

  std::vector<std::wstring> names{L"stale"};
  FileSystem::ListSubdirectories(top, names);
  EXPECT_EQ(Sorted(names), (std::vector<std::wstring>{L"d1", L"d2"}));

  std::vector<std::wstring> paths{L"stale"};
  FileSystem::ListFiles(top, paths);
  EXPECT_EQ(Sorted(paths), (std::vector<std::wstring>{top + L"/f1.txt", top + L"/f2"}));
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(FileSystemTest, ListingAMissingFolderGivesEmptyListsSilently) {
  std::vector<std::wstring> names{L"stale"}, paths{L"stale"};
  FileSystem::ListSubdirectories(Root() + L"/none", names);
  FileSystem::ListFiles(Root() + L"/none", paths);
  EXPECT_TRUE(names.empty());
  EXPECT_TRUE(paths.empty());
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(FileSystemTest, ReadWholeFileGivesTheExactBytes) {
  std::string content;
  for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>((i * 7) & 0xFF));
  content[5] = '\0';
  PutFile(temp_.File(L"log.gz"), content);

  std::vector<uint8_t> bytes{1, 2, 3};
  FileSystem::ReadWholeFile(temp_.File(L"log.gz"), bytes);

  ASSERT_EQ(bytes.size(), content.size());
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content.begin(),
                         [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(FileSystemTest, ReadWholeFileOfMissingFileIsEmptyWithOneRecord) {
  ExpectUnreadable(temp_.File(L"missing.gz"), ERROR_FILE_NOT_FOUND);
}

TEST_F(FileSystemTest, ReadWholeFileOfEmptyFileIsEmptyWithoutRecord) {
  PutFile(temp_.File(L"empty"), "");
  std::vector<uint8_t> bytes{7};

  FileSystem::ReadWholeFile(temp_.File(L"empty"), bytes);

  EXPECT_TRUE(bytes.empty());
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(FileSystemTest, ReadWholeFileOfAFileHeldExclusivelyIsEmptyWithOneRecord) {
  std::wstring path = temp_.File(L"busy");
  PutFile(path, "busy");
  HANDLE held = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ExpectUnreadable(path, ERROR_SHARING_VIOLATION);
  CloseHandle(held);
}

TEST_F(FileSystemTest, ExecutableFolderHoldsTheRunningProgram) {
  std::string folder;
  FileSystem::GetExecutableFolder(folder);

  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '\\');
  char module[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string full = module;
  EXPECT_EQ(full.substr(0, folder.size() + 1), folder + "\\");
  EXPECT_EQ(full.find('\\', folder.size() + 1), std::string::npos);
}

}  // namespace
