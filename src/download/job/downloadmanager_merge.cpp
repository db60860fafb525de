// The installer files while their parts arrive (each a MergingFile), and starting setup
// once every installer file is verified.
#include "download/job/downloadmanager.h"

#include "base/scopedflag.h"
#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "download/setup/setuplauncher.h"
#include "download/store/crcinforeader.h"
#include "download/store/mergingfile.h"

#include <windows.h>

#include <string>
#include <vector>

std::wstring DownloadManager::MergeFilePath(const std::wstring& localName) const {
  return MergingFile::PathFor(downloadFolder, localName);
}

MergingFile DownloadManager::CurrentMergingFile(const CRCInfoEntry& entry) {
  MergingFile::Hooks hooks;
  hooks.stopped = [this] { return stopRequested_.load(); };
  // A region already right counts as fetched and as present, like a part file did.
  hooks.regionHeld = [this](uint64_t bytes) {
    finishedBytes += bytes;
    presentBytes += bytes;
  };
  hooks.deleteOwn = [this](const std::wstring& path) { return DeleteOwnFile(path); };
  return MergingFile(downloadFolder, workFolder, currentName, entry, std::move(hooks));
}

bool DownloadManager::PrepareMergingFile(const CRCInfoEntry& entry, std::vector<size_t>& missing) {
  const MergingFile::Outcome outcome = CurrentMergingFile(entry).Prepare(missing);
  if (outcome == MergingFile::Outcome::kWriteFailed)
    RedirectToSupport(velmot::texts::kSupportRedirect);
  return outcome == MergingFile::Outcome::kReady;
}

void DownloadManager::MergePartFiles(size_t /*partCount*/, const CRCInfoEntry& entry) {
  if (!CRCInfoReader::IsSafeFileName(currentName)) {
    Error::LogError(L"Rejected file name for merging: " + currentName, DL_MANAGER_INVALID_FILE_NAME,
                    VELMOT_HERE);
    return;
  }
  std::vector<size_t> missing;
  if (PrepareMergingFile(entry, missing) && missing.empty()) FinishMerge(entry);
}

void DownloadManager::FinishMerge(const CRCInfoEntry& entry) {
  // Only the flush is left: the window shows it as the end of the merge.
  copyPercent = 100;
  velmot::ScopedFlag copyingNow(copying);
  CurrentMergingFile(entry).Finish();
}

void DownloadManager::StartSetup() {
  SetupLauncher launcher(
      settings.setupPublisher,
      [this](const std::wstring& text) {
        if (listener_) listener_->OnError(text);
      },
      [this] { watcher_.Stop(500); });
  launcher.shellStart = settings.shellStart;
  // On the stop event rather than WaitForStop, which returns at once without a running
  // thread: tests call StartSetup on their own thread. StopJob raises the flag before the
  // event is signalled.
  launcher.wait = [this](DWORD ms) {
    WaitForSingleObject(StopEvent(), ms);
    return !stopRequested_.load();
  };
  launcher.Launch(setupPath, downloadFolder, workFolder, appDataFolder);
}
