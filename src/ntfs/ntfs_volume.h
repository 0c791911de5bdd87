#pragma once
// One NTFS partition being scanned: its geometry, the in-memory master file
// table (and, after a formatted-drive sweep, further record buffers made of
// the file records found outside it), the items found in them, and the reads
// that give an item's content back.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "disk/sector_reader.h"
#include "ntfs/ntfs_record.h"
#include "results/progress.h"
#include "results/recovery_context.h"

namespace brenix {

struct NtfsItem {
  std::string name;                    // UTF-8, at most 259 bytes
  int32_t recordNumber = 0;            // index within its record buffer
  int32_t bufferIndex = 0;             // 0 = the live table
  std::vector<std::string> pathNames;  // [0] = parent folder, back() = folder below the root
  std::vector<uint32_t> pathKeys;      // folder record numbers; buffer index + 1 for "Lost Files%d"
  uint64_t created = 0, modified = 0, accessed = 0;  // FILETIME
  uint32_t attributes = 0;             // $FILE_NAME flags | $STANDARD_INFORMATION attributes
  uint64_t size = 0;                   // real size of its $DATA stream
  bool deleted = false;
  bool dataLost = false;               // a $DATA extent's extension record is gone or reused
  std::u16string streamName;           // a named $DATA stream's name; empty for the main stream
  bool checked = false;

  bool isFolder() const { return (attributes & kFileNameDirectoryFlag) != 0; }
};

struct NtfsRecordBuffer {
  std::vector<uint8_t> bytes;  // whole records, fixups applied
  uint32_t count = 0;
  // Swept buffers: record number stored in each record's header -> index.
  std::unordered_map<uint32_t, uint32_t> byNumber;
  bool liveTable = false;      // buffer 0: index == record number
};

// Where streamed content goes; false stops the stream (write failure).
using NtfsSink = std::function<bool(const uint8_t*, size_t)>;

enum class NtfsReadStatus { Ok, ReadFailed, WriteFailed, Cancelled, BadItem };

class NtfsVolume {
 public:
  static constexpr size_t kMaxBuffers = 30;
  static constexpr uint32_t kFirstUserRecord = 24;  // 0..23 belong to the file system

  NtfsVolume() = default;
  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;
  ~NtfsVolume();

  // The volume reads from this device (a whole disk or image) from
  // firstSector * 512 on. Read-only.
  bool openDevice(int driveNumber);
  bool openPath(const std::string& path);
  void setPartition(uint64_t firstSector, uint32_t bytesPerSector = 512);
  // First sector past the partition (where its backup boot sector ends); 0 = the device's end.
  void setPartitionEnd(uint64_t endSector);
  // Sweep range, in sectors relative to the partition's first sector.
  void setScanRange(uint64_t first, uint64_t last);
  void setFilters(const std::string& nameFilter, const std::string& pathFilter);
  void setPreset(FilePreset preset) { preset_ = preset; }
  void setRunning(const std::atomic<bool>* running) { running_ = running; }
  void setProgress(Progress* progress) { progress_ = progress; }
  // Called (serialised) for every accepted item with its index in items().
  void setItemFound(std::function<void(const NtfsItem&, size_t)> callback) { itemFound_ = std::move(callback); }

  // Reads the boot sector: 0 when it says "NTFS" (geometry then set), 15 when
  // the device is not open or it does not; another value is a read error.
  // A damaged boot sector is replaced by the backup in the volume's last
  // sector; bootNotice() then says so, or why neither can be used.
  int readBootSector();
  const std::string& bootNotice() const { return bootNotice_; }
  // Loads $MFT's data as record buffer 0 (fixups applied to every record).
  // Records in unreadable clusters are skipped (left empty) and counted.
  int loadMft();
  uint64_t unreadableRecords() const { return unreadableRecords_; }

  // Lists the deleted records of the live table: 0, -1 without exactly one
  // record buffer, or the MFT load's error.
  int scanDeleted();
  // Lists every named record of the live table and of the file records the
  // sweep finds outside it. Returns when all of them are listed. Without an
  // NTFS boot sector the sweep runs with 4 KiB clusters and 1 KiB records;
  // without a loadable live table it runs all the same.
  int scanFormatted();

