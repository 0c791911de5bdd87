#pragma once
// The EXT2, EXT3 and EXT4 engines as the results core sees them: scan a
// partition into the "EXT2( label )" / "EXT3( label )" / "EXT4( label )" tree:
// files whose folder the journal names sit in that folder, all others in
// "Lost files". Hands back each found file's exact bytes. The engine keeps the
// volume open after the scan for preview and recovery.
#include <memory>
#include <vector>

#include "ext/ext_scan.h"
#include "ext/ext_volume.h"
#include "results/scan_engine.h"

namespace brenix::ext {

class ExtEngine : public ScanEngine {
 public:
  explicit ExtEngine(ExtVariant variant) : variant_(variant) {}
  EngineKind kind() const override { return EngineKind::Ext; }
  ExtVariant variant() const { return variant_; }

  ScanResult scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) override;
  bool readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) override;
  WriteStatus writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) override;
  // The deleted-file scan continues group by group through the inode tables.
  bool continuesScan(ScanMode mode) const override { return mode == ScanMode::Deleted; }

  // Scans a volume that is already open (tests, benchmarks, other front ends).
  ScanResult scanVolume(std::shared_ptr<const ExtDevice> device, const std::string& label, RecoveryContext& ctx,
                        ResultTree& tree, const RunningFlag& running);
  const std::vector<ExtItem>& items() const { return items_; }
  const std::vector<ItemPlace>& places() const { return places_; }
  const ScanStats& stats() const { return stats_; }
  const ExtVolume* volume() const { return volume_.get(); }

 private:
  const ExtItem* itemOf(const FoundItem& item) const;
  StreamStatus stream(const ExtItem& e, uint64_t size, const std::function<bool(const uint8_t*, size_t)>& sink,
                      const std::function<bool()>& keepGoing) const;

  ExtVariant variant_;
  std::unique_ptr<ExtVolume> volume_;
  std::vector<ExtItem> items_;
  std::vector<ItemPlace> places_;
  std::map<uint64_t, std::vector<uint8_t>> extentBlocks_;  // journal copies of extent-tree nodes
  ScanStats stats_;
};

// The found-item view of one record (times are Unix seconds).
FoundItem foundItemOf(const ExtItem& item, size_t index);

// Root item text of the tree: "EXT2( %s )", "EXT3( %s )" or "EXT4( %s )".
std::string rootLabel(ExtVariant variant, const std::string& volumeLabel);

// List-row texts of the EXT results page.
std::string rowName(const FoundItem& item);       // the name, or "inode(%08X)" for an unnamed record
std::string sizeText(uint64_t bytes);             // "%d B", "%5.2f KB", "%5.2f MB", "%5.2f GB"
std::string permissionText(uint32_t mode);        // "rwxrwx" positions of the owner and group bits

}  // namespace brenix::ext
