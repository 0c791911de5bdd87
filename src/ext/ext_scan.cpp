#include "ext/ext_scan.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "common/bytes.h"
#include "common/clock.h"
#include "common/text.h"

namespace brenix::ext {

namespace {

uint32_t be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

constexpr uint32_t kJournalIncompat64Bit = 0x2;
constexpr uint32_t kJournalIncompatCsumV2 = 0x8;
constexpr uint32_t kJournalIncompatCsumV3 = 0x10;
constexpr uint32_t kIncompatFiletype = 0x2;
constexpr uint8_t kEntryTypeRegular = 1;

// Whether a is the same transaction as b or a later one (sequence numbers wrap).
bool notOlder(uint32_t a, uint32_t b) { return int32_t(a - b) >= 0; }

constexpr uint8_t kEntryTypeDirectory = 2;
constexpr uint32_t kRootInode = 2;
constexpr int kMaxFolderDepth = 64;
constexpr uint64_t kMaxDirectoryBlocks = 1u << 16;
// Keys of inline folders' entry regions among block numbers (no volume block is this large).
constexpr uint64_t kInlineKey = uint64_t(1) << 63;

// Inode table blocks read at once: 256 KiB with 4 KiB blocks.
constexpr uint32_t kTableRunBlocks = 64;

int32_t clampInt(uint64_t v) { return static_cast<int32_t>(std::min<uint64_t>(v, INT32_MAX)); }

std::string inodeFileName(uint32_t number) { return format("inode_%08X.tmp", number); }

}  // namespace

ExtItem makeItem(const uint8_t* inode128, uint32_t number, const std::string& name) {
  ExtItem item{};
  if (inode128) std::memcpy(item.inode, inode128, sizeof item.inode);
  item.inodeNumber = number;
  copyToField(item.name, sizeof item.name, name);
  return item;
}

std::string itemName(const ExtItem& item) { return fieldText(item.name, sizeof item.name); }
std::string itemExtension(const ExtItem& item) { return fieldText(item.extension, sizeof item.extension); }

size_t journalTagSize(uint32_t incompat) {
  if (incompat & kJournalIncompatCsumV3) return 16;
  size_t size = (incompat & kJournalIncompat64Bit) ? 12 : 8;
  if (incompat & kJournalIncompatCsumV2) size += 2;
  return size;
}

std::vector<JournalTag> parseDescriptorTags(const uint8_t* block, size_t blockSize, uint32_t incompat) {
  std::vector<JournalTag> tags;
  const size_t tagSize = journalTagSize(incompat);
  size_t end = blockSize;
  if ((incompat & (kJournalIncompatCsumV2 | kJournalIncompatCsumV3)) && end >= 4) end -= 4;
  size_t off = 12;
  while (off <= end && end - off >= tagSize) {
    JournalTag tag;
    tag.block = be32(block + off);
    if (incompat & kJournalIncompatCsumV3) {
      tag.flags = be32(block + off + 4);
      if (incompat & kJournalIncompat64Bit) tag.block |= uint64_t(be32(block + off + 8)) << 32;
    } else {
      // Classic tags carry a 32-bit flags word; checksummed ones a 16-bit
      // checksum then 16-bit flags. The flag bits lie in the low half of both.
      tag.flags = be16(block + off + 6);
      if (incompat & kJournalIncompat64Bit) tag.block |= uint64_t(be32(block + off + 8)) << 32;
    }
    tags.push_back(tag);
    off += tagSize;
    if (!(tag.flags & kTagSameUuid)) off += 16;
    if (tag.flags & kTagLast) break;
  }
  return tags;
}

bool isFirstDirectoryBlock(const uint8_t* b, size_t size) {
  static constexpr uint8_t kDot[8] = {12, 0, 1, 2, '.', 0, 0, 0};
  static constexpr uint8_t kDotDot[8] = {12, 0, 2, 2, '.', '.', 0, 0};
  return size >= 24 && std::memcmp(b + 4, kDot, 8) == 0 && std::memcmp(b + 16, kDotDot, 8) == 0;
}

std::string cleanEntryName(const std::string& raw) {
  std::string out;
  for (size_t i = 0; i < raw.size();) {
    const size_t len = utf8SequenceLength(raw, i);
    if (len == 0) {
      out += '_';
      ++i;
      continue;
    }
    const char c = raw[i];
    if (len == 1 && (static_cast<uint8_t>(c) < 0x20 || c == 0x7F || c == '?' || c == '/' || c == '\\'))
      out += '_';
    else
      out.append(raw, i, len);
    i += len;
  }
  return cutUtf8(out, sizeof(ExtItem::name) - 1);
}

std::string extensionOf(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  return cutUtf8(toLower(name.substr(dot + 1)), sizeof(ExtItem::extension) - 1);
}

namespace {
// One record at off of a chain; false when it is not a sound record.
bool recordAt(const uint8_t* b, size_t end, size_t off, uint32_t inodesCount, bool typed, uint16_t& recLen,
              DirectoryEntry& e) {
  if (off + 8 > end) return false;
  e.inode = le32(b + off);
  recLen = le16(b + off + 4);
  const uint8_t nameLen = b[off + 6];
  e.type = b[off + 7];
  if (recLen < 8 || recLen % 4 != 0 || recLen > end - off || size_t(8) + nameLen > recLen) return false;
  (void)inodesCount;
  // The checksum tail: inode 0, length 12, no name, type 0xDE.
  if (e.inode == 0 && nameLen == 0 && e.type == 0xDE && recLen == 12) {
    e.name.clear();
    return true;
  }
  if (typed && e.type > 7) return false;
  e.name.assign(reinterpret_cast<const char*>(b + off + 8), nameLen);
  if (e.name.find('\0') != std::string::npos || e.name.find('/') != std::string::npos) return false;
  return true;
}

// Removed entries in the slack of one record [from, to).
void slackEntries(const uint8_t* b, size_t from, size_t to, uint32_t inodesCount, bool typed,
                  std::vector<DirectoryEntry>& out) {
  size_t off = (from + 3) & ~size_t(3);
  while (off + 12 <= to) {
    DirectoryEntry e;
    uint16_t recLen = 0;
    if (!recordAt(b, to, off, inodesCount, typed, recLen, e) || e.inode == 0 || e.inode > inodesCount ||
        e.name.empty())
      return;
    e.removed = true;
    if (e.name != "." && e.name != "..") out.push_back(e);
    off += (8 + e.name.size() + 3) & ~size_t(3);
  }
}
}  // namespace

bool parseDirectoryBlock(const uint8_t* b, size_t bs, uint32_t inodesCount, bool typed,
                         std::vector<DirectoryEntry>& out) {
  out.clear();
  size_t off = isFirstDirectoryBlock(b, bs) ? 24 : 0;
  const bool first = off == 24;
  bool any = false;
  while (off < bs) {
    DirectoryEntry e;
    uint16_t recLen = 0;
    if (!recordAt(b, bs, off, inodesCount, typed, recLen, e)) {
      // A first block is known by its "." and "..": keep what was read. Any
      // other block must chain exactly to its end to be taken for a directory.
      if (!first) out.clear();
      return first;
    }
    const size_t used = (8 + e.name.size() + 3) & ~size_t(3);
    // An inode number past the volume: skipped in a first block, and the
    // mark of something else than a directory in any other.
    if (e.inode > inodesCount) {
      if (!first) {
        out.clear();
        return false;
      }
    } else if (e.inode != 0 && !e.name.empty() && e.name != "." && e.name != "..") {
      out.push_back(e);
      any = true;
    }
    if (recLen > used) slackEntries(b, off + used, off + recLen, inodesCount, typed, out);
    off += recLen;
  }
  if (!first && !any) out.clear();
  return first || any;
}

bool ExtScanner::hasSoundMap(const uint8_t* c) const {
  if (inode::hasInlineData(c)) return inode::size(c) <= volume_.superblock().inodeSize;
  if (inode::flags(c) & 0x80000) return inode::hasExtentEntries(c);
  return inode::block(c, 0) != 0;
}

std::vector<ExtItem> ExtScanner::scan(uint64_t firstBlock, uint64_t lastBlock) {
  std::vector<ExtItem> found;
  table_.clear();
  places_.clear();
  fileNames_.clear(), dirNames_.clear(), dirParent_.clear(), blockOwner_.clear();
  dirCopies_.clear(), dirCopySequence_.clear(), extentBlocks_.clear(), extentSequence_.clear();
  foundCount_ = 0;
  stats_ = {};
  if (!volume_.ready()) return found;
  const uint64_t count = volume_.superblock().blocksCount;
  if (firstBlock >= count) firstBlock = 0;
  if (lastBlock >= count) lastBlock = count - 1;
  if (firstBlock > lastBlock) std::swap(firstBlock, lastBlock);
  first_ = firstBlock;
  last_ = lastBlock;
  now_ = nowSeconds();
  const int64_t made = volume_.superblock().mkfsTime;
  earliest_ = made > kEarliestTime && made <= now_ ? made : kEarliestTime;

  progress_.setStatus(kFoundStatus + std::string("0"));
  if (!collectTables()) return found;
  if (volume_.variant() != ExtVariant::Ext2 && volume_.superblock().journalInode != 0) collectJournal();
  resolveFolders();

  struct Ranked {
    ExtItem item;
    ItemPlace place;
  };
  std::vector<Ranked> ranked;
  for (auto& [number, slot] : table_) {
    if (!slot.hasInode) continue;  // a name whose inode copy never turned up
    Ranked r{slot.item, {}};
    r.item.checked = 0;
    r.place.deleted = slot.deleted;
    r.place.fullInode = std::move(slot.full);
    std::string name = "Unknown";
    if (volume_.variant() != ExtVariant::Ext2) {
      auto it = fileNames_.find(number);
      if (it != fileNames_.end()) {
        name = it->second.name;
        auto owner = blockOwner_.find(it->second.block);
        std::string path;
        if (owner != blockOwner_.end() && folderPath(owner->second, path)) {
          r.place.folderKnown = true;
          r.place.folder = path;
        }
      } else if (itemName(slot.item) != "Unknown") {
        name = itemName(slot.item);
      }
    }
    if (name != "Unknown") {
      const std::string clean = cleanEntryName(name);
      copyToField(r.item.name, sizeof r.item.name, clean);
      copyToField(r.item.extension, sizeof r.item.extension, extensionOf(clean));
    } else {
      copyToField(r.item.name, sizeof r.item.name, inodeFileName(number));
      copyToField(r.item.extension, sizeof r.item.extension, "");
    }
    ranked.push_back(std::move(r));
  }
  // The most recently deleted first; the inode order among equals.
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const Ranked& a, const Ranked& b) { return a.place.deleted > b.place.deleted; });
  for (Ranked& r : ranked) {
    found.push_back(r.item);
    places_.push_back(std::move(r.place));
  }
  table_.clear();
  return found;
}

