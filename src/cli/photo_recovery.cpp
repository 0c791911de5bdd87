#include "cli/photo_recovery.h"

#include "cli/scan_session.h"
#include "raw/raw_engine.h"

namespace brenix::cli {

void addPhotoRecoverOptions(CLI::App& cmd, PhotoCliOptions& o) {
  cmd.add_option("--name-by", o.nameBy, "Carved photos: file (File%d) or exif (date taken and camera)")
      ->check(CLI::IsMember({"file", "exif"}));
  cmd.add_option("--sort-by", o.sortBy, "Carved photos: none or date (YYYY/YYYY-MM-DD folders)")
      ->check(CLI::IsMember({"none", "date"}));
  cmd.add_option("--keep-broken", o.keepBroken,
                 "Carved pictures that do not decode whole: yes (written into broken/) or no (left out)")
      ->check(CLI::IsMember({"yes", "no"}));
  cmd.add_option("--min-pixels", o.minPixels, "Leave out carved pictures smaller than WxH (e.g. 320x240)");
  cmd.add_option("--min-size", o.minSize, "Leave out carved files of fewer bytes");
  cmd.add_flag("--dedup", o.dedup, "Write carved files with identical contents (SHA-256) once");
  cmd.add_flag("--no-reassemble", o.noReassemble, "Do not put broken carved JPEGs stored in two pieces back together");
}

void preparePhotoScan(const PhotoCliOptions& o, ScanSession& s) {
  if (auto* raw = dynamic_cast<RawEngine*>(s.engine.get())) raw->setReassemble(!o.noReassemble);
}

bool applyPhotoChoices(const PhotoCliOptions& o, ScanSession& s, std::vector<RecoveryStep>& steps,
                       PhotoCounts* counts, std::string* error) {
  PhotoChoices c;
  c.nameByExif = o.nameBy == "exif";
  c.sortByDate = o.sortBy == "date";
  c.keepBroken = o.keepBroken != "no";
  c.minSize = o.minSize;
  c.dedup = o.dedup;
  if (!o.minPixels.empty() && !parsePixelSize(o.minPixels, &c.minWidth, &c.minHeight)) {
    *error = "Give --min-pixels as WIDTHxHEIGHT, e.g. 320x240";
    return false;
  }
  auto* raw = dynamic_cast<RawEngine*>(s.engine.get());
  if (!raw) return true;  // names from a file system are kept as they are
  PhotoPlanner planner(c);
  std::vector<RecoveryStep> kept;
  std::vector<uint8_t> bytes;
  for (RecoveryStep& st : steps) {
    if (!st.hasItem) {
      kept.push_back(st);
      continue;
    }
    const FoundItem& item = s.tree->item(st.item);
    const PhotoInfo* info = raw->photo(size_t(item.engineIndex));
    std::string digest;
    if (c.dedup && raw->readItem(item, bytes, item.size)) digest = sha256Hex(bytes);
    std::string place;
    if (planner.place(item.name, item.size, info, digest, &place) != PhotoVerdict::Write) continue;
    st.place = place;
    kept.push_back(st);
  }
  steps = std::move(kept);
  if (counts) *counts = planner.counts();
  return true;
}

nlohmann::json photoCountsJson(const PhotoCounts& c) {
  return {{"broken", c.broken},
          {"brokenLeftOut", c.brokenLeftOut},
          {"tooSmall", c.tooSmall},
          {"fewPixels", c.fewPixels},
          {"duplicates", c.duplicates}};
}

void addPhotoJson(const ScanSession& s, const FoundItem& item, nlohmann::json& entry) {
  const auto* raw = dynamic_cast<const RawEngine*>(s.engine.get());
  if (!raw) return;
  const PhotoInfo* info = raw->photo(size_t(item.engineIndex));
  if (!info) return;
  // Raw, TIFF and HEIF pictures are read for their metadata, not decoded.
  entry["decode"] = info->decode == DecodeState::NotChecked ? nlohmann::json() : nlohmann::json(decodeStateText(info->decode));
  entry["width"] = info->width;
  entry["height"] = info->height;
  entry["dateTaken"] = info->dateTaken.empty() ? nlohmann::json() : nlohmann::json(info->dateTaken);
  if (!info->timeOffset.empty()) entry["timeOffset"] = info->timeOffset;
  entry["make"] = info->make;
  entry["model"] = info->model;
  entry["camera"] = cameraNamePart(*info);
  entry["reassembled"] = info->reassembled;
}

}  // namespace brenix::cli
