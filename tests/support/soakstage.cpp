#include "support/soakstage.h"

#include "download/store/partstore.h"
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/inprocesswindow.h"
#include "support/testservers.h"
#include "ui/downloaddialog.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace testsupport::soak {

namespace {

// UTC in the file host's log format (JavaScript's toISOString): comparable as text.
std::string IsoNow() {
  SYSTEMTIME t;
  GetSystemTime(&t);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return text;
}

// The setup first, padded to its drawn size with bytes of the run's seed; then the file host's
// answers per object and request, where an object changed at request k answers with its new
// ETag from then on (later steps and "then").
void Publish(Stage& stage, const std::vector<uint8_t>& setup) {
  Plan& plan = stage.plan;
  for (size_t i = 0; i < plan.files.size(); ++i) {
    FileSpec& file = plan.files[i];
    std::vector<uint8_t> bytes;
    if (i == 0) {
      bytes = setup;
      const std::vector<uint8_t> padding = RandomBytes(file.size - setup.size(), plan.seed);
      bytes.insert(bytes.end(), padding.begin(), padding.end());
    } else {
      bytes = RandomBytes(file.size, static_cast<unsigned>(plan.seed + i));
    }
    file.firstPart = stage.release.parts.size();
    stage.release.AddFile(file.listed, bytes);
    stage.localNames.push_back(CRCInfoReader::LocalName(FromUtf8(file.listed), L"_7"));
  }
  stage.release.Publish();
  std::map<std::string, nlohmann::json> attempts;
  std::map<std::string, size_t> changedFrom;
  for (const FaultSpec& fault : plan.faults) {
    if (!IsHostFault(fault.kind)) continue;
    const std::string object = stage.ObjectOf(fault.file, fault.part);
    nlohmann::json next;
    const nlohmann::json step = HostStep(fault, stage.SizeOf(fault.file, fault.part), next);
    if (fault.kind == kObjectChanged) changedFrom[object] = fault.attempt + 1;
    nlohmann::json& list = attempts[object];
    if (list.is_null()) list = nlohmann::json::array();
    while (list.size() <= fault.LastAttempt()) list.push_back(nlohmann::json::object());
    list[fault.attempt] = step;
    if (IsCutThenChange(fault.kind)) list[fault.LastAttempt()] = next;
  }
  for (auto& entry : attempts) {
    nlohmann::json behaviour = {{"attempts", entry.second}};
    auto changed = changedFrom.find(entry.first);
    if (changed != changedFrom.end()) {
      const std::string etag = "changed-" + std::to_string(plan.seed);
      for (size_t k = changed->second; k < entry.second.size(); ++k)
        behaviour["attempts"][k]["etag"] = etag;
      behaviour["then"] = {{"etag", etag}};
    }
    stage.release.host.SetBehaviour(entry.first, behaviour);
  }
}

// The real program, started again after a kill; null (with a note) when it did not start.
std::unique_ptr<DmProcess> Start(const GuiRelease& release, const char* failure, Outcome& outcome) {
  auto program = std::make_unique<DmProcess>(release.DownloadFolder(), release.ExeName());
  if (program->Start()) return program;
  outcome.notes.push_back(failure);
  return nullptr;
}

void RunProgram(Stage& stage, ULONGLONG started, Outcome& outcome) {
  GuiRelease& release = stage.release;
  FaultSpec* kill = stage.plan.Find(kKill);
  // Inherited by the program (and by its restart after a kill).
  SetEnvironmentVariableW(L"VELMOT_TEST_COMPUTER_ID", FromUtf8(stage.uploadComputer).c_str());
  std::unique_ptr<DmProcess> program = Start(release, "the program did not start", outcome);
  if (!program) return;
  const ULONGLONG end = started + stage.plan.boundMs;
  bool killDue = kill != nullptr;
  bool ended = false;
  while (GetTickCount64() < end) {
    if (killDue && GetTickCount64() >= started + kill->atMs) {
      killDue = false;
      if (program->WaitForExit(0) == STILL_ACTIVE) {
        stage.killedAt = IsoNow();
        program->Kill();
        kill->applied = true;
        // The old copy's removal goes first: it deletes the exe the new one copies in.
        program.reset();
        program = Start(release, "the program did not start again after the kill", outcome);
        if (!program) return;
      }
    }
    // Ended (before its kill was due, if one was: that kill met nothing).
    if (program->WaitForExit(0) != STILL_ACTIVE) {
      ended = true;
      break;
    }
    if (!program->Window()) program->FindWindowByCaption(release.Caption(), 0);
    if (!program->Window()) {
      Sleep(20);
    } else if (HWND box = program->FindMessageBox(L"Error", 0)) {
      outcome.box = BoxText(box);
      program->PostClose();
      const ULONGLONG left = end > GetTickCount64() ? end - GetTickCount64() : 0;
      ended = program->WaitForExit(static_cast<DWORD>(std::min<ULONGLONG>(left, 60000))) !=
              STILL_ACTIVE;
      break;
    }
  }
  outcome.ms = static_cast<DWORD>(GetTickCount64() - started);
  if (!ended) {
    outcome.Violate(kOverTime, "still running after " + std::to_string(stage.plan.boundMs) + " ms");
    program->Kill();
  }
}

// The window in this process, with the disk full from the drawn free-space query on.
void RunInProcess(Stage& stage, HMODULE resources, ULONGLONG started, Outcome& outcome) {
  FaultSpec* full = stage.plan.Find(kDiskFull);
  std::vector<std::wstring> boxes;
  int queries = 0;
  bool quit = false;
  {
    DownloadDialog dialog(resources, stage.release.ModulePath());
    dialog.manager.computerId = FromUtf8(stage.uploadComputer);
    dialog.manager.settings.freeSpaceQuery = [&](const std::wstring& folder, uint64_t& freeBytes) {
      if (++queries >= full->fromQuery) {
        full->applied = true;
        freeBytes = 12345678;
        return true;
      }
      ULARGE_INTEGER available = {};
      if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
      freeBytes = available.QuadPart;
      return true;
    };
    dialog.Show();
    quit = RunUntilQuit(dialog.Window(), stage.plan.boundMs, boxes);
    outcome.ms = static_cast<DWORD>(GetTickCount64() - started);
    if (!quit) {
      PostMessageW(dialog.Window(), WM_CLOSE, 0, 0);
      RunUntilQuit(dialog.Window(), 60000, boxes);
    }
  }
  if (!quit)
    outcome.Violate(kOverTime,
                    "the window still open after " + std::to_string(stage.plan.boundMs) + " ms");
  if (!boxes.empty()) outcome.box = boxes.front();
}

}  // namespace

