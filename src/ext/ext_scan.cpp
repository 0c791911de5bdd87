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

bool withinWindow(uint32_t t, int64_t now) {
  const int64_t d = int64_t(t) - now;
  return d > -kAgeWindowSeconds && d < kAgeWindowSeconds;
}

int32_t clampInt(uint64_t v) { return static_cast<int32_t>(std::min<uint64_t>(v, INT32_MAX)); }

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
size_t utf8SequenceLength(const std::string& s, size_t i) {
  const auto c = static_cast<uint8_t>(s[i]);
  size_t len = 0;
  uint32_t cp = 0;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F;
  else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F;
  else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07;
  else return 0;
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto cc = static_cast<uint8_t>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// Cuts UTF-8 text to at most `max` bytes without splitting a character.
std::string cutUtf8(const std::string& s, size_t max) {
  if (s.size() <= max) return s;
  size_t end = max;
  while (end > 0 && (static_cast<uint8_t>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

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
  return (incompat & kJournalIncompat64Bit) ? 12 : 8;
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

std::vector<ExtItem> ExtScanner::scan(uint64_t firstBlock, uint64_t lastBlock) {
  std::vector<ExtItem> found;
  table_.clear();
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

  if (volume_.variant() == ExtVariant::Ext2) {
    collectExt2(found);
    for (ExtItem& item : found) {
      item.checked = 0;
      copyToField(item.name, sizeof item.name, inodeFileName(item.inodeNumber));
      copyToField(item.extension, sizeof item.extension, "");
    }
    return found;
  }

  collectExt3();
  for (auto& [number, slot] : table_) {
    if (!slot.hasInode) continue;  // a name whose inode copy never turned up
    ExtItem item = slot.item;
    item.checked = 0;
    const std::string name = itemName(item);
    if (name != "Unknown") {
      const std::string clean = cleanEntryName(name);
      copyToField(item.name, sizeof item.name, clean);
      copyToField(item.extension, sizeof item.extension, extensionOf(clean));
    } else {
      copyToField(item.name, sizeof item.name, inodeFileName(number));
      copyToField(item.extension, sizeof item.extension, "");
    }
    found.push_back(item);
  }
  table_.clear();
  return found;
}

void ExtScanner::collectExt2(std::vector<ExtItem>& found) {
  const ExtSuperblock& sb = volume_.superblock();
  progress_.setStatus(kFoundStatus + std::string("0"));
  progress_.setTotal(clampInt(sb.inodesCount));
  progress_.setDone(0);
  const uint32_t per = volume_.inodesPerBlock();
  const uint64_t firstGroup = volume_.groupOfBlock(first_), lastGroup = volume_.groupOfBlock(last_);
  std::vector<uint8_t> bitmap, block;
  for (uint32_t g = 0; g < volume_.groupCount(); ++g) {
    if (!running_) return;
    if (g < firstGroup || g > lastGroup || !volume_.readInodeBitmap(g, bitmap)) continue;
    const uint64_t table = volume_.group(g).inodeTable;
    if (table == 0 || table + volume_.inodeTableBlocks() > sb.blocksCount) continue;
    for (uint32_t j = 0; j < volume_.inodeTableBlocks(); ++j) {
      const uint64_t t = table + j;
      if (!inRange(t) || !volume_.readBlock(t, block)) continue;
      for (uint32_t k = 0; k < per; ++k) {
        const uint64_t x = uint64_t(j) * per + k;
        const uint64_t n = uint64_t(g) * sb.inodesPerGroup + x + 1;
        if (x >= sb.inodesPerGroup || n > sb.inodesCount) break;
        if (!running_) return;
        ++stats_.inodesExamined;
        const uint8_t* c = block.data() + size_t(k) * sb.inodeSize;
        const bool inUse = (bitmap[x / 8] >> (x % 8)) & 1;
        const uint64_t size = inode::size(c);
        if (!inUse && inode::block(c, 0) != 0 && size != 0 && size <= volume_.sizeLimit() &&
            inode::isRegular(c) && withinWindow(inode::dtime(c), now_) && inode::ctime(c) != 0 &&
            inode::mtime(c) != 0) {
          found.push_back(makeItem(c, static_cast<uint32_t>(n)));
          progress_.setStatus(kFoundStatus + std::to_string(found.size()));
        }
        progress_.setDone(clampInt(n));
      }
    }
  }
}

void ExtScanner::collectExt3() {
  const ExtSuperblock& sb = volume_.superblock();
  InodeBytes journal;
  if (!volume_.readInode(sb.journalInode, journal)) return;
  const uint32_t bs = volume_.blockSize();
  // The journal lies inside the volume: a larger size is forged.
  const uint64_t journalSize = std::min(inode::size(journal.data()), volume_.sizeLimit());
  progress_.setStatus(kFoundStatus + std::string("0"));
  progress_.setTotal(clampInt(journalSize));
  progress_.setDone(0);

  BlockMapper mapper(volume_, journal.data());
  std::vector<uint8_t> block;
  std::deque<JournalTag> pending;
  uint32_t journalIncompat = 0;
  for (uint64_t v = 0, i = 0; v < journalSize && running_; v += bs, ++i) {
    if (v % 1024 == 0) progress_.setDone(clampInt(v));
    uint32_t phys = 0;
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
      continue;
    }
    if (magic) {
      pending.clear();
      if (type == kDescriptor)
        for (const JournalTag& t : parseDescriptorTags(block.data(), bs, journalIncompat)) pending.push_back(t);
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
        journalInodeBlock(tag.block, block.data());
        progress_.setStatus(kFoundStatus + std::to_string(foundCount_));
        break;
      case BlockClass::Data:
        if (isFirstDirectoryBlock(block.data(), bs)) journalDirectoryBlock(block.data());
        break;
      default: break;
    }
  }
}

void ExtScanner::journalInodeBlock(uint64_t fsBlock, const uint8_t* copy) {
  const ExtSuperblock& sb = volume_.superblock();
  std::vector<uint8_t> current;
  if (!volume_.readBlock(fsBlock, current)) return;
  const uint64_t m = volume_.firstInodeOfBlock(fsBlock);
  if (m == 0) return;
  const uint64_t group = (m - 1) / sb.inodesPerGroup;
  std::vector<uint8_t> bitmap;
  const bool haveBitmap = volume_.readInodeBitmap(static_cast<uint32_t>(group), bitmap);
  for (uint32_t k = 0; k < volume_.inodesPerBlock(); ++k) {
    const uint64_t n = m + k;
    if (n > sb.inodesCount || (n - 1) / sb.inodesPerGroup != group) break;
    const uint8_t* c = copy + size_t(k) * sb.inodeSize;
    const uint8_t* d = current.data() + size_t(k) * sb.inodeSize;
    const uint64_t size = inode::size(c);
    if (inode::block(c, 0) == 0 || size == 0 || size > volume_.sizeLimit() || !inode::isRegular(c) ||
        !withinWindow(inode::ctime(c), now_) || inode::dtime(c) != 0)
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
    auto it = table_.find(static_cast<uint32_t>(n));
    if (it == table_.end()) {
      table_.emplace(static_cast<uint32_t>(n), Slot{makeItem(c, static_cast<uint32_t>(n)), true});
      ++foundCount_;
    } else if (!it->second.hasInode) {
      std::memcpy(it->second.item.inode, c, sizeof it->second.item.inode);
      it->second.hasInode = true;
      ++foundCount_;
    }
  }
}

void ExtScanner::journalDirectoryBlock(const uint8_t* b) {
  const ExtSuperblock& sb = volume_.superblock();
  const size_t bs = volume_.blockSize();
  const bool typed = (sb.featureIncompat & kIncompatFiletype) != 0;
  size_t off = 24;
  while (off + 8 <= bs) {
    const uint32_t number = le32(b + off);
    const uint16_t recLen = le16(b + off + 4);
    const uint8_t nameLen = b[off + 6];
    const uint8_t type = b[off + 7];
    // A record that is too short, misaligned or runs past the block ends the walk.
    if (recLen < 8 || recLen % 4 != 0 || recLen > bs - off || size_t(8) + nameLen > recLen) break;
    const std::string name(reinterpret_cast<const char*>(b + off + 8), nameLen);
    if (number != 0 && number <= sb.inodesCount && nameLen > 0 && name != "." && name != ".." &&
        (!typed || type == kEntryTypeRegular)) {
      auto it = table_.find(number);
      if (it == table_.end())
        table_.emplace(number, Slot{makeItem(nullptr, number, cutUtf8(name, sizeof(ExtItem::name) - 1)), false});
      else if (itemName(it->second.item) == "Unknown")
        copyToField(it->second.item.name, sizeof it->second.item.name, cutUtf8(name, sizeof(ExtItem::name) - 1));
    }
    off += recLen;
  }
}

}  // namespace brenix::ext
