#include "support/managerjob.h"

#include "diagnostics/error.h"

namespace testsupport {

ManagerJob::ManagerJob(const std::vector<ReleaseFile>& files)
    : ownJob_(new DownloadJob), job(*ownJob_), manager(&listener) {
  Error::Clear();
  for (const ReleaseFile& file : files) job.AddFile(file.name, file.bytes, file.publishParts);
  if (!files.empty()) job.PublishList();
  job.Describe(manager);
}

ManagerJob::ManagerJob(DownloadJob& job) : job(job), manager(&listener) {
  Error::Clear();
  job.Describe(manager);
}

::testing::AssertionResult ManagerJob::Ended() {
  if (manager.WaitForEnd(kJobMs)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the job did not end within " << kJobMs << " ms";
}

void ManagerJob::PutPart(const std::string& listed, size_t k,
                         const std::vector<uint8_t>& bytes) const {
  CreateDirectoryW(job.workFolder.c_str(), nullptr);
  WriteFileBytes(PartPath(listed, k), bytes);
}

}  // namespace testsupport
