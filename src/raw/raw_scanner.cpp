#include "raw/raw_scanner.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

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
      // A quick test of the alternative's first four bytes (as far as it
      // fixes them) before the full comparison.
      Candidate c{int(t), 0, 0};
      for (size_t i = 0; i < 4 && i < a.bytes.size(); ++i) {
        c.mask |= uint32_t(0xFF) << (8 * i);
        c.value |= uint32_t(a.bytes[i]) << (8 * i);
      }
      if (a.bytes.size() < 4 && a.hasHalf) {
        c.mask |= uint32_t(0xF0) << (8 * a.bytes.size());
        c.value |= uint32_t(a.halfNibble << 4) << (8 * a.bytes.size());
      }
      if (!a.bytes.empty()) {
        g->buckets[a.bytes[0]].push_back(c);
      } else if (a.hasHalf) {
        for (int lo = 0; lo < 16; ++lo) g->buckets[a.halfNibble << 4 | lo].push_back(c);
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

namespace {
// The four bytes as a little-endian number, whatever the machine's order.
inline uint32_t littleWord(uint32_t w) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap32(w);
  return w;
}
}  // namespace

int RawMatcher::match(const uint8_t* data, size_t avail) const {
  int best = INT_MAX;
  for (const Group& g : groups_) {
    if (g.offset < avail && (g.nonEmpty[data[g.offset] >> 6] >> (data[g.offset] & 63) & 1)) {
      uint32_t word = 0;
      const bool quick = avail - g.offset >= 4;
      if (quick) std::memcpy(&word, data + g.offset, 4);
      word = littleWord(word);
      for (const Candidate& c : g.buckets[data[g.offset]]) {
        if (c.type >= best) break;
        if (quick && (word & c.mask) != c.value) continue;
        if (fullMatch(c.type, data, avail)) {
          best = c.type;
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

size_t RawScanner::readForWalk(uint64_t pos, uint8_t* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    const uint64_t p = pos + done;
    const MemorySpan* hit = nullptr;
    uint64_t limit = pos + n;
    for (const MemorySpan& m : spans_) {
      if (p >= m.pos && p < m.pos + m.size) hit = &m;
      if (m.pos > p && m.pos < limit) limit = m.pos;
    }
    if (hit) {
      size_t k = static_cast<size_t>(std::min<uint64_t>(n - done, hit->pos + hit->size - p));
      std::memcpy(buf + done, hit->data + (p - hit->pos), k);
      done += k;
      continue;
    }
    const size_t k = static_cast<size_t>(limit - p);
    ++walkDeviceReads_;
    if (readRange(p, buf + done, k, k) != k) return done;
    done += k;
  }
  return done;
}

void RawScanner::record(uint64_t endPos) {
  RawFoundFile f;
  const RawFileType& type = *types_->types[size_t(open_.type)];
  f.name = format("File%zu.%s", files_.size(), type.ext().c_str());
  f.description = type.desc();
  f.startSector = open_.start / sectorSize_;
  f.size = f.cutSize = endPos - open_.start;
  f.typeIndex = open_.type;
  if (trim_ && open_.walked && open_.walk.end > 0 && open_.walk.end <= f.cutSize) {
    f.size = open_.walk.end;
  } else if (trim_) {
    uint64_t fileBase = open_.start;
    RawByteSource source = [this, fileBase](uint64_t off, uint8_t* buf, size_t n) -> size_t {
      return readForWalk(fileBase + off, buf, n);
    };
    uint64_t end = rawFormatEnd(source, f.cutSize);
    if (end > 0) f.size = end;
  }
  files_.push_back(std::move(f));
  open_ = Open{};
}

const RawFormatWalk& RawScanner::openWalk() {
  if (!open_.walked) {
    open_.walked = true;
    const uint64_t bound = std::min<uint64_t>(maxSizeKb_ * 1024, scanEnd_ > open_.start ? scanEnd_ - open_.start : 0);
    const uint64_t fileBase = open_.start;
    RawByteSource source = [this, fileBase](uint64_t off, uint8_t* buf, size_t n) -> size_t {
      return readForWalk(fileBase + off, buf, n);
    };
    open_.walk = rawWalkFormat(source, bound, false);
  }
  return open_.walk;
}

bool RawScanner::insideOpenFile(uint64_t s) {
  const RawFormatWalk& w = openWalk();
  const uint64_t rel = s - open_.start;
  if (w.end == 0 || rel >= w.end) return false;
  if (w.verified) return true;
  return std::find(w.anchors.begin(), w.anchors.end(), rel) != w.anchors.end();
}

bool RawScanner::nextPacketOfOpenStream(uint64_t s, int type) {
  if (type != open_.type) return false;
  const RawFormatWalk& w = openWalk();
  const uint64_t rel = s - open_.start;
  return w.packet != 0 && rel < w.end && rel % w.packet == 0;
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
    // thumbnail or MPF image, the preview inside a raw photo, a member of a
    // ZIP, the next packet of a stream) belongs to that file: it opens no
    // new one. Only a structure the walk checked out counts, never a bare
    // size field, which may be stale.
    if (open_.open && (trim_ ? insideOpenFile(s) : nextPacketOfOpenStream(s, type))) continue;
    if (open_.open) record(std::min(s, open_.start + maxBytes));
    open_ = Open{};
    open_.open = true;
    open_.start = s;
    open_.type = type;
  }
}

namespace {

// One chunk read by the reader thread: the buffer and its readable runs.
struct ScanChunk {
  std::vector<uint8_t> buf;
  uint64_t pos = 0;
  uint64_t readSize = 0;
  struct Run {
    size_t offset, sectors, avail;
  };
  std::vector<Run> runs;
  enum State { Free, Full, Held } state = Free;
  bool last = false;
};

}  // namespace

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
  walkDeviceReads_ = 0;
  const uint64_t first = pos;
  if (resumePending_) {
    resumePending_ = false;
    // Only at a chunk boundary of this range, so the sweep reads the chunks it would have read.
    if (resume_.position >= pos && resume_.position <= endB && (resume_.position - pos) % chunk == 0) {
      pos = resume_.position;
      if (resume_.fileOpen && resume_.openType >= 0 && size_t(resume_.openType) < types_->size() &&
          resume_.openStart < pos) {
        open_.open = true;
        open_.start = resume_.openStart;
        open_.type = resume_.openType;
      }
    } else {
      files_.clear();
    }
  }
  if (progress) {
    progress->setTotal(static_cast<int32_t>(std::min<uint64_t>((endB - first) / chunk, INT32_MAX)));
    progress->setDone(static_cast<int32_t>(std::min<uint64_t>((pos - first) / chunk, INT32_MAX)));
  }
  const uint64_t resumedAt = pos;
  auto takeCheckpoint = [&] {
    checkpoint_.position = pos;
    checkpoint_.fileOpen = open_.open;
    checkpoint_.openStart = open_.start;
    checkpoint_.openType = open_.type;
    checkpoint_.sweptThisRun = pos - resumedAt;
    filesAtCheckpoint_ = files_.size();
    if (checkpointSink_) checkpointSink_(checkpoint_, files_);
  };
  takeCheckpoint();

  // The device is read on its own thread while this thread matches, so the
  // disk and the matcher overlap. Three chunk buffers go round: one being
  // read, the one being matched and the one before it, which the format
  // walks of files that began there read from memory.
  constexpr size_t kSlots = 3;
  ScanChunk slots[kSlots];
  // A range shorter than a chunk is read in copy chunks: smaller buffers do.
  const uint64_t bufferBytes = std::min(chunk, std::max(copy, endB - pos)) + look;
  for (ScanChunk& c : slots) c.buf.resize(static_cast<size_t>(bufferBytes));
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;
  auto readChunk = [&](ScanChunk& c, uint64_t at) {
    uint64_t remaining = endB - at;
    c.pos = at;
    c.readSize = remaining >= chunk ? chunk : std::min(copy, remaining);
    c.runs.clear();
    uint64_t extra = std::min(look, remaining - c.readSize);
    size_t n = readRange(at, c.buf.data(), size_t(c.readSize + extra), size_t(c.readSize));
    if (n > 0) {
      c.runs.push_back({0, size_t(c.readSize / ss), n});
      return;
    }
    if (c.readSize <= copy) return;
    // A chunk that cannot be read whole: take it in copy-chunk pieces and
    // skip only the pieces that fail; a run of readable pieces is matched
    // as one.
    for (uint64_t off = 0; off < c.readSize && running; off += copy) {
      uint64_t piece = std::min(copy, c.readSize - off);
      if (readRange(at + off, c.buf.data() + off, size_t(piece), size_t(piece)) != piece) continue;
      if (!c.runs.empty() && c.runs.back().offset + c.runs.back().avail == off) {
        c.runs.back().sectors += size_t(piece / ss);
        c.runs.back().avail += size_t(piece);
      } else {
        c.runs.push_back({size_t(off), size_t(piece / ss), size_t(piece)});
      }
    }
  };
  std::thread reader([&, at = pos]() mutable {
    for (size_t i = 0;; i = (i + 1) % kSlots) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return slots[i].state == ScanChunk::Free || stop; });
        if (stop) return;
      }
      ScanChunk& c = slots[i];
      bool last = !running || at >= endB;
      if (!last) readChunk(c, at);
      {
        std::lock_guard<std::mutex> lock(mutex);
        c.last = last;
        c.state = ScanChunk::Full;
      }
      changed.notify_all();
      if (last) return;
      at += c.readSize;
    }
  });
  ScanChunk* previous = nullptr;
  for (size_t i = 0;; i = (i + 1) % kSlots) {
    ScanChunk& c = slots[i];
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return c.state == ScanChunk::Full; });
      c.state = ScanChunk::Held;
    }
    if (c.last || !running) break;
    if (progress) {
      progress->setDone(static_cast<int32_t>(std::min<uint64_t>((c.pos - first) / chunk, INT32_MAX)));
      progress->setStatus(format("Found Raw Files : %zu", files_.size()));
    }
    spans_.clear();
    for (const ScanChunk* k : {previous, &c})
      if (k)
        for (const ScanChunk::Run& r : k->runs) spans_.push_back({k->pos + r.offset, k->buf.data() + r.offset, r.avail});
    for (const ScanChunk::Run& r : c.runs)
      processSectors(matcher, c.pos + r.offset, c.buf.data() + r.offset, r.sectors, r.avail);
    pos = c.pos + c.readSize;
    // Not after a chunk that Cancel may have cut short.
    if (running) takeCheckpoint();
    if (previous) {
      std::lock_guard<std::mutex> lock(mutex);
      previous->state = ScanChunk::Free;
    }
    changed.notify_all();
    previous = &c;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  changed.notify_all();
  reader.join();
  // A file still open at the end of the range (or at Cancel) is kept, cut
  // where the scan stopped and at the maximal size.
  if (open_.open) record(std::min(std::min(pos, endB), open_.start + maxSizeKb_ * 1024));
  spans_.clear();
  if (progress) {
    // Where the scan really stopped: a cancelled scan does not claim the whole range.
    progress->setDone(pos >= endB ? progress->total()
                                  : static_cast<int32_t>(std::min<uint64_t>((pos - first) / chunk, INT32_MAX)));
    progress->setStatus(format("Found Raw Files : %zu", files_.size()));
  }
  return 0;
}

void RawScanner::resumeFrom(const RawScanCheckpoint& checkpoint, std::vector<RawFoundFile> files) {
  resume_ = checkpoint;
  files_ = std::move(files);
  resumePending_ = true;
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
