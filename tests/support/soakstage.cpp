#include "support/soakstage.h"

#include "support/downloadjob.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace testsupport::soak {

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

namespace {

void PublishFiles(Stage& stage, const std::vector<uint8_t>& setup) {
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
}

}  // namespace

void Publish(Stage& stage, const std::vector<uint8_t>& setup) {
  PublishFiles(stage, setup);
  // The answers per object and request; an object changed at request k answers with its new
  // ETag from then on (later steps and "then").
  std::map<std::string, nlohmann::json> attempts;
  std::map<std::string, size_t> changedFrom;
  for (const FaultSpec& fault : stage.plan.faults) {
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
      const std::string etag = "changed-" + std::to_string(stage.plan.seed);
      for (size_t k = changed->second; k < entry.second.size(); ++k)
        behaviour["attempts"][k]["etag"] = etag;
      behaviour["then"] = {{"etag", etag}};
    }
    stage.release.host.SetBehaviour(entry.first, behaviour);
  }
}

std::string IsoNow() {
  SYSTEMTIME t;
  GetSystemTime(&t);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return text;
}

}  // namespace testsupport::soak
