// The GUID partition table reader over an arbitrary disk: header, entry array
// and backup copy come from the input, with the CRCs checked or not, and (so
// that checked runs get past them) optionally made right by the harness.
// Run:
//   cmake --preset fuzz && cmake --build --preset fuzz --target gpt_fuzz
//   ./build/fuzz/fuzz/gpt_fuzz -max_total_time=60
//
// Input: byte 0 holds flags (bit 0 check CRCs, bit 1 4096-byte sectors, bit 2
// fix the CRCs, bit 3 a small disk); the rest is split in two: the first half
// is the disk's start, the second half its end (where the backup lives).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "disk/gpt.h"
#include "disk/partition_discovery.h"

namespace {

// Recomputes the array CRC and the header CRC of the header at `lba`, as far
// as its fields allow without reading outside the disk.
void fixCrcs(std::vector<uint8_t>& disk, uint64_t lba, uint32_t sectorSize) {
  const uint64_t at = lba * sectorSize;
  if (at + sectorSize > disk.size()) return;
  uint8_t* h = disk.data() + at;
  const uint64_t entriesLba = brenix::le64(h + 72);
  const uint64_t bytes = uint64_t(brenix::le32(h + 80)) * brenix::le32(h + 84);
  if (entriesLba < disk.size() / sectorSize && bytes <= brenix::kGptMaxArrayBytes &&
      entriesLba * sectorSize + bytes <= disk.size())
    brenix::putLe32(h + 88, brenix::crc32(disk.data() + entriesLba * sectorSize, static_cast<size_t>(bytes)));
  const uint32_t headerSize = std::clamp<uint32_t>(brenix::le32(h + 12), 92, sectorSize);
  std::memset(h + 16, 0, 4);
  brenix::putLe32(h + 16, brenix::crc32(h, headerSize));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  ++data;
  --size;
  const bool checkCrc = flags & 1;
  const uint32_t sectorSize = (flags & 2) ? 4096 : 512;
  const size_t diskSize = (flags & 8) ? 64 * 1024 : 2 * 1024 * 1024;
  std::vector<uint8_t> disk(diskSize, 0);
  const size_t half = std::min(size / 2, diskSize / 2);
  std::memcpy(disk.data(), data, half);
  const size_t tail = std::min(size - size / 2, diskSize / 2);
  std::memcpy(disk.data() + diskSize - tail, data + size / 2, tail);
  if (flags & 4) {
    fixCrcs(disk, 1, sectorSize);
    fixCrcs(disk, diskSize / sectorSize - 1, sectorSize);
  }

  brenix::ByteReader read = [&disk](uint64_t offset, void* buffer, size_t count) {
    if (offset > disk.size() || count > disk.size() - offset) return false;
    std::memcpy(buffer, disk.data() + offset, count);
    return true;
  };
  brenix::GptTable t = brenix::readGpt(read, diskSize, sectorSize, checkCrc);
  if (t.problems.size() > brenix::kGptMaxProblems) __builtin_trap();
  for (size_t i = 0; i < t.entries.size(); ++i) {
    const brenix::GptEntry& e = t.entries[i];
    if (e.firstLba > e.lastLba || e.firstLba < t.header.firstUsable || e.lastLba > t.header.lastUsable ||
        e.lastLba >= diskSize / sectorSize)
      __builtin_trap();
    for (size_t k = 0; k < i; ++k)
      if (e.firstLba <= t.entries[k].lastLba && t.entries[k].firstLba <= e.lastLba) __builtin_trap();
  }
  (void)brenix::probeGptSectorSize(read, diskSize);

  // The whole discovery path over the same disk, with a protective MBR.
  disk[446 + 4] = 0xEE;
  int fd = memfd_create("disk", 0);
  if (fd < 0) return 0;
  if (pwrite(fd, disk.data(), disk.size(), 0) == static_cast<ssize_t>(disk.size())) {
    brenix::SectorReader reader;
    if (reader.openPath("/proc/self/fd/" + std::to_string(fd), brenix::OpenMode::Read)) {
      brenix::PartitionList list;
      brenix::DiscoveryState state;
      brenix::readPartitionTable(reader, reader.sizeBytes(), 0, list, state);
      for (const auto& p : list)
        if (p.fs() != "Unknown" && p.endSector() > diskSize / 512 && state.tableKind == brenix::TableKind::Gpt)
          __builtin_trap();
    }
  }
  close(fd);
  return 0;
}
