// The CRC info document, the checks of files on disk, local names, hostile names from the
// network, and sizes of 4 GiB and more.
#include "download/job/downloadmanager.h"

#include "diagnostics/error.h"
#include "support/managerjob.h"
#include "support/records.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

namespace {

using namespace testsupport;

// The document is read from the lower-cased subdirectory; the piece of only line breaks, and
// a document without a semicolon, name no file.
TEST(DownloadManagerCRCInfo, ReadsTheDocumentIntoEntries) {
  const struct {
    const char* document;
    const wchar_t* subdir;
    CRCInfo entries;
  } cases[] = {
      {"h;a.exe\r\n25000000\r\n111\r\n222\r\n-333\r\n;\r\n\r\n;b.bin\r\n0x10\r\n",
       L"/rel",
       {{L"a.exe", L"25000000", L"111", L"222", L"-333"}, {L"b.bin", L"0x10"}}},
      {"a.exe\r\n100\r\n5\r\n", L"/rel", {}},
      {"h;a.exe\r\n1\r\n0\r\n", L"/REL", {{L"a.exe", L"1", L"0"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.document);
    ManagerJob run;
    run.job.host.PutObject(DownloadJob::ListObject(), std::string(c.document));
    run.manager.descriptor.downloadSubdir = run.job.host.Name() + c.subdir;
    CRCInfo entries{{L"old"}};  // replaced
    ASSERT_TRUE(run.manager.ReadCRCInfo(entries));
    EXPECT_EQ(entries, c.entries);
    EXPECT_EQ(run.manager.descriptor.downloadSubdir, run.job.host.Name() + L"/rel");
    EXPECT_EQ(run.ListRequests(), 2u);
  }
  EXPECT_EQ(CRCInfoReader::ParseSizeLine(L"0x10"), 16u);
}

TEST(DownloadManagerCRCInfo, ChecksAPartFileAgainstSignedCRCs) {
  ManagerJob f;
  std::wstring path = f.job.root.File(L"p");
  WriteFileBytes(path, std::vector<uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8', '9'});
  EXPECT_TRUE(f.manager.CRCCheckFile(path, -873187034));
  EXPECT_FALSE(f.manager.CRCCheckFile(path, -873187035));
  EXPECT_EQ(CRCInfoReader::ParseCrcLine(L"-873187034"), -873187034);
  EXPECT_EQ(CRCInfoReader::ParseCrcLine(L"4294967295"), 2147483647);
  EXPECT_EQ(CRCInfoReader::ParseCrcLine(L"-99999999999"), -2147483647 - 1);
  EXPECT_EQ(CRCInfoReader::ParseCrcLine(L"-1"), -1);
  Error::Clear();
  EXPECT_FALSE(f.manager.CRCCheckFile(f.job.root.File(L"missing"), 0));
  EXPECT_EQ(RecordMessages(),
            std::vector<std::string>{"DownloadManager::CRCCheckFile unable to open file " +
                                     Narrow(f.job.root.File(L"missing"))});
}

// Every part's CRC right is not enough: the file must have its listed size.
TEST(DownloadManagerCRCInfo, AFileLongerThanItsListedSizeFailsAndIsDeleted) {
  ManagerJob f;
  std::vector<uint8_t> bytes = RandomBytes(kPart + 10, 3), longer = bytes;
  const CRCInfoEntry entry = CRCInfoEntryOf("Setup.exe", bytes);
  longer.push_back(7);
  const std::wstring path = f.LocalPath("Setup.exe");
  WriteFileBytes(path, longer);
  EXPECT_FALSE(f.manager.CheckFileFromCRCInfo(entry));
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(RecordMessages(),
            std::vector<std::string>{"CheckFileFromCRCInfo size is not correct: " + Narrow(path) +
                                     " is listed with 10000010 bytes, but has 10000011"});
  WriteFileBytes(path, bytes);
  EXPECT_TRUE(f.manager.CheckFileFromCRCInfo(entry));
}

// A truncated installer whose entry lost its trailing CRC lines passes every CRC it still
// has; it is a broken document, and never passes.
TEST(DownloadManagerCRCInfo, AnEntryWhoseCrcLinesDoNotMatchItsSizeNeverPasses) {
  ManagerJob f;
  std::vector<uint8_t> bytes = RandomBytes(2 * kPart + 5, 4);
  CRCInfoEntry entry = CRCInfoEntryOf("Setup.exe", bytes);
  entry.pop_back();
  WriteFileBytes(f.LocalPath("Setup.exe"),
                 std::vector<uint8_t>(bytes.begin(), bytes.begin() + 2 * kPart));
  EXPECT_FALSE(f.manager.CheckFileFromCRCInfo(entry));
  EXPECT_FALSE(f.manager.CheckFileFromCRCInfo({L"Setup.exe", L"99"}));
  EXPECT_FALSE(f.manager.CheckFileFromCRCInfo({L"Setup.exe", L"many", L"1"}));
  ASSERT_EQ(Error::GetRecords().size(), 3u);
  EXPECT_EQ(Error::GetRecords()[0].message,
            "Broken CRC info document: the entry of Setup.exe has 2 CRC lines for the size "
            "line \"20000005\"");
  EXPECT_EQ(Error::GetRecords()[2].message,
            "Broken CRC info document: the entry of Setup.exe has 1 CRC lines for the size "
            "line \"many\"");
  // Nothing is fetched for it either.
  f.manager.DownloadFileFromCRCInfo(entry);
  EXPECT_EQ(f.manager.WorkerCount(), 0u);
}

TEST(DownloadManagerCRCInfo, AnEmptyFileIsListedWithSizeZeroAndNoCrcLine) {
  ManagerJob f;
  const std::wstring path = f.LocalPath("Setup.exe");
  WriteFileBytes(path, {});
  EXPECT_TRUE(f.manager.CheckFileFromCRCInfo({L"Setup.exe", L"0"}));
  WriteFileBytes(path, RandomBytes(10, 1));
  EXPECT_FALSE(f.manager.CheckFileFromCRCInfo({L"Setup.exe", L"0"}));
  EXPECT_FALSE(f.manager.CheckFileFromCRCInfo({L"Other.exe", L"0"}));
}

TEST(DownloadManagerCRCInfo, ACorruptSecondPartDeletesTheFile) {
  ManagerJob f;
  std::vector<uint8_t> bytes = RandomBytes(kPart + 4000, 2);
  const CRCInfoEntry lines = CRCInfoEntryOf("Setup.exe", bytes);
  bytes[kPart + 10] ^= 1;
  std::wstring path = f.LocalPath("Setup.exe");
  WriteFileBytes(path, bytes);
  f.manager.finishedBytes = 100000000;
  EXPECT_FALSE(f.manager.CheckFileFromCRCInfo(lines));
  EXPECT_EQ(f.manager.verifiedBytes.load(), kPart);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(f.manager.finishedBytes.load(), 100000000u - bytes.size());
  EXPECT_EQ(RecordMessages(),
            std::vector<std::string>{"CheckFileFromCRCInfo CRC is not correct: " + Narrow(path)});
  EXPECT_EQ(CountRecords(static_cast<uint32_t>(-3)), 1u);
}

TEST(DownloadManagerCRCInfo, LocalNamesCarryTheProductSuffix) {
  DownloadManager manager(nullptr);
  manager.productSuffix = L"_123";
  EXPECT_EQ(manager.GetLocalName(L"Setup.exe"), L"Setup_123.exe");
  EXPECT_EQ(manager.GetLocalName(L"a.exe"), L"a_123.exe");
  EXPECT_EQ(manager.GetLocalName(L"Velmot.exe.config"), L"Velmot.exe.co_123nfig");
  EXPECT_EQ(manager.GetLocalName(L"Velmot-data.bin"), L"Velmot-d_123ata.bin");
  EXPECT_EQ(manager.GetLocalName(L"1234567"), L"_1231234567");
  // Too short for the insertion point: the suffix goes at the end.
  EXPECT_EQ(manager.GetLocalName(L"a.bin"), L"a.bin_123");
  EXPECT_EQ(manager.GetLocalName(L"x"), L"x_123");
}

TEST(DownloadManagerCRCInfo, HostileNamesAreRecognised) {
  for (const wchar_t* bad :
       {L"",        L"../x.exe",  L"..\\x.exe", L"a/b.exe", L"a\\b.exe",
        L"C:x.exe", L"C:\\x.exe", L"..",        L".",       L"x..exe",
        L"CON",     L"con.exe",   L"NUL.txt",   L"COM1",    L"lpt9.bin",
        L"AUX ",    L"x.exe.",    L"x.exe ",    L"a<b.exe", L"a|b",
        L"a?b",     L"a*b",       L"a\"b",      L"a\tb",    L"\\\\server\\share"})
    EXPECT_FALSE(CRCInfoReader::IsSafeFileName(bad)) << Narrow(bad);
  for (const wchar_t* good : {L"Setup.exe", L"Velmot Pro.exe", L"data-1.cab", L"CONSOLE.exe",
                              L"com10.bin", L".hidden", L"a.b.c"})
    EXPECT_TRUE(CRCInfoReader::IsSafeFileName(good)) << Narrow(good);
}

// A document naming files outside the job's folders: nothing is fetched, written, checked
// or deleted there; each entry is recorded and the passes fail.
TEST(DownloadManagerCRCInfo, HostileListedNamesNeverTouchFilesOutsideTheFolders) {
  DownloadJob job;
  std::vector<uint8_t> victim = RandomBytes(500, 9);
  // A file beside the download folder that "../victim.exe" would reach.
  WriteFileBytes(job.root.File(DownloadJob::LocalName("victim.exe")), victim);
  for (const char* name :
       {"../victim.exe", "..\\victim.exe", "sub/x.exe", "CON", "Z:evil.exe", "bad.exe."}) {
    job.AddRawEntry(std::string(name) + "\r\n500\r\n" + std::to_string(CrcOf(victim.data(), 1)) +
                    "\r\n");
    job.host.PutObject(DownloadJob::PartObject(0, "x.exe"), victim);
  }
  job.PublishList();
  ManagerJob run(job);
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.manager.WorkerCount(), 0u);
  EXPECT_EQ(ReadFileBytes(job.root.File(DownloadJob::LocalName("victim.exe"))), victim);
  EXPECT_EQ(CountRecords(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED), 1u);
  EXPECT_GE(CountRecords(DL_MANAGER_INVALID_FILE_NAME), 6u);
  EXPECT_EQ(run.Finished(), 0u);
  for (const auto& r : job.host.Requests())
    EXPECT_NE(std::string(r["path"]).find(DownloadJob::kListName), std::string::npos) << r.dump();
  EXPECT_FALSE(FileExists(job.root.File(L"sub")));
  EXPECT_TRUE(run.manager.setupPath.empty());
}

TEST(DownloadManagerCRCInfo, AHostileProductCodeIsRejected) {
  ManagerJob f;
  f.manager.productSuffix = L"_/../../x";
  EXPECT_FALSE(f.manager.CheckFileFromCRCInfo({L"Setup.exe", L"1", L"0"}));
  EXPECT_EQ(CountRecords(DL_MANAGER_INVALID_FILE_NAME), 1u);
}

// Sizes of 4 GiB and more: a sparse 5,000,000,000-byte file is counted whole.
TEST(DownloadManagerCRCInfo, FilesOfFourGiBAndMoreAreCountedIn64Bits) {
  ManagerJob f;
  std::wstring path = f.LocalPath("Big.exe");
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD ignored = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = 5000000000LL;
  ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(file));
  CloseHandle(file);

  EXPECT_EQ(CRCInfoReader::ParseSizeLine(L"5000000000"), 5000000000u);
  EXPECT_EQ(CRCInfoReader::ParseSizeLine(L"-5"), 0u);
  CRCInfo entries{{L"Big.exe", L"5000000000"}, {L"Small.exe", L"0x100", L"2"}};
  entries[0].resize(2 + 500, L"1");
  f.manager.ComputeTotals(entries);
  EXPECT_EQ(f.manager.totalBytes.load(), 5000000256u);
  EXPECT_EQ(f.manager.finishedBytes.load(), 5000000000u);
  f.manager.DownloadFileFromCRCInfo(entries[0]);  // present: left to the verification
  EXPECT_EQ(f.manager.presentBytes.load(), 5000000000u);
  EXPECT_EQ(f.manager.WorkerCount(), 0u);
  DeleteFileW(path.c_str());
}

}  // namespace
