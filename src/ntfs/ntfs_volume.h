#pragma once
// One NTFS partition being scanned: its geometry, its live master file table
// (mapped, and read as it streams), the file records a formatted-drive sweep
// finds outside it, the items found in them, and the reads that give an
// item's content back.
//
// Memory follows what is found, not the table's size: a record is decoded
// while its bytes stream past, and what stays of it is an item (when it is
// one), a folder entry (when it is a folder, for rebuilding folder chains) or,
// for a swept record, its position on the volume. Records are read again from
// the volume when an item's content is wanted.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "disk/sector_reader.h"
#include "ntfs/ntfs_folders.h"
#include "ntfs/ntfs_record.h"
#include "results/progress.h"
#include "results/recovery_context.h"
#include "results/sweep_session.h"

namespace brenix {

struct NtfsItem {
  std::string name;                    // UTF-8, at most 259 bytes
  int32_t recordNumber = 0;            // index within its record buffer
  int32_t bufferIndex = 0;             // 0 = the live table (when one was loaded)
  uint32_t parent = 0;                 // the parent folder's record number
  std::vector<std::string> pathNames;  // [0] = parent folder, back() = the topmost folder reached
  std::vector<uint32_t> pathKeys;      // those folders' record numbers
  bool lost = false;                   // the chain broke at record lostParent (missing, reused, looping)
  uint32_t lostParent = 0;
  uint64_t created = 0, modified = 0, accessed = 0;  // FILETIME
  uint32_t attributes = 0;             // $FILE_NAME flags | $STANDARD_INFORMATION attributes
  uint64_t size = 0;                   // real size of its $DATA stream
  bool deleted = false;
  bool dataLost = false;               // a $DATA extent's extension record is gone or reused
  std::u16string streamName;           // a named $DATA stream's name; empty for the main stream
  bool checked = false;

  bool isFolder() const { return (attributes & kFileNameDirectoryFlag) != 0; }
};

// Where streamed content goes; false stops the stream (write failure).
using NtfsSink = std::function<bool(const uint8_t*, size_t)>;

enum class NtfsReadStatus { Ok, ReadFailed, WriteFailed, Cancelled, BadItem };

class NtfsVolume {
 public:
  static constexpr size_t kMaxBuffers = 30;
  static constexpr uint32_t kFirstUserRecord = 24;  // 0..23 belong to the file system
  static constexpr uint32_t kExtendRecord = 11;
  static constexpr int kNtfsResumeRefused = 22;

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
  // A scan that can stop and continue: scanFormatted continues its sweep
  // (unit "byte") and scanDeleted its read of the table (unit "record") from
  // sweep->resume, feeds sweep->sink after each read and fills sweep->reached.
  // A point that does not fit is refused (sweep->refused) and the scan lists nothing.
  void setSweep(SweepSession* sweep) { sweep_ = sweep; }
  // Called (serialised) for every accepted item with its index in items().
  void setItemFound(std::function<void(const NtfsItem&, size_t)> callback) { itemFound_ = std::move(callback); }

  // Reads the boot sector: 0 when it says "NTFS" (geometry then set), 15 when
  // the device is not open or it does not; another value is a read error.
  // A damaged boot sector is replaced by the backup in the volume's last
  // sector; bootNotice() then says so, or why neither can be used.
  int readBootSector();
  const std::string& bootNotice() const { return bootNotice_; }
  // Maps $MFT's data as record buffer 0: record 0 is read and decoded, the
  // rest is read as the scans stream through it.
  int loadMft();
  // Records of the live table that could not be read (left out), after a scan.
  uint64_t unreadableRecords() const { return unreadableRecords_; }

  // Lists the deleted records of the live table: 0, -1 without a live table
  // (or when cancelled), the MFT load's error, kNtfsResumeRefused, or a read
  // error when no record of the table could be read.
  int scanDeleted();
  // Lists every named record of the live table and of the file records the
  // sweep finds outside it. Returns when all of them are listed. Without an
  // NTFS boot sector the sweep runs with 4 KiB clusters and 1 KiB records;
  // without a loadable live table it runs all the same. kNtfsResumeRefused
  // when the sweep's resume point does not fit.
  int scanFormatted();

  bool accept(const NtfsItem& item) const;

  // Content of an item's $DATA stream (the unnamed one, or its named one), exactly its real size: into memory
  // (at most maxBytes) or streamed to a sink in bounded pieces.
  NtfsReadStatus readItemData(const NtfsItem& item, std::vector<uint8_t>& out, uint64_t maxBytes);
  NtfsReadStatus writeItemData(const NtfsItem& item, const NtfsSink& sink);
  // Absolute byte ranges of the clusters the found files' streams occupy.
  std::vector<std::pair<uint64_t, uint64_t>> claimedRanges();

  const std::vector<NtfsItem>& items() const { return items_; }
  std::vector<NtfsItem>& items() { return items_; }
  size_t bufferCount() const { return (liveLoaded_ ? 1 : 0) + sweptStarts_.size(); }
  bool isLiveBuffer(size_t b) const { return liveLoaded_ && b == 0; }
  uint32_t recordCount(size_t b) const;
  uint32_t bytesPerCluster() const { return bytesPerCluster_; }
  uint32_t recordSize() const { return recordSize_; }
  uint64_t mftCluster() const { return mftCluster_; }
  bool bootValid() const { return bootValid_; }
  // Records the last formatted sweep found outside the live table.
  uint32_t sweepFound() const { return static_cast<uint32_t>(sweptOffsets_.size()); }

