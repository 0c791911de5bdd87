#include "jobs/scan_session_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "disk/device_identity.h"
#include "jobs/carving_engine.h"
#include "raw/raw_engine.h"
#include "results/sweep_session.h"

namespace brenix {

namespace {

constexpr const char* kRawKind = "brenix raw scan session";
constexpr const char* kSweepKind = "brenix formatted scan session";
constexpr const char* kDeletedKind = "brenix deleted scan session";
constexpr size_t kMaxFiles = 10'000'000;
constexpr size_t kMaxFound = 20'000'001;

using nlohmann::json;

json identityJson(const DeviceIdentity& d) {
  return {{"model", d.model}, {"size", d.sizeBytes}, {"firstSectorSha256", d.firstSectorSha256}};
}

json optionsJson(const ScanSessionTarget& t) {
  const RecoveryContext& ctx = *t.ctx;
  std::vector<std::string> types = ctx.options.rawTypes;
  std::sort(types.begin(), types.end());
  if (t.mode == ScanMode::Raw)
    return {{"mode", "raw"},
            {"origin", ctx.partitionStart},
            {"start", ctx.options.startSector},
            {"end", ctx.options.endSector},
            {"types", types},
            {"preset", static_cast<int>(ctx.preset)},
            {"maxSizeKb", ctx.options.rawMaxSizeKb},
            {"trim", ctx.options.rawTrim}};
  if (t.mode == ScanMode::Deleted)
    return {{"mode", "deleted"},
            {"fileSystem", t.fileSystem},
            {"origin", ctx.partitionStart},
            {"partitionEnd", ctx.partitionEnd},
            {"start", ctx.options.startSector},
            {"end", ctx.options.endSector},
            {"preset", static_cast<int>(ctx.preset)},
            {"nameFilter", ctx.options.nameFilter},
            {"searchFolder", ctx.options.searchFolder}};
  return {{"mode", "formatted"},
          {"fileSystem", t.fileSystem},
          {"origin", ctx.partitionStart},
          {"partitionEnd", ctx.partitionEnd},
          {"start", ctx.options.startSector},
          {"end", ctx.options.endSector},
          {"preset", static_cast<int>(ctx.preset)},
          {"carve", ctx.options.carveUnclaimed},
          {"types", types},
          {"maxSizeKb", ctx.options.rawMaxSizeKb},
          {"trim", ctx.options.rawTrim}};
}

bool writeAtomically(const std::string& path, const std::string& text, std::string* error) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      *error = "Can not write the session file '" + temporary + "'";
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "Can not replace the session file '" + path + "'";
    return false;
  }
  return true;
}

bool readJson(const std::string& path, json* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "Can not read the session file '" + path + "'";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  *out = json::parse(text.str(), nullptr, false);
  if (out->is_discarded() || !out->is_object()) {
    *error = "Session file '" + path + "' refused: it is damaged or truncated (not complete JSON)";
    return false;
  }
  return true;
}

RawEngine* rawOf(const ScanSessionTarget& t) {
  return t.mode == ScanMode::Raw ? dynamic_cast<RawEngine*>(t.engine) : nullptr;
}

// The signature engine that carves after a formatted scan's sweep, when this scan carves.
RawEngine* carverOf(const ScanSessionTarget& t) {
  if (t.mode != ScanMode::Formatted || !t.ctx || !t.ctx->options.carveUnclaimed) return nullptr;
  auto* carving = dynamic_cast<CarvingScanEngine*>(t.engine);
  return carving ? &carving->carver() : nullptr;
}

// Where a signature sweep stands: its position, the file open there and the
// files found before it (the first count of files).
json rawPartJson(const RawScanCheckpoint& c, const std::vector<RawFoundFile>& files, size_t count) {
  json jfiles = json::array();
  for (size_t i = 0; i < count && i < files.size(); ++i) {
    const RawFoundFile& f = files[i];
    jfiles.push_back({{"name", f.name}, {"description", f.description}, {"startSector", f.startSector},
                      {"size", f.size}, {"cutSize", f.cutSize}, {"type", f.typeIndex}});
  }
  json open = nullptr;
  if (c.fileOpen) open = {{"start", c.openStart}, {"type", c.openType}};
  return {{"position", c.position}, {"open", open}, {"files", std::move(jfiles)}};
}

