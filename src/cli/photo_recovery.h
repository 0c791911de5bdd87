#pragma once
// The photo choices of brenix recover for carved files (naming from EXIF,
// date folders, broken pictures, pixel and size minimums, duplicates) and
// the photo fields of the JSON listing.
#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "photo/photo_naming.h"
#include "results/recovery_output.h"

namespace brenix::cli {

struct ScanSession;

struct PhotoCliOptions {
  std::string nameBy = "file";   // file | exif
  std::string sortBy = "none";   // none | date
  std::string keepBroken = "yes";  // yes (into broken/) | no
  std::string minPixels;         // "WxH"
  uint64_t minSize = 0;
  bool dedup = false;
  bool noReassemble = false;
};

void addPhotoRecoverOptions(CLI::App& cmd, PhotoCliOptions& o);

// Before the scan: whether the raw engine puts two-piece JPEGs together.
void preparePhotoScan(const PhotoCliOptions& o, ScanSession& s);

// For a raw scan: drops the steps of files the choices leave out and sets
// the place of the rest. False with a message on a bad option value.
bool applyPhotoChoices(const PhotoCliOptions& o, ScanSession& s, std::vector<RecoveryStep>& steps,
                       PhotoCounts* counts, std::string* error);

nlohmann::json photoCountsJson(const PhotoCounts& c);

// Adds the photo fields of a carved file to its JSON entry (nothing for other engines).
void addPhotoJson(const ScanSession& s, const FoundItem& item, nlohmann::json& entry);

}  // namespace brenix::cli
