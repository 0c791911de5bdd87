#pragma once
// Helpers shared by the NTFS tests: hand-built file records, and scanning an
// image file through the engine as the jobs do.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ntfs/ntfs_engine.h"
#include "results/result_tree.h"

namespace brenix::test {

// Builds one file record attribute by attribute; finish() writes the end
// marker and protects the record with update-sequence fixups as on disk.
class RecordBuilder {
 public:
  explicit RecordBuilder(uint32_t size = 1024, bool inUse = false);
  RecordBuilder& standardInfo(uint64_t created, uint64_t modified, uint64_t accessed, uint32_t attributes);
  RecordBuilder& fileName(const std::u16string& name, uint64_t parent, uint8_t nameSpace = 1, uint32_t flags = 0x20);
  RecordBuilder& residentData(const std::vector<uint8_t>& value, const std::u16string& streamName = u"");
  RecordBuilder& nonResidentData(const std::vector<uint8_t>& runList, uint64_t realSize, uint64_t allocated,
                                 uint64_t startVcn = 0, uint64_t lastVcn = 0, uint16_t flags = 0,
                                 uint16_t compressionUnit = 0, const std::u16string& streamName = u"");
  RecordBuilder& raw(uint32_t type, const std::vector<uint8_t>& body);  // body after the 16-byte common header
  RecordBuilder& baseReference(uint64_t ref);
  RecordBuilder& sequence(uint16_t seq);
  std::vector<uint8_t> finish(uint16_t usn = 0x0102);

 private:
  void put(std::vector<uint8_t> attr);
  std::vector<uint8_t> bytes_;
  size_t at_;
};

// One scan of an image through NtfsEngine (the image is attached to the device table).
struct ScanRun {
  std::unique_ptr<NtfsEngine> engine = std::make_unique<NtfsEngine>();
  ResultTree tree;
  RecoveryContext ctx;
  ScanResult result;
  // "folder/sub/name" of every filed item -> tree item index.
  std::map<std::string, size_t> byPath;
  std::vector<std::string> paths;  // the same, in filing order
};
std::unique_ptr<ScanRun> scanImage(const std::filesystem::path& image, ScanMode mode, uint64_t partitionStart = 0);

// The recovered bytes of an item (writeItem into memory); false on failure.
bool recoverItem(ScanRun& run, size_t itemIndex, std::vector<uint8_t>& out);
std::string sha256Hex(const std::vector<uint8_t>& bytes);

}  // namespace brenix::test
