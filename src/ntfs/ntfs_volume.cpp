// The volume: its boot sector (or the backup), where each record buffer's
// records lie and how one is read back, and the deleted-file scan.
#include "ntfs/ntfs_volume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "common/text.h"

namespace brenix {
namespace {

bool isPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint64_t mulSat(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}

std::string trimBlanks(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return {};
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

// Geometry of one NTFS boot sector; "" when usable, else what is wrong with it.
struct NtfsBoot {
  uint32_t bytesPerCluster = 0, recordSize = 0;
  uint64_t mftCluster = 0, totalClusters = 0;
};

std::string parseNtfsBoot(const uint8_t* bs, NtfsBoot* out) {
  if (std::memcmp(bs + 3, "NTFS", 4) != 0) return "no NTFS signature";
  uint32_t bps = le16(bs + 0x0B);
  uint32_t spcRaw = bs[0x0D];
  uint32_t spc = spcRaw <= 0x80 ? spcRaw : (256 - spcRaw <= 12 ? 1u << (256 - spcRaw) : 0);
  if (bps < 256 || bps > 4096 || !isPowerOfTwo(bps)) return format("bytes per sector %u", bps);
  if (!isPowerOfTwo(spc)) return format("sectors per cluster %u", spcRaw);
  uint64_t cluster = uint64_t(bps) * spc;
  if (cluster > (uint64_t(1) << 21)) return format("cluster size %llu", static_cast<unsigned long long>(cluster));
  int8_t v = static_cast<int8_t>(bs[0x40]);
  uint64_t rs = 0;
  if (v > 0) rs = cluster * uint64_t(v);
  else if (v < 0 && -v <= 16) rs = uint64_t(1) << (-v);
  // Records must hold a header and be whole multiples of the 512-byte fixup stride.
  if (rs < 512 || rs > 65536 || !isPowerOfTwo(rs)) return format("file record size %llu", static_cast<unsigned long long>(rs));
  out->bytesPerCluster = static_cast<uint32_t>(cluster);
  out->recordSize = static_cast<uint32_t>(rs);
  out->mftCluster = le64(bs + 0x30);
  out->totalClusters = mulSat(le64(bs + 0x28), bps) / cluster;
  return {};
}

}  // namespace

NtfsVolume::~NtfsVolume() = default;

bool NtfsVolume::openDevice(int driveNumber) { return device_.open(driveNumber, OpenMode::Read); }
bool NtfsVolume::openPath(const std::string& path) { return device_.openPath(path, OpenMode::Read); }

void NtfsVolume::setPartition(uint64_t firstSector, uint32_t bytesPerSector) {
  bytesPerSector_ = bytesPerSector ? bytesPerSector : 512;
  partitionOffset_ = firstSector * bytesPerSector_;
}

void NtfsVolume::setPartitionEnd(uint64_t endSector) { partitionEndOffset_ = mulSat(endSector, bytesPerSector_); }

void NtfsVolume::setScanRange(uint64_t first, uint64_t last) {
  scanFirst_ = first;
  scanLast_ = last;
}

void NtfsVolume::setFilters(const std::string& nameFilter, const std::string& pathFilter) {
  nameFilter_ = trimBlanks(nameFilter);
  std::string p = trimBlanks(pathFilter);
  std::replace(p.begin(), p.end(), '\\', '/');
  while (!p.empty() && p.front() == '/') p.erase(p.begin());
  while (!p.empty() && p.back() == '/') p.pop_back();
  pathFilter_ = p;
}

int NtfsVolume::readBootSector() {
  bootValid_ = false;
  bootNotice_.clear();
  if (!device_.isOpen()) return kNtfsNotNtfs;
  uint8_t bs[512];
  if (!device_.readBytesAt(partitionOffset_, bs, sizeof bs)) return device_.lastError() ? device_.lastError() : EIO;
  NtfsBoot boot;
  const std::string primary = parseNtfsBoot(bs, &boot);
  if (!primary.empty()) {
    // The backup copy lies in the volume's last sector.
    uint64_t end = partitionEndOffset_;
    if (uint64_t dev = device_.sizeBytes(); dev > 0 && (end == 0 || end > dev)) end = dev;
    std::string backup = "it cannot be read";
    if (end >= partitionOffset_ + 2 * 512 && device_.readBytesAt(end - 512, bs, sizeof bs))
      backup = parseNtfsBoot(bs, &boot);
    if (!backup.empty()) {
      // A volume that never was NTFS says nothing; a damaged one says why it cannot be scanned.
      if (primary != "no NTFS signature" || backup != "no NTFS signature")
        bootNotice_ = "The NTFS boot sector is damaged (" + primary + ") and the backup boot sector in the volume's "
                      "last sector is not usable (" + backup + "): the volume's layout is unknown, so the scan "
                      "cannot run.";
      return kNtfsNotNtfs;
    }
    bootNotice_ = "The NTFS boot sector is damaged (" + primary +
                  "): the backup boot sector in the volume's last sector was used.";
  }
  bytesPerCluster_ = boot.bytesPerCluster;
  recordSize_ = boot.recordSize;
  mftCluster_ = boot.mftCluster;
  totalClusters_ = boot.totalClusters;
  bootValid_ = true;
  return kNtfsOk;
}

uint32_t NtfsVolume::recordCount(size_t b) const {
  if (isLiveBuffer(b)) return liveCount_;
  const size_t s = b - firstSweptBuffer();
  if (b < firstSweptBuffer() || s >= sweptStarts_.size()) return 0;
  const size_t end = s + 1 < sweptStarts_.size() ? sweptStarts_[s + 1] : sweptOffsets_.size();
  return static_cast<uint32_t>(end - sweptStarts_[s]);
}

bool NtfsVolume::readSwept(uint32_t sweptIndex, std::vector<uint8_t>& out) const {
  if (sweptIndex >= sweptOffsets_.size() || recordSize_ == 0) return false;
  const uint64_t off = sweptOffsets_[sweptIndex];
  out.resize(recordSize_);
  if (off > UINT64_MAX - partitionOffset_ || !device_.readBytesAt(partitionOffset_ + off, out.data(), out.size()))
    return false;
  applyFixups(out);
  return true;
}

bool NtfsVolume::readRecord(size_t b, uint32_t index, std::vector<uint8_t>& out) const {
  if (recordSize_ == 0 || index >= recordCount(b)) return false;
  if (!isLiveBuffer(b)) return readSwept(sweptStarts_[b - firstSweptBuffer()] + index, out);
  out.resize(recordSize_);
  if (!readStreamRange(mft_, uint64_t(index) * recordSize_, out.data(), out.size())) return false;
  applyFixups(out);
  return true;
}

int64_t NtfsVolume::sweptSlot(size_t b, uint64_t recordNumber) const {
  if (recordNumber > UINT32_MAX || b < firstSweptBuffer() || b - firstSweptBuffer() >= sweptStarts_.size()) return -1;
  const auto number = static_cast<uint32_t>(recordNumber);
  const size_t s = b - firstSweptBuffer();
  const uint32_t start = sweptStarts_[s];
  const size_t end = s + 1 < sweptStarts_.size() ? sweptStarts_[s + 1] : sweptOffsets_.size();
  // Its own fragment first: a swept record's parent or extension may also sit in another one.
  auto own = std::lower_bound(sweptByNumber_.begin(), sweptByNumber_.end(), std::make_pair(number, start));
  if (own != sweptByNumber_.end() && own->first == number && own->second < end) return own->second;
  auto any = std::lower_bound(sweptByNumber_.begin(), sweptByNumber_.end(), std::make_pair(number, uint32_t(0)));
  if (any != sweptByNumber_.end() && any->first == number) return any->second;
  return -1;
}

bool NtfsVolume::findRecord(size_t b, uint64_t recordNumber, std::vector<uint8_t>& out) const {
  if (isLiveBuffer(b)) return recordNumber < liveCount_ && readRecord(b, static_cast<uint32_t>(recordNumber), out);
  const int64_t slot = sweptSlot(b, recordNumber);
  return slot >= 0 && readSwept(static_cast<uint32_t>(slot), out);
}

void NtfsVolume::showProgress(const char* label, size_t done, size_t found) {
  if (!progress_) return;
  progress_->setDone(static_cast<int32_t>(std::min<size_t>(done, INT32_MAX)));
  progress_->setStatus(format("%s : %zu", label, found));
  progress_->setFound(static_cast<int64_t>(found));
}

int NtfsVolume::scanDeleted() {
  if (!liveLoaded_ && readBootSector() == kNtfsOk) {
    int e = loadMft();
    if (e != kNtfsOk) return e;
  }
  if (!liveLoaded_ || bufferCount() != 1) return -1;
  const char* label = "Found Deleted Files";
  // While the table streams, each deleted base record becomes an item; its
  // folder chain is made once every folder of the table is known.
  std::vector<NtfsItem> pending;
  auto take = [&](uint32_t i, std::span<const uint8_t> rec) {
    const bool folder = noteFolder(liveFolders_, i, rec);
    // Extension records carry parts of another file, not files of their own.
    if (!isDeletedRecord(rec) || (u64At(rec, 0x20) & 0xFFFFFFFFFFFFull) != 0) return folder;
    NtfsItem item;
    std::vector<NtfsItem> streams;
    if (fillItem(0, i, rec, item, &streams) != kNtfsOk || !acceptName(item.name)) return folder;
    pending.push_back(std::move(item));
    for (NtfsItem& extra : streams)
      if (acceptName(extra.name)) pending.push_back(std::move(extra));
    return true;
  };
  // A session's point: the next record to read, and (found) the count of
  // unreadable records before it, then the numbers of the records before it
  // that gave a folder or an item. Those few are read again to continue.
  SweepCheckpoint cp;
  cp.end = liveCount_;
  cp.found.push_back(0);
  if (sweep_) sweep_->unit = "record";
  if (sweep_ && sweep_->resume) {
    const std::string why = takeDeletedResume(*sweep_->resume, take);
    if (!why.empty()) {
      liveFolders_.clear();
      sweep_->refused = why;
      return kNtfsResumeRefused;
    }
    cp.position = sweep_->resume->position;
    cp.found = sweep_->resume->found;
  }
  const uint32_t from = static_cast<uint32_t>(cp.position);
  if (progress_) {
    progress_->setTotal(static_cast<int32_t>(std::min<uint32_t>(liveCount_, INT32_MAX)));
    progress_->setDone(static_cast<int32_t>(std::min<uint32_t>(from, INT32_MAX)));
    progress_->setStatus(format("Found Deleted Files : %zu", pending.size()));
    progress_->setFound(static_cast<int64_t>(pending.size()));
  }
  size_t shown = pending.size();
  uint32_t reached = std::max(from, kFirstUserRecord);
  auto batchDone = [&](uint32_t next) {
    cp.position = next;
    cp.found[0] = unreadableRecords_;
    cp.sweptBytes = uint64_t(next - from) * recordSize_;
    if (sweep_ && sweep_->sink) sweep_->sink(cp);
  };
  const int e = streamLiveTable(
      std::max(from, kFirstUserRecord),
      [&](uint32_t i, std::span<const uint8_t> rec) {
        reached = i + 1;
        if (progress_ && ((i & 1023) == 0 || shown != pending.size())) {
          shown = pending.size();
          showProgress(label, i, pathFilter_.empty() ? shown : 0);
        }
        if (take(i, rec)) cp.found.push_back(i);
      },
      from, cp.found[0], batchDone);
  if (sweep_) {
    cp.ended = cp.position >= liveCount_;
    sweep_->reached = std::move(cp);
    sweep_->reachedSet = true;
  }
  for (NtfsItem& item : pending) {
    if (!item.isFolder()) buildPath(item);
    if (acceptPath(item)) addItem(std::move(item), true);
  }
  std::vector<NtfsItem>().swap(pending);
  if (progress_) {
    // After a cancel the record reached stays, not the end.
    if (e == kNtfsOk) progress_->setDone(progress_->total());
    else showProgress(label, reached, items_.size());
    progress_->setStatus(format("%s : %zu", label, items_.size()));
    progress_->setFound(static_cast<int64_t>(items_.size()));
  }
  return e > 0 ? e : kNtfsOk;
}

std::string NtfsVolume::takeDeletedResume(const SweepCheckpoint& cp,
                                          const std::function<bool(uint32_t, std::span<const uint8_t>)>& take) {
  if (cp.first != 0 || cp.end != liveCount_)
    return "the table's record count differs (" + std::to_string(cp.end) + " there, " + std::to_string(liveCount_) +
           " here)";
  if (cp.position > liveCount_) return "its position lies past the table's last record";
  if (cp.found.empty() || cp.found[0] > cp.position) return "bad count of unreadable records";
  if (cp.found.size() - 1 > cp.position) return "bad list of found records";
  uint64_t previous = 0;
  for (size_t k = 1; k < cp.found.size(); ++k) {
    const uint64_t n = cp.found[k];
    if (n < kFirstUserRecord || n >= cp.position || (k > 1 && n <= previous))
      return "found record " + std::to_string(n) + " does not fit";
    previous = n;
  }
  // Read the listed records again, those that lie close together in one read.
  const size_t rs = recordSize_;
  const uint64_t perRead = std::max<uint64_t>(1, (uint64_t(2) << 20) / rs);
  std::vector<uint8_t> window;
  for (size_t k = 1; k < cp.found.size();) {
    const uint64_t firstNumber = cp.found[k];
    size_t last = k;
    while (last + 1 < cp.found.size() && cp.found[last + 1] < firstNumber + perRead) ++last;
    const uint64_t count = cp.found[last] - firstNumber + 1;
    window.resize(static_cast<size_t>(count) * rs);
    const bool whole = readStreamRange(mft_, firstNumber * rs, window.data(), window.size());
    for (; k <= last; ++k) {
      const uint64_t n = cp.found[k];
      std::span<uint8_t> rec(window.data() + static_cast<size_t>(n - firstNumber) * rs, rs);
      // A record that can not be read now is left out, as the table's stream leaves it out.
      if (!whole && !readStreamRange(mft_, n * rs, rec.data(), rs)) continue;
      if (std::memcmp(rec.data(), "FILE", 4) != 0) return "record " + std::to_string(n) + " is no file record now";
      applyFixups(rec);
      if (!take(static_cast<uint32_t>(n), rec))
        return "record " + std::to_string(n) + " holds no folder or deleted file now (the volume changed)";
    }
  }
  return {};
}

}  // namespace brenix