// A free inode's table copy that the scan lists as a deleted file.
bool ExtScanner::deletedInTable(const uint8_t* c) const {
  const uint32_t dtime = inode::dtime(c);
  if (dtime == 0) return false;
  const uint64_t size = inode::size(c);
  return size != 0 && size <= volume_.sizeLimit() && inode::isRegular(c) && hasSoundMap(c) && timeAccepted(dtime) &&
         inode::ctime(c) != 0 && inode::mtime(c) != 0;
}

void ExtScanner::takeFromTable(const uint8_t* c, uint32_t n) {
  Slot slot{makeItem(c, n), true, true, 0, inode::dtime(c), {}};
  if (inode::hasInlineData(c)) slot.full.assign(c, c + volume_.superblock().inodeSize);
  table_[n] = std::move(slot);
  ++foundCount_;
  progress_.setStatus(kFoundStatus + std::to_string(foundCount_));
}

// Takes back the inodes an earlier run found in the tables of the groups
// before the position: ascending numbers, each read again and still a free
// inode of a deleted file where this scan reads. Empty when taken, else why not.
std::string ExtScanner::takeTableResume(const SweepCheckpoint& cp, uint64_t firstGroup, uint64_t endGroup) {
  const ExtSuperblock& sb = volume_.superblock();
  if (cp.first != firstGroup || cp.end != endGroup) return "the scanned range of groups differs";
  if (cp.position < firstGroup || cp.position > endGroup) return "its position lies outside the scanned groups";
  const uint64_t lowest = firstGroup * sb.inodesPerGroup + 1;
  const uint64_t highest = std::min<uint64_t>(cp.position * sb.inodesPerGroup, sb.inodesCount);
  if (cp.found.size() > (highest >= lowest ? highest - lowest + 1 : 0)) return "bad list of found inodes";
  const uint32_t per = volume_.inodesPerBlock();
  std::vector<uint8_t> c;
  uint64_t previous = 0;
  for (uint64_t n : cp.found) {
    if (n <= previous || n < lowest || n > highest)
      return "found inode " + std::to_string(n) + " is out of order or not in a group before the position";
    const uint64_t g = (n - 1) / sb.inodesPerGroup, x = (n - 1) % sb.inodesPerGroup;
    bool used = true;
    const bool fits = !volume_.group(g).inodesUninitialized &&
                      x < uint64_t(sb.inodesPerGroup) - volume_.group(g).unusedInodes &&
                      inRange(volume_.group(g).inodeTable + x / per) && volume_.inodeBitmapBit(n, used) && !used &&
                      volume_.readFullInode(n, c) && deletedInTable(c.data());
    if (!fits) return "found inode " + std::to_string(n) + " is not a deleted file of this volume's inode tables";
    takeFromTable(c.data(), static_cast<uint32_t>(n));
    previous = n;
  }
  return {};
}

