#pragma once
// A formatted-drive scan that goes on where the file system's records end:
// after the file-system engine's scan, the signature engine carves the
// partition, and what it finds outside the clusters the found files claim is
// listed under a "Carved" folder of the same results tree. Each engine is
// used only through ScanEngine (and the signature engine's found-file list).
#include <memory>
#include <utility>
#include <vector>

#include "raw/raw_engine.h"
#include "results/scan_engine.h"

namespace brenix {

inline constexpr const char* kCarvedFolderName = "Carved";

class CarvingScanEngine final : public ScanEngine {
 public:
  explicit CarvingScanEngine(std::unique_ptr<ScanEngine> fileSystem) : fs_(std::move(fileSystem)) {}
  EngineKind kind() const override { return fs_->kind(); }
  ScanResult scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) override;
  bool readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) override;
  WriteStatus writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) override;
  std::vector<std::pair<uint64_t, uint64_t>> claimedRanges() const override { return fs_->claimedRanges(); }
  bool continuesScan(ScanMode mode) const override { return fs_->continuesScan(mode); }

  // Files carved in the last scan that were listed.
  size_t carvedCount() const { return carved_; }
  // The signature engine of the carving phase, for a session file to follow
  // its sweep and continue it (it runs only in formatted scans that carve).
  RawEngine& carver() { return raw_; }

 private:
  static constexpr uint64_t kCarvedBit = uint64_t(1) << 62;  // marks a carved item's engineIndex

  std::unique_ptr<ScanEngine> fs_;
  RawEngine raw_;
  size_t carved_ = 0;
};

// Whether a byte lies in one of the ranges (sorted by start, merged).
bool inClaimedRanges(const std::vector<std::pair<uint64_t, uint64_t>>& merged, uint64_t byte);
// Sorts and merges overlapping or touching ranges.
std::vector<std::pair<uint64_t, uint64_t>> mergeRanges(std::vector<std::pair<uint64_t, uint64_t>> ranges);

}  // namespace brenix
