#include "rescue/partition_table_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "common/bytes.h"
#include "common/file_io.h"
#include "disk/sector_reader.h"
#include "rescue/backup_file.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace brenix::rescue {

namespace {

constexpr char kUndoMagic[8] = {'B', 'R', 'X', 'U', 'N', 'D', 'O', '1'};
constexpr size_t kUndoHead = 8 + 4 + 4 + sizeof(PhysicalDisk);
constexpr size_t kUndoEntry = 8 + 512 + 512;

uint64_t fnv1a(const uint8_t* data, size_t size) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < size; ++i) {
    h ^= data[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

std::string errnoText(int e) { return e ? std::string(std::strerror(e)) : std::string("unknown error"); }

// Writes a new file (never replacing one) and flushes it to the disk.
bool writeNewFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes, std::string* error) {
  std::error_code ec;
  if (!path.parent_path().empty()) std::filesystem::create_directories(path.parent_path(), ec);
  // Exclusive creation on every system (CREATE_NEW / O_EXCL): an undo file
  // that exists is never replaced.
  OsFile f;
  if (!f.open(path, FileMode::CreateNew)) {
    *error = "cannot create " + pathToUtf8(path) + ": " + errnoText(f.lastError());
    return false;
  }
  bool ok = f.write(bytes.data(), bytes.size()) && f.sync();
  ok = f.close() && ok;
  if (!ok) {
    *error = "cannot write " + path.string();
    std::filesystem::remove(path, ec);
  }
  return ok;
}

// Flushes what was written to the device and, for a block device, has the
// kernel re-read its partition table.
Reread flushAndReread(const std::string& path, bool* flushed) {
#ifdef _WIN32
  *flushed = false;
  const std::filesystem::path native = pathFromUtf8(path);
  const bool device = path.rfind("\\\\.\\", 0) == 0;
  HANDLE h = CreateFileW(native.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Reread::Failed;
  *flushed = FlushFileBuffers(h) != 0;
  Reread result = Reread::NotNeeded;  // an image file: nothing re-reads it
  if (device) {
    // The system takes the new table from the disk, so it must be there first.
    DWORD ret = 0;
    result = *flushed && DeviceIoControl(h, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &ret, nullptr)
                 ? Reread::Done
                 : Reread::Failed;
  }
  CloseHandle(h);
  return result;
#else
  *flushed = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Reread::Failed;
  struct stat st {};
  Reread result = Reread::NotNeeded;
  if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
    // The kernel re-reads the table from the device, so it must be there first.
    *flushed = ::fsync(fd) == 0;
    result = *flushed && ::ioctl(fd, BLKRRPART) == 0 ? Reread::Done : Reread::Failed;
  } else {
    // An image file is written back like any other file; nothing re-reads it.
    *flushed = true;
  }
  ::close(fd);
  return result;
#endif
}

}  // namespace

std::vector<uint8_t> encodeUndo(const UndoRecord& undo) {
  std::vector<uint8_t> out(kUndoHead + undo.changes.size() * kUndoEntry + 8, 0);
  std::memcpy(out.data(), kUndoMagic, 8);
  putLe32(out.data() + 8, static_cast<uint32_t>(undo.changes.size()));
  std::memcpy(out.data() + 16, &undo.disk, sizeof undo.disk);
  uint8_t* p = out.data() + kUndoHead;
  for (const SectorChange& c : undo.changes) {
    putLe64(p, c.sector);
    std::memcpy(p + 8, c.before.data(), 512);
    std::memcpy(p + 520, c.after.data(), 512);
    p += kUndoEntry;
  }
  putLe64(p, fnv1a(out.data(), out.size() - 8));
  return out;
}

bool decodeUndo(const uint8_t* data, size_t size, UndoRecord& undo, std::string* error) {
  auto fail = [error](const char* why) {
    if (error) *error = why;
    return false;
  };
  if (size < kUndoHead + 8 || std::memcmp(data, kUndoMagic, 8) != 0) return fail("not an undo file");
  const uint32_t count = le32(data + 8);
  if (count == 0 || count > kMaxUndoChanges || size != kUndoHead + count * kUndoEntry + 8)
    return fail("the undo file is damaged (wrong length)");
  if (le64(data + size - 8) != fnv1a(data, size - 8)) return fail("the undo file is damaged (checksum)");
  UndoRecord out;
  std::memcpy(&out.disk, data + 16, sizeof out.disk);
  const uint8_t* p = data + kUndoHead;
  for (uint32_t i = 0; i < count; ++i, p += kUndoEntry) {
    const uint64_t sector = le64(p);
    if (sector > 0xFFFFFFFFull) return fail("the undo file is damaged (sector number)");
    SectorChange c;
    c.sector = static_cast<uint32_t>(sector);
    std::memcpy(c.before.data(), p + 8, 512);
    std::memcpy(c.after.data(), p + 520, 512);
    for (const SectorChange& seen : out.changes)
      if (seen.sector == c.sector) return fail("the undo file is damaged (sector listed twice)");
    out.changes.push_back(c);
  }
  undo = std::move(out);
  return true;
}

