// The lost-partition search and the preparation of every write-back over an
// arbitrary disk. The input's first 32 sectors are the disk's first sectors;
// after that, 516-byte pieces (a 32-bit sector number and 512 bytes) place
// sectors anywhere on the 4 MiB disk, so boot sectors can land where regions
// start. Nothing is ever written. Run:
//   cmake --preset fuzz && ninja -C build/fuzz rescue_search_fuzz
//   ./build/fuzz/fuzz/rescue_search_fuzz -max_total_time=60
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <string>

#include "common/bytes.h"
#include "disk/partition_discovery.h"
#include "rescue/lost_search.h"
#include "rescue/partition_recovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr uint64_t kDiskSize = 4 * 1024 * 1024, kSectors = kDiskSize / 512, kHead = 32 * 512;
  int fd = memfd_create("disk", 0);
  if (fd < 0) return 0;
  bool ok = ftruncate(fd, static_cast<off_t>(kDiskSize)) == 0 && pwrite(fd, data, size < kHead ? size : kHead, 0) >= 0;
  for (size_t at = kHead; ok && at + 516 <= size; at += 516) {
    const uint64_t sector = brenix::le32(data + at) % kSectors;
    ok = pwrite(fd, data + at + 4, 512, static_cast<off_t>(sector * 512)) == 512;
  }
  brenix::SectorReader reader;
  if (ok && reader.openPath("/proc/self/fd/" + std::to_string(fd), brenix::OpenMode::Read)) {
    brenix::PartitionList list;
    brenix::DiscoveryState state;
    brenix::readPartitionTable(reader, kDiskSize, 0, list, state);
    std::vector<brenix::PartitionInfo> found;
    brenix::rescue::searchLostPartitions(reader, list, found);
    brenix::PhysicalDisk disk = brenix::makePhysicalDisk();
    disk.sizeBytes = kDiskSize;
    for (const auto& w : found) {
      brenix::rescue::RecoveryPlan plan =
          brenix::rescue::planRecovery(reader, &disk, list, state.lastExtendedRecord, &w);
      if (plan.code != brenix::rescue::RecoveryCode::Written) continue;
      // A plan only touches sectors of the disk, each once, at most three of them,
      // and the partition it writes lies on the disk.
      std::set<uint32_t> seen;
      if (plan.changes.empty() || plan.changes.size() > 3) __builtin_trap();
      for (const auto& c : plan.changes)
        if (c.sector >= kSectors || !seen.insert(c.sector).second || c.before == c.after) __builtin_trap();
      if (plan.record.endSector() > kSectors || plan.record.volumeStart == 0) __builtin_trap();
    }
  }
  close(fd);
  return 0;
}
