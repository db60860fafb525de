// One run of the download manager over a DownloadJob: the recording listener, the manager
// described from the job's host, list and folders, the start and the bounded wait for the
// end. A test that needs something special sets it on the public manager and listener
// before Start (a setting, a listener reaction, files on disk); one that drives single job
// steps uses the manager without starting it (the job then needs nothing published). Each
// ManagerJob starts with an empty error log, so that its records are the job's own.
#pragma once

#include "download/job/downloadmanager.h"
#include "support/downloadjob.h"
#include "support/testenv.h"
#include "support/recordingdmlistener.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// A file of a release; without publishParts the list names it but the host has no parts.
struct ReleaseFile {
  std::string name;
  std::vector<uint8_t> bytes;
  bool publishParts = true;
};

// How long a job may take. Generous: a hang must fail, a slow machine must not.
constexpr unsigned kJobMs = 90000;

class ManagerJob {
 public:
  // A job of its own for the step-by-step tests: nothing published, or these files and the
  // list that names them.
  explicit ManagerJob(const std::vector<ReleaseFile>& files = {});
  explicit ManagerJob(DownloadJob& job);
  ManagerJob(const ManagerJob&) = delete;
  ManagerJob& operator=(const ManagerJob&) = delete;

  // Starts the job on the job's list and folders (describing the manager again, so that a
  // descriptor a download request brought names the job's host).
  void Start() { job.Start(manager); }
  // Waits for the end of the started job within kJobMs.
  ::testing::AssertionResult Ended();
  // Start, then Ended.
  ::testing::AssertionResult Run() {
    Start();
    return Ended();
  }
  // Stops the job; how many milliseconds StopJob took.
  ULONGLONG StopMs() {
    return MsTaken([this] { manager.StopJob(); });
  }

  // Where a listed file, or its part k, lies on disk for this manager.
  std::wstring LocalPath(const std::string& listed) const { return job.LocalPath(manager, listed); }
  std::wstring PartPath(const std::string& listed, size_t k) const {
    return job.PartPath(manager, listed, k);
  }
  // Leaves bytes in the work folder (made if missing) as part k of a listed file.
  void PutPart(const std::string& listed, size_t k, const std::vector<uint8_t>& bytes) const;
  std::vector<std::wstring> Errors() const { return listener.Errors(); }
  size_t Finished() const { return listener.FinishedCount(); }
  // Requests the host saw for part k of a listed file, and for the list.
  size_t PartRequests(const std::string& listed, size_t k) const {
    return job.RequestCount(DownloadJob::PartObject(k, listed));
  }
  size_t ListRequests() const { return job.RequestCount(DownloadJob::ListObject()); }

 private:
  std::unique_ptr<DownloadJob> ownJob_;

 public:
  DownloadJob& job;
  RecordingDMListener listener;
  DownloadManager manager;
};

}  // namespace testsupport
