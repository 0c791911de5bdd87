// The GPT reader on damaged tables: each fault is reported with the copy
// used and the entries skipped.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "common/bytes.h"
#include "disk/gpt.h"

namespace brenix {
namespace {

constexpr uint64_t kSectors = 4096;  // a 2 MiB disk of 512-byte sectors

struct Disk {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kSectors * 512, 0);
  GptHeader header;
  std::vector<uint8_t> array = std::vector<uint8_t>(128 * 128, 0);

  Disk() {
    header.revision = kGptRevision1;
    header.headerSize = 92;
    header.firstUsable = 34;
    header.lastUsable = kSectors - 34;
    header.entryCount = 128;
    header.entrySize = 128;
    addEntry(0, 100, 199);
    addEntry(1, 300, 399);
  }
  void addEntry(uint32_t index, uint64_t first, uint64_t last) {
    GptEntry e;
    e.typeGuid = {1, 2, 3};
    e.firstLba = first;
    e.lastLba = last;
    e.name = "part" + std::to_string(index);
    encodeGptEntry(e, array.data() + index * 128, 128);
  }
  // Writes both copies; `mutate` may change a header before it is encoded.
  void write(const std::function<void(GptHeader&, bool primary)>& mutate = {}) {
    for (bool primary : {true, false}) {
      GptHeader h = header;
      h.myLba = primary ? 1 : kSectors - 1;
      h.alternateLba = primary ? kSectors - 1 : 1;
      h.entriesLba = primary ? 2 : kSectors - 33;
      h.entriesCrc = crc32(array.data(), array.size());
      if (mutate) mutate(h, primary);
      encodeGptHeader(h, bytes.data() + h.myLba * 512, 512);
      std::memcpy(bytes.data() + (primary ? 2 : kSectors - 33) * 512, array.data(), array.size());
    }
  }
  GptTable read() const {
    ByteReader r = [this](uint64_t off, void* buf, size_t n) {
      if (off > bytes.size() || n > bytes.size() - off) return false;
      std::memcpy(buf, bytes.data() + off, n);
      return true;
    };
    return readGpt(r, bytes.size(), 512);
  }
};

bool mentions(const GptTable& t, const std::string& text) {
  for (const auto& p : t.problems)
    if (p.find(text) != std::string::npos) return true;
  return false;
}

TEST(GptReader, SoundTableHasNoProblems) {
  Disk d;
  d.write();
  GptTable t = d.read();
  ASSERT_TRUE(t.valid);
  EXPECT_EQ(t.copy, GptCopy::Primary);
  EXPECT_TRUE(t.primaryValid && t.backupValid);
  EXPECT_TRUE(t.problems.empty());
  ASSERT_EQ(t.entries.size(), 2u);
  EXPECT_EQ(t.entries[1].name, "part1");
}

TEST(GptReader, EachHeaderFaultIsReportedAndTheOtherCopyUsed) {
  struct Case {
    std::function<void(GptHeader&)> fault;
    std::string report;
  };
  const std::vector<Case> cases = {
      {[](GptHeader& h) { h.entrySize = 120; }, "entry size 120"},
      {[](GptHeader& h) { h.entrySize = 132; }, "entry size 132"},
      {[](GptHeader& h) { h.entryCount = 0x7FFFFFFF; }, "too large"},
      {[](GptHeader& h) { h.entriesLba = kSectors - 2; }, "outside the disk"},
      {[](GptHeader& h) { h.lastUsable = kSectors + 100; }, "past the disk's end"},
      {[](GptHeader& h) { h.revision = 0x00020000; }, "revision"},
      {[](GptHeader& h) { h.firstUsable = 1; }, "cover the header"},
  };
  for (const Case& c : cases) {
    Disk d;
    d.write([&c](GptHeader& h, bool primary) {
      if (primary) c.fault(h);
    });
    GptTable t = d.read();
    ASSERT_TRUE(t.valid) << c.report;
    EXPECT_EQ(t.copy, GptCopy::Backup) << c.report;
    EXPECT_TRUE(mentions(t, c.report)) << c.report << ": " << (t.problems.empty() ? "" : t.problems[0]);
    EXPECT_EQ(t.entries.size(), 2u);

    // The same fault in both copies: no table.
    Disk both;
    both.write([&c](GptHeader& h, bool) { c.fault(h); });
    EXPECT_FALSE(both.read().valid) << c.report;
  }

  // A wrong header CRC (one byte of the disk GUID changed after encoding).
  Disk crc;
  crc.write();
  crc.bytes[512 + 60] ^= 0xFF;
  GptTable t = crc.read();
  EXPECT_EQ(t.copy, GptCopy::Backup);
  EXPECT_TRUE(mentions(t, "header CRC32"));
}

TEST(GptReader, BadEntriesAreSkippedAndNamed) {
  Disk d;
  d.addEntry(2, 150, 250);              // overlaps entry 1
  d.addEntry(3, 10, 20);                // before the first usable LBA
  d.addEntry(4, kSectors - 20, kSectors + 5);  // past the last usable LBA
  d.addEntry(5, 600, 500);              // ends before it starts
  d.addEntry(6, 1000, 1099);            // sound
  d.write();
  GptTable t = d.read();
  ASSERT_TRUE(t.valid);
  ASSERT_EQ(t.entries.size(), 3u);
  EXPECT_EQ(t.entries[2].firstLba, 1000u);
  EXPECT_TRUE(mentions(t, "entry 3 skipped: it overlaps entry 1"));
  EXPECT_TRUE(mentions(t, "entry 4 skipped: it lies outside the usable LBAs"));
  EXPECT_TRUE(mentions(t, "entry 5 skipped"));
  EXPECT_TRUE(mentions(t, "entry 6 skipped: it ends before it starts"));
}

TEST(GptReader, GuidTextRoundTrip) {
  Guid g{};
  ASSERT_TRUE(parseGuid("C12A7328-F81F-11D2-BA4B-00A0C93EC93B", g));
  EXPECT_EQ(g[0], 0x28);  // first field little-endian
  EXPECT_EQ(guidText(g), "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
  EXPECT_EQ(gptTypeName(g), "EFI System");
  EXPECT_FALSE(parseGuid("C12A7328-F81F-11D2-BA4B-00A0C93EC93", g));
  EXPECT_FALSE(parseGuid("C12A7328xF81F-11D2-BA4B-00A0C93EC93B", g));
}

}  // namespace
}  // namespace brenix
