// The formatted-drive scan: every named record of the live table (on a worker
// thread) and, beside it, a sweep of the partition for file records outside
// the table. A swept record is kept as its position on the volume (and, when
// it is a folder, as a folder entry); once the sweep is done the swept
// records are grouped into record buffers, one per contiguous stretch (an old
// table fragment), and read again from the volume to be listed. A sweep
// that stopped continues from its byte: the records it found before are taken
// back from the session (only the folders among them are read again), and the
// live table, cheap to read, is listed anew.
#include <algorithm>
#include <cstring>
#include <thread>

#include "common/bytes.h"
#include "common/text.h"
#include "ntfs/ntfs_volume.h"

namespace brenix {
namespace {

constexpr uint64_t kSweepBytes = uint64_t(1) << 20;  // one read of the sweep
constexpr uint64_t kMaxSweptRecords = 1u << 20;     // records kept by one sweep
constexpr size_t kReadAhead = size_t(1) << 20;      // swept records read back together

uint64_t mulSat(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}

bool isBaseRecord(std::span<const uint8_t> rec) { return (u64At(rec, 0x20) & 0xFFFFFFFFFFFFull) == 0; }

}  // namespace

void NtfsVolume::liveWorker() {
  std::vector<NtfsItem> pending;
  streamLiveTable(kFirstUserRecord, [&](uint32_t i, std::span<const uint8_t> rec) {
    noteFolder(liveFolders_, i, rec);
    if (!isBaseRecord(rec)) return;
    // The file system's own files under $Extend are no user files.
    NtfsFileNameView view;
    if (preferredFileName(rec, view) && view.parentRecord() == kExtendRecord) return;
    NtfsItem item;
    std::vector<NtfsItem> streams;
    if (fillItem(0, i, rec, item, &streams) != kNtfsOk) return;
    pending.push_back(std::move(item));
    for (NtfsItem& extra : streams) pending.push_back(std::move(extra));
  });
  // Folders are listed, not shown; their files show them through their paths.
  for (NtfsItem& item : pending) {
    const bool folder = item.isFolder();
    if (!folder) buildPath(item);
    addItem(std::move(item), !folder);
  }
}

void NtfsVolume::sweptWorker(size_t b) {
  const uint32_t count = recordCount(b);
  if (count == 0 || b < firstSweptBuffer()) return;
  const uint32_t first = sweptStarts_[b - firstSweptBuffer()];
  const size_t rs = recordSize_;
  std::vector<uint8_t> window, rec(rs);
  uint64_t windowStart = 0, windowEnd = 0;
  for (uint32_t j = 0; j < count && running(); ++j) {
    const uint32_t k = first + j;
    const uint64_t off = sweptOffsets_[k];
    if (off < windowStart || off + rs > windowEnd) {
      // Read this record with the ones after it that lie close by, in one read.
      uint32_t last = k;
      while (last + 1 < first + count && sweptOffsets_[last + 1] >= off &&
             sweptOffsets_[last + 1] + rs - off <= kReadAhead)
        ++last;
      window.resize(static_cast<size_t>(sweptOffsets_[last] + rs - off));
      windowStart = off;
      windowEnd = off + window.size();
      if (off > UINT64_MAX - partitionOffset_ - window.size() ||
          !device_.readBytesAt(partitionOffset_ + off, window.data(), window.size()))
        windowStart = windowEnd = 0;
    }
    if (windowEnd != 0) {
      std::memcpy(rec.data(), window.data() + (off - windowStart), rs);
      applyFixups(rec);
    } else if (!readSwept(k, rec)) {
      continue;
    }
    if (!isFileRecord(rec) || !isBaseRecord(rec)) continue;
    NtfsFileNameView view;
    if (preferredFileName(rec, view) && view.parentRecord() == kExtendRecord) continue;
    NtfsItem item;
    std::vector<NtfsItem> streams;
    if (fillItem(b, j, rec, item, &streams) != kNtfsOk) continue;
    const bool folder = item.isFolder();
    if (!folder) buildPath(item);
    addItem(std::move(item), !folder);
    for (NtfsItem& extra : streams) {
      buildPath(extra);
      addItem(std::move(extra), true);
    }
  }
}

void NtfsVolume::keepSwept(uint64_t offset, uint32_t number, std::vector<std::pair<uint32_t, uint32_t>>& numbers) {
  const auto index = static_cast<uint32_t>(sweptOffsets_.size());
  const bool contiguous = index > 0 && offset == sweptOffsets_.back() + recordSize_;
  // One buffer per contiguous stretch, up to the buffer limit; the rest join the last.
  if (sweptStarts_.empty() || (!contiguous && firstSweptBuffer() + sweptStarts_.size() < kMaxBuffers))
    sweptStarts_.push_back(index);
  sweptOffsets_.push_back(offset);
  numbers.emplace_back(number, index);
}

std::string NtfsVolume::takeSweepResume(const SweepCheckpoint& cp, uint64_t start, uint64_t end,
                                        const std::vector<std::pair<uint64_t, uint64_t>>& live,
                                        std::vector<std::pair<uint32_t, uint32_t>>& numbers) {
  const uint64_t rs = recordSize_;
  if (cp.first != start || cp.end != end) return "the swept byte range differs";
  if (cp.position < start || cp.position > end || (cp.position - start) % 512 != 0)
    return "its position lies outside the swept bytes or off a sector";
  if (cp.found.size() % 2 != 0 || cp.found.size() / 2 > kMaxSweptRecords) return "bad list of found records";
  std::vector<uint8_t> rec(rs);
  uint64_t nextFree = start;
  for (size_t k = 0; k < cp.found.size(); k += 2) {
    const uint64_t off = cp.found[k], value = cp.found[k + 1];
    // As the sweep finds them: in order, whole records in the range before
    // the position, on sector bounds, outside the live table.
    bool inLive = false;
    for (const auto& [a, z] : live) inLive = inLive || (off >= a && off < z);
    if (off < nextFree || off % 512 != 0 || off > cp.position || cp.position - off < rs || inLive ||
        (value >> 32) > 1)
      return "found record at byte " + std::to_string(off) + " does not fit";
    nextFree = off + rs;
    const auto number = static_cast<uint32_t>(value);
    if ((value >> 32) != 0) {
      // A folder: its name and parent come from its record, read again. One
      // that can not be read now is kept without them (its files then show as
      // lost), as the listing could not read it either.
      if (off <= UINT64_MAX - partitionOffset_ && device_.readBytesAt(partitionOffset_ + off, rec.data(), rec.size())) {
        applyFixups(rec);
        if (std::memcmp(rec.data(), "FILE", 4) != 0 || le32(rec.data() + 0x2C) != number ||
            !noteFolder(sweptFolders_, static_cast<uint32_t>(sweptOffsets_.size()), rec))
          return "found folder record at byte " + std::to_string(off) + " is no longer there (the volume changed)";
      }
    }
    keepSwept(off, number, numbers);
  }
  return {};
}

int NtfsVolume::scanFormatted() {
  std::thread worker;
  liveLoaded_ = false;
  mft_ = NtfsDataStream{};
  liveCount_ = 0;
  liveFolders_.clear();
  sweptOffsets_.clear();
  sweptStarts_.clear();
  sweptByNumber_.clear();
  sweptFolders_.clear();
  bool live = false;
  if (readBootSector() == kNtfsOk) {
    // Without a live table to list, the sweep still runs.
    live = loadMft() == kNtfsOk;
  } else {
    // No NTFS boot sector any more (re-formatted, or damaged beyond its
    // backup): the common geometry stands in, for the sweep and for reads.
    bytesPerCluster_ = 8 * 512;
    recordSize_ = 1024;
    totalClusters_ = 0;
  }
  struct Join {
    std::thread& t;
    ~Join() {
      if (t.joinable()) t.join();
    }
  } join{worker};

  const uint64_t cluster = bytesPerCluster_ ? bytesPerCluster_ : 8 * 512;
  const uint64_t rs = recordSize_ ? recordSize_ : 1024;
  uint64_t start = scanFirst_ * 512, end = scanLast_ * 512;
  if (end == 0 || end <= start) {
    uint64_t dev = device_.sizeBytes();
    end = dev > partitionOffset_ ? dev - partitionOffset_ : 0;
    if (totalClusters_) end = std::min(end, mulSat(totalClusters_, cluster));
  }
  if (uint64_t dev = device_.sizeBytes(); dev > 0) end = std::min(end, dev > partitionOffset_ ? dev - partitionOffset_ : 0);
  const uint64_t chunk = std::max<uint64_t>(cluster, kSweepBytes / cluster * cluster);
  // Byte ranges of the live table on the volume: its records are listed already.
  std::vector<std::pair<uint64_t, uint64_t>> liveRanges;
  for (const NtfsRun& r : mft_.runs)
    if (!r.sparse) liveRanges.emplace_back(mulSat(r.lcn, cluster), mulSat(r.lcn + r.length, cluster));
  auto inLive = [&](uint64_t off) {
    for (const auto& [a, z] : liveRanges)
      if (off >= a && off < z) return true;
    return false;
  };

  // A session's point: the next byte to sweep, and (found) per swept record
  // before it its byte offset and its record number, bit 32 set for a folder.
  std::vector<std::pair<uint32_t, uint32_t>> numbers;  // (record number, swept index)
  SweepCheckpoint cp;
  cp.first = start;
  cp.end = end;
  cp.position = start;
  if (sweep_) sweep_->unit = "byte";
  if (sweep_ && sweep_->resume) {
    const std::string why = takeSweepResume(*sweep_->resume, start, end, liveRanges, numbers);
    if (!why.empty()) {
      sweptOffsets_.clear();
      sweptStarts_.clear();
      sweptFolders_.clear();
      sweep_->refused = why;
      return kNtfsResumeRefused;
    }
    cp.position = sweep_->resume->position;
    cp.found = sweep_->resume->found;
  }
  if (live) worker = std::thread([this] { liveWorker(); });

  uint32_t found = liveCount_ + static_cast<uint32_t>(sweptOffsets_.size());
  if (progress_) {
    progress_->setTotal(static_cast<int32_t>(std::min<uint64_t>(end > start ? (end - start) / chunk + 1 : 0, INT32_MAX)));
    progress_->setDone(0);
    progress_->setStatus(format("Found Formated Files : %u", found));
    progress_->setFound(found);
    progress_->setBytesTotal(end > start ? end - start : 0);
  }
  std::vector<uint8_t> buf(chunk + rs);
  for (uint64_t pos = cp.position; pos < end && running();) {
    if (progress_) {
      progress_->setDone(static_cast<int32_t>(std::min<uint64_t>((pos - start) / chunk, INT32_MAX)));
      progress_->setBytesDone(pos - start);
      progress_->setStatus(format("Found Formated Files : %u", found));
      progress_->setFound(found);
    }
    uint64_t want = std::min<uint64_t>(chunk + rs, end - pos);
    uint64_t o = 0;
    if (device_.readBytesAt(partitionOffset_ + pos, buf.data(), want)) {
      while (o < chunk && o + rs <= want) {
        uint8_t* p = buf.data() + o;
        // A file record: "FILE", an update sequence inside the header area, and
        // its allocated size equal to the record size.
        if (std::memcmp(p, "FILE", 4) != 0 || le32(p + 0x1C) != rs || le16(p + 4) < 0x28 || le16(p + 4) > 0x30 ||
            inLive(pos + o)) {
          o += 512;
          continue;
        }
        const bool numbered = le16(p + 4) >= 0x30;
        std::span<uint8_t> rec(p, static_cast<size_t>(rs));
        applyFixups(rec);
        const uint32_t number = le32(p + 0x2C);
        // Old copies of the file system's own records (the mirror) are skipped.
        if ((!numbered || number >= kFirstUserRecord) && sweptOffsets_.size() < kMaxSweptRecords) {
          const bool folder = noteFolder(sweptFolders_, static_cast<uint32_t>(sweptOffsets_.size()), rec);
          cp.found.push_back(pos + o);
          cp.found.push_back(number | (folder ? uint64_t(1) << 32 : 0));
          keepSwept(pos + o, number, numbers);
          ++found;
        }
        o += rs;
      }
    }
    // An unreadable stretch is stepped over a chunk at a time.
    const uint64_t next = std::min(end, pos + (o > chunk ? o : chunk));
    cp.sweptBytes += next - pos;
    cp.position = pos = next;
    if (sweep_ && sweep_->sink) sweep_->sink(cp);
  }
  if (sweep_) {
    cp.ended = cp.position >= end;
    sweep_->reached = std::move(cp);
    sweep_->reachedSet = true;
  }
  if (progress_) {
    progress_->setStatus(format("Found Formated Files : %u", found));
    progress_->setFound(found);
  }
  // The first copy of a record number comes first among its copies.
  std::sort(numbers.begin(), numbers.end());
  sweptByNumber_ = std::move(numbers);
  if (worker.joinable()) worker.join();
  for (size_t b = firstSweptBuffer(); b < bufferCount() && running(); ++b) sweptWorker(b);
  return kNtfsOk;
}

}  // namespace brenix
