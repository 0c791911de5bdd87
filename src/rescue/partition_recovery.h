#pragma once
// Writing a lost or backed-up partition back into the disk's partition table:
// as a new master-boot-record entry, or as a logical partition of the
// extended chain, together with the volume's first sector.
//
// The operation is prepared completely before anything is written: every
// precondition is checked and every sector that will change is computed
// (planRecovery). Only then, after confirmation, does PartitionTableWriter
// save the original sectors to an undo file and write.
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/disk_catalog.h"
#include "disk/records.h"
#include "disk/sector_reader.h"
#include "rescue/partition_table_writer.h"

namespace brenix::rescue {

enum class RecoveryCode : int { Written = 0, NoDisk = 1, NoPartition = 2, NoAccess = 3, Invalid = 4, NoRoom = 5 };

// The message of a failure code (empty for Written).
std::string_view recoveryMessage(RecoveryCode code);

// Cylinder/head/sector bytes of a partition entry for 255 heads and 63
// sectors per track; 254, 255, 255 from sector 16450560 (1024 cylinders) on.
std::array<uint8_t, 3> sectorToChs(uint64_t sector);

// Fills entry `index` of a boot record: boot indicator 0, type, start, count,
// and the CHS bytes of start and start + count - 1.
void putPartitionEntry(uint8_t* sector512, int index, uint8_t type, uint32_t start, uint32_t count);

struct RecoveryPlan {
  RecoveryCode code = RecoveryCode::NoAccess;
  std::string detail;                 // what stood in the way (codes 3 and 5), for the user
  std::vector<SectorChange> changes;  // in write order; the volume's first sector comes first
  PartitionInfo record = makePartitionInfo();  // the record as written (its slotSector may move)
  bool logical = false;
  bool gpt = false;                    // written into the GUID partition table
  int32_t newLastExtendedRecord = -1;  // the chain's new last record, -1 when it stays
  std::vector<std::string> what;       // per change: which structure the sector holds
};

// What a planned change writes ("master boot record", "GPT header", ...).
std::string describeChange(const RecoveryPlan& plan, size_t index);

// Prepares writing `w` back on `disk`, whose current records (catalog volume
// table order) are `diskRecords` and whose chain ends at `lastExtendedRecord`.
// Reads through `reader` (opened read-only on the disk); writes nothing.
RecoveryPlan planRecovery(SectorReader& reader, const PhysicalDisk* disk, const std::vector<PartitionInfo>& diskRecords,
                          int32_t lastExtendedRecord, const PartitionInfo* w);

struct RecoveryOutcome {
  RecoveryCode code = RecoveryCode::NoAccess;
  std::string detail;
  bool cancelled = false;  // the confirmation was declined: nothing written
  Reread reread = Reread::NotNeeded;
  std::filesystem::path undoPath;
};

// The whole operation on a catalog disk: plan, ask `confirm` (shown the plan;
// nothing is written unless it returns true), write through
// PartitionTableWriter with an undo file in `undoFolder`, then update the
// catalog's lastExtendedRecord and `*w` (the partition list's copy).
using ConfirmPlan = std::function<bool(const RecoveryPlan&)>;
RecoveryOutcome recoverPartition(DiskCatalog& catalog, const PhysicalDisk* disk, PartitionInfo* w,
                                 const std::filesystem::path& undoFolder, const ConfirmPlan& confirm);

}  // namespace brenix::rescue