bool ExtScanner::collectTables() {
  const ExtSuperblock& sb = volume_.superblock();
  progress_.setTotal(clampInt(sb.inodesCount));
  progress_.setDone(0);
  const uint32_t per = volume_.inodesPerBlock();
  const uint64_t firstGroup = volume_.groupOfBlock(first_);
  const uint64_t endGroup =
      std::max<uint64_t>(firstGroup, std::min<uint64_t>(volume_.groupOfBlock(last_) + 1, volume_.groupCount()));
  uint64_t g = firstGroup;
  if (sweep_) sweep_->unit = "group";
  if (sweep_ && sweep_->resume) {
    const std::string why = takeTableResume(*sweep_->resume, firstGroup, endGroup);
    if (!why.empty()) {
      sweep_->refused = why;
      table_.clear();
      return false;
    }
    g = sweep_->resume->position;
  }
  uint64_t sweptBytes = 0;
  // The inodes found in the groups before g, in ascending order.
  auto checkpoint = [&](bool ended) {
    SweepCheckpoint cp;
    cp.position = g;
    cp.first = firstGroup;
    cp.end = endGroup;
    for (const auto& [n, slot] : table_)
      if (slot.fromTable && n <= g * sb.inodesPerGroup) cp.found.push_back(n);
    cp.sweptBytes = sweptBytes;
    cp.ended = ended;
    return cp;
  };
  const auto stop = [&](bool ended) {
    if (!sweep_) return;
    sweep_->reached = checkpoint(ended);
    sweep_->reachedSet = true;
  };
  std::vector<uint8_t> bitmap, block, chunk;
  for (; g < endGroup; ++g) {
    if (!running_) {
      stop(false);
      return true;
    }
    if (sweep_) sweep_->offer([&] { return checkpoint(false); });
    if (!volume_.readInodeBitmap(static_cast<uint32_t>(g), bitmap)) continue;
    const GroupDescriptor& gd = volume_.group(static_cast<uint32_t>(g));
    const uint64_t table = gd.inodeTable;
    if (table == 0 || table + volume_.inodeTableBlocks() > sb.blocksCount) continue;
    // A table never initialised holds no inode that ever lived; past the
    // unused count no inode was ever handed out.
    if (gd.inodesUninitialized) continue;
    const uint64_t usedInodes = sb.inodesPerGroup - gd.unusedInodes;
    const uint64_t usedBlocks = std::min<uint64_t>(volume_.inodeTableBlocks(), (usedInodes + per - 1) / per);
    const size_t inodeSize = sb.inodeSize;
    uint64_t groupBytes = 0;  // counted as swept once the whole group is
    // The table is read in runs of kTableRunBlocks (small enough to stay in
    // the processor's cache); a run that cannot be read whole, or that leaves
    // the scanned range, is read block by block.
    for (uint32_t j0 = 0; j0 < usedBlocks; j0 += kTableRunBlocks) {
      const uint32_t run = static_cast<uint32_t>(std::min<uint64_t>(kTableRunBlocks, usedBlocks - j0));
      const bool whole = inRange(table + j0) && inRange(table + j0 + run - 1) && volume_.readBlocks(table + j0, run, chunk);
      if (whole) groupBytes += uint64_t(run) * volume_.blockSize();
      for (uint32_t j = j0; j < j0 + run; ++j) {
        const uint8_t* blockData = nullptr;
        if (whole) {
          blockData = chunk.data() + size_t(j - j0) * volume_.blockSize();
        } else {
          const uint64_t t = table + j;
          if (!inRange(t) || !volume_.readBlock(t, block)) continue;
          groupBytes += volume_.blockSize();
          blockData = block.data();
        }
        if (!running_) {
          stop(false);
          return true;
        }
        for (uint32_t k = 0; k < per; ++k) {
          const uint64_t x = uint64_t(j) * per + k;
          const uint64_t n = g * sb.inodesPerGroup + x + 1;
          if (x >= sb.inodesPerGroup || n > sb.inodesCount) break;
          ++stats_.inodesExamined;
          const uint8_t* c = blockData + size_t(k) * inodeSize;
          // The cheapest tests first: most inodes are in use or never were.
          if ((bitmap[x / 8] >> (x % 8)) & 1) continue;
          if (deletedInTable(c)) takeFromTable(c, static_cast<uint32_t>(n));
        }
        const uint64_t done = g * sb.inodesPerGroup + std::min<uint64_t>(uint64_t(j + 1) * per, sb.inodesPerGroup);
        progress_.setDone(clampInt(std::min<uint64_t>(done, sb.inodesCount)));
      }
    }
    sweptBytes += groupBytes;
  }
  stop(true);
  progress_.setDone(clampInt(sb.inodesCount));  // skipped tables count as done
  return true;
}

