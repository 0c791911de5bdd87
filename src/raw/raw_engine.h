#pragma once
// The raw signature engine behind the results core: scans the chosen range
// of a partition, a whole disk or an image, sorts the carved files into one
// folder per type description, and hands back their bytes.
#include <memory>
#include <string>
#include <vector>

#include "photo/photo_info.h"
#include "photo/photo_reassembly.h"
#include "raw/raw_scanner.h"
#include "results/scan_engine.h"

namespace brenix {

class RawEngine : public ScanEngine {
 public:
  EngineKind kind() const override { return EngineKind::Raw; }
  ScanResult scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) override;
  bool readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) override;
  WriteStatus writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) override;

  RawScanner& scanner() { return scanner_; }
  const RawScanner& scanner() const { return scanner_; }

  // What examining carved file i (engineIndex) found: EXIF and decode state
  // of a JPEG, EXIF of a raw, TIFF or HEIF picture; null for other types or
  // when it was not examined.
  const PhotoInfo* photo(size_t i) const { return i < photos_.size() && photos_[i].examined ? &photos_[i] : nullptr; }
  // Examines every carved picture (run by scan() when it finished).
  void examinePhotos(const RunningFlag& running);
  // Examining carved pictures after the scan (on by default).
  void setExaminePhotos(bool on) { examine_ = on; }
  // Putting broken JPEGs stored in two pieces back together (on by default).
  void setReassemble(bool on) { reassemble_ = on; }
  // The two pieces of carved file i when it was put together, else null.
  const TwoPieces* pieces(size_t i) const;

 private:
  RawScanner scanner_;
  std::vector<PhotoInfo> photos_;
  bool examine_ = true;
  bool reassemble_ = true;
  bool exactCuts_ = true;  // carved files end where their format does (trimming on)
  std::vector<std::pair<size_t, TwoPieces>> pieces_;  // by file index, ascending
};

// The root item's text: "RAW - Logical Disk (%c:)" with the drive letter
// ('*' without one), or with the mount point in place of "%c:" when known.
std::string rawRootName(const RecoveryContext& ctx);

// Files the found files into tree: one folder per description under the
// root, a file joining the first folder whose name contains its description.
void buildRawTree(const std::vector<RawFoundFile>& files, ResultTree& tree);

// Makes a whole drive (disk or attached image) the scan target: every sector
// from 0 to its end, no drive letter, file-system name "RAW". False with a
// message when the drive cannot be opened or its size is unknown.
bool selectWholeDisk(RecoveryContext& ctx, int driveNumber, std::string* error);

}  // namespace brenix
