#include "support/soakrunner.h"

#include "support/dmprocess.h"
#include "support/foldersampler.h"
#include "support/inprocesswindow.h"
#include "support/soakinvariants.h"
#include "support/soakstage.h"
#include "support/testservers.h"
#include "ui/downloaddialog.h"

#include <algorithm>
#include <memory>

namespace testsupport::soak {

namespace {

// The real program, started again after a kill; null (with a note) when it did not start.
std::unique_ptr<DmProcess> Start(const GuiRelease& release, const char* failure, Outcome& outcome) {
  auto program = std::make_unique<DmProcess>(release.DownloadFolder(), release.ExeName());
  if (program->Start()) return program;
  outcome.notes.push_back(failure);
  return nullptr;
}

// Closes the program on its error box; true when it ended before end.
bool CloseOnBox(DmProcess& program, ULONGLONG end, HWND box, Outcome& outcome) {
  outcome.box = BoxText(box);
  program.PostClose();
  const ULONGLONG left = end > GetTickCount64() ? end - GetTickCount64() : 0;
  return program.WaitForExit(static_cast<DWORD>(std::min<ULONGLONG>(left, 60000))) != STILL_ACTIVE;
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
      ended = CloseOnBox(*program, end, box, outcome);
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