// Reads a signature sweep's point back; every byte it names must lie below
// limit (bytes from the sweep's origin). Empty when it fits, else why not.
std::string readRawPart(const json& j, uint64_t limit, RawScanCheckpoint* c, std::vector<RawFoundFile>* found) {
  c->position = j.at("position").get<uint64_t>();
  if (c->position > limit) return "its position lies past the end of the disk";
  const json& open = j.at("open");
  if (!open.is_null()) {
    c->fileOpen = true;
    c->openStart = open.at("start").get<uint64_t>();
    c->openType = open.at("type").get<int32_t>();
    if (c->openStart > c->position) return "its open file starts past its position";
  }
  const json& files = j.at("files");
  if (!files.is_array() || files.size() > kMaxFiles) return "bad list of found files";
  found->reserve(files.size());
  for (const auto& f : files) {
    RawFoundFile r;
    r.name = f.at("name").get<std::string>();
    r.description = f.at("description").get<std::string>();
    r.startSector = f.at("startSector").get<uint64_t>();
    r.size = f.at("size").get<uint64_t>();
    r.cutSize = f.at("cutSize").get<uint64_t>();
    r.typeIndex = f.at("type").get<int32_t>();
    if (r.startSector > limit / 512 || r.size > limit - r.startSector * 512 || r.cutSize > limit - r.startSector * 512)
      return "found file '" + r.name + "' lies outside the disk";
    found->push_back(std::move(r));
  }
  return {};
}

}  // namespace

struct ScanSessionFile::State {
  std::string path;
  ScanSessionTarget target;
  RawEngine* raw = nullptr;
  json identity;
  json options;
  json runs = json::array();
  uint64_t resumedAt = 0;
  SweepSession sweep;
  // The carving after a formatted scan's sweep: its engine, the runs of its
  // sweep so far, where this run took it up, whether it has run in this run,
  // and the carve part the session held (kept when this run does not reach it).
  RawEngine* carver = nullptr;
  json carveRuns = json::array();
  uint64_t carveResumedAt = 0;
  bool carving = false;
  json storedCarve = nullptr;
  uint64_t deviceSize = 0;
  std::chrono::steady_clock::time_point lastWrite{};

  std::string rawText(const RawScanCheckpoint& c, const std::vector<RawFoundFile>& files, size_t count, bool finished,
                      const json& runsNow) const {
    json j = rawPartJson(c, files, count);
    j.update(json{{"kind", kRawKind}, {"version", 1}, {"device", identity}, {"options", options},
                  {"finished", finished}, {"runs", runsNow}});
    return j.dump(1) + "\n";
  }
  // carve: the carving's point (null before the carving has begun).
  std::string sweepText(const SweepCheckpoint& c, bool finished, const json& runsNow, const json& carve) const {
    json j{{"kind", target.mode == ScanMode::Deleted ? kDeletedKind : kSweepKind},
           {"version", 1},
           {"device", identity},
           {"options", options},
           {"range", {c.first, c.end}},
           {"position", c.position},
           {"sweepEnded", c.ended},
           {"finished", finished},
           {"runs", runsNow},
           {"found", c.found}};
    if (!carve.is_null()) j["carve"] = carve;
    return j.dump(1) + "\n";
  }
  // The carve part as the carving stands now: its point and the runs of its sweep with this one.
  json carvePart(const RawScanCheckpoint& c, const std::vector<RawFoundFile>& files, size_t count) const {
    json part = rawPartJson(c, files, count);
    json runsNow = carveRuns;
    runsNow.push_back({{"from", carveResumedAt}, {"to", c.position}, {"sweptBytes", c.sweptThisRun}});
    part["runs"] = std::move(runsNow);
    return part;
  }

