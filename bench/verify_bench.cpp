// Verification and merge of a 1,000,000,000-byte installer file (100 parts).
//   verify: DownloadManager::CheckFileFromCRCInfo next to a plain sequential read of the same
//           file in 10,000,000-byte reads, in the same run (throughput and ratio);
//   merge:  DownloadManager::MergePartFiles of its 100 part files: time, and the peak of the
//           bytes held by the part files and the target together (sampled every 5 ms).
// Usage: verify_bench.exe [folder]   (default: the temporary folder)
#include "download/job/downloadmanager.h"

#include "diagnostics/error.h"
#include "download/store/crc.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

const uint64_t kFileSize = 1000000000;
const uint32_t kPart = DownloadManager::kPartSize;

double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

void Fill(std::vector<uint8_t>& buffer, unsigned seed) {
  std::mt19937_64 random(seed);
  for (size_t i = 0; i + 8 <= buffer.size(); i += 8) {
    uint64_t v = random();
    std::memcpy(&buffer[i], &v, 8);
  }
}

bool WriteAll(const std::wstring& path, const uint8_t* data, DWORD n) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, data, n, &written, nullptr) && written == n;
  CloseHandle(file);
  return ok;
}

double SequentialRead(const std::wstring& path, std::vector<uint8_t>& buffer) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  double start = Now();
  DWORD read = 0;
  uint64_t total = 0;
  while (ReadFile(file, buffer.data(), kPart, &read, nullptr) && read > 0) total += read;
  double seconds = Now() - start;
  CloseHandle(file);
  return static_cast<double>(total) / seconds / 1e6;
}

uint64_t FolderBytes(const std::wstring& folder) {
  uint64_t total = 0;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"/*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return 0;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      total += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return total;
}

// The bench's folder: argv[1] or the temporary folder, plus "/velmot-verify-bench".
std::wstring BaseFolder(int argc, char** argv) {
  std::wstring base;
  if (argc > 1) {
    wchar_t wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, wide, MAX_PATH - 1);
    base = wide;
  } else {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    base = temp;
  }
  std::replace(base.begin(), base.end(), L'\\', L'/');
  if (!base.empty() && base.back() == L'/') base.pop_back();
  return base + L"/velmot-verify-bench";
}

// The file and its parts' CRCs, written once; false when the file cannot be created.
bool WriteTestFile(const std::wstring& target, CRCInfoEntry& entry, std::vector<uint8_t>& buffer) {
  CRC crc;
  crc.BuildTable();
  HANDLE whole = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (whole == INVALID_HANDLE_VALUE) return false;
  for (uint64_t k = 0; k * kPart < kFileSize; ++k) {
    Fill(buffer, static_cast<unsigned>(k));
    entry.push_back(std::to_wstring(static_cast<int32_t>(crc.Compute(buffer.data(), kPart))));
    DWORD written = 0;
    WriteFile(whole, buffer.data(), kPart, &written, nullptr);
  }
  CloseHandle(whole);
  return true;
}

// Verification next to a plain read; each runs twice, the second figure counts (warm cache).
void BenchVerify(DownloadManager& manager, const std::wstring& target, const CRCInfoEntry& entry,
                 std::vector<uint8_t>& buffer) {
  double read = 0, verify = 0;
  for (int round = 0; round < 2; ++round) {
    read = SequentialRead(target, buffer);
    manager.verifiedBytes = 0;
    double start = Now();
    bool ok = manager.CheckFileFromCRCInfo(entry);
    verify = static_cast<double>(manager.verifiedBytes.load()) / (Now() - start) / 1e6;
    if (!ok) std::printf("verification failed\n");
  }
  std::printf("verify: sequential read %.0f MB/s, CheckFileFromCRCInfo %.0f MB/s, ratio %.2f\n",
              read, verify, verify / read);
}

// Merge: the parts from the same bytes, the target removed first. True when merged.
bool BenchMerge(DownloadManager& manager, const std::wstring& work, const std::wstring& download,
                const CRCInfoEntry& entry, std::vector<uint8_t>& buffer) {
  for (uint64_t k = 0; k * kPart < kFileSize; ++k) {
    Fill(buffer, static_cast<unsigned>(k));
    WriteAll(work + L"/" + manager.currentName + L"part" + std::to_wstring(k), buffer.data(),
             kPart);
  }
  std::atomic<bool> done{false};
  std::atomic<uint64_t> peak{0};
  std::thread sampler([&] {
    while (!done) {
      peak = std::max<uint64_t>(peak.load(), FolderBytes(work) + FolderBytes(download));
      Sleep(5);
    }
  });
  double start = Now();
  manager.MergePartFiles(entry.size() - 2, entry);
  double seconds = Now() - start;
  done = true;
  sampler.join();
  bool merged = FolderBytes(download) == kFileSize && FolderBytes(work) == 0;
  std::printf(
      "merge: %.2f s (%.0f MB/s), peak bytes on disk %.3f GB for a %.3f GB file (%.2f copies)%s\n",
      seconds, static_cast<double>(kFileSize) / seconds / 1e6,
      static_cast<double>(peak.load()) / 1e9, static_cast<double>(kFileSize) / 1e9,
      static_cast<double>(peak.load()) / kFileSize, merged ? "" : "  MERGE FAILED");
  return merged;
}

}  // namespace

int main(int argc, char** argv) {
  const std::wstring base = BaseFolder(argc, argv);
  const std::wstring download = base + L"/download";
  const std::wstring work = base + L"/work";
  CreateDirectoryW(base.c_str(), nullptr);
  CreateDirectoryW(download.c_str(), nullptr);
  CreateDirectoryW(work.c_str(), nullptr);

  DownloadManager manager(nullptr);
  manager.productSuffix = L"_1";
  manager.downloadFolder = download;
  manager.workFolder = work;
  manager.currentName = manager.GetLocalName(L"Setup.exe");
  const std::wstring target = download + L"/" + manager.currentName;

  CRCInfoEntry entry{L"Setup.exe", std::to_wstring(kFileSize)};
  std::vector<uint8_t> buffer(kPart);
  if (!WriteTestFile(target, entry, buffer)) {
    std::printf("cannot create the test file\n");
    return 1;
  }
  BenchVerify(manager, target, entry, buffer);
  DeleteFileW(target.c_str());
  const bool merged = BenchMerge(manager, work, download, entry, buffer);
  DeleteFileW(target.c_str());
  RemoveDirectoryW(work.c_str());
  RemoveDirectoryW(download.c_str());
  RemoveDirectoryW(base.c_str());
  return merged ? 0 : 1;
}
