#include "raw/raw_scanner.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include "common/text.h"
#include "raw/raw_trim.h"

namespace brenix {

std::string rawOutputFolder(const std::string& name) {
  size_t dot = name.find('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

RawMatcher::RawMatcher(const RawTypeList& types) : types_(types) {
  for (size_t t = 0; t < types.size(); ++t) {
    const RawFileType& rec = *types.types[t];
    if (!rec.selected || rec.signatureCount < 1 || rec.signatureCount > kRawMaxSignatures) continue;
    for (int i = 0; i < rec.signatureCount; ++i)
      reach_ = std::max(reach_, size_t(std::max(rec.offsets[i], 0)) + types.pattern(t, i).reach());
    if (rec.offsets[0] < 0) continue;
    uint32_t off = static_cast<uint32_t>(rec.offsets[0]);
    auto g = std::find_if(groups_.begin(), groups_.end(), [&](const Group& x) { return x.offset == off; });
    if (g == groups_.end()) {
      groups_.emplace_back();
      g = groups_.end() - 1;
      g->offset = off;
    }
    auto add = [&](std::vector<int>& v) {
      if (v.empty() || v.back() != int(t)) v.push_back(int(t));
    };
    for (const PatternAlternative& a : types.pattern(t, 0).alternatives) {
      if (!a.usable) continue;
      if (!a.bytes.empty()) {
        add(g->buckets[a.bytes[0]]);
      } else if (a.hasHalf) {
        for (int lo = 0; lo < 16; ++lo) add(g->buckets[a.halfNibble << 4 | lo]);
      } else {
        add(g->any);
      }
    }
  }
  for (Group& g : groups_)
    for (int b = 0; b < 256; ++b)
      if (!g.buckets[b].empty()) g.nonEmpty[b >> 6] |= uint64_t(1) << (b & 63);
  // Keep the group with offset 0 first: it decides most sectors.
  std::stable_sort(groups_.begin(), groups_.end(), [](const Group& a, const Group& b) { return a.offset < b.offset; });
}

bool RawMatcher::fullMatch(int type, const uint8_t* data, size_t avail) const {
  const RawFileType& rec = *types_.types[size_t(type)];
  for (int i = 0; i < rec.signatureCount; ++i) {
    size_t d = size_t(rec.offsets[i]);
    const uint8_t* p = d < avail ? data + d : data;
    size_t rem = d < avail ? avail - d : 0;
    if (!types_.pattern(size_t(type), i).matches(p, rem)) return false;
  }
  return true;
}

int RawMatcher::match(const uint8_t* data, size_t avail) const {
  int best = INT_MAX;
  for (const Group& g : groups_) {
    if (g.offset < avail && (g.nonEmpty[data[g.offset] >> 6] >> (data[g.offset] & 63) & 1)) {
      for (int t : g.buckets[data[g.offset]]) {
        if (t >= best) break;
        if (fullMatch(t, data, avail)) {
          best = t;
          break;
        }
      }
    }
    if (g.any.empty()) continue;
    for (int t : g.any) {
      if (t >= best) break;
      if (fullMatch(t, data, avail)) {
        best = t;
        break;
      }
    }
  }
  return best == INT_MAX ? -1 : best;
}

bool RawScanner::openDrive(int driveNumber) { return reader_.open(driveNumber, OpenMode::Read); }
bool RawScanner::openPath(const std::string& path) { return reader_.openPath(path, OpenMode::Read); }

void RawScanner::setOrigin(uint64_t originSector, uint32_t sectorSize) {
  origin_ = originSector;
  sectorSize_ = sectorSize >= 512 ? sectorSize : kSectorSize;
}

void RawScanner::setRange(uint64_t startSector, uint64_t endSector) {
  start_ = startSector;
  end_ = std::max(startSector, endSector);
}

size_t RawScanner::readRange(uint64_t pos, uint8_t* buf, size_t want, size_t minimum) const {
  uint64_t base = origin_ * sectorSize_;
  if (base / sectorSize_ != origin_ || base + pos < base) return 0;
  if (reader_.readBytesAt(base + pos, buf, want)) return want;
  if (want > minimum && reader_.readBytesAt(base + pos, buf, minimum)) return minimum;
  return 0;
}

void RawScanner::record(uint64_t endPos) {
  RawFoundFile f;
  const RawFileType& type = *types_->types[size_t(open_.type)];
  f.name = format("File%zu.%s", files_.size(), type.ext().c_str());
  f.description = type.desc();
  f.startSector = open_.start / sectorSize_;
  f.size = f.cutSize = endPos - open_.start;
  f.typeIndex = open_.type;
  if (trim_ && open_.endKnown && open_.structuralEnd > 0 && open_.structuralEnd <= f.cutSize) {
    f.size = open_.structuralEnd;
  } else if (trim_) {
    uint64_t fileBase = open_.start;
    RawByteSource source = [this, fileBase](uint64_t off, uint8_t* buf, size_t n) -> size_t {
      return readRange(fileBase + off, buf, n, n);
    };
    uint64_t end = rawFormatEnd(source, f.cutSize);
    if (end > 0) f.size = end;
  }
  files_.push_back(std::move(f));
  open_ = Open{};
}

uint64_t RawScanner::openStructuralEnd() {
  if (!open_.endKnown) {
    open_.endKnown = true;
    const uint64_t bound = std::min<uint64_t>(maxSizeKb_ * 1024, scanEnd_ > open_.start ? scanEnd_ - open_.start : 0);
    const uint64_t fileBase = open_.start;
    RawByteSource source = [this, fileBase](uint64_t off, uint8_t* buf, size_t n) -> size_t {
      return readRange(fileBase + off, buf, n, n);
    };
    open_.structuralEnd = rawStructuralEnd(source, bound);
  }
  return open_.structuralEnd;
}

void RawScanner::processSectors(const RawMatcher& m, uint64_t pos, const uint8_t* data, size_t sectors,
                                size_t avail) {
  const uint64_t maxBytes = maxSizeKb_ * 1024;
  for (size_t k = 0; k < sectors; ++k) {
    uint64_t s = pos + uint64_t(k) * sectorSize_;
    size_t at = k * sectorSize_;
    int type = m.match(data + at, avail - at);
    if (type < 0) {
      if (open_.open && (s - open_.start) / 1024 >= maxSizeKb_) record(s);
      continue;
    }
    // A header inside the open file's own structure (a camera JPEG's EXIF
    // thumbnail, the preview inside a raw photo, a member of a ZIP) belongs
    // to that file: it opens no new one.
    if (open_.open && trim_) {
      const uint64_t end = openStructuralEnd();
      if (end > 0 && s < open_.start + end) continue;
    }
    if (open_.open) record(std::min(s, open_.start + maxBytes));
    open_ = Open{};
    open_.open = true;
    open_.start = s;
    open_.type = type;
  }
}

int RawScanner::scan(Progress* progress, const RunningFlag& running) {
  if (!types_) types_ = std::make_shared<RawTypeList>();
  if (types_->empty()) {
    std::string error;
    loadDefaultRawTypes(*types_, &error);
  }
  if (types_->empty() || !types_->anySelected()) return -1;
  if (types_->compiled.size() != types_->size() * kRawMaxSignatures) types_->compile();
  RawMatcher matcher(*types_);
  if (matcher.empty()) return -1;

  const uint64_t ss = sectorSize_;
  const uint64_t chunk = uint64_t(kChunkSectors) * ss;
  const uint64_t copy = uint64_t(kCopySectors) * ss;
  const uint64_t look = (matcher.reach() + ss - 1) / ss * ss;
  std::vector<uint8_t> buffer(static_cast<size_t>(chunk + look));

  if (start_ > UINT64_MAX / ss || end_ > UINT64_MAX / ss) return -1;
  uint64_t pos = start_ * ss, endB = end_ * ss;
  // A range past the end of the device ends at the device's last whole sector.
  uint64_t deviceBytes = reader_.sizeBytes();
  if (deviceBytes > 0) {
    uint64_t originBytes = origin_ * ss;
    uint64_t usable = deviceBytes > originBytes ? (deviceBytes - originBytes) / ss * ss : 0;
    endB = std::min(endB, usable);
    if (pos > endB) pos = endB;
  }
  open_ = Open{};
  scanEnd_ = endB;
  if (progress) {
    progress->setTotal(static_cast<int32_t>(std::min<uint64_t>((endB - pos) / chunk, INT32_MAX)));
    progress->setDone(0);
  }
  const uint64_t first = pos;
  while (running && pos < endB) {
    uint64_t remaining = endB - pos;
    uint64_t readSize = remaining >= chunk ? chunk : std::min(copy, remaining);
    uint64_t extra = std::min(look, remaining - readSize);
    size_t n = readRange(pos, buffer.data(), size_t(readSize + extra), size_t(readSize));
    if (progress) {
      progress->setDone(static_cast<int32_t>(std::min<uint64_t>((pos - first) / chunk, INT32_MAX)));
      progress->setStatus(format("Found Raw Files : %zu", files_.size()));
    }
    if (n > 0) {
      processSectors(matcher, pos, buffer.data(), size_t(readSize / ss), n);
    } else if (readSize > copy) {
      // A chunk that cannot be read whole: take it in copy-chunk pieces and
      // skip only the pieces that fail.
      for (uint64_t off = 0; off < readSize && running; off += copy) {
        uint64_t piece = std::min(copy, readSize - off);
        uint64_t pieceExtra = std::min(look, endB - (pos + off + piece));
        size_t got = readRange(pos + off, buffer.data(), size_t(piece + pieceExtra), size_t(piece));
        if (got > 0) processSectors(matcher, pos + off, buffer.data(), size_t(piece / ss), got);
      }
    }
    pos += readSize;
  }
  // A file still open at the end of the range (or at Cancel) is kept, cut
  // where the scan stopped and at the maximal size.
  if (open_.open) record(std::min(std::min(pos, endB), open_.start + maxSizeKb_ * 1024));
  if (progress) {
    if (pos >= endB) progress->setDone(progress->total());  // after Cancel the position reached stays
    progress->setStatus(format("Found Raw Files : %zu", files_.size()));
  }
  return 0;
}

int RawScanner::readFile(size_t i, std::vector<uint8_t>& out, uint64_t maxBytes) const {
  out.clear();
  if (i >= files_.size() || files_[i].size == 0) return EINVAL;
  uint64_t n = std::min(files_[i].size, maxBytes);
  if (n > SIZE_MAX / 2) return ENOMEM;
  out.resize(size_t(n));
  if (n == 0) return 0;
  if (readRange(files_[i].startSector * sectorSize_, out.data(), size_t(n), size_t(n)) != n) {
    out.clear();
    return reader_.lastError() ? reader_.lastError() : EIO;
  }
  return 0;
}

int RawScanner::copyFile(size_t i, const std::function<bool(const uint8_t*, size_t)>& write,
                         const RunningFlag& running) const {
  if (i >= files_.size()) return EINVAL;
  const RawFoundFile& f = files_[i];
  const size_t copy = size_t(kCopySectors) * sectorSize_;
  std::vector<uint8_t> buf(copy);
  uint64_t base = f.startSector * sectorSize_;
  for (uint64_t done = 0; done < f.size; done += copy) {
    if (!running) return -1;
    size_t n = size_t(std::min<uint64_t>(copy, f.size - done));
    if (readRange(base + done, buf.data(), n, n) != n) return reader_.lastError() ? reader_.lastError() : EIO;
    if (!write(buf.data(), n)) return -2;
  }
  return 0;
}

}  // namespace brenix
