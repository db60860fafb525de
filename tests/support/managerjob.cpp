#include "support/managerjob.h"

#include <algorithm>

namespace testsupport {

std::vector<uint8_t> PartOf(const std::vector<uint8_t>& bytes, size_t k) {
  const size_t at = std::min(bytes.size(), k * DownloadManager::kPartSize);
  const size_t end = std::min(bytes.size(), at + DownloadManager::kPartSize);
  return std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + end);
}

ManagerJob::ManagerJob(const std::vector<ReleaseFile>& files)
    : ownJob_(new DownloadJob), job(*ownJob_), manager(&listener) {
  for (const ReleaseFile& file : files) job.AddFile(file.name, file.bytes, file.publishParts);
  if (!files.empty()) job.PublishList();
  job.Describe(manager);
}

ManagerJob::ManagerJob(DownloadJob& job) : job(job), manager(&listener) { job.Describe(manager); }

::testing::AssertionResult ManagerJob::Ended() {
  if (manager.WaitForEnd(kJobMs)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the job did not end within " << kJobMs << " ms";
}

ULONGLONG ManagerJob::StopMs() {
  const ULONGLONG before = GetTickCount64();
  manager.StopJob();
  return GetTickCount64() - before;
}

void ManagerJob::PutPart(const std::string& listed, size_t k,
                         const std::vector<uint8_t>& bytes) const {
  CreateDirectoryW(job.workFolder.c_str(), nullptr);
  WriteFileBytes(PartPath(listed, k), bytes);
}

}  // namespace testsupport
