#pragma once
// The one component that writes to a disk. It opens the device read-write
// only to apply a list of whole-sector changes computed beforehand, and only
// after it has checked that every sector still holds what the change was
// computed from and has saved those original bytes to an undo file. After the
// write it flushes the device and, for a block device, asks the kernel to
// re-read the partition table.
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "disk/records.h"

namespace brenix::rescue {

struct SectorChange {
  uint32_t sector = 0;
  std::array<uint8_t, 512> before{};  // the sector as it is now
  std::array<uint8_t, 512> after{};   // the sector as it will be
};

// Undo file: "BRXUNDO1", u32 count, u32 zero, the 288-byte PhysicalDisk, then
// per change u64 sector, 512 original bytes, 512 written bytes; last a 64-bit
// FNV-1a checksum of everything before it.
inline constexpr size_t kMaxUndoChanges = 16;
struct UndoRecord {
  PhysicalDisk disk = makePhysicalDisk();
  std::vector<SectorChange> changes;
};
std::vector<uint8_t> encodeUndo(const UndoRecord& undo);
bool decodeUndo(const uint8_t* data, size_t size, UndoRecord& undo, std::string* error);
bool readUndoFile(const std::filesystem::path& path, UndoRecord& undo, std::string* error);

enum class Reread { NotNeeded, Done, Failed };

struct WriteOutcome {
  bool ok = false;
  std::string error;         // why nothing (or not everything) was written
  bool anyWritten = false;   // whether the disk was changed at all
  Reread reread = Reread::NotNeeded;
  std::filesystem::path undoPath;
};

class PartitionTableWriter {
 public:
  // `devicePath`: the block device or image file of `disk`.
  PartitionTableWriter(std::string devicePath, const PhysicalDisk& disk);

  // Applies the changes in order. Nothing is written unless every sector can
  // be read and still holds its `before` bytes and the undo file (a new file;
  // an existing one is never replaced) has been written and flushed.
  WriteOutcome apply(const std::vector<SectorChange>& changes, const std::filesystem::path& undoPath);

  // Puts the original bytes of an undo file back. The file must belong to this
  // disk, and every sector must hold either the bytes written then (they are
  // restored) or the original bytes already (left alone); otherwise nothing
  // is written.
  WriteOutcome undo(const UndoRecord& record);

 private:
  WriteOutcome write(const std::vector<SectorChange>& changes);
  std::string path_;
  PhysicalDisk disk_;
};

}  // namespace brenix::rescue