void ExtScanner::collectJournal() {
  const ExtSuperblock& sb = volume_.superblock();
  InodeBytes journal;
  if (!volume_.readInode(sb.journalInode, journal)) return;
  const uint32_t bs = volume_.blockSize();
  // The journal lies inside the volume: a larger size is forged.
  uint64_t journalSize = std::min(inode::size(journal.data()), volume_.sizeLimit());
  progress_.setTotal(clampInt(journalSize));
  progress_.setDone(0);

  FileMapper mapper(volume_, journal.data());
  std::vector<uint8_t> block;
  std::deque<JournalTag> pending;
  uint32_t journalIncompat = 0, sequence = 0;
  for (uint64_t v = 0, i = 0; v < journalSize && running_; v += bs, ++i) {
    if (v % 1024 == 0) progress_.setDone(clampInt(v));
    uint64_t phys = 0;
    switch (mapper.map(i, phys)) {
      case BlockMapper::Result::Failed: return;
      case BlockMapper::Result::Hole: block.assign(bs, 0); break;
      case BlockMapper::Result::Block:
        if (!volume_.readBlock(phys, block)) return;
        break;
    }
    ++stats_.journalBlocks;
    const bool magic = be32(block.data()) == kJournalMagic;
    const uint32_t type = be32(block.data() + 4);
    if (i == 0) {
      // The journal starts with its own superblock, in the file system's block size.
      if (!magic || (type != kSuperblockV1 && type != kSuperblockV2) || be32(block.data() + 12) != bs) return;
      if (type == kSuperblockV2) journalIncompat = be32(block.data() + 0x28);
      // Its length in blocks bounds the walk as well.
      const uint64_t maxLen = be32(block.data() + 16);
      if (maxLen != 0) journalSize = std::min<uint64_t>(journalSize, maxLen * bs);
      continue;
    }
    if (magic) {
      pending.clear();
      if (type == kDescriptor) {
        sequence = be32(block.data() + 8);
        for (const JournalTag& t : parseDescriptorTags(block.data(), bs, journalIncompat)) pending.push_back(t);
      }
      continue;
    }
    if (pending.empty()) continue;
    const JournalTag tag = pending.front();
    pending.pop_front();
    if (tag.flags & kTagEscape) {
      block[0] = 0xC0, block[1] = 0x3B, block[2] = 0x39, block[3] = 0x98;
    }
    if (tag.block >= sb.blocksCount || !inRange(tag.block)) continue;
    switch (volume_.blockClass(tag.block)) {
      case BlockClass::InodeTable:
        journalInodeBlock(tag.block, block.data(), sequence);
        progress_.setStatus(kFoundStatus + std::to_string(foundCount_));
        break;
      case BlockClass::Data:
        if (le16(block.data()) == kExtentMagic)
          journalExtentBlock(tag.block, block.data(), sequence);
        else
          journalDirectoryBlock(tag.block, block.data(), sequence);
        break;
      default: break;
    }
  }
}

