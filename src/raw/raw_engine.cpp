#include "raw/raw_engine.h"

#include <algorithm>
#include <cerrno>

#include "common/text.h"
#include "results/scan_option_rules.h"

namespace brenix {

std::string rawRootName(const RecoveryContext& ctx) {
  if (!ctx.rootPath.empty()) return "RAW - Logical Disk (" + ctx.rootPath + ")";
  char letter = ctx.partition.driveLetter ? ctx.partition.driveLetter : '*';
  return format("RAW - Logical Disk (%c:)", letter);
}

void buildRawTree(const std::vector<RawFoundFile>& files, ResultTree& tree) {
  ResultFolder& root = tree.root();
  for (size_t i = 0; i < files.size(); ++i) {
    const RawFoundFile& f = files[i];
    ResultFolder* folder = nullptr;
    for (auto& child : root.children) {
      if (child->name.find(f.description) != std::string::npos) {
        folder = child.get();
        break;
      }
    }
    if (!folder) folder = &tree.addFolder(root, f.description);
    FoundItem item;
    item.name = f.name;
    item.size = f.size;
    item.checked = f.checked;
    item.engineIndex = i;
    tree.addItem(*folder, std::move(item));
  }
}

ScanResult RawEngine::scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) {
  (void)mode;  // the signature scan is the same in every mode
  tree.setRootName(rawRootName(ctx));
  ScanResult result;
  if (!ctx.rawTypes) ctx.rawTypes = std::make_shared<RawTypeList>();
  if (ctx.rawTypes->empty()) {
    std::string error;
    if (!loadDefaultRawTypes(*ctx.rawTypes, &error)) {
      result.error = -1;
      result.message = "No file types to search for: " + error;
      return result;
    }
  }
  // Extensions chosen for this scan (command line), else the file-type
  // preset unless the user picked the types, narrow the selection.
  const std::vector<std::string> wanted =
      rawScanExtensions(ctx.preset, ctx.options.rawTypes, ctx.options.rawTypesPicked);
  if (!wanted.empty()) {
    for (auto& t : ctx.rawTypes->types)
      t->selected = std::find(wanted.begin(), wanted.end(), toLower(t->ext())) != wanted.end() ? 1 : 0;
  }
  if (!ctx.rawTypes->anySelected()) {
    result.error = -1;
    result.message = "No file type is selected";
    if (!ctx.options.rawTypes.empty()) {
      std::string list;
      for (const std::string& e : ctx.options.rawTypes) list += (list.empty() ? "" : ", ") + e;
      result.message = "No file type in " + ctx.rawTypes->sourcePath + " has the extension " + list;
    }
    return result;
  }
  if (!scanner_.openDrive(ctx.partition.diskNumber)) {
    result.error = scanner_.lastError() ? scanner_.lastError() : ENODEV;
    result.message = format("Can not open drive %d", ctx.partition.diskNumber);
    return result;
  }
  uint64_t first = ctx.partitionStart;
  uint64_t start = ctx.options.startSector > first ? ctx.options.startSector - first : 0;
  uint64_t end = ctx.options.endSector > first ? ctx.options.endSector - first : 0;
  scanner_.setOrigin(first, kSectorSize);
  scanner_.setRange(start, end);
  scanner_.setTypes(ctx.rawTypes);
  scanner_.setMaxSizeKb(ctx.options.rawMaxSizeKb);
  scanner_.setTrimming(ctx.rawTypes->trimToFormatEnd && ctx.options.rawTrim);
  ctx.progress.setStatus("Found Raw Files : 0");
  if (scanner_.scan(&ctx.progress, running) < 0) {
    result.error = -1;
    result.message = "No file type is selected";
    return result;
  }
  // Plain cuts (trimming off) run to the next header; a picture's decode stops
  // at its end marker, so they are checked the same way.
  exactCuts_ = ctx.rawTypes->trimToFormatEnd && ctx.options.rawTrim;
  if (examine_) examinePhotos(running);
  buildRawTree(scanner_.files(), tree);
  return result;
}

