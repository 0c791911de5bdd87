#include "ntfs/ntfs_volume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>

#include "common/bytes.h"
#include "common/text.h"
#include "codec/lznt1.h"
#include "results/scan_option_rules.h"

namespace brenix {
namespace {

constexpr size_t kIoBytes = size_t(1) << 20;        // largest single device read
constexpr uint64_t kMaxSweptRecords = 1u << 20;     // records kept by one formatted sweep
constexpr size_t kMaxAttributeList = 256 * 1024;
constexpr uint32_t kExtendRecord = 11;

bool isPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint64_t mulSat(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}

// A preset keeps a name by its extension, in any case ("IMG_0001.JPG").
bool presetAllows(FilePreset preset, const std::string& name) { return presetKeepsName(preset, name); }

std::string trimBlanks(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return {};
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

}  // namespace

NtfsVolume::~NtfsVolume() = default;

bool NtfsVolume::openDevice(int driveNumber) { return device_.open(driveNumber, OpenMode::Read); }
bool NtfsVolume::openPath(const std::string& path) { return device_.openPath(path, OpenMode::Read); }

void NtfsVolume::setPartition(uint64_t firstSector, uint32_t bytesPerSector) {
  bytesPerSector_ = bytesPerSector ? bytesPerSector : 512;
  partitionOffset_ = firstSector * bytesPerSector_;
}

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

namespace {

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

void NtfsVolume::setPartitionEnd(uint64_t endSector) { partitionEndOffset_ = mulSat(endSector, bytesPerSector_); }

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

bool NtfsVolume::readClusters(uint64_t lcn, uint64_t within, uint8_t* out, size_t count) const {
  const uint64_t cluster = bytesPerCluster_;
  uint64_t limit = totalClusters_ ? totalClusters_ : (uint64_t(1) << 40);
  if (cluster == 0 || lcn >= limit || lcn > (UINT64_MAX - within) / cluster) return false;
  uint64_t off = lcn * cluster + within;
  uint64_t volumeBytes = mulSat(limit, cluster);
  if (off > volumeBytes || volumeBytes - off < count || off > UINT64_MAX - partitionOffset_ - count) return false;
  return device_.readBytesAt(partitionOffset_ + off, out, count);
}

std::span<const uint8_t> NtfsVolume::record(size_t b, uint32_t index) const {
  if (b >= buffers_.size() || index >= buffers_[b]->count) return {};
  return std::span<const uint8_t>(buffers_[b]->bytes).subspan(size_t(index) * recordSize_, recordSize_);
}

int64_t NtfsVolume::indexOf(size_t b, uint64_t recordNumber) const {
  if (b >= buffers_.size()) return -1;
  const NtfsRecordBuffer& buf = *buffers_[b];
  if (buf.liveTable) return recordNumber < buf.count ? int64_t(recordNumber) : -1;
  if (recordNumber > UINT32_MAX) return -1;
  auto it = buf.byNumber.find(static_cast<uint32_t>(recordNumber));
  return it == buf.byNumber.end() ? -1 : int64_t(it->second);
}

std::span<const uint8_t> NtfsVolume::findRecord(size_t b, uint64_t recordNumber) const {
  const int64_t idx = indexOf(b, recordNumber);
  if (idx >= 0) return record(b, static_cast<uint32_t>(idx));
  // A swept record's parent or extension may sit in another fragment of the old table.
  if (b >= buffers_.size() || buffers_[b]->liveTable || recordNumber > UINT32_MAX) return {};
  auto it = sweptByNumber_.find(static_cast<uint32_t>(recordNumber));
  return it == sweptByNumber_.end() ? std::span<const uint8_t>() : record(it->second.first, it->second.second);
}

std::vector<uint8_t> NtfsVolume::readAttributeList(const MftRecordReader& reader) {
  if (reader.attributeListResident) return reader.attributeListValue;
  NtfsDataStream s;
  s.present = true;
  s.haveFirstExtent = true;
  s.runs = reader.attributeListRuns;
  s.realSize = s.initializedSize = std::min<uint64_t>(reader.attributeListSize, kMaxAttributeList);
  std::vector<uint8_t> out;
  streamData(s, kMaxAttributeList, [&](const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  });
  return out;
}

int NtfsVolume::decodeFull(size_t b, std::span<const uint8_t> rec, MftRecordReader& reader) {
  int e = reader.configure(recordSize_, bytesPerCluster_);
  if (e != kNtfsOk) return e;
  e = reader.decode(rec);
  if (e != kNtfsOk || !reader.hasAttributeList) return e;
  // The base record's own number: its index in the live table, else its header.
  uint64_t self = reader.ownNumber;
  if (b < buffers_.size() && buffers_[b]->liveTable && !buffers_[b]->bytes.empty()) {
    self = uint64_t(rec.data() - buffers_[b]->bytes.data()) / recordSize_;
  }
  std::vector<uint64_t> done;
  bool listsData = false;
  for (const NtfsAttrListEntry& entry : MftRecordReader::parseAttributeList(readAttributeList(reader))) {
    // The data streams, and names and standard information the base record lacks.
    const bool wanted = entry.type == kAttrData || (entry.type == kAttrFileName && !reader.haveFileName) ||
                        (entry.type == kAttrStandardInfo && !reader.haveStandardInfo);
    if (!wanted) continue;
    const bool unnamed = entry.type == kAttrData && entry.nameLength == 0;
    listsData = listsData || unnamed;
    if (entry.recordNumber == self) continue;
    if (std::find(done.begin(), done.end(), entry.recordNumber) != done.end() || done.size() >= 4096) continue;
    done.push_back(entry.recordNumber);
    std::span<const uint8_t> ext = findRecord(b, entry.recordNumber);
    // An extension record names its base; a reused one belongs to another file.
    if (ext.empty() || (u64At(ext, 0x20) & 0xFFFFFFFFFFFFull) != self || !reader.addExtension(ext))
      reader.dataExtentMissing = reader.dataExtentMissing || unnamed;
  }
  if (listsData && (!reader.data.present || (!reader.data.resident && !reader.data.haveFirstExtent)))
    reader.dataExtentMissing = true;
  return kNtfsOk;
}

int NtfsVolume::loadMft() {
  if (!device_.isOpen()) return kNtfsNoDevice;
  if (!bootValid_) return kNtfsNotNtfs;
  std::vector<uint8_t> rec(recordSize_);
  if (!readClusters(mftCluster_, 0, rec.data(), rec.size())) return device_.lastError() ? device_.lastError() : EIO;
  applyFixups(rec);
  MftRecordReader reader;
  int e = reader.configure(recordSize_, bytesPerCluster_);
  if (e == kNtfsOk) e = reader.decode(rec);
  if (e != kNtfsOk) return e;
  static const char16_t kMft[] = u"$MFT";
  if (reader.name.size() < 4 || reader.name.compare(0, 4, kMft) != 0) return kNtfsNotMft;

  // $MFT's own data may continue in extension records; they are reached
  // through the part of the table already mapped, in VCN order.
  if (reader.hasAttributeList) {
    auto entries = MftRecordReader::parseAttributeList(readAttributeList(reader));
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.startVcn < b.startVcn; });
    std::vector<uint64_t> done;
    for (const NtfsAttrListEntry& entry : entries) {
      if (entry.type != kAttrData || entry.nameLength != 0 || entry.recordNumber == 0) continue;
      if (std::find(done.begin(), done.end(), entry.recordNumber) != done.end() || done.size() >= 4096) continue;
      done.push_back(entry.recordNumber);
      uint64_t byte = mulSat(entry.recordNumber, recordSize_);
      uint64_t vcn = byte / bytesPerCluster_;
      for (const NtfsRun& r : reader.data.runs) {
        if (vcn < r.vcn || vcn >= r.vcn + r.length || r.sparse) continue;
        std::vector<uint8_t> ext(recordSize_);
        if (readClusters(r.lcn + (vcn - r.vcn), byte % bytesPerCluster_, ext.data(), ext.size())) {
          applyFixups(ext);
          if ((u64At(ext, 0x20) & 0xFFFFFFFFFFFFull) == 0) reader.addExtension(ext);
        }
        break;
      }
    }
  }
  const NtfsDataStream& data = reader.data;
  if (!data.present || data.resident) return kNtfsNotMft;
  uint64_t size = data.realSize;
  // The table can be no larger than its runs, the volume or the device.
  uint64_t mapped = 0;
  for (const NtfsRun& r : data.runs) mapped += r.length;
  size = std::min(size, mulSat(mapped, bytesPerCluster_));
  if (totalClusters_) size = std::min(size, mulSat(totalClusters_, bytesPerCluster_));
  if (uint64_t dev = device_.sizeBytes(); dev > 0) size = std::min(size, dev);
  uint64_t count = std::min<uint64_t>(size / recordSize_, UINT32_MAX);
  auto buf = std::make_unique<NtfsRecordBuffer>();
  try {
    buf->bytes.resize(count * recordSize_);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  size_t filled = 0;
  NtfsReadStatus st = streamData(data, buf->bytes.size(), [&](const uint8_t* p, size_t n) {
    std::memcpy(buf->bytes.data() + filled, p, n);
    filled += n;
    return true;
  });
  if (st == NtfsReadStatus::Cancelled) return -1;
  unreadableRecords_ = 0;
  if (st != NtfsReadStatus::Ok) {
    // Read around unreadable clusters: record by record, and a record that
    // cannot be read whole is left zero (no file record), and counted.
    std::fill(buf->bytes.begin(), buf->bytes.end(), 0);
    for (uint64_t i = 0; i < count; ++i) {
      if (!running()) return -1;
      if (!readStreamBytes(data.runs, i * recordSize_, buf->bytes.data() + i * recordSize_, recordSize_)) {
        std::fill_n(buf->bytes.begin() + static_cast<ptrdiff_t>(i * recordSize_), recordSize_, 0);
        ++unreadableRecords_;
      }
    }
    if (unreadableRecords_ == count) return device_.lastError() ? device_.lastError() : EIO;
  }
  buf->count = static_cast<uint32_t>(count);
  buf->liveTable = true;
  for (uint64_t i = 0; i < count; ++i)
    applyFixups(std::span<uint8_t>(buf->bytes).subspan(i * recordSize_, recordSize_));
  mftRuns_ = data.runs;
  buffers_.clear();
  buffers_.push_back(std::move(buf));
  return kNtfsOk;
}

bool NtfsVolume::readStreamBytes(const std::vector<NtfsRun>& runs, uint64_t offset, uint8_t* out, size_t n) const {
  const uint64_t C = bytesPerCluster_;
  if (C == 0) return false;
  while (n > 0) {
    const uint64_t vcn = offset / C, within = offset % C;
    const NtfsRun* run = nullptr;
    for (const NtfsRun& r : runs)
      if (vcn >= r.vcn && vcn < r.vcn + r.length) {
        run = &r;
        break;
      }
    if (!run || run->sparse) return false;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, C - within));
    if (!readClusters(run->lcn + (vcn - run->vcn), within, out, take)) return false;
    out += take;
    offset += take;
    n -= take;
  }
  return true;
}