  // Builds an item from a record (fixups applied): 0, -1 when it has no name
  // or the preset refuses it, or a decode error. A file's named streams go to
  // *streamItems as items "name:stream" of their own.
  int fillItem(std::span<const uint8_t> record, NtfsItem& item, std::vector<NtfsItem>* streamItems = nullptr);
  void buildPath(NtfsItem& item, uint32_t parent);
  bool accept(const NtfsItem& item) const;

  // Content of an item's $DATA stream (the unnamed one, or its named one), exactly its real size: into memory
  // (at most maxBytes) or streamed to a sink in bounded pieces.
  NtfsReadStatus readItemData(const NtfsItem& item, std::vector<uint8_t>& out, uint64_t maxBytes);
  NtfsReadStatus writeItemData(const NtfsItem& item, const NtfsSink& sink);
  // Absolute byte ranges of the clusters the found files' streams occupy.
  std::vector<std::pair<uint64_t, uint64_t>> claimedRanges();

  const std::vector<NtfsItem>& items() const { return items_; }
  std::vector<NtfsItem>& items() { return items_; }
  size_t bufferCount() const { return buffers_.size(); }
  const NtfsRecordBuffer& buffer(size_t i) const { return *buffers_.at(i); }
  uint32_t bytesPerCluster() const { return bytesPerCluster_; }
  uint32_t recordSize() const { return recordSize_; }
  uint64_t mftCluster() const { return mftCluster_; }
  bool bootValid() const { return bootValid_; }
  // Records the last formatted sweep found outside the live table.
  uint32_t sweepFound() const { return sweepFound_; }

  // The record at `index` of buffer b (empty span when out of range).
  std::span<const uint8_t> record(size_t b, uint32_t index) const;
  // Index in buffer b of the record with this record number, or -1.
  int64_t indexOf(size_t b, uint64_t recordNumber) const;
  // The record with this number for a record of buffer b: from b itself, or
  // for a swept buffer from any swept buffer. Empty when none holds it.
  std::span<const uint8_t> findRecord(size_t b, uint64_t recordNumber) const;

  // Decodes a record of buffer b and completes its data stream from the
  // extension records its attribute list names. 0 or a decode error.
  int decodeFull(size_t b, std::span<const uint8_t> record, MftRecordReader& reader);

  // Streams a data stream (used for $MFT itself and for items).
  NtfsReadStatus streamData(const NtfsDataStream& data, uint64_t maxBytes, const NtfsSink& sink);

 private:
  bool running() const { return running_ == nullptr || running_->load(std::memory_order_relaxed); }
  NtfsReadStatus streamItem(const NtfsItem& item, uint64_t maxBytes, const NtfsSink& sink);
  bool readClusters(uint64_t lcn, uint64_t byteOffset, uint8_t* out, size_t count) const;
  // n bytes of a non-resident stream at a byte offset, through its runs.
  bool readStreamBytes(const std::vector<NtfsRun>& runs, uint64_t offset, uint8_t* out, size_t n) const;
  std::vector<uint8_t> readAttributeList(const MftRecordReader& reader);
  void recordWorker(size_t b);
  void addItem(NtfsItem item, bool announce);
  std::string convertName(const std::u16string& name) const;

  SectorReader device_;
  uint64_t partitionOffset_ = 0;  // bytes
  uint64_t partitionEndOffset_ = 0;  // bytes, 0 = unknown
  std::string bootNotice_;
  uint32_t bytesPerSector_ = 512;
  uint64_t scanFirst_ = 0, scanLast_ = 0;  // sectors relative to the partition
  bool bootValid_ = false;
  uint32_t bytesPerCluster_ = 0;
  uint32_t recordSize_ = 0;
  uint64_t mftCluster_ = 0;
  uint64_t totalClusters_ = 0;  // 0 when unknown
  std::vector<NtfsRun> mftRuns_;
  std::vector<std::unique_ptr<NtfsRecordBuffer>> buffers_;
  std::string nameFilter_, pathFilter_;
  FilePreset preset_ = FilePreset::None;
  const std::atomic<bool>* running_ = nullptr;
  Progress* progress_ = nullptr;
  std::function<void(const NtfsItem&, size_t)> itemFound_;
  std::mutex itemsMutex_;
  std::vector<NtfsItem> items_;
  std::atomic<int32_t> folderCounter_{0};
  uint32_t sweepFound_ = 0;
  uint64_t unreadableRecords_ = 0;
  std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> sweptByNumber_;  // number -> (buffer, index)
};

}  // namespace brenix
