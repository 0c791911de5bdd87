#pragma once
// The carving scan: reads a sector range in 4000-sector chunks (8-sector
// reads for the tail), tests the start of every sector against the selected
// signature sets, and carves a file from each header up to the next header
// or the maximal size, trimmed to the format's own end when that is known.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "disk/sector_reader.h"
#include "raw/raw_trim.h"
#include "raw/raw_types.h"
#include "results/progress.h"

namespace brenix {

struct RawFoundFile {
  std::string name;         // "File%d.%s": the number of files found before it, the type's extension
  std::string description;  // the type's description
  uint64_t startSector = 0; // relative to the scanner's origin
  uint64_t size = 0;        // bytes (after trimming when on)
  uint64_t cutSize = 0;     // the cut before trimming: next header, maximal size or range end
  bool checked = false;
  int32_t typeIndex = -1;
};

// The extension folder a found file is recovered into: the text after the
// first "." of its name.
std::string rawOutputFolder(const std::string& name);

// Finds which selected signature set, if any, starts at a given byte.
class RawMatcher {
 public:
  explicit RawMatcher(const RawTypeList& types);
  // Index of the first selected type (in list order) all of whose signatures
  // match relative to data, or -1. avail bytes are readable from data.
  int match(const uint8_t* data, size_t avail) const;
  // Bytes past a file's first byte the signatures look at.
  size_t reach() const { return reach_; }
  bool empty() const { return groups_.empty(); }

 private:
  bool fullMatch(int type, const uint8_t* data, size_t avail) const;
  struct Candidate {
    int type;
    uint32_t mask, value;  // the alternative's first four bytes (little-endian) as far as it fixes them
  };
  struct Group {
    uint32_t offset = 0;
    std::vector<Candidate> buckets[256];  // by the byte at offset: candidate alternatives, types ascending
    uint64_t nonEmpty[4] = {0, 0, 0, 0};  // bit b set when buckets[b] has candidates
    std::vector<int> any;           // first alternative looks at no whole byte
  };
  const RawTypeList& types_;
  std::vector<Group> groups_;
  size_t reach_ = 0;
};

// Where an interrupted scan stands, to continue it later with the same
// results: the sweep position (bytes, relative to the origin, at a chunk
// boundary), the file open there, and the bytes swept by this run.
struct RawScanCheckpoint {
  uint64_t position = 0;
  bool fileOpen = false;
  uint64_t openStart = 0;  // bytes, relative to the origin
  int32_t openType = -1;
  uint64_t sweptThisRun = 0;
};

class RawScanner {
 public:
  static constexpr uint32_t kChunkSectors = 4000;
  static constexpr uint32_t kCopySectors = 8;

  RawScanner() = default;
  RawScanner(const RawScanner&) = delete;
  RawScanner& operator=(const RawScanner&) = delete;

  // Opens the drive with this number, or an image or device by path; always read-only.
  bool openDrive(int driveNumber);
  bool openPath(const std::string& path);
  bool isOpen() const { return reader_.isOpen(); }
  int lastError() const { return reader_.lastError(); }

  void setOrigin(uint64_t originSector, uint32_t sectorSize = kSectorSize);
  void setRange(uint64_t startSector, uint64_t endSector);  // relative to the origin, end excluded
  void setMaxSizeKb(uint64_t kb) {
    if (kb != 0) maxSizeKb_ = kb;
  }
  uint64_t maxSizeKb() const { return maxSizeKb_; }
  void setTypes(std::shared_ptr<RawTypeList> types) { types_ = std::move(types); }
  void setTrimming(bool on) { trim_ = on; }

