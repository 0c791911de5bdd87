#include "cli/raw_scan_session.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/scan_session.h"
#include "cli/session_files.h"
#include "disk/device_identity.h"
#include "disk/device_table.h"
#include "raw/raw_engine.h"

namespace brenix::cli {

namespace {

constexpr const char* kKind = "brenix raw scan session";
constexpr size_t kMaxFiles = 10'000'000;

nlohmann::json optionsJson(const ScanSession& s) {
  std::vector<std::string> types = s.ctx.options.rawTypes;
  std::sort(types.begin(), types.end());
  return {{"mode", "raw"},
          {"origin", s.ctx.partitionStart},
          {"start", s.ctx.options.startSector},
          {"end", s.ctx.options.endSector},
          {"types", types},
          {"preset", static_cast<int>(s.ctx.preset)},
          {"maxSizeKb", s.ctx.options.rawMaxSizeKb},
          {"trim", s.ctx.options.rawTrim}};
}

}  // namespace

struct RawScanSessionFile::State {
  std::string path;
  nlohmann::json identity;
  nlohmann::json options;
  nlohmann::json runs = nlohmann::json::array();
  uint64_t resumedAt = 0;
  std::chrono::steady_clock::time_point lastWrite{};
  std::string error;

  std::string text(const RawScanCheckpoint& c, const std::vector<RawFoundFile>& files, size_t count, bool finished,
                   const nlohmann::json& runsNow) const {
    nlohmann::json jfiles = nlohmann::json::array();
    for (size_t i = 0; i < count && i < files.size(); ++i) {
      const RawFoundFile& f = files[i];
      jfiles.push_back({{"name", f.name}, {"description", f.description}, {"startSector", f.startSector},
                        {"size", f.size}, {"cutSize", f.cutSize}, {"type", f.typeIndex}});
    }
    nlohmann::json open = nullptr;
    if (c.fileOpen) open = {{"start", c.openStart}, {"type", c.openType}};
    return nlohmann::json{{"kind", kKind},        {"version", 1},        {"device", identity},
                          {"options", options},   {"position", c.position}, {"open", open},
                          {"finished", finished}, {"runs", runsNow},     {"files", std::move(jfiles)}}
               .dump(1) +
           "\n";
  }
};

RawScanSessionFile::~RawScanSessionFile() = default;

std::unique_ptr<RawScanSessionFile> RawScanSessionFile::prepare(const ScanCliOptions& o, ScanSession& s,
                                                                std::ostream& err, int* status) {
  *status = kExitUsage;
  auto* raw = dynamic_cast<RawEngine*>(s.engine.get());
  if (!raw || s.mode != ScanMode::Raw) {
    err << "--session and --resume apply to --mode raw only\n";
    return nullptr;
  }
  std::unique_ptr<RawScanSessionFile> session(new RawScanSessionFile);
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
        err << refused << "not a raw scan session of this program\n";
        return nullptr;
      }
      if (j.at("device") != st.identity) {
        err << refused << "it belongs to another disk (model, size or first sector differ: "
            << j.at("device").dump() << " here " << st.identity.dump() << ")\n";
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
      RawScanCheckpoint c;
      c.position = j.at("position").get<uint64_t>();
      if (c.position > identity.sizeBytes) {
        err << refused << "its position lies past the end of the disk\n";
        return nullptr;
      }
      const nlohmann::json& open = j.at("open");
      if (!open.is_null()) {
        c.fileOpen = true;
        c.openStart = open.at("start").get<uint64_t>();
        c.openType = open.at("type").get<int32_t>();
        if (c.openStart > c.position) {
          err << refused << "its open file starts past its position\n";
          return nullptr;
        }
      }
      const nlohmann::json& files = j.at("files");
      if (!files.is_array() || files.size() > kMaxFiles) {
        err << refused << "bad list of found files\n";
        return nullptr;
      }
      std::vector<RawFoundFile> found;
      found.reserve(files.size());
      for (const auto& f : files) {
        RawFoundFile r;
        r.name = f.at("name").get<std::string>();
        r.description = f.at("description").get<std::string>();
        r.startSector = f.at("startSector").get<uint64_t>();
        r.size = f.at("size").get<uint64_t>();
        r.cutSize = f.at("cutSize").get<uint64_t>();
        r.typeIndex = f.at("type").get<int32_t>();
        if (r.startSector > identity.sizeBytes / 512 || r.size > identity.sizeBytes || r.cutSize > identity.sizeBytes) {
          err << refused << "found file '" << r.name << "' lies outside the disk\n";
          return nullptr;
        }
        found.push_back(std::move(r));
      }
      st.runs = j.at("runs");
      if (!st.runs.is_array()) st.runs = nlohmann::json::array();
      st.resumedAt = c.position;
      raw->scanner().resumeFrom(c, std::move(found));
    } catch (const nlohmann::json::exception& e) {
      err << refused << "a field is missing or of the wrong kind (" << e.what() << ")\n";
      return nullptr;
    }
  }
  // While the scan runs: the session on disk follows it, about once a second.
  State* state = &st;
  raw->scanner().setCheckpointSink([state](const RawScanCheckpoint& c, const std::vector<RawFoundFile>& files) {
    const auto now = std::chrono::steady_clock::now();
    if (now - state->lastWrite < std::chrono::seconds(1)) return;
    state->lastWrite = now;
    nlohmann::json runs = state->runs;
    runs.push_back({{"from", state->resumedAt}, {"to", c.position}, {"sweptBytes", c.sweptThisRun}});
    std::string error;
    writeSessionAtomically(state->path, state->text(c, files, files.size(), false, runs), &error);
  });
  *status = kExitOk;
  return session;
}

void RawScanSessionFile::finish(ScanSession& s, bool cancelled, std::ostream& err) {
  auto* raw = dynamic_cast<RawEngine*>(s.engine.get());
  if (!raw || !state_) return;
  raw->scanner().setCheckpointSink({});
  const RawScanCheckpoint& c = raw->scanner().checkpoint();
  State& st = *state_;
  st.runs.push_back({{"from", st.resumedAt}, {"to", c.position}, {"sweptBytes", c.sweptThisRun}});
  std::string error;
  if (!writeSessionAtomically(st.path, st.text(c, raw->scanner().files(), raw->scanner().filesAtCheckpoint(), !cancelled, st.runs),
                       &error)) {
    err << error << "\n";
    return;
  }
  if (cancelled)
    err << "Scan session saved in '" << st.path << "' at byte " << c.position << "; continue it with --resume "
        << st.path << "\n";
}

}  // namespace brenix::cli