  // Checks a stored session against this scan; takes its point when apply is set. Empty when it fits.
  std::string check(const json& j, bool apply) {
    const bool deleted = target.mode == ScanMode::Deleted;
    const char* kind = raw ? kRawKind : deleted ? kDeletedKind : kSweepKind;
    try {
      if (j.at("kind") != kind || j.at("version") != 1)
        return std::string("not a ") + (raw ? "raw" : deleted ? "deleted-file" : "formatted") +
               " scan session of this program";
      if (j.at("device") != identity)
        return "it belongs to another disk (model, size or first sector differ: " + j.at("device").dump() + " here " +
               identity.dump() + ")";
      if (j.at("options") != options) return "it was made with other scan options (" + j.at("options").dump() + ")";
      if (j.at("finished").get<bool>()) return "that scan is finished; run it without --resume to scan again";
      json storedRuns = j.at("runs");
      if (!storedRuns.is_array()) storedRuns = json::array();
      if (raw) {
        RawScanCheckpoint c;
        std::vector<RawFoundFile> found;
        const std::string why = readRawPart(j, deviceSize, &c, &found);
        if (!why.empty()) return why;
        if (apply) {
          runs = storedRuns;
          resumedAt = c.position;
          raw->scanner().resumeFrom(c, std::move(found));
        }
      } else {
        SweepCheckpoint c;
        const json& range = j.at("range");
        if (!range.is_array() || range.size() != 2) return "bad range";
        c.first = range[0].get<uint64_t>();
        c.end = range[1].get<uint64_t>();
        c.position = j.at("position").get<uint64_t>();
        if (c.position > deviceSize) return "its position lies past the end of the disk";
        const json& found = j.at("found");
        if (!found.is_array() || found.size() > kMaxFound)
          return "bad list of what the scan found (not a list, or longer than " + std::to_string(kMaxFound) +
                 " numbers)";
        c.found.reserve(found.size());
        for (const auto& v : found) c.found.push_back(v.get<uint64_t>());
        // The carving's point, once the sweep has ended (sessions without one carve from the start).
        const auto carve = j.find("carve");
        RawScanCheckpoint carveAt;
        std::vector<RawFoundFile> carved;
        json carveRunsStored = json::array();
        const bool hasCarve = carve != j.end() && !carve->is_null();
        if (hasCarve) {
          if (!carver) return "it holds a carving part, but this scan does not carve";
          if (!j.at("sweepEnded").get<bool>()) return "its carving part comes before the end of its sweep";
          const uint64_t origin = target.ctx->partitionStart;
          const uint64_t limit = origin <= deviceSize / 512 ? deviceSize - origin * 512 : 0;
          const std::string why = readRawPart(*carve, limit, &carveAt, &carved);
          if (!why.empty()) return "its carving part does not fit the volume: " + why;
          carveRunsStored = carve->at("runs");
          if (!carveRunsStored.is_array()) carveRunsStored = json::array();
        }
        if (apply) {
          runs = storedRuns;
          resumedAt = c.position;
          sweep.resume = std::move(c);
          if (hasCarve) {
            carveRuns = std::move(carveRunsStored);
            carveResumedAt = carveAt.position;
            storedCarve = *carve;
            carver->scanner().resumeFrom(carveAt, std::move(carved));
          }
        }
      }
    } catch (const json::exception& e) {
      return std::string("a field is missing or of the wrong kind (") + e.what() + ")";
    }
    return {};
  }
};

ScanSessionFile::~ScanSessionFile() {
  if (!state_) return;
  if (state_->target.ctx && state_->target.ctx->sweep == &state_->sweep) state_->target.ctx->sweep = nullptr;
  if (state_->raw) state_->raw->scanner().setCheckpointSink({});
  if (state_->carver) state_->carver->scanner().setCheckpointSink({});
}

const std::string& ScanSessionFile::path() const { return state_->path; }

bool ScanSessionFile::supports(const ScanSessionTarget& t) {
  if (!t.engine || !t.ctx) return false;
  if (t.mode == ScanMode::Raw) return rawOf(t) != nullptr;
  return t.engine->continuesScan(t.mode);
}

std::unique_ptr<ScanSessionFile> ScanSessionFile::open(const ScanSessionTarget& t, const std::string& path, bool resume,
                                                       Problem* problem, std::string* message) {
  *problem = Problem::NotSupported;
  if (!supports(t)) {
    *message = "This scan can not be continued later: its engine keeps no session";
    return nullptr;
  }
  std::unique_ptr<ScanSessionFile> session(new ScanSessionFile);
  session->state_ = std::make_unique<State>();
  State& st = *session->state_;
  st.path = path;
  st.target = t;
  st.raw = rawOf(t);
  st.carver = carverOf(t);
  DeviceIdentity identity;
  if (!identifyDevice(t.devicePath, t.model, &identity)) {
    *problem = Problem::DeviceUnreadable;
    *message = "Can not read the device '" + t.devicePath + "'";
    return nullptr;
  }
  st.identity = identityJson(identity);
  st.deviceSize = identity.sizeBytes;
  st.options = optionsJson(t);
  if (resume) {
    *problem = Problem::Refused;
    json j;
    if (!readJson(path, &j, message)) return nullptr;
    const std::string why = st.check(j, true);
    if (!why.empty()) {
      *message = "Session file '" + path + "' refused: " + why;
      return nullptr;
    }
  }
  // While the scan runs: the session on disk follows it, about once a second.
  State* state = &st;
  if (st.raw) {
    st.raw->scanner().setCheckpointSink([state](const RawScanCheckpoint& c, const std::vector<RawFoundFile>& files) {
      const auto now = std::chrono::steady_clock::now();
      if (now - state->lastWrite < std::chrono::seconds(1)) return;
      state->lastWrite = now;
      json runs = state->runs;
      runs.push_back({{"from", state->resumedAt}, {"to", c.position}, {"sweptBytes", c.sweptThisRun}});
      std::string error;
      writeAtomically(state->path, state->rawText(c, files, files.size(), false, runs), &error);
    });
  } else {
    st.sweep.sink = [state](const SweepCheckpoint& c) {
      const auto now = std::chrono::steady_clock::now();
      if (now - state->lastWrite < std::chrono::seconds(1)) return;
      state->lastWrite = now;
      json runs = state->runs;
      runs.push_back({{"from", state->resumedAt}, {"to", c.position}, {"sweptBytes", c.sweptBytes}});
      std::string error;
      writeAtomically(state->path, state->sweepText(c, false, runs, state->storedCarve), &error);
    };
    t.ctx->sweep = &st.sweep;
    // The carving begins once the sweep has ended (the sweep's point is then where it ended).
    if (st.carver)
      st.carver->scanner().setCheckpointSink(
          [state](const RawScanCheckpoint& c, const std::vector<RawFoundFile>& files) {
            state->carving = true;
            if (!state->sweep.reachedSet) return;
            const auto now = std::chrono::steady_clock::now();
            if (now - state->lastWrite < std::chrono::seconds(1)) return;
            state->lastWrite = now;
            const SweepCheckpoint& s = state->sweep.reached;
            json runs = state->runs;
            runs.push_back({{"from", state->resumedAt}, {"to", s.position}, {"sweptBytes", s.sweptBytes}});
            std::string error;
            writeAtomically(state->path, state->sweepText(s, false, runs, state->carvePart(c, files, files.size())),
                            &error);
          });
  }
  *problem = Problem::None;
  return session;
}

