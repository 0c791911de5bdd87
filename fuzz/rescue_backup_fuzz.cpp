// Loading partition backup files and undo files from arbitrary bytes. Run:
//   cmake --preset fuzz && ninja -C build/fuzz rescue_backup_fuzz
//   ./build/fuzz/fuzz/rescue_backup_fuzz -max_total_time=60
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "rescue/backup_file.h"
#include "rescue/partition_table_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brenix::PhysicalDisk disk = brenix::makePhysicalDisk();
  disk.setModel("Fuzz Disk");
  disk.sizeBytes = 1 << 20;
  // Half of the inputs carry the matching disk record so the record loop is reached.
  std::vector<uint8_t> bytes(data, data + size);
  if (size > 0 && (data[0] & 1) && bytes.size() >= brenix::rescue::kBackupHeadSize) {
    bytes[0] = 0xEF; bytes[1] = 0xCD; bytes[2] = 0xAB; bytes[3] = 0x89;
    std::memcpy(bytes.data() + 4, &disk, sizeof disk);
  }
  std::vector<brenix::PartitionInfo> loaded(1, brenix::makePartitionInfo());
  loaded[0].volumeStart = 12345;
  const bool ok = brenix::rescue::decodeBackup(bytes.data(), bytes.size(), disk, loaded);
  if (ok) {
    const size_t expected = (bytes.size() - brenix::rescue::kBackupHeadSize) / sizeof(brenix::PartitionInfo);
    if (loaded.size() != expected) __builtin_trap();
    for (const auto& r : loaded) (void)r.fs().size();
  } else if (loaded.size() != 1 || loaded[0].volumeStart != 12345) {
    __builtin_trap();  // a refused file must leave the loaded records alone
  }

  brenix::rescue::UndoRecord undo;
  std::string error;
  if (brenix::rescue::decodeUndo(data, size, undo, &error)) {
    if (undo.changes.empty() || undo.changes.size() > brenix::rescue::kMaxUndoChanges) __builtin_trap();
    std::vector<uint8_t> again = brenix::rescue::encodeUndo(undo);
    if (again.size() != size || std::memcmp(again.data(), data, size) != 0) __builtin_trap();
  }
  return 0;
}
