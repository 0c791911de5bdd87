#pragma once
// The FAT engine as the results core sees it: scans a FAT12/16/32 partition
// (deleted files, or a formatted drive) into a ResultTree and streams found
// files' bytes back for recovery, thumbnails and preview.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fat/fat_item.h"
#include "fat/fat_volume.h"
#include "results/scan_engine.h"

namespace brenix {

// "FAT16 - Logical Disk (%c:)" and its FAT12/FAT32 forms. Without a drive
// letter the mount point stands in its place, or "*" when there is none.
std::string fatRootLabel(FatType type, char driveLetter, const std::string& rootPath);

// Where one record's bytes lie on the drive: (absolute byte offset, length)
// pieces, in file order, adding up to the file size. A chain that is still
// intact in the table (as many clusters as the size needs, ending in an end
// mark) is followed; otherwise the data is the start cluster and then the
// free clusters after it, in order, skipping clusters live files hold. *ok is
// false when the data cannot lie whole on the volume. *condition (optional)
// tells Unrecoverable for a start cluster off the volume, ProbablyOverwritten
// for a lost chain whose start cluster a live file holds now.
std::vector<std::pair<uint64_t, uint64_t>> fatDataPieces(const FatVolume& volume, const FatItem& item, bool* ok,
                                                         ItemCondition* condition = nullptr);

class FatEngine final : public ScanEngine {
 public:
  explicit FatEngine(FatVariant variant) : variant_(variant) {}
  EngineKind kind() const override { return EngineKind::Fat; }

  ScanResult scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) override;
  bool readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) override;
  WriteStatus writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) override;
  std::vector<std::pair<uint64_t, uint64_t>> claimedRanges() const override;
  bool continuesScan(ScanMode mode) const override { return mode == ScanMode::Formatted; }

  // Scans a volume the caller opened (tests, tools); the engine keeps it for reads.
  ScanResult scanVolume(std::unique_ptr<FatVolume> volume, ScanMode mode, RecoveryContext& ctx, ResultTree& tree,
                        const RunningFlag& running);

  FatVariant variant() const { return variant_; }
  const std::vector<FatItem>& records() const { return records_; }
  const FatVolume* volume() const { return volume_.get(); }

 private:
  const FatItem* recordOf(const FoundItem& item) const;

  FatVariant variant_;
  std::unique_ptr<FatVolume> volume_;
  std::vector<FatItem> records_;
};

}  // namespace brenix