void ExtScanner::journalInodeBlock(uint64_t fsBlock, const uint8_t* copy, uint32_t sequence) {
  const ExtSuperblock& sb = volume_.superblock();
  std::vector<uint8_t> current;
  if (!volume_.readBlock(fsBlock, current)) return;
  const uint64_t m = volume_.firstInodeOfBlock(fsBlock);
  if (m == 0) return;
  ++stats_.journalInodeCopies;
  const uint64_t group = (m - 1) / sb.inodesPerGroup;
  std::vector<uint8_t> bitmap;
  const bool haveBitmap = volume_.readInodeBitmap(static_cast<uint32_t>(group), bitmap);
  for (uint32_t k = 0; k < volume_.inodesPerBlock(); ++k) {
    const uint64_t n = m + k;
    if (n > sb.inodesCount || (n - 1) / sb.inodesPerGroup != group) break;
    const auto number = static_cast<uint32_t>(n);
    const uint8_t* c = copy + size_t(k) * sb.inodeSize;
    const uint8_t* d = current.data() + size_t(k) * sb.inodeSize;
    // An inline folder keeps its entries inside the inode.
    if (inode::isDirectory(c) && inode::hasInlineData(c) && inode::dtime(c) == 0)
      journalInlineDirectory(number, c, sequence);
    // Directory copies place the directory blocks of deleted folders.
    if (inode::isDirectory(c) && inode::dtime(c) == 0 && hasSoundMap(c)) {
      auto s = dirCopySequence_.find(number);
      if (s == dirCopySequence_.end() || notOlder(sequence, s->second)) {
        dirCopies_[number].assign(c, c + sb.inodeSize);
        dirCopySequence_[number] = sequence;
      }
    }
    const uint64_t size = inode::size(c);
    if (size == 0 || size > volume_.sizeLimit() || !inode::isRegular(c) || !hasSoundMap(c) ||
        !timeAccepted(inode::ctime(c)) || inode::dtime(c) != 0)
      continue;
    if (inode::ctime(c) == inode::ctime(d) && inode::dtime(c) == inode::dtime(d) &&
        inode::size(c) == inode::size(d) && inode::blockCount(c) == inode::blockCount(d))
      continue;
    // An older copy of a file that is still alive (same inode, same
    // generation, in use) is not a deleted file.
    const uint64_t x = (n - 1) % sb.inodesPerGroup;
    const bool bitSet = haveBitmap ? ((bitmap[x / 8] >> (x % 8)) & 1) != 0 : true;
    if (bitSet && inode::links(d) > 0 && inode::dtime(d) == 0 && inode::generation(d) == inode::generation(c))
      continue;
    auto it = table_.find(number);
    Slot* slot = nullptr;
    if (it == table_.end()) {
      slot = &table_[number];
      slot->item = makeItem(c, number);
      ++foundCount_;
    } else if (it->second.fromTable) {
      continue;  // the inode table still holds its map: that is the last state
    } else if (!it->second.hasInode) {
      slot = &it->second;
      ++foundCount_;
    } else if (notOlder(sequence, it->second.sequence)) {
      slot = &it->second;  // a newer transaction's copy replaces an older one
    } else {
      continue;
    }
    std::memcpy(slot->item.inode, c, sizeof slot->item.inode);
    slot->item.inodeNumber = number;
    slot->hasInode = true;
    slot->sequence = sequence;
    slot->deleted = inode::dtime(d);
    if (inode::hasInlineData(c))
      slot->full.assign(c, c + sb.inodeSize);
    else
      slot->full.clear();
  }
}