std::string Stage::ObjectOf(int file, size_t part) const {
  if (file < 0) return "rel/" + Narrow(release.name) + ".txt";
  return "rel/" + std::to_string(part) + "_" + plan.files[static_cast<size_t>(file)].listed;
}

std::string Stage::HostPath(int file, size_t part) const {
  return Narrow(release.host.ObjectPath(ObjectOf(file, part)));
}

size_t Stage::SizeOf(int file, size_t part) const {
  if (file < 0) return release.document.size();
  return PartBytes(static_cast<size_t>(file), part).size();
}

bool Stage::Identical(size_t i, const std::vector<uint8_t>& bytes) const {
  const FileSpec& file = plan.files[i];
  if (bytes.size() != file.size) return false;
  for (size_t k = 0; k < file.Parts(); ++k) {
    const std::vector<uint8_t>& part = PartBytes(i, k);
    if (!std::equal(part.begin(), part.end(), bytes.begin() + k * kPart)) return false;
  }
  return true;
}

FolderSampler::FolderSampler(Stage& stage, ULONGLONG started) : stage_(stage), started_(started) {
  thread_ = std::thread([this] {
    std::set<std::wstring> reported;
    while (!stop_) {
      Sample(reported);
      Sleep(3);
    }
  });
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
      for (FaultSpec& fault : stage_.plan.faults) {
        if (fault.kind == kDeletePart && !fault.applied && fault.file == static_cast<int>(i) &&
            fault.part == k && DeleteFileW(path.c_str())) {
          fault.applied = true;
          events[{i, k}].push_back({IsoNow(), 'd'});
        }
      }
    }
  }
}

Outcome RunOnce(Plan plan, HMODULE resources, const std::vector<uint8_t>& setup) {
  Outcome outcome;
  Stage stage;
  stage.plan = std::move(plan);
  Publish(stage, setup);
  const ULONGLONG started = GetTickCount64();
  stage.uploadComputer = UniqueId("soak-" + std::to_string(stage.plan.seed));
  {
    FolderSampler sampler(stage, started);
    if (stage.plan.inProcess) {
      RunInProcess(stage, resources, started, outcome);
    } else {
      RunProgram(stage, started, outcome);
    }
    // Setup is started through the shell and writes its marker a moment later; a run that
    // ended in a box started none.
    outcome.setupStarted = stage.release.SetupStarted(outcome.box.empty() ? 10000 : 0);
    outcome.clearFailure = !outcome.setupStarted && IsClearFailure(outcome.box);
    sampler.Stop();
    Check(stage, sampler, outcome);
  }
  for (const FaultSpec& fault : stage.plan.faults)
    if (fault.applied) outcome.met.push_back(fault.kind);
  return outcome;
}

}  // namespace testsupport::soak