  // Runs the scan on the calling thread: 0 when it ran, -1 when there was
  // nothing to do (no types, none selected). Progress goes to `progress`
  // when given; the scan ends before its next read when running is cleared.
  int scan(Progress* progress, const RunningFlag& running);
  // The next scan continues from a checkpoint with the files found before it
  // (once; a checkpoint outside the range is ignored).
  void resumeFrom(const RawScanCheckpoint& checkpoint, std::vector<RawFoundFile> files);
  // Called at every chunk boundary of the sweep, with the files found before it.
  using CheckpointSink = std::function<void(const RawScanCheckpoint&, const std::vector<RawFoundFile>&)>;
  void setCheckpointSink(CheckpointSink sink) { checkpointSink_ = std::move(sink); }
  // The last chunk boundary the sweep reached (the end when it finished).
  const RawScanCheckpoint& checkpoint() const { return checkpoint_; }
  // The files found up to checkpoint() (without a file cut by Cancel).
  size_t filesAtCheckpoint() const { return filesAtCheckpoint_; }

  const std::vector<RawFoundFile>& files() const { return files_; }
  std::vector<RawFoundFile>& files() { return files_; }

  // Reads n bytes at a byte position relative to the origin; the count read (0 on a failure).
  size_t readAt(uint64_t pos, uint8_t* buf, size_t n) const { return readRange(pos, buf, n, n); }
  // Byte position past the scan range, relative to the origin.
  uint64_t rangeEndBytes() const { return end_ * sectorSize_; }
  // Reads up to maxBytes of found file i. 0 on success, else an error number.
  int readFile(size_t i, std::vector<uint8_t>& out, uint64_t maxBytes) const;
  // Copies found file i in copy chunks (8 sectors) through write. 0 on
  // success; -1 when running was cleared; -2 when write failed; else the
  // read's error number. What was written stays written.
  int copyFile(size_t i, const std::function<bool(const uint8_t*, size_t)>& write, const RunningFlag& running) const;

 private:
  struct Open {
    bool open = false;
    uint64_t start = 0;  // byte position relative to the origin
    int type = -1;
    bool walked = false;  // the format walk has been made
    RawFormatWalk walk;   // the file's structure, up to the maximal size and the range end
  };
  // The open file's format walk (made once, up to the maximal size and the
  // range end).
  const RawFormatWalk& openWalk();
  // Whether a header at s belongs to the open file: it lies inside the
  // structure the walk checked out, or where the structure points.
  bool insideOpenFile(uint64_t s);
  // Without trimming: whether a header of the open file's type at s is the
  // next packet of the open stream (TS, M2TS, program stream), whose
  // signature repeats at every packet that starts a sector.
  bool nextPacketOfOpenStream(uint64_t s, int type);
  void processSectors(const RawMatcher& m, uint64_t pos, const uint8_t* data, size_t sectors, size_t avail);
  void record(uint64_t endPos);
  size_t readRange(uint64_t pos, uint8_t* buf, size_t want, size_t minimum) const;
  // Reads for the format walks: from the chunks in memory where the bytes
  // lie in them, else from the device.
  size_t readForWalk(uint64_t pos, uint8_t* buf, size_t n);

  SectorReader reader_;
  uint64_t origin_ = 0;
  uint32_t sectorSize_ = kSectorSize;
  uint64_t start_ = 0, end_ = 0;
  uint64_t maxSizeKb_ = 512000;
  bool trim_ = true;
  uint64_t scanEnd_ = 0;  // byte position past the scanned range, while scanning
  std::shared_ptr<RawTypeList> types_;
  std::vector<RawFoundFile> files_;
  Open open_;
  bool resumePending_ = false;
  RawScanCheckpoint resume_;
  RawScanCheckpoint checkpoint_;
  size_t filesAtCheckpoint_ = 0;
  CheckpointSink checkpointSink_;
  struct MemorySpan {
    uint64_t pos;  // byte position relative to the origin
    const uint8_t* data;
    size_t size;
  };
  std::vector<MemorySpan> spans_;  // the chunks in memory while scanning: the one matched and the one before
  uint64_t walkDeviceReads_ = 0;

 public:
  // Device reads the format walks made during the last scan (the rest came
  // from the scan's own chunks).
  uint64_t walkDeviceReads() const { return walkDeviceReads_; }
};

}  // namespace brenix
