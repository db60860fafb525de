#include "support/managerjob.h"

namespace testsupport {

ManagerJob::ManagerJob() : ownJob_(new DownloadJob), job(*ownJob_), manager(&listener) {
  job.Describe(manager);
}

ManagerJob::ManagerJob(DownloadJob& job) : job(job), manager(&listener) { job.Describe(manager); }

void ManagerJob::Start() { job.Start(manager); }

::testing::AssertionResult ManagerJob::Ended() {
  if (manager.WaitForEnd(kJobMs)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the job did not end within " << kJobMs << " ms";
}

::testing::AssertionResult ManagerJob::Run() {
  Start();
  return Ended();
}

std::wstring ManagerJob::LocalPath(const std::string& listed) const {
  return job.LocalPath(manager, listed);
}

std::wstring ManagerJob::PartPath(const std::string& listed, size_t k) const {
  return job.PartPath(manager, listed, k);
}

}  // namespace testsupport