bool readUndoFile(const std::filesystem::path& path, UndoRecord& undo, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path.string();
    return false;
  }
  const size_t limit = kUndoHead + kMaxUndoChanges * kUndoEntry + 8;
  std::vector<uint8_t> bytes(limit + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return decodeUndo(bytes.data(), bytes.size(), undo, error);
}

PartitionTableWriter::PartitionTableWriter(std::string devicePath, const PhysicalDisk& disk)
    : path_(std::move(devicePath)), disk_(disk) {}

WriteOutcome PartitionTableWriter::write(const std::vector<SectorChange>& changes) {
  WriteOutcome out;
  SectorReader device;
  if (!device.openPath(path_, OpenMode::ReadWrite)) {
    out.error = "cannot open " + path_ + " for writing: " + errnoText(device.lastError());
    return out;
  }
  // The disk must still be as the changes were computed from.
  for (const SectorChange& c : changes) {
    std::array<uint8_t, 512> now{};
    if (!device.readAt(c.sector, now.data(), now.size())) {
      out.error = "cannot read sector " + std::to_string(c.sector) + ": " + errnoText(device.lastError());
      return out;
    }
    if (now != c.before) {
      out.error = "sector " + std::to_string(c.sector) + " changed since the operation was prepared";
      return out;
    }
  }
  for (const SectorChange& c : changes) {
    if (!device.writeAt(c.sector, c.after.data(), c.after.size())) {
      out.error = "cannot write sector " + std::to_string(c.sector) + ": " + errnoText(device.lastError());
      return out;
    }
    out.anyWritten = true;
  }
  device.close();
  bool flushed = false;
  out.reread = flushAndReread(path_, &flushed);
  if (!flushed) {
    out.error = "cannot flush " + path_;
    return out;
  }
  out.ok = true;
  return out;
}

WriteOutcome PartitionTableWriter::apply(const std::vector<SectorChange>& changes,
                                         const std::filesystem::path& undoPath) {
  WriteOutcome out;
  if (changes.empty() || changes.size() > kMaxUndoChanges) {
    out.error = "nothing to write";
    return out;
  }
  // Check before saving the undo file, so a refused write leaves no file behind.
  {
    SectorReader device;
    if (!device.openPath(path_, OpenMode::Read)) {
      out.error = "cannot open " + path_ + ": " + errnoText(device.lastError());
      return out;
    }
    for (const SectorChange& c : changes) {
      std::array<uint8_t, 512> now{};
      if (!device.readAt(c.sector, now.data(), now.size()) || now != c.before) {
        out.error = "sector " + std::to_string(c.sector) + " cannot be read or changed since the operation was prepared";
        return out;
      }
    }
  }
  UndoRecord undo{disk_, changes};
  if (!writeNewFile(undoPath, encodeUndo(undo), &out.error)) return out;
  out = write(changes);
  out.undoPath = undoPath;
  return out;
}

WriteOutcome PartitionTableWriter::undo(const UndoRecord& record) {
  WriteOutcome out;
  if (!sameDisk(record.disk, disk_)) {
    out.error = "the undo file belongs to another disk (" + record.disk.model() + ")";
    return out;
  }
  std::vector<SectorChange> restore;
  {
    SectorReader device;
    if (!device.openPath(path_, OpenMode::Read)) {
      out.error = "cannot open " + path_ + ": " + errnoText(device.lastError());
      return out;
    }
    for (const SectorChange& c : record.changes) {
      std::array<uint8_t, 512> now{};
      if (!device.readAt(c.sector, now.data(), now.size())) {
        out.error = "cannot read sector " + std::to_string(c.sector);
        return out;
      }
      if (now == c.before) continue;  // already as it was
      if (now != c.after) {
        out.error = "sector " + std::to_string(c.sector) + " was changed after the write; nothing restored";
        return out;
      }
      restore.push_back(SectorChange{c.sector, c.after, c.before});
    }
  }
  if (restore.empty()) {
    out.ok = true;  // the disk already holds the original bytes
    return out;
  }
  return write(restore);
}

}  // namespace brenix::rescue
