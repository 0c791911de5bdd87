#include "cli/sweep_scan_session.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/scan_session.h"
#include "cli/session_files.h"
#include "disk/fs_kind.h"
#include "results/sweep_session.h"

namespace brenix::cli {

namespace {

constexpr const char* kKind = "brenix formatted scan session";
constexpr size_t kMaxFound = 20'000'001;

nlohmann::json optionsJson(const ScanSession& s) {
  std::vector<std::string> types = s.ctx.options.rawTypes;
  std::sort(types.begin(), types.end());
  return {{"mode", "formatted"},
          {"fileSystem", s.engineFsName},
          {"origin", s.ctx.partitionStart},
          {"partitionEnd", s.ctx.partitionEnd},
          {"start", s.ctx.options.startSector},
          {"end", s.ctx.options.endSector},
          {"preset", static_cast<int>(s.ctx.preset)},
          {"carve", s.ctx.options.carveUnclaimed},
          {"types", types},
          {"maxSizeKb", s.ctx.options.rawMaxSizeKb},
          {"trim", s.ctx.options.rawTrim}};
}

}  // namespace

struct SweepScanSessionFile::State {
  std::string path;
  nlohmann::json identity;
  nlohmann::json options;
  nlohmann::json runs = nlohmann::json::array();
  uint64_t resumedAt = 0;
  bool resuming = false;
  SweepSession sweep;
  std::chrono::steady_clock::time_point lastWrite{};

  std::string text(const SweepCheckpoint& c, bool finished, const nlohmann::json& runsNow) const {
    return nlohmann::json{{"kind", kKind},
                          {"version", 1},
                          {"device", identity},
                          {"options", options},
                          {"range", {c.first, c.end}},
                          {"position", c.position},
                          {"sweepEnded", c.ended},
                          {"finished", finished},
                          {"runs", runsNow},
                          {"found", c.found}}
               .dump(1) +
           "\n";
  }
};

SweepScanSessionFile::~SweepScanSessionFile() = default;

bool SweepScanSessionFile::supports(const ScanSession& s) {
  return s.mode == ScanMode::Formatted && fskind::isFatEngineKind(s.engineFsName);
}

std::unique_ptr<SweepScanSessionFile> SweepScanSessionFile::prepare(const ScanCliOptions& o, ScanSession& s,
                                                                    std::ostream& err, int* status) {
  *status = kExitUsage;
  if (!supports(s)) {
    err << "--session and --resume apply to --mode raw, and to --mode formatted of a FAT partition\n";
    return nullptr;
  }
  std::unique_ptr<SweepScanSessionFile> session(new SweepScanSessionFile);
  session->state_ = std::make_unique<State>();
  State& st = *session->state_;
  st.path = o.resume.empty() ? o.session : o.resume;
  DeviceIdentity identity;
  if (!identifyDevice(s.source.devicePath, sessionModelOf(s), &identity)) {
    *status = kExitFailed;
    err << "Can not read the device '" << s.source.devicePath << "'\n";
    return nullptr;
  }
  st.identity = sessionIdentityJson(identity);
  st.options = optionsJson(s);
  if (!o.resume.empty()) {
    *status = kExitFailed;
    const std::string refused = "Session file '" + o.resume + "' refused: ";
    nlohmann::json j;
    std::string problem;
    if (!readSessionJson(o.resume, &j, &problem)) {
      err << problem << "\n";
      return nullptr;
    }
    try {
      if (j.at("kind") != kKind || j.at("version") != 1) {
        err << refused << "not a formatted scan session of this program\n";
        return nullptr;
      }
      if (j.at("device") != st.identity) {
        err << refused << "it belongs to another disk (model, size or first sector differ: " << j.at("device").dump()
            << " here " << st.identity.dump() << ")\n";
        return nullptr;
      }
      if (j.at("options") != st.options) {
        err << refused << "it was made with other scan options (" << j.at("options").dump() << ")\n";
        return nullptr;
      }
      if (j.at("finished").get<bool>()) {
        err << refused << "that scan is finished; run it without --resume to scan again\n";
        return nullptr;
      }
      SweepCheckpoint c;
      const nlohmann::json& range = j.at("range");
      if (!range.is_array() || range.size() != 2) {
        err << refused << "bad range\n";
        return nullptr;
      }
      c.first = range[0].get<uint64_t>();
      c.end = range[1].get<uint64_t>();
      c.position = j.at("position").get<uint64_t>();
      const nlohmann::json& found = j.at("found");
      if (!found.is_array() || found.size() > kMaxFound) {
        err << refused << "bad list of found directories\n";
        return nullptr;
      }
      c.found.reserve(found.size());
      for (const auto& v : found) c.found.push_back(v.get<uint64_t>());
      st.runs = j.at("runs");
      if (!st.runs.is_array()) st.runs = nlohmann::json::array();
      st.resumedAt = c.position;
      st.resuming = true;
      st.sweep.resume = std::move(c);
    } catch (const nlohmann::json::exception& e) {
      err << refused << "a field is missing or of the wrong kind (" << e.what() << ")\n";
      return nullptr;
    }
  }
  // While the sweep runs: the session on disk follows it, about once a second.
  State* state = &st;
  st.sweep.sink = [state](const SweepCheckpoint& c) {
    const auto now = std::chrono::steady_clock::now();
    if (now - state->lastWrite < std::chrono::seconds(1)) return;
    state->lastWrite = now;
    nlohmann::json runs = state->runs;
    runs.push_back({{"from", state->resumedAt}, {"to", c.position}, {"sweptBytes", c.sweptBytes}});
    std::string error;
    writeSessionAtomically(state->path, state->text(c, false, runs), &error);
  };
  s.ctx.sweep = &st.sweep;
  *status = kExitOk;
  return session;
}

bool SweepScanSessionFile::finish(ScanSession& s, bool cancelled, std::ostream& err) {
  s.ctx.sweep = nullptr;
  if (!state_) return true;
  State& st = *state_;
  st.sweep.sink = {};
  if (!st.sweep.refused.empty()) {
    err << "Session file '" << st.path << "' refused: " << st.sweep.refused << "\n";
    return false;
  }
  if (!st.sweep.reachedSet) return true;  // the volume could not be opened: nothing swept, the file stays
  const SweepCheckpoint& c = st.sweep.reached;
  st.runs.push_back({{"from", st.resumedAt}, {"to", c.position}, {"sweptBytes", c.sweptBytes}});
  std::string error;
  if (!writeSessionAtomically(st.path, st.text(c, !cancelled, st.runs), &error)) {
    err << error << "\n";
    return true;
  }
  if (cancelled)
    err << "Scan session saved in '" << st.path << "' at cluster " << c.position << "; continue it with --resume "
        << st.path << "\n";
  return true;
}

}  // namespace brenix::cli