void ExtScanner::journalExtentBlock(uint64_t fsBlock, const uint8_t* copy, uint32_t sequence) {
  ExtentHeader h;
  const size_t bs = volume_.blockSize();
  if (!parseExtentHeader(copy, bs, h) || h.entries == 0 || h.depth >= kMaxExtentDepth) return;
  ++stats_.journalExtentBlocks;
  auto s = extentSequence_.find(fsBlock);
  if (s != extentSequence_.end() && !notOlder(sequence, s->second)) return;
  extentBlocks_[fsBlock].assign(copy, copy + bs);
  extentSequence_[fsBlock] = sequence;
}

void ExtScanner::journalInlineDirectory(uint32_t number, const uint8_t* c, uint32_t sequence) {
  const ExtSuperblock& sb = volume_.superblock();
  const uint32_t parent = le32(c + 40);
  if (parent != 0 && parent <= sb.inodesCount && number != kRootInode) dirParent_[number] = parent;
  // Its entries stand in the block area after the parent's number, then in
  // the "system.data" attribute; each region is keyed apart from real blocks.
  const std::vector<uint8_t> whole =
      inlineData(c, std::span<const uint8_t>(c, sb.inodeSize), std::min<uint64_t>(inode::size(c), sb.inodeSize));
  const uint64_t key = kInlineKey | number;
  blockOwner_[key] = number;
  std::vector<uint8_t> region;
  if (whole.size() >= 60) region.assign(whole.begin() + 4, whole.begin() + 60);
  addEntries(key, region, sequence);
  if (whole.size() > 60) addEntries(key, std::vector<uint8_t>(whole.begin() + 60, whole.end()), sequence);
}

