#include "download/store/filesystem.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "support/downloadjob.h"
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

using testsupport::Backslashed;
using testsupport::FileExists;
using testsupport::Narrow;

using velmot::texts::kRemoveDirectoryFailed;
const std::string kDeleteFailed = "FileSystem::RecursivelyRemoveDirectory DeleteFile failed ";

void PutFile(const std::wstring& path, const std::string& content) {
  testsupport::WriteFileBytes(path, {content.begin(), content.end()});
}

// Folders below top ("" for top itself), parents first, then files with their contents,
// then the entries to hide; success once all of them are in place.
::testing::AssertionResult MakeTree(
    const std::wstring& top, std::initializer_list<const wchar_t*> folders,
    std::initializer_list<std::pair<const wchar_t*, std::string>> files,
    std::initializer_list<const wchar_t*> hidden = {}) {
  auto below = [&](const std::wstring& relative) {
    return relative.empty() ? top : top + L"/" + relative;
  };
  for (const wchar_t* folder : folders) {
    if (!CreateDirectoryW(below(folder).c_str(), nullptr))
      return ::testing::AssertionFailure() << Narrow(below(folder)) << " was not made";
  }
  for (const auto& file : files) PutFile(below(file.first), file.second);
  for (const wchar_t* entry : hidden) {
    const DWORD attributes = GetFileAttributesW(below(entry).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        !SetFileAttributesW(below(entry).c_str(), attributes | FILE_ATTRIBUTE_HIDDEN))
      return ::testing::AssertionFailure() << Narrow(below(entry)) << " was not hidden";
  }
  return ::testing::AssertionSuccess();
}

std::string Failed(const std::string& what, const std::wstring& path) {
  return what + Narrow(path);
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { Error::Clear(); }
  // ReadWholeFile of path into bytes (stale content) gives exactly expected, with one record
  // that names the path and the system's error when error is not 0, else none.
  void ExpectRead(const std::wstring& path, std::vector<uint8_t> bytes,
                  const std::vector<uint8_t>& expected, DWORD error) {
    FileSystem::ReadWholeFile(path, bytes);
    EXPECT_EQ(bytes.size(), expected.size());
    EXPECT_TRUE(bytes == expected);
    const auto records = Error::GetRecords();
    EXPECT_EQ(records.size(), error ? 1u : 0u);
    if (error && records.size() == 1) {
      EXPECT_EQ(records[0].message, Failed("Couldn't read file ", path));
      EXPECT_EQ(records[0].errorNumber, static_cast<int32_t>(error));
    }
  }
  testsupport::TempFolder temp_{L"fs"};
  const std::wstring& Root() const { return temp_.Path(); }
  const std::wstring top_ = temp_.File(L"work");
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
    auto announce = [&](const std::wstring& path) {
      EXPECT_TRUE(FileExists(path));
      announced.push_back(path);
    };
    EXPECT_EQ(FileSystem::CanCreateFiles(c.folder, error, announce), c.takesFiles)
        << Narrow(c.folder);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(announced.size(), c.takesFiles ? 1u : 0u);
    for (const std::wstring& path : announced) {
      EXPECT_EQ(path.rfind(c.folder + L"/velmot-write-check-", 0), 0u);
      EXPECT_FALSE(FileExists(path));
    }
    EXPECT_FALSE(Error::HasErrors());
  }
  std::vector<std::wstring> left;
  FileSystem::ListFiles(Root(), left);
  EXPECT_TRUE(left.empty());
}

TEST_F(FileSystemTest, RemovingATreeLeavesNothingAndRecordsNothing) {
  ASSERT_TRUE(MakeTree(top_, {L"", L"sub1", L"sub1/deep", L"sub1/deep/deeper", L"empty"},
                       {{L"a.exepart0", "part zero"},
                        {L"sub1/b.bin", std::string(70000, 'b')},
                        {L"sub1/deep/c.bin", ""},
                        {L"sub1/deep/deeper/d.bin", "d"}}));
  FileSystem::RecursivelyRemoveDirectory(top_);
  EXPECT_FALSE(FileExists(top_));
  EXPECT_TRUE(Error::GetRecords().empty());
  EXPECT_TRUE(FileExists(Root()));  // the parent is untouched
}

TEST_F(FileSystemTest, BackslashSeparatorsWorkToo) {
  std::wstring top = Root() + L"/back";
  ASSERT_TRUE(MakeTree(top, {L"", L"s"}, {{L"s/f.txt", "x"}}));
  FileSystem::RecursivelyRemoveDirectory(Backslashed(top));
  EXPECT_FALSE(FileExists(top));
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(FileSystemTest, MissingFolderGivesOneRemoveDirectoryRecord) {
  std::wstring missing = Root() + L"/not-there";
  FileSystem::RecursivelyRemoveDirectory(missing);
  auto records = Error::GetRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, Failed(kRemoveDirectoryFailed, missing));
  EXPECT_TRUE(records[0].errorNumber == ERROR_FILE_NOT_FOUND ||
              records[0].errorNumber == ERROR_PATH_NOT_FOUND)
      << records[0].errorNumber;
  EXPECT_FALSE(records[0].file.empty());
  EXPECT_GT(records[0].line, 0);
}

