#pragma once
// The NTFS engine as the results core sees it: a deleted-file or
// formatted-drive scan of one partition into a folder tree, and the exact
// bytes of each found file.
#include <memory>
#include <mutex>
#include <string>

#include "ntfs/ntfs_volume.h"
#include "results/scan_engine.h"

namespace brenix {

class NtfsEngine : public ScanEngine {
 public:
  EngineKind kind() const override { return EngineKind::Ntfs; }
  ScanResult scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) override;
  bool readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) override;
  WriteStatus writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) override;
  std::vector<std::pair<uint64_t, uint64_t>> claimedRanges() const override;
  // The formatted sweep continues by byte, the deleted-file scan by record of the table.
  bool continuesScan(ScanMode mode) const override { return mode == ScanMode::Formatted || mode == ScanMode::Deleted; }

  // The volume of the last scan (null before a scan).
  NtfsVolume* volume() { return volume_.get(); }

  // Root caption: "NTFS - Logical Disk (%c:)", or the mount point for a
  // partition without letter that is mounted.
  static std::string rootName(const RecoveryContext& ctx);
  // The search folder relative to the volume root ("" = the whole volume).
  static std::string relativeSearchFolder(const RecoveryContext& ctx);
  // Files an item under its folder chain (name and key tell folders apart);
  // an item whose chain is lost goes under its record buffer's "Lost
  // Files%d", in one "Dir%d" per missing parent record.
  void fileItem(ResultTree& tree, const NtfsItem& item, size_t index);

 private:
  int lostFolders_ = 0;  // the "Dir%d" folders made so far
  std::unique_ptr<NtfsVolume> volume_;
  mutable std::mutex readMutex_;
};

}  // namespace brenix
