#pragma once
// NTFS file records: update-sequence fixups, run lists and the decoding of
// one record's header and the attributes the engine uses ($STANDARD_INFORMATION,
// $FILE_NAME, the unnamed $DATA and $ATTRIBUTE_LIST).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace brenix {

// Result codes of the NTFS engine (system error numbers, as the rest of the core).
inline constexpr int kNtfsOk = 0;
inline constexpr int kNtfsBadArgument = 87;  // bad argument or record signature
inline constexpr int kNtfsNotNtfs = 15;      // no device open, or no NTFS boot sector
inline constexpr int kNtfsNoDevice = 12;     // no device, or no such record buffer
inline constexpr int kNtfsNotMft = 1200;     // record 0 is not $MFT

inline constexpr uint32_t kAttrStandardInfo = 0x10;
inline constexpr uint32_t kAttrAttributeList = 0x20;
inline constexpr uint32_t kAttrFileName = 0x30;
inline constexpr uint32_t kAttrData = 0x80;
inline constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

inline constexpr uint32_t kFileNameDirectoryFlag = 0x10000000;
inline constexpr uint32_t kFileAttrCompressed = 0x800;

// Applies the update-sequence fixups of a record in place: the last two bytes
// of every stride are checked against the update sequence number and replaced
// by the saved bytes. Returns false when the array does not fit the record or a
// stride's check bytes differ; the strides that did match are still restored.
bool applyFixups(std::span<uint8_t> record);

// A record is a file record when it starts with "FILE".
bool isFileRecord(std::span<const uint8_t> record);
// "FILE" and the in-use flag clear.
bool isDeletedRecord(std::span<const uint8_t> record);

struct NtfsRun {
  uint64_t vcn = 0;     // first virtual cluster of the run
  uint64_t lcn = 0;     // first logical cluster (meaningless when sparse)
  uint64_t length = 0;  // clusters
  bool sparse = false;
};

class NtfsRunList {
 public:
  // Decodes the run list in `bytes`, whose first run begins at startVcn, and
  // appends the runs. A header byte of 0 or the end of the bytes ends the list.
  // Returns false (keeping the runs decoded so far) on a length or offset field
  // wider than 8 bytes or running past the bytes, a zero-length run, or a
  // cluster number that leaves the 0..2^62 range.
  static bool decode(std::span<const uint8_t> bytes, uint64_t startVcn, std::vector<NtfsRun>& runs);
};

// The unnamed $DATA stream of a file, gathered from one or more attribute extents.
struct NtfsDataStream {
  bool present = false;
  bool resident = false;
  std::vector<uint8_t> residentValue;
  bool haveFirstExtent = false;  // the extent with starting VCN 0 (sizes, flags) was seen
  uint64_t realSize = 0;
  uint64_t allocatedSize = 0;
  uint64_t initializedSize = 0;
  uint16_t flags = 0;            // attribute flags: 0x0001 compressed, 0x8000 sparse
  uint8_t compressionUnit = 0;   // log2 of clusters per compression unit, 0 = none
  std::vector<NtfsRun> runs;     // sorted by VCN
  bool runsValid = true;         // false when a run list was malformed

  bool compressed() const { return !resident && (flags & 0x00FF) != 0 && compressionUnit != 0; }
  uint64_t size() const { return resident ? residentValue.size() : realSize; }
};

// A named $DATA stream (an alternate data stream).
struct NtfsNamedStream {
  std::u16string name;
  NtfsDataStream data;
};

struct NtfsAttrListEntry {
  uint32_t type = 0;
  uint64_t startVcn = 0;
  uint64_t recordNumber = 0;  // low 48 bits of the file reference
  uint8_t nameLength = 0;
};

// The preferred $FILE_NAME value of a record (a long name beats a DOS name,
// then the longer wins), seen in place: what a name-only decode keeps.
struct NtfsFileNameView {
  uint64_t parentReference = 0;  // whole 64-bit reference
  uint32_t flags = 0;
  uint8_t nameSpace = 0;
  uint8_t units = 0;             // name length in UTF-16 units, at least 1
  const uint8_t* name = nullptr; // `units` little-endian UTF-16 units inside the record

  uint32_t parentRecord() const { return static_cast<uint32_t>(parentReference & 0xFFFFFFFFu); }
  bool isDirectory() const { return (flags & kFileNameDirectoryFlag) != 0; }
  std::u16string text() const;
};
// False when the bytes are no file record or it has no usable name.
bool preferredFileName(std::span<const uint8_t> record, NtfsFileNameView& out);

// Decodes one file record whose fixups have been applied. Short-lived: make
// one per record. Nothing outside the given bytes is read.
class MftRecordReader {
 public:
  // Record size and cluster size must be non-zero and even (87 otherwise).
  int configure(uint32_t recordSize, uint32_t bytesPerCluster);

  // Decodes the header, standard information, the preferred file name, the
  // unnamed $DATA extents and the attribute list. 87 when the bytes are fewer
  // than the record size or the signature is not "FILE".
  int decode(std::span<const uint8_t> record);
  // Decodes only the header and the preferred file name.
  int decodeNameOnly(std::span<const uint8_t> record);
  // Adds the unnamed $DATA extents of an extension record (fixups applied).
  // Returns false when the bytes are no file record.
  bool addExtension(std::span<const uint8_t> record);

  // Header.
  bool inUse = false;
  uint16_t sequence = 0;
  uint64_t baseReference = 0;  // low 48 bits; 0 for a base record
  uint32_t ownNumber = 0;      // record number stored in the header (NTFS 3.1), 0 when absent

  // $STANDARD_INFORMATION.
  bool haveStandardInfo = false;
  uint64_t created = 0, modified = 0, changed = 0, accessed = 0;
  uint32_t fileAttributes = 0;

  // Preferred $FILE_NAME (a long name beats a DOS name, then the longer wins).
  bool haveFileName = false;
  uint64_t parentReference = 0;  // whole 64-bit reference
  uint32_t fileNameFlags = 0;
  uint8_t nameSpace = 0;
  std::u16string name;

  NtfsDataStream data;
  std::vector<NtfsNamedStream> streams;  // named $DATA streams, at most kMaxNamedStreams
  static constexpr size_t kMaxNamedStreams = 64;
  // The named stream with this name, or null.
  const NtfsNamedStream* stream(const std::u16string& streamName) const;
  // Set by the volume: an extent of the unnamed $DATA lies in an extension
  // record that is gone or now belongs to another file.
  bool dataExtentMissing = false;
  bool hasAttributeList = false;
  bool attributeListResident = true;
  std::vector<uint8_t> attributeListValue;  // resident list value
  std::vector<NtfsRun> attributeListRuns;   // non-resident list
  uint64_t attributeListSize = 0;

  uint32_t parentRecord() const { return static_cast<uint32_t>(parentReference & 0xFFFFFFFFu); }
  bool isDirectory() const { return (fileNameFlags & kFileNameDirectoryFlag) != 0; }

  // Parses an attribute-list value into entries (stops at the first bad entry).
  static std::vector<NtfsAttrListEntry> parseAttributeList(std::span<const uint8_t> value);

 private:
  int walk(std::span<const uint8_t> record, bool extension);
  void takeFileName(std::span<const uint8_t> value);
  void takeData(NtfsDataStream& target, std::span<const uint8_t> attr, uint32_t attrLen);
  void takeNamedData(std::span<const uint8_t> attr, uint32_t attrLen);

  uint32_t recordSize_ = 1023;
  uint32_t bytesPerCluster_ = 0;
};

}  // namespace brenix