TEST_F(FileSystemTest, HiddenFileKeepsItsFolderAndEveryFolderAbove) {
  ASSERT_TRUE(MakeTree(top_, {L"", L"keep", L"keep/inner", L"gone"},
                       {{L"a.bin", "a"},
                        {L"keep/plain.bin", "p"},
                        {L"keep/inner/secret.bin", "s"},
                        {L"gone/x.bin", "x"}},
                       {L"keep/inner/secret.bin"}));
  FileSystem::RecursivelyRemoveDirectory(top_);

  EXPECT_TRUE(FileExists(top_ + L"/keep/inner/secret.bin"));
  for (const wchar_t* gone : {L"/a.bin", L"/keep/plain.bin", L"/gone"})
    EXPECT_FALSE(FileExists(top_ + gone)) << Narrow(gone);
  // Depth first: the innermost folder fails first, then each folder above it.
  EXPECT_EQ(testsupport::RecordMessages(),
            (std::vector<std::string>{Failed(kRemoveDirectoryFailed, top_ + L"/keep/inner"),
                                      Failed(kRemoveDirectoryFailed, top_ + L"/keep"),
                                      Failed(kRemoveDirectoryFailed, top_)}));
  for (const auto& r : Error::GetRecords())
    EXPECT_EQ(r.errorNumber, ERROR_DIR_NOT_EMPTY) << r.message;
}

TEST_F(FileSystemTest, HiddenSubfolderIsNotEntered) {
  ASSERT_TRUE(MakeTree(top_, {L"", L"cache"}, {{L"cache/inside.bin", "i"}, {L"visible.bin", "v"}},
                       {L"cache"}));
  FileSystem::RecursivelyRemoveDirectory(top_);
  EXPECT_TRUE(FileExists(top_ + L"/cache/inside.bin"));
  EXPECT_FALSE(FileExists(top_ + L"/visible.bin"));
  EXPECT_EQ(testsupport::RecordMessages(),
            std::vector<std::string>{Failed(kRemoveDirectoryFailed, top_)});
}

TEST_F(FileSystemTest, UndeletableFileIsRecordedAndTheWalkGoesOn) {
  ASSERT_TRUE(
      MakeTree(top_, {L""}, {{L"locked.bin", "l"}, {L"free1.bin", "1"}, {L"free2.bin", "2"}}));
  // Held open without delete sharing: the delete fails with a sharing violation.
  HANDLE held = CreateFileW((top_ + L"/locked.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  FileSystem::RecursivelyRemoveDirectory(top_);
  CloseHandle(held);

  EXPECT_TRUE(FileExists(top_ + L"/locked.bin"));
  EXPECT_FALSE(FileExists(top_ + L"/free1.bin"));
  EXPECT_FALSE(FileExists(top_ + L"/free2.bin"));
  EXPECT_EQ(testsupport::RecordMessages(),
            (std::vector<std::string>{Failed(kDeleteFailed, top_ + L"/locked.bin"),
                                      Failed(kRemoveDirectoryFailed, top_)}));
  ASSERT_FALSE(Error::GetRecords().empty());
  EXPECT_NE(Error::GetRecords()[0].errorNumber, 0);
}

TEST_F(FileSystemTest, LinkedFolderIsRemovedWithoutTouchingItsTarget) {
  std::wstring outside = Root() + L"/outside";
  ASSERT_TRUE(MakeTree(outside, {L""}, {{L"precious.bin", "keep me"}}));
  ASSERT_TRUE(MakeTree(top_, {L""}, {}));
  if (!CreateSymbolicLinkW(Backslashed(top_ + L"/link").c_str(), Backslashed(outside).c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY) ||
      !(GetFileAttributesW((top_ + L"/link").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)) {
    GTEST_SKIP() << "directory links are not available here";
  }
  FileSystem::RecursivelyRemoveDirectory(top_);
  EXPECT_TRUE(FileExists(outside + L"/precious.bin"));
  EXPECT_FALSE(FileExists(top_));
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST_F(FileSystemTest, ListsNamesAndPathsSkippingHiddenAndDots) {
  ASSERT_TRUE(MakeTree(Root(), {L"d1", L"d2", L"hd"},
                       {{L"f1.txt", "1"}, {L"f2", "2"}, {L"hf.txt", "h"}}, {L"hd", L"hf.txt"}));

  std::vector<std::wstring> names{L"stale"}, paths{L"stale"};
  FileSystem::ListSubdirectories(Root(), names);
  EXPECT_EQ(Sorted(names), (std::vector<std::wstring>{L"d1", L"d2"}));
  FileSystem::ListFiles(Root(), paths);
  EXPECT_EQ(Sorted(paths), (std::vector<std::wstring>{Root() + L"/f1.txt", Root() + L"/f2"}));
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
  ExpectRead(temp_.File(L"log.gz"), {1, 2, 3}, {content.begin(), content.end()}, 0);
}

TEST_F(FileSystemTest, ReadWholeFileOfMissingFileIsEmptyWithOneRecord) {
  ExpectRead(temp_.File(L"missing.gz"), {9, 9}, {}, ERROR_FILE_NOT_FOUND);
}

TEST_F(FileSystemTest, ReadWholeFileOfEmptyFileIsEmptyWithoutRecord) {
  PutFile(temp_.File(L"empty"), "");
  ExpectRead(temp_.File(L"empty"), {7}, {}, 0);
}

TEST_F(FileSystemTest, ReadWholeFileOfAFileHeldExclusivelyIsEmptyWithOneRecord) {
  std::wstring path = temp_.File(L"busy");
  PutFile(path, "busy");
  HANDLE held = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ExpectRead(path, {9, 9}, {}, ERROR_SHARING_VIOLATION);
  CloseHandle(held);
}

TEST_F(FileSystemTest, ExecutableFolderHoldsTheRunningProgram) {
  std::string folder;
  FileSystem::GetExecutableFolder(folder);

  EXPECT_EQ(folder, Narrow(testsupport::TestProgramFolder()));
}

}  // namespace