void RawEngine::examinePhotos(const RunningFlag& running) {
  // Pictures larger than this are not examined (left as not checked); a
  // plain cut's first this many bytes at most.
  constexpr uint64_t kMaxExaminedBytes = 64ull << 20;
  const auto& files = scanner_.files();
  photos_.assign(files.size(), PhotoInfo{});
  pieces_.clear();
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < files.size(); ++i) {
    if (!running.load()) break;
    const std::string ext = rawOutputFolder(files[i].name);
    if (!isJpegExtension(ext) && !isRawPhotoExtension(ext)) continue;
    if (exactCuts_ && files[i].size > kMaxExaminedBytes) continue;
    if (exactCuts_) {
      if (scanner_.readFile(i, bytes, kMaxExaminedBytes) != 0) continue;
      photos_[i] = examinePhoto(ext, bytes);
    } else {
      // A plain cut runs on to the next header, far past a picture's end:
      // a JPEG is read in growing prefixes until its decode no longer runs
      // out of data, a raw's metadata from its first part.
      constexpr uint64_t kRawMetadataBytes = 8ull << 20;
      uint64_t n = isJpegExtension(ext) ? (256u << 10) : kRawMetadataBytes;
      for (;;) {
        if (scanner_.readFile(i, bytes, n) != 0) break;
        photos_[i] = examinePhoto(ext, bytes);
        if (photos_[i].decode != DecodeState::Truncated || n >= std::min(files[i].size, kMaxExaminedBytes)) break;
        n = std::min(n * 4, kMaxExaminedBytes);
      }
      if (!photos_[i].examined) continue;
    }
    if (!reassemble_ || !isBroken(photos_[i].decode)) continue;
    TwoPieces two;
    const uint64_t start = files[i].startSector * kSectorSize;
    const PieceReader reader = [this](uint64_t pos, uint8_t* buf, size_t n) { return scanner_.readAt(pos, buf, n); };
    if (!findTwoPieces(reader, start, scanner_.rangeEndBytes(), ReassemblyLimits{}, &two)) continue;
    pieces_.emplace_back(i, two);
    scanner_.files()[i].size = two.firstLength + two.secondLength;
    FoundItem joined;
    joined.size = scanner_.files()[i].size;
    joined.engineIndex = i;
    if (readItem(joined, bytes, kMaxExaminedBytes + (8u << 20)))
      photos_[i] = examineJpeg(bytes);
    photos_[i].reassembled = photos_[i].decode == DecodeState::Whole;
  }
}

const TwoPieces* RawEngine::pieces(size_t i) const {
  auto it = std::lower_bound(pieces_.begin(), pieces_.end(), i,
                             [](const std::pair<size_t, TwoPieces>& p, size_t k) { return p.first < k; });
  return it != pieces_.end() && it->first == i ? &it->second : nullptr;
}

bool RawEngine::readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) {
  if (const TwoPieces* two = pieces(size_t(item.engineIndex))) {
    const auto& f = scanner_.files()[size_t(item.engineIndex)];
    const uint64_t n = std::min(two->firstLength + two->secondLength, maxBytes);
    out.assign(size_t(n), 0);
    const size_t a = size_t(std::min(two->firstLength, n));
    if (scanner_.readAt(f.startSector * kSectorSize, out.data(), a) != a) return false;
    return n == a || scanner_.readAt(two->secondStart, out.data() + a, size_t(n - a)) == n - a;
  }
  return scanner_.readFile(size_t(item.engineIndex), out, maxBytes) == 0;
}

WriteStatus RawEngine::writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) {
  if (pieces(size_t(item.engineIndex))) {
    std::vector<uint8_t> bytes;
    if (!readItem(item, bytes, UINT64_MAX)) return WriteStatus::ReadFailed;
    return sink.write(bytes.data(), bytes.size()) ? WriteStatus::Ok : WriteStatus::WriteFailed;
  }
  int rc = scanner_.copyFile(
      size_t(item.engineIndex), [&sink](const uint8_t* d, size_t n) { return sink.write(d, n); }, running);
  switch (rc) {
    case 0: return WriteStatus::Ok;
    case -1: return WriteStatus::Cancelled;
    case -2: return WriteStatus::WriteFailed;
    default: return WriteStatus::ReadFailed;
  }
}

bool selectWholeDisk(RecoveryContext& ctx, int driveNumber, std::string* error) {
  SectorReader reader;
  if (!reader.open(driveNumber, OpenMode::Read)) {
    if (error) *error = format("Can not open drive %d", driveNumber);
    return false;
  }
  uint64_t bytes = reader.sizeBytes();
  if (bytes < kSectorSize) {
    if (error) *error = format("The size of drive %d is unknown", driveNumber);
    return false;
  }
  PartitionInfo p = makePartitionInfo();
  p.diskNumber = driveNumber;
  p.driveLetter = '*';
  p.setFs("RAW");
  p.setLabel("Whole disk");
  p.volumeStart = 0;
  p.totalBytes = bytes / kSectorSize * kSectorSize;
  ctx.selectPartition(p, "");
  return true;
}

}  // namespace brenix
