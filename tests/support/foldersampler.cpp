#include "support/foldersampler.h"

#include "download/store/partstore.h"
#include "support/downloadjob.h"

namespace testsupport::soak {

FolderSampler::FolderSampler(Stage& stage, ULONGLONG started) : stage_(stage), started_(started) {
  thread_ = std::thread([this] { Run(); });
}

void FolderSampler::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

// Stamped after the read that saw it: a stamp from the start of the sweep could come before
// the request of a small part that was fetched and written while the sweep ran.
void FolderSampler::Seen(size_t i, size_t k) {
  auto& list = events[{i, k}];
  if (list.empty() || list.back().second != 'w') list.push_back({IsoNow(), 'w'});
}

void FolderSampler::DeleteDue(size_t i, size_t k, const std::wstring& path) {
  for (FaultSpec& fault : stage_.plan.faults) {
    if (fault.kind == kDeletePart && !fault.applied && fault.file == static_cast<int>(i) &&
        fault.part == k && DeleteFileW(path.c_str())) {
      fault.applied = true;
      events[{i, k}].push_back({IsoNow(), 'd'});
    }
  }
}

void FolderSampler::Sample(std::set<std::wstring>& reported) {
  const ULONGLONG tick = GetTickCount64();
  for (FaultSpec& fault : stage_.plan.faults) {
    if (fault.kind == kOutage && !fault.applied && tick >= started_ + fault.atMs) {
      stage_.release.host.GoDown(fault.lengthMs);
      fault.applied = true;
    }
  }
  for (size_t i = 0; i < stage_.plan.files.size(); ++i) {
    const FileSpec& file = stage_.plan.files[i];
    const std::wstring final = stage_.FinalPath(i);
    uint64_t size = 0;
    const bool exists = FileSize(final, size);
    const bool finished = exists && size == file.size;
    if (exists && !finished && reported.insert(final).second)
      incomplete.push_back(Narrow(stage_.localNames[i]) + " seen with " + std::to_string(size) +
                           " of " + std::to_string(file.size) + " bytes");
    for (size_t k = 0; k < file.Parts(); ++k) {
      const std::vector<uint8_t>& part = stage_.PartBytes(i, k);
      // The merging file has its whole length from the start: a part is in once its region
      // ends with the part's own last bytes (a checked part is written in one piece).
      if (finished || RegionEndsWith(final + L".merging", k * kPart, part)) Seen(i, k);
      const std::wstring path =
          PartStore::PartPath(stage_.release.workFolder, stage_.localNames[i], k);
      if (!FileSize(path, size) || size != part.size()) continue;
      Seen(i, k);
      DeleteDue(i, k, path);
    }
  }
}

void FolderSampler::Run() {
  std::set<std::wstring> reported;
  while (!stop_) {
    Sample(reported);
    Sleep(3);
  }
}

}  // namespace testsupport::soak
