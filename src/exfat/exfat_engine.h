#pragma once
// The exFAT engine as the results core sees it: scans an exFAT partition
// (deleted files, or a quick-formatted drive) into a ResultTree and streams
// found files' bytes back for recovery, thumbnails and preview.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "exfat/exfat_scan.h"
#include "exfat/exfat_volume.h"
#include "results/scan_engine.h"

namespace brenix::exfat {

// "exFAT - Logical Disk (%c:)"; without a drive letter the mount point, or "*".
std::string rootLabel(char driveLetter, const std::string& rootPath);

class ExFatEngine final : public ScanEngine {
 public:
  EngineKind kind() const override { return EngineKind::ExFat; }

  ScanResult scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) override;
  bool readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) override;
  WriteStatus writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) override;
  // The formatted-drive sweep for directory clusters can stop and continue.
  bool continuesScan(ScanMode mode) const override { return mode == ScanMode::Formatted; }

  // Scans a volume the caller opened (tests, tools); the engine keeps it for reads.
  ScanResult scanVolume(std::unique_ptr<Volume> volume, ScanMode mode, RecoveryContext& ctx, ResultTree& tree,
                        const RunningFlag& running);

  const std::vector<Item>& records() const { return records_; }
  const Volume* volume() const { return volume_.get(); }
  const ScanCounters& counters() const { return counters_; }

 private:
  const Item* recordOf(const FoundItem& item) const;
  // Streams up to `limit` bytes of a record into `put`; false when a read fails
  // or the placement is incomplete (what could be read is still delivered).
  template <typename Put>
  WriteStatus stream(const Item& rec, uint64_t limit, const RunningFlag* running, Put put);

  std::unique_ptr<Volume> volume_;
  std::vector<Item> records_;
  ScanCounters counters_;
};

}  // namespace brenix::exfat