std::string NtfsVolume::convertName(const std::u16string& name) const {
  std::string s = utf16ToUtf8(name, "_");
  for (char& c : s)
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  if (s == "." || s == "..") s = "_";
  s.resize(utf8CutLength(s, 259));
  return s;
}

int NtfsVolume::fillItem(std::span<const uint8_t> rec, NtfsItem& item, std::vector<NtfsItem>* streamItems) {
  MftRecordReader r;
  int e = decodeFull(static_cast<size_t>(item.bufferIndex), rec, r);
  if (e != kNtfsOk) return e;
  if (!r.haveFileName) return -1;
  std::string name = convertName(r.name);
  if (name.empty() || !presetAllows(preset_, name)) return -1;
  item.name = std::move(name);
  item.created = r.created;
  item.modified = r.modified;
  item.accessed = r.accessed;
  item.attributes = r.fileNameFlags | r.fileAttributes;
  item.size = r.data.size();
  item.dataLost = r.dataExtentMissing;
  item.deleted = !r.inUse;
  item.pathNames.clear();
  item.pathKeys.clear();
  if (!item.isFolder()) buildPath(item, r.parentRecord());
  if (streamItems && !item.isFolder()) {
    // Each named stream is an item of its own, "name:stream", beside the file.
    for (const NtfsNamedStream& st : r.streams) {
      std::string streamName = convertName(st.name);
      if (streamName.empty() || item.name.size() + 1 + streamName.size() > 259) continue;
      NtfsItem extra = item;
      extra.name = item.name + ":" + streamName;
      if (!presetAllows(preset_, extra.name)) continue;
      extra.streamName = st.name;
      extra.size = st.data.size();
      extra.dataLost = false;
      streamItems->push_back(std::move(extra));
    }
  }
  return kNtfsOk;
}