bool ScanSessionFile::resumable(const ScanSessionTarget& t, const std::string& path) {
  if (!supports(t) || path.empty()) return false;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  State st;
  st.target = t;
  st.raw = rawOf(t);
  st.carver = carverOf(t);
  DeviceIdentity identity;
  if (!identifyDevice(t.devicePath, t.model, &identity)) return false;
  st.identity = identityJson(identity);
  st.deviceSize = identity.sizeBytes;
  st.options = optionsJson(t);
  json j;
  std::string error;
  return readJson(path, &j, &error) && st.check(j, false).empty();
}

std::string ScanSessionFile::defaultPath(const ScanSessionTarget& t) {
  const std::string folder = defaultSessionFolder();
  if (folder.empty() || !supports(t)) return {};
  DeviceIdentity identity;
  if (!identifyDevice(t.devicePath, t.model, &identity)) return {};
  const std::string key = identityJson(identity).dump() + optionsJson(t).dump();
  // FNV-1a of disk and options: one name per scan; the content is checked on resume anyway.
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char ch : key) h = (h ^ ch) * 0x100000001b3ull;
  char name[40];
  std::snprintf(name, sizeof name, "/scan-%016llx.session", static_cast<unsigned long long>(h));
  return folder + name;
}

bool ScanSessionFile::finish(bool cancelled, std::string* message, std::string* where) {
  State& st = *state_;
  std::string error;
  if (st.raw) {
    st.raw->scanner().setCheckpointSink({});
    const RawScanCheckpoint& c = st.raw->scanner().checkpoint();
    st.runs.push_back({{"from", st.resumedAt}, {"to", c.position}, {"sweptBytes", c.sweptThisRun}});
    *where = "byte " + std::to_string(c.position);
    if (!writeAtomically(st.path,
                         st.rawText(c, st.raw->scanner().files(), st.raw->scanner().filesAtCheckpoint(), !cancelled,
                                    st.runs),
                         &error))
      *message = error;
    return true;
  }
  st.target.ctx->sweep = nullptr;
  st.sweep.sink = {};
  if (st.carver) st.carver->scanner().setCheckpointSink({});
  if (!st.sweep.refused.empty()) {
    *message = "Session file '" + st.path + "' refused: " + st.sweep.refused;
    return false;
  }
  if (!st.sweep.reachedSet) return true;  // the volume could not be opened: nothing swept, the file stays
  const SweepCheckpoint& c = st.sweep.reached;
  st.runs.push_back({{"from", st.resumedAt}, {"to", c.position}, {"sweptBytes", c.sweptBytes}});
  *where = st.sweep.unit + " " + std::to_string(c.position);
  json carve = st.storedCarve;
  if (st.carving && c.ended) {
    const RawScanner& scanner = st.carver->scanner();
    carve = st.carvePart(scanner.checkpoint(), scanner.files(), scanner.filesAtCheckpoint());
    *where = "byte " + std::to_string(scanner.checkpoint().position) + " of the carving";
  }
  if (!writeAtomically(st.path, st.sweepText(c, !cancelled, st.runs, carve), &error)) *message = error;
  return true;
}

std::string defaultSessionFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data == '/') return std::string(data) + "/brenix";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/share/brenix";
  return {};
}

}  // namespace brenix
