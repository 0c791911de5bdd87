// Partition discovery over an arbitrary disk: sector 0 and any extended chain
// come from the input. Run:
//   cmake --preset fuzz && cmake --build --preset fuzz --target partition_discovery_fuzz
//   ./build/fuzz/fuzz/partition_discovery_fuzz -max_total_time=60
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "disk/partition_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input is a disk of at most 64 sectors; the rest reads as zeros so
  // that chains can point anywhere inside a few megabytes.
  int fd = memfd_create("disk", 0);
  if (fd < 0) return 0;
  const size_t diskSize = 4 * 1024 * 1024;
  if (ftruncate(fd, static_cast<off_t>(diskSize)) != 0 ||
      pwrite(fd, data, size < 64 * 512 ? size : 64 * 512, 0) < 0) {
    close(fd);
    return 0;
  }
  brenix::SectorReader reader;
  if (reader.openPath("/proc/self/fd/" + std::to_string(fd), brenix::OpenMode::Read)) {
    brenix::PartitionList list;
    brenix::DiscoveryState state;
    brenix::readPartitionTable(reader, reader.sizeBytes(), 0, list, state);
    for (const auto& p : list)
      if (p.totalBytes > diskSize + 0xFFFFFFFFull * 512) __builtin_trap();
  }
  close(fd);
  return 0;
}