void NtfsVolume::buildPath(NtfsItem& item, uint32_t parent) {
  item.pathNames.clear();
  item.pathKeys.clear();
  const size_t b = static_cast<size_t>(item.bufferIndex);
  auto broken = [&](uint32_t key) {
    item.pathNames.push_back(format("Dir%d", folderCounter_.fetch_add(1)));
    item.pathKeys.push_back(key);
    item.pathNames.push_back(format("Lost Files%d", item.bufferIndex));
    item.pathKeys.push_back(static_cast<uint32_t>(item.bufferIndex) + 1);
  };
  std::vector<uint32_t> visited;
  uint32_t current = parent;
  while (current >= kFirstUserRecord) {
    std::span<const uint8_t> folder = findRecord(b, current);
    // A parent outside the tables, a loop, or an absurdly deep chain: lost.
    if (folder.empty() || std::find(visited.begin(), visited.end(), current) != visited.end() ||
        visited.size() >= 1024) {
      broken(current);
      return;
    }
    visited.push_back(current);
    MftRecordReader r;
    r.configure(recordSize_, bytesPerCluster_);
    if (r.decodeNameOnly(folder) != kNtfsOk || !r.haveFileName || !r.isDirectory()) {
      broken(current);
      return;
    }
    std::string name = convertName(r.name);
    if (name.empty()) {
      broken(current);
      return;
    }
    item.pathNames.push_back(std::move(name));
    item.pathKeys.push_back(current);
    uint32_t next = r.parentRecord();
    if (next == current) return;
    current = next;
  }
}