  // The record at `index` of buffer b, read from the volume with fixups
  // applied; false when out of range or unreadable.
  bool readRecord(size_t b, uint32_t index, std::vector<uint8_t>& out) const;
  // The record with this number for a record of buffer b: from the live table
  // for the live table, from any swept buffer (the first copy found) for a
  // swept one. False when none holds it.
  bool findRecord(size_t b, uint64_t recordNumber, std::vector<uint8_t>& out) const;

  // Decodes the record at `index` of buffer b and completes its data stream
  // from the extension records its attribute list names. 0 or a decode error.
  int decodeFull(size_t b, uint32_t index, std::span<const uint8_t> record, MftRecordReader& reader);

  // Streams a data stream (used for $MFT itself and for items).
  NtfsReadStatus streamData(const NtfsDataStream& data, uint64_t maxBytes, const NtfsSink& sink);

 private:
  bool running() const { return running_ == nullptr || running_->load(std::memory_order_relaxed); }
  // --- data streams (ntfs_data_stream.cpp)
  NtfsReadStatus streamItem(const NtfsItem& item, uint64_t maxBytes, const NtfsSink& sink);
  bool readClusters(uint64_t lcn, uint64_t byteOffset, uint8_t* out, size_t count) const;
  // n bytes of a non-resident stream at a byte offset: sparse runs and bytes
  // past the initialized size read as zeros; false on an unmapped or unreadable part.
  bool readStreamRange(const NtfsDataStream& data, uint64_t offset, uint8_t* out, size_t n) const;
  std::vector<uint8_t> readAttributeList(const MftRecordReader& reader);
  // --- the live table (ntfs_mft_stream.cpp)
  // Streams the live table from record `from` on, in large sequential reads,
  // handing each record from `first` on (fixups applied) to visit, and the
  // next record to read to batchDone after each read. Unreadable records are
  // left out and counted (on top of `unreadableBefore`, those before `from`).
  // 0, -1 when cancelled, or a read error when no record could be read.
  int streamLiveTable(uint32_t first, const std::function<void(uint32_t, std::span<const uint8_t>)>& visit,
                      uint32_t from = 0, uint64_t unreadableBefore = 0,
                      const std::function<void(uint32_t)>& batchDone = {});
  // Notes a folder record in `table` under `slot`; false when it is none.
  bool noteFolder(NtfsFolderTable& table, uint32_t slot, std::span<const uint8_t> record) const;
  // --- items and folder chains (ntfs_items.cpp)
  // Builds an item from the record at `index` of buffer b: 0, -1 when it has
  // no name or the preset refuses it, or a decode error. A file's named
  // streams go to *streamItems as items "name:stream" of their own. The folder
  // chain is left to buildPath.
  int fillItem(size_t b, uint32_t index, std::span<const uint8_t> record, NtfsItem& item,
               std::vector<NtfsItem>* streamItems);
  void buildPath(NtfsItem& item) const;
  bool acceptName(const std::string& name) const;
  bool acceptPath(const NtfsItem& item) const;
  void addItem(NtfsItem item, bool announce);
  void showProgress(const char* label, size_t done, size_t found);
  std::string convertName(const std::u16string& name) const;
  // --- the formatted sweep (ntfs_sweep.cpp)
  void liveWorker();
  void sweptWorker(size_t b);
  // Takes a stored sweep point: the swept records before it, and the folder
  // notes of those that are folders (read again). Empty when it fits, else why not.
  std::string takeSweepResume(const SweepCheckpoint& cp, uint64_t start, uint64_t end,
                              const std::vector<std::pair<uint64_t, uint64_t>>& live,
                              std::vector<std::pair<uint32_t, uint32_t>>& numbers);
  // Takes a stored point of the deleted-file scan: the listed records before
  // it are read again and handed to take. Empty when it fits, else why not.
  std::string takeDeletedResume(const SweepCheckpoint& cp,
                                const std::function<bool(uint32_t, std::span<const uint8_t>)>& take);
  // Keeps a swept record (its place, its number), as the sweep finds it.
  void keepSwept(uint64_t offset, uint32_t number, std::vector<std::pair<uint32_t, uint32_t>>& numbers);
  bool readSwept(uint32_t sweptIndex, std::vector<uint8_t>& out) const;
  // The swept index of the record with this number for a record of swept
  // buffer b: its own buffer's first copy, else the first copy in any; -1 when none.
  int64_t sweptSlot(size_t b, uint64_t recordNumber) const;
  size_t firstSweptBuffer() const { return liveLoaded_ ? 1 : 0; }

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
  // The live table: $MFT's data stream and its record count.
  bool liveLoaded_ = false;
  NtfsDataStream mft_;
  uint32_t liveCount_ = 0;
  NtfsFolderTable liveFolders_;
  // Swept records: their byte offsets in the partition (in sweep order), the
  // first swept index of each swept buffer, and (record number, swept index)
  // sorted, the first copy of a number first.
  std::vector<uint64_t> sweptOffsets_;
  std::vector<uint32_t> sweptStarts_;
  std::vector<std::pair<uint32_t, uint32_t>> sweptByNumber_;
  NtfsFolderTable sweptFolders_;  // slots = swept indices
  std::string nameFilter_, pathFilter_;
  FilePreset preset_ = FilePreset::None;
  const std::atomic<bool>* running_ = nullptr;
  Progress* progress_ = nullptr;
  SweepSession* sweep_ = nullptr;
  std::function<void(const NtfsItem&, size_t)> itemFound_;
  std::mutex itemsMutex_;
  std::vector<NtfsItem> items_;
  uint64_t unreadableRecords_ = 0;
};

}  // namespace brenix
