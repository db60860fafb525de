// One run of the download manager over a DownloadJob: the recording listener, the manager
// described from the job's host, list and folders, the start and the bounded wait for the
// end. A test that needs something special sets it on the public manager and listener
// before Start (a setting, a listener reaction, files on disk); one that drives single job
// steps uses the manager without starting it (the job then needs nothing published).
#pragma once

#include "download/job/downloadmanager.h"
#include "support/downloadjob.h"
#include "support/recordingdmlistener.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class ManagerJob {
 public:
  // Generous: a hang must fail, a slow machine must not.
  static constexpr unsigned kJobMs = 90000;

  // A job of its own (nothing published) for the step-by-step tests.
  ManagerJob();
  explicit ManagerJob(DownloadJob& job);
  ManagerJob(const ManagerJob&) = delete;
  ManagerJob& operator=(const ManagerJob&) = delete;

  // Starts the job on the job's list and folders (describing the manager again, so that a
  // descriptor a download request brought names the job's host).
  void Start();
  // Waits for the end of the started job within kJobMs.
  ::testing::AssertionResult Ended();
  // Start, then Ended.
  ::testing::AssertionResult Run();

  // Where a listed file, or its part k, lies on disk for this manager.
  std::wstring LocalPath(const std::string& listed) const;
  std::wstring PartPath(const std::string& listed, size_t k) const;
  std::vector<std::wstring> Errors() const { return listener.Errors(); }

 private:
  std::unique_ptr<DownloadJob> ownJob_;

 public:
  DownloadJob& job;
  RecordingDMListener listener;
  DownloadManager manager;
};

}  // namespace testsupport