bool NtfsVolume::accept(const NtfsItem& item) const {
  if (!pathFilter_.empty()) {
    if (item.pathNames.empty()) return false;
    std::string folder;
    for (auto it = item.pathNames.rbegin(); it != item.pathNames.rend(); ++it) {
      if (!folder.empty()) folder += '/';
      folder += *it;
    }
    if (folder.compare(0, pathFilter_.size(), pathFilter_) != 0) return false;
  }
  if (nameFilter_.empty() || nameFilter_.find("*.*") != std::string::npos) return true;
  std::string name = toLower(item.name);
  std::string rest = toLower(nameFilter_);
  const char* seps = " ,;";
  for (;;) {
    size_t a = rest.find_first_not_of(seps);
    if (a == std::string::npos) return false;
    rest.erase(0, a);
    size_t end = rest.find_first_of(seps);
    std::string token = rest.substr(0, end);
    rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    if (token.empty()) continue;
    size_t star = token.find('*');
    if (star == std::string::npos) {
      if (name.find(token) != std::string::npos) return true;
    } else {
      std::string before = token.substr(0, star), after = token.substr(star + 1);
      if (name.find(before) != std::string::npos && name.find(after) != std::string::npos) return true;
    }
  }
}

void NtfsVolume::addItem(NtfsItem item, bool announce) {
  std::lock_guard lock(itemsMutex_);
  items_.push_back(std::move(item));
  if (announce && itemFound_) itemFound_(items_.back(), items_.size() - 1);
}

