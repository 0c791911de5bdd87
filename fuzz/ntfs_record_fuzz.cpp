// File records and run lists from hostile bytes: fixups, the full and the
// name-only decode, attribute lists and run lists must stay inside the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/lznt1.h"
#include "ntfs/ntfs_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brenix;
  if (size < 1) return 0;
  const uint32_t recordSize = (data[0] & 1) ? 4096 : 1024;
  std::vector<uint8_t> record(data + 1, data + size);
  std::vector<uint8_t> padded = record;
  padded.resize(recordSize, 0);
  applyFixups(padded);

  MftRecordReader full;
  full.configure(recordSize, 4096);
  if (full.decode(padded) == 0) {
    volatile uint64_t sink = full.data.size() + full.name.size() + full.data.runs.size();
    (void)sink;
    if (full.hasAttributeList) MftRecordReader::parseAttributeList(full.attributeListValue);
    full.addExtension(padded);
  }
  MftRecordReader nameOnly;
  nameOnly.configure(recordSize, 4096);
  nameOnly.decodeNameOnly(record);  // unpadded: shorter than a record

  std::vector<NtfsRun> runs;
  NtfsRunList::decode(record, data[0], runs);
  MftRecordReader::parseAttributeList(record);
  std::vector<uint8_t> out;
  lznt1Decompress(record, out, 65536);
  return 0;
}