void ExtScanner::addEntries(uint64_t key, const std::vector<uint8_t>& region, uint32_t sequence) {
  const ExtSuperblock& sb = volume_.superblock();
  std::vector<DirectoryEntry> entries;
  if (region.size() < 12 ||
      !parseDirectoryBlock(region.data(), region.size(), sb.inodesCount, (sb.featureIncompat & kIncompatFiletype) != 0,
                           entries))
    return;
  takeEntries(key, entries, sequence);
}

void ExtScanner::journalDirectoryBlock(uint64_t fsBlock, const uint8_t* b, uint32_t sequence) {
  const ExtSuperblock& sb = volume_.superblock();
  const size_t bs = volume_.blockSize();
  const bool typed = (sb.featureIncompat & kIncompatFiletype) != 0;
  // An htree root holds "." and "..", then the index: it places the block, no names.
  const bool firstBlock = isFirstDirectoryBlock(b, bs);
  const bool htreeRoot = !firstBlock && bs >= 24 && le16(b + 4) == 12 && b[6] == 1 && b[8] == '.' &&
                         le16(b + 16) == bs - 12 && b[18] == 2 && b[20] == '.' && b[21] == '.';
  if (firstBlock || htreeRoot) {
    const uint32_t self = le32(b), parent = le32(b + 12);
    if (self != 0 && self <= sb.inodesCount) {
      blockOwner_[fsBlock] = self;
      if (parent != 0 && parent <= sb.inodesCount && self != kRootInode) dirParent_[self] = parent;
    }
    if (htreeRoot) return;
  }
  std::vector<DirectoryEntry> entries;
  if (!parseDirectoryBlock(b, bs, sb.inodesCount, typed, entries)) return;
  ++stats_.journalDirectoryBlocks;
  takeEntries(fsBlock, entries, sequence);
}