int NtfsVolume::scanDeleted() {
  if (buffers_.empty() && readBootSector() == kNtfsOk) {
    int e = loadMft();
    if (e != kNtfsOk) return e;
  }
  if (buffers_.size() != 1) return -1;
  const uint32_t count = buffers_[0]->count;
  if (progress_) {
    progress_->setTotal(static_cast<int32_t>(std::min<uint32_t>(count, INT32_MAX)));
    progress_->setDone(0);
    progress_->setStatus("Found Deleted Files : 0");
    progress_->setFound(0);
  }
  size_t shown = 0;
  uint32_t i = kFirstUserRecord;
  for (; i < count && running(); ++i) {
    if (progress_ && ((i & 1023) == 0 || shown != items_.size())) {
      shown = items_.size();
      progress_->setDone(static_cast<int32_t>(std::min<uint32_t>(i, INT32_MAX)));
      progress_->setStatus(format("Found Deleted Files : %zu", shown));
      progress_->setFound(static_cast<int64_t>(shown));
    }
    std::span<const uint8_t> rec = record(0, i);
    // Extension records carry parts of another file, not files of their own.
    if (!isDeletedRecord(rec) || (u64At(rec, 0x20) & 0xFFFFFFFFFFFFull) != 0) continue;
    NtfsItem item;
    item.recordNumber = static_cast<int32_t>(i);
    item.bufferIndex = 0;
    std::vector<NtfsItem> streams;
    if (fillItem(rec, item, &streams) != kNtfsOk || !accept(item)) continue;
    addItem(std::move(item), true);
    for (NtfsItem& extra : streams)
      if (accept(extra)) addItem(std::move(extra), true);
  }
  if (progress_) {
    // After a cancel the record reached stays, not the end.
    progress_->setDone(i >= count ? progress_->total() : static_cast<int32_t>(std::min<uint32_t>(i, INT32_MAX)));
    progress_->setStatus(format("Found Deleted Files : %zu", items_.size()));
    progress_->setFound(static_cast<int64_t>(items_.size()));
  }
  return kNtfsOk;
}

void NtfsVolume::recordWorker(size_t b) {
  if (b >= buffers_.size()) return;
  const NtfsRecordBuffer& buf = *buffers_[b];
  uint32_t first = buf.liveTable ? kFirstUserRecord : 0;
  for (uint32_t j = first; j < buf.count && running(); ++j) {
    std::span<const uint8_t> rec = record(b, j);
    if (!isFileRecord(rec) || (u64At(rec, 0x20) & 0xFFFFFFFFFFFFull) != 0) continue;
    NtfsItem item;
    item.bufferIndex = static_cast<int32_t>(b);
    item.recordNumber = static_cast<int32_t>(j);
    MftRecordReader peek;
    peek.configure(recordSize_, bytesPerCluster_);
    // The file system's own files under $Extend are no user files.
    if (peek.decodeNameOnly(rec) == kNtfsOk && peek.parentRecord() == kExtendRecord) continue;
    std::vector<NtfsItem> streams;
    if (fillItem(rec, item, &streams) != kNtfsOk) continue;
    item.checked = false;
    bool folder = item.isFolder();
    addItem(std::move(item), !folder);
    for (NtfsItem& extra : streams) addItem(std::move(extra), true);
  }
}

