#include "ui/releasepaths.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(ReleasePaths, NameIsCutBeforeTheLastUnderscore) {
  ReleasePaths paths(L"C:\\Users\\me\\Downloads\\Velmot Pro_b2.exe");
  EXPECT_EQ(paths.ReleaseName(), L"Velmot Pro");
  EXPECT_EQ(paths.DownloadFolder(), L"C:\\Users\\me\\Downloads");
  EXPECT_EQ(paths.ListFileName(), L"Velmot Pro.txt");
  EXPECT_EQ(ReleasePaths(L"Z:\\a\\Velmot_10_5_x.exe").ReleaseName(), L"Velmot_10_5");
}

TEST(ReleasePaths, NoUnderscoreThrowsOutOfRange) {
  EXPECT_THROW(ReleasePaths(L"C:\\x\\VelmotPro.exe").ReleaseName(), std::out_of_range);
  // The underscore must lie in the file name, not in a folder above it.
  EXPECT_THROW(ReleasePaths(L"C:\\my_folder\\VelmotPro.exe").ReleaseName(), std::out_of_range);
  // Only the last four characters are dropped: an underscore there does not count.
  EXPECT_THROW(ReleasePaths(L"C:\\x\\Velmot.e_e").ReleaseName(), std::out_of_range);
}

TEST(ReleasePaths, ShortAndBareNames) {
  EXPECT_EQ(ReleasePaths(L"a_b").ReleaseName(), L"a");          // shorter than four: kept whole
  EXPECT_EQ(ReleasePaths(L"Rel_1.exe").ReleaseName(), L"Rel");  // no folder at all
  EXPECT_EQ(ReleasePaths(L"Rel_1.exe").DownloadFolder(), L"");
}

TEST(ReleasePaths, RequestNameDropsEveryExe) {
  EXPECT_EQ(ReleasePaths(L"C:\\d\\Velmot.exe Pro.exe_1.exe").RequestName(), L"Velmot Pro");
}

TEST(ReleasePaths, WorkFolderUsesForwardSlashes) {
  ReleasePaths paths(L"C:\\d\\Velmot Pro_b2.exe");
  EXPECT_EQ(paths.WorkFolder(L"C:\\users\\root\\AppData\\Local"),
            L"C:/users/root/AppData/Local/Velmot Pro");
  EXPECT_EQ(paths.WorkFolder(L""), L"/Velmot Pro");
}

TEST(ReleasePaths, ModulePathIsTheRunningProgram) {
  const std::wstring path = ReleasePaths::ModulePath();
  ASSERT_GT(path.size(), 4u);
  EXPECT_EQ(path.substr(path.size() - 21), L"releasepaths_test.exe");
  EXPECT_EQ(ReleasePaths(path).ReleaseName(), L"releasepaths");
  EXPECT_FALSE(ReleasePaths::LocalAppData().empty());
}

TEST(ReleasePaths, NamesThatCannotBeAFolderNameNoRelease) {
  // These would make the work folder local application data itself, its parent, or
  // something Windows cannot create; each is refused before anything is asked or made.
  for (const wchar_t* path :
       {L"C:\\d\\_x.exe", L"C:\\d\\._x.exe", L"C:\\d\\.._x.exe", L"C:\\d\\ _x.exe",
        L"C:\\d\\. ._x.exe", L"C:\\d\\a/b_x.exe", L"C:\\d\\a:b_x.exe", L"C:\\d\\a|b_x.exe",
        L"C:\\d\\CON_x.exe", L"C:\\d\\Velmot._x.exe", L"C:\\d\\NoUnderscore.exe"}) {
    EXPECT_FALSE(ReleasePaths(path).NamesARelease()) << std::wstring(path).c_str();
  }
  EXPECT_TRUE(ReleasePaths(L"C:\\d\\Velmot Pro_b2.exe").NamesARelease());
  EXPECT_TRUE(ReleasePaths(L"C:\\d\\Velmot Pro_b2 (1).exe").NamesARelease());
  EXPECT_TRUE(ReleasePaths(L"C:\\d\\Velmot_10_5_x.exe").NamesARelease());
}