void ExtScanner::takeEntries(uint64_t fsBlock, const std::vector<DirectoryEntry>& entries, uint32_t sequence) {
  const bool typed = (volume_.superblock().featureIncompat & kIncompatFiletype) != 0;
  for (const DirectoryEntry& e : entries) {
    if (e.inode == 0 || e.name.empty()) continue;
    const bool dir = typed && e.type == kEntryTypeDirectory;
    if (typed && !dir && e.type != kEntryTypeRegular) continue;
    std::map<uint32_t, NameRef>& names = dir ? dirNames_ : fileNames_;
    auto it = names.find(e.inode);
    // A live entry of a newer transaction renames; a removed one only fills a gap.
    if (it == names.end())
      names[e.inode] = {cutUtf8(e.name, sizeof(ExtItem::name) - 1), fsBlock, sequence};
    else if (!e.removed && notOlder(sequence, it->second.sequence))
      it->second = {cutUtf8(e.name, sizeof(ExtItem::name) - 1), fsBlock, sequence};
    if (!dir && table_.find(e.inode) == table_.end()) {
      Slot& slot = table_[e.inode];
      slot.item = makeItem(nullptr, e.inode, cutUtf8(e.name, sizeof(ExtItem::name) - 1));
    }
  }
}

void ExtScanner::resolveFolders() {
  if (volume_.variant() == ExtVariant::Ext2 || fileNames_.empty()) return;
  const uint32_t bs = volume_.blockSize();
  // The directory blocks whose owner is still unknown.
  std::map<uint64_t, bool> wanted;
  for (const auto& [n, ref] : fileNames_)
    if (!blockOwner_.count(ref.block)) wanted[ref.block] = true;
  for (const auto& [n, ref] : dirNames_)
    if (!blockOwner_.count(ref.block)) wanted[ref.block] = true;
  if (wanted.empty()) return;
  // Every directory the scan has heard of, read from the disk (or from its
  // newest journal copy when the disk no longer holds it), block by block.
  std::vector<uint32_t> dirs = {kRootInode};
  for (const auto& [n, ref] : dirNames_) dirs.push_back(n);
  for (const auto& [n, p] : dirParent_) dirs.push_back(n), dirs.push_back(p);
  for (const auto& [n, c] : dirCopies_) dirs.push_back(n);
  std::sort(dirs.begin(), dirs.end());
  dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
  const BlockOverlay overlay = [this](uint64_t b) -> const std::vector<uint8_t>* {
    auto it = extentBlocks_.find(b);
    return it == extentBlocks_.end() ? nullptr : &it->second;
  };
  InodeBytes disk;
  // All folders together map at most this many blocks (forged names cannot make it more).
  uint64_t budget = uint64_t(1) << 22;
  for (uint32_t d : dirs) {
    if (!running_ || wanted.empty() || budget == 0) break;
    std::vector<const uint8_t*> copies;
    if (volume_.readInode(d, disk) && inode::isDirectory(disk.data()) && inode::links(disk.data()) > 0 &&
        hasSoundMap(disk.data()))
      copies.push_back(disk.data());
    auto c = dirCopies_.find(d);
    if (c != dirCopies_.end()) copies.push_back(c->second.data());
    for (const uint8_t* in : copies) {
      if (inode::hasInlineData(in)) continue;
      FileMapper mapper(volume_, in, overlay);
      const uint64_t blocks = std::min<uint64_t>((inode::size(in) + bs - 1) / bs, kMaxDirectoryBlocks);
      for (uint64_t i = 0; i < blocks && budget > 0; ++i, --budget) {
        uint64_t phys = 0;
        const auto r = mapper.map(i, phys);
        if (r == BlockMapper::Result::Failed) break;
        if (r != BlockMapper::Result::Block) continue;
        auto w = wanted.find(phys);
        if (w == wanted.end()) continue;
        blockOwner_.emplace(phys, d);
        wanted.erase(w);
      }
    }
  }
}

bool ExtScanner::folderPath(uint32_t dir, std::string& path) {
  path.clear();
  for (int depth = 0; depth < kMaxFolderDepth; ++depth) {
    if (dir == kRootInode) return true;
    auto name = dirNames_.find(dir);
    if (name == dirNames_.end()) return false;
    const std::string part = cleanEntryName(name->second.name);
    path = path.empty() ? part : part + "/" + path;
    auto parent = dirParent_.find(dir);
    if (parent != dirParent_.end()) {
      dir = parent->second;
    } else {
      auto owner = blockOwner_.find(name->second.block);
      if (owner == blockOwner_.end()) return false;
      dir = owner->second;
    }
  }
  return false;  // deeper than any real tree, or a loop
}

}  // namespace brenix::ext