int NtfsVolume::scanFormatted() {
  std::thread worker;
  buffers_.clear();
  mftRuns_.clear();
  sweptByNumber_.clear();
  if (readBootSector() == kNtfsOk) {
    // Without a live table to list, the sweep still runs.
    if (loadMft() == kNtfsOk) worker = std::thread([this] { recordWorker(0); });
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
  const uint64_t chunk = std::max<uint64_t>(cluster, kIoBytes / cluster * cluster);
  const uint64_t liveCount = buffers_.empty() ? 0 : buffers_[0]->count;
  uint32_t found = static_cast<uint32_t>(std::min<uint64_t>(liveCount, UINT32_MAX));
  if (progress_) {
    progress_->setTotal(static_cast<int32_t>(std::min<uint64_t>(end > start ? (end - start) / chunk + 1 : 0, INT32_MAX)));
    progress_->setDone(0);
    progress_->setStatus(format("Found Formated Files : %u", found));
    progress_->setFound(found);
    progress_->setBytesTotal(end > start ? end - start : 0);
  }
  // Byte ranges of the live table on the volume: its records are listed already.
  std::vector<std::pair<uint64_t, uint64_t>> live;
  for (const NtfsRun& r : mftRuns_)
    if (!r.sparse) live.emplace_back(mulSat(r.lcn, cluster), mulSat(r.lcn + r.length, cluster));
  auto inLive = [&](uint64_t off) {
    for (const auto& [a, z] : live)
      if (off >= a && off < z) return true;
    return false;
  };

  struct Swept {
    uint64_t offset;
    std::vector<uint8_t> bytes;
  };
  std::vector<Swept> swept;
  std::vector<uint8_t> buf(chunk + rs);
  for (uint64_t pos = start; pos < end && running();) {
    if (progress_) {
      progress_->setDone(static_cast<int32_t>(std::min<uint64_t>((pos - start) / chunk, INT32_MAX)));
      progress_->setBytesDone(pos - start);
      progress_->setStatus(format("Found Formated Files : %u", found));
      progress_->setFound(found);
    }
    uint64_t want = std::min<uint64_t>(chunk + rs, end - pos);
    if (!device_.readBytesAt(partitionOffset_ + pos, buf.data(), want)) {
      pos += chunk;
      continue;
    }
    uint64_t o = 0;
    while (o < chunk && o + rs <= want) {
      const uint8_t* p = buf.data() + o;
      // A file record: "FILE", an update sequence inside the header area, and
      // its allocated size equal to the record size.
      if (std::memcmp(p, "FILE", 4) != 0 || le32(p + 0x1C) != rs || le16(p + 4) < 0x28 || le16(p + 4) > 0x30 ||
          inLive(pos + o)) {
        o += 512;
        continue;
      }
      std::vector<uint8_t> copy(p, p + rs);
      applyFixups(copy);
      uint32_t number = le16(p + 4) >= 0x30 ? le32(copy.data() + 0x2C) : 0;
      // Old copies of the file system's own records (the mirror) are skipped.
      if ((number >= kFirstUserRecord || le16(p + 4) < 0x30) && swept.size() < kMaxSweptRecords) {
        swept.push_back({pos + o, std::move(copy)});
        ++found;
      }
      o += rs;
    }
    pos += o > chunk ? o : chunk;
  }
  sweepFound_ = static_cast<uint32_t>(swept.size());
  if (progress_) {
    progress_->setStatus(format("Found Formated Files : %u", found));
    progress_->setFound(found);
  }
  if (worker.joinable()) worker.join();

  // Found records become further record buffers, one per contiguous stretch
  // (an old table fragment), up to the buffer limit; the rest join the last.
  NtfsRecordBuffer* current = nullptr;
  for (size_t i = 0; i < swept.size(); ++i) {
    bool contiguous = i > 0 && swept[i].offset == swept[i - 1].offset + rs;
    if (current == nullptr || (!contiguous && buffers_.size() < kMaxBuffers)) {
      buffers_.push_back(std::make_unique<NtfsRecordBuffer>());
      current = buffers_.back().get();
    }
    uint32_t number = le32(swept[i].bytes.data() + 0x2C);
    current->byNumber.emplace(number, current->count);
    current->bytes.insert(current->bytes.end(), swept[i].bytes.begin(), swept[i].bytes.end());
    ++current->count;
    std::vector<uint8_t>().swap(swept[i].bytes);
  }
  // One record-number map over every swept buffer (the first copy of a number wins).
  for (size_t b = 0; b < buffers_.size(); ++b)
    if (!buffers_[b]->liveTable)
      for (const auto& [number, index] : buffers_[b]->byNumber)
        sweptByNumber_.emplace(number, std::make_pair(static_cast<uint32_t>(b), index));
  for (size_t b = 0; b < buffers_.size() && running(); ++b)
    if (!buffers_[b]->liveTable) recordWorker(b);
  return kNtfsOk;
}

NtfsReadStatus NtfsVolume::streamData(const NtfsDataStream& data, uint64_t maxBytes, const NtfsSink& sink) {
  if (!data.present) return NtfsReadStatus::Ok;
  if (data.resident) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(data.residentValue.size(), maxBytes));
    if (n && !sink(data.residentValue.data(), n)) return NtfsReadStatus::WriteFailed;
    return NtfsReadStatus::Ok;
  }
  if (bytesPerCluster_ == 0) return NtfsReadStatus::ReadFailed;
  const uint64_t C = bytesPerCluster_;
  // NTFS numbers at most 2^32 - 1 clusters; a larger stream is a damaged or
  // forged record, and writing it would fill the destination with zeros.
  if (data.realSize / C >= (uint64_t(1) << 32)) return NtfsReadStatus::ReadFailed;
  const uint64_t total = std::min(data.realSize, maxBytes);
  const auto& runs = data.runs;
  std::vector<uint8_t> io;
  uint64_t done = 0;
  size_t ri = 0;
  // Finds the run holding vcn (runs are sorted); null when unmapped.
  auto runAt = [&](uint64_t vcn) -> const NtfsRun* {
    while (ri < runs.size() && runs[ri].vcn + runs[ri].length <= vcn) ++ri;
    if (ri < runs.size() && runs[ri].vcn <= vcn) return &runs[ri];
    return nullptr;
  };

  if (!data.compressed()) {
    const uint64_t init = std::min(data.initializedSize, data.realSize);
    io.resize(static_cast<size_t>(std::min<uint64_t>(kIoBytes, std::max<uint64_t>(total, 1))));
    while (done < total) {
      if (!running()) return NtfsReadStatus::Cancelled;
      uint64_t vcn = done / C, within = done % C;
      const NtfsRun* r = runAt(vcn);
      if (!r) return NtfsReadStatus::ReadFailed;
      uint64_t runEnd = mulSat(r->vcn + r->length, C);
      uint64_t n = std::min({total - done, runEnd - done, uint64_t(io.size())});
      bool zeros = r->sparse || done >= init;
      if (!zeros && init - done < n) n = init - done;
      if (zeros) {
        std::fill(io.begin(), io.begin() + static_cast<ptrdiff_t>(n), 0);
      } else if (!readClusters(r->lcn + (vcn - r->vcn), within, io.data(), static_cast<size_t>(n))) {
        return NtfsReadStatus::ReadFailed;
      }
      if (!sink(io.data(), static_cast<size_t>(n))) return NtfsReadStatus::WriteFailed;
      done += n;
    }
    return NtfsReadStatus::Ok;
  }

  // Compressed: unit by unit. A unit stored in all its clusters is copied, a
  // unit with no clusters is zeros, anything between is LZNT1 data followed
  // by a sparse tail.
  const uint64_t unitClusters = uint64_t(1) << data.compressionUnit;
  const uint64_t unitBytes = unitClusters * C;
  if (unitBytes > (uint64_t(4) << 20)) return NtfsReadStatus::ReadFailed;
  io.resize(static_cast<size_t>(unitBytes));
  std::vector<uint8_t> plain;
  plain.reserve(static_cast<size_t>(unitBytes));
  for (uint64_t unit = 0; done < total; ++unit) {
    if (!running()) return NtfsReadStatus::Cancelled;
    const uint64_t first = unit * unitClusters;
    uint64_t stored = 0;
    bool mapped = false;
    for (uint64_t v = first; v < first + unitClusters;) {
      const NtfsRun* r = runAt(v);
      if (!r) break;
      mapped = true;
      uint64_t n = std::min(r->vcn + r->length - v, first + unitClusters - v);
      if (r->sparse) break;
      if (!readClusters(r->lcn + (v - r->vcn), 0, io.data() + stored * C, static_cast<size_t>(n * C)))
        return NtfsReadStatus::ReadFailed;
      stored += n;
      v += n;
    }
    if (!mapped) return NtfsReadStatus::ReadFailed;
    const uint8_t* out;
    if (stored == unitClusters) {
      out = io.data();
    } else if (stored == 0) {
      std::fill(io.begin(), io.end(), 0);
      out = io.data();
    } else {
      plain.clear();
      if (!lznt1Decompress(std::span<const uint8_t>(io.data(), static_cast<size_t>(stored * C)), plain,
                           static_cast<size_t>(unitBytes)))
        return NtfsReadStatus::ReadFailed;
      plain.resize(static_cast<size_t>(unitBytes), 0);
      out = plain.data();
    }
    uint64_t n = std::min(unitBytes, total - done);
    if (!sink(out, static_cast<size_t>(n))) return NtfsReadStatus::WriteFailed;
    done += n;
  }
  return NtfsReadStatus::Ok;
}

NtfsReadStatus NtfsVolume::readItemData(const NtfsItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) {
  out.clear();
  return streamItem(item, maxBytes, [&](const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  });
}

NtfsReadStatus NtfsVolume::writeItemData(const NtfsItem& item, const NtfsSink& sink) {
  return streamItem(item, UINT64_MAX, sink);
}

NtfsReadStatus NtfsVolume::streamItem(const NtfsItem& item, uint64_t maxBytes, const NtfsSink& sink) {
  if (item.bufferIndex < 0 || item.recordNumber < 0) return NtfsReadStatus::BadItem;
  std::span<const uint8_t> rec = record(static_cast<size_t>(item.bufferIndex), static_cast<uint32_t>(item.recordNumber));
  if (rec.empty()) return NtfsReadStatus::BadItem;
  MftRecordReader r;
  if (decodeFull(static_cast<size_t>(item.bufferIndex), rec, r) != kNtfsOk) return NtfsReadStatus::BadItem;
  if (!item.streamName.empty()) {
    const NtfsNamedStream* st = r.stream(item.streamName);
    return st ? streamData(st->data, maxBytes, sink) : NtfsReadStatus::ReadFailed;
  }
  if (r.dataExtentMissing) return NtfsReadStatus::ReadFailed;  // what is left is not the whole file
  return streamData(r.data, maxBytes, sink);
}

std::vector<std::pair<uint64_t, uint64_t>> NtfsVolume::claimedRanges() {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  const uint64_t C = bytesPerCluster_;
  if (C == 0) return out;
  for (const NtfsItem& item : items_) {
    if (item.isFolder() || item.bufferIndex < 0 || item.recordNumber < 0) continue;
    std::span<const uint8_t> rec = record(static_cast<size_t>(item.bufferIndex), static_cast<uint32_t>(item.recordNumber));
    MftRecordReader r;
    if (rec.empty() || decodeFull(static_cast<size_t>(item.bufferIndex), rec, r) != kNtfsOk) continue;
    const NtfsDataStream* data = &r.data;
    if (!item.streamName.empty()) {
      const NtfsNamedStream* st = r.stream(item.streamName);
      if (!st) continue;
      data = &st->data;
    }
    if (data->resident) continue;
    for (const NtfsRun& run : data->runs)
      if (!run.sparse)
        out.emplace_back(partitionOffset_ + mulSat(run.lcn, C), partitionOffset_ + mulSat(run.lcn + run.length, C));
  }
  return out;
}

}  // namespace brenix
