#include "ntfs/ntfs_record.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/bytes.h"
#include "common/text.h"
#include "ntfs/ntfs_test_util.h"
#include "support/temp_dir.h"

namespace brenix {
namespace {

using test::RecordBuilder;

std::vector<uint8_t> decodedRecord(std::vector<uint8_t> r) {
  EXPECT_TRUE(applyFixups(r));
  return r;
}

TEST(NtfsFixups, RestoreStrideTailsAndFlagMismatch) {
  // A value crossing the 512-byte stride: its bytes at 510..511 only come back through the fixup.
  std::vector<uint8_t> value(600);
  for (size_t i = 0; i < value.size(); ++i) value[i] = uint8_t(i * 13 + 1);
  auto rec = RecordBuilder(1024).fileName(u"x.bin", 5).residentData(value).finish();
  MftRecordReader raw;
  raw.configure(1024, 4096);
  ASSERT_EQ(raw.decode(rec), 0);
  EXPECT_NE(raw.data.residentValue, value);  // undecoded: the sequence number sits in the value

  auto fixed = decodedRecord(rec);
  MftRecordReader r;
  r.configure(1024, 4096);
  ASSERT_EQ(r.decode(fixed), 0);
  EXPECT_EQ(r.data.residentValue, value);

  // A torn record (one stride not written) fails the check but still decodes.
  rec[1022] ^= 0xFF;
  EXPECT_FALSE(applyFixups(rec));
  MftRecordReader torn;
  torn.configure(1024, 4096);
  EXPECT_EQ(torn.decode(rec), 0);
  EXPECT_EQ(torn.name, u"x.bin");
  // An update sequence array outside the record is refused without touching it.
  std::vector<uint8_t> bad = fixed;
  putLe16(&bad[4], 1020);
  EXPECT_FALSE(applyFixups(bad));
}

TEST(NtfsRecord, FourKiBRecordsKeepAttributesPastOneKiB) {
  std::vector<uint8_t> big(2500, 0x5A);  // the resident value ends near byte 2600
  auto rec = decodedRecord(RecordBuilder(4096).standardInfo(1, 2, 3, 0x20).fileName(u"late.txt", 5)
                               .residentData(big).finish());
  MftRecordReader r;
  ASSERT_EQ(r.configure(4096, 4096), 0);
  ASSERT_EQ(r.decode(rec), 0);
  EXPECT_EQ(r.data.residentValue, big);
  EXPECT_EQ(r.modified, 2u);
  // Fewer bytes than the record size are refused.
  EXPECT_EQ(r.decode(std::span<const uint8_t>(rec).first(1024)), kNtfsBadArgument);
  EXPECT_EQ(r.configure(0, 4096), kNtfsBadArgument);
  EXPECT_EQ(r.configure(1024, 511), kNtfsBadArgument);
}

TEST(NtfsRecord, NamesSizesAndStreams) {
  // Long name over DOS name in either order; 64-bit size; named streams ignored.
  for (bool dosFirst : {true, false}) {
    RecordBuilder b(1024);
    b.standardInfo(10, 20, 30, 0x21);
    if (dosFirst) b.fileName(u"PHOTOG~1.JPG", 40, 2);
    b.fileName(u"photograph.jpg", 40, 1);
    if (!dosFirst) b.fileName(u"PHOTOG~1.JPG", 40, 2);
    b.nonResidentData({0x21, 0x10, 0x00, 0x01}, 0x1'2345'6789ull, 0x1'2346'0000ull);
    b.residentData(std::vector<uint8_t>(20, 1), u"Zone.Identifier");
    auto rec = decodedRecord(b.finish());
    MftRecordReader r;
    r.configure(1024, 4096);
    ASSERT_EQ(r.decode(rec), 0);
    EXPECT_EQ(r.name, u"photograph.jpg");
    EXPECT_EQ(r.parentRecord(), 40u);
    EXPECT_EQ(r.fileAttributes, 0x21u);
    EXPECT_FALSE(r.inUse);
    EXPECT_EQ(r.data.size(), 0x1'2345'6789ull);
    ASSERT_EQ(r.data.runs.size(), 1u);
    EXPECT_EQ(r.data.runs[0].lcn, 0x100u);
    EXPECT_EQ(r.data.runs[0].length, 0x10u);
  }
  // Equal length: the earlier one stays.
  auto rec = decodedRecord(RecordBuilder(1024).fileName(u"aaaa", 5).fileName(u"bbbb", 5).finish());
  MftRecordReader r;
  r.configure(1024, 4096);
  ASSERT_EQ(r.decodeNameOnly(rec), 0);
  EXPECT_EQ(r.name, u"aaaa");
}

TEST(NtfsRecord, HostileLayoutsStopTheWalk) {
  MftRecordReader r;
  r.configure(1024, 4096);
  std::vector<uint8_t> notFile(1024, 0);
  EXPECT_EQ(r.decode(notFile), kNtfsBadArgument);

  auto good = decodedRecord(RecordBuilder(1024).fileName(u"a.txt", 5).residentData({1, 2, 3}).finish());
  // First attribute past the record: a record with nothing in it.
  auto past = good;
  putLe16(&past[0x14], 1020);
  MftRecordReader p;
  p.configure(1024, 4096);
  EXPECT_EQ(p.decode(past), 0);
  EXPECT_FALSE(p.haveFileName);
  // Zero-length and overlong attributes end the walk.
  size_t first = le16(&good[0x14]);
  for (uint32_t len : {0u, 8u, 5000u}) {
    auto bad = good;
    putLe32(&bad[first + 4], len);
    MftRecordReader q;
    q.configure(1024, 4096);
    EXPECT_EQ(q.decode(bad), 0);
    EXPECT_FALSE(q.haveFileName);
  }
  // A name length that runs past its value is skipped.
  auto longName = good;
  longName[first + 0x18 + 64] = 200;
  MftRecordReader n;
  n.configure(1024, 4096);
  EXPECT_EQ(n.decode(longName), 0);
  EXPECT_FALSE(n.haveFileName);
}

TEST(NtfsRunList, DecodesSignedDeltasSparseRunsAndRefusesBadFields) {
  std::vector<NtfsRun> runs;
  // 16 clusters at 0x100; 8 sparse; 4 at 0x100 - 16 (one-byte delta 0xF0).
  std::vector<uint8_t> list = {0x21, 0x10, 0x00, 0x01, 0x01, 0x08, 0x11, 0x04, 0xF0, 0x00};
  ASSERT_TRUE(NtfsRunList::decode(list, 0, runs));
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[1].sparse, true);
  EXPECT_EQ(runs[1].vcn, 16u);
  EXPECT_EQ(runs[2].vcn, 24u);
  EXPECT_EQ(runs[2].lcn, 0xF0u);
  // Nibble sizes above 8, fields past the end, zero lengths, negative clusters.
  for (std::vector<uint8_t> bad : {std::vector<uint8_t>{0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
                                   std::vector<uint8_t>{0x91, 1}, std::vector<uint8_t>{0x21, 0x10, 0x00},
                                   std::vector<uint8_t>{0x11, 0x00, 0x05}, std::vector<uint8_t>{0x11, 0x01, 0xF0}}) {
    runs.clear();
    EXPECT_FALSE(NtfsRunList::decode(bad, 0, runs));
  }
}

// Every name and unnamed-stream size sleuthkit lists for a corpus MFT extract
// is what the reader decodes from that record.
TEST(NtfsRecordCorpus, MftExtractsAgreeWithFls) {
  test::TempDir dir;
  for (const char* name : {"unicode", "orphan"}) {
    auto mft = test::corpusImage(std::string("ntfs/mft/") + name + ".mft", dir.path());
    if (mft.empty()) GTEST_SKIP() << "corpus not available";
    std::vector<uint8_t> table = test::readFile(mft);
    std::ifstream fls(test::corpusDir() / "ntfs/mft" / (std::string(name) + ".fls"));
    std::string line;
    int checked = 0;
    while (std::getline(fls, line)) {
      // "r/r 38-128-2:\tdir/name\t<4 times>\tsize\t..."
      size_t sp = line.find(' '), colon = line.find(":\t");
      if (sp == std::string::npos || colon == std::string::npos) continue;
      std::string ref = line.substr(sp + 1, colon - sp - 1);
      std::istringstream cols(line.substr(colon + 2));
      std::vector<std::string> fields;
      for (std::string f; std::getline(cols, f, '\t');) fields.push_back(f);
      if (fields.size() < 6 || fields[0].find(':') != std::string::npos) continue;  // named streams
      uint32_t number = static_cast<uint32_t>(std::stoul(ref));
      if ((number + 1) * 1024 > table.size() || number < 16) continue;
      std::vector<uint8_t> rec(table.begin() + number * 1024, table.begin() + (number + 1) * 1024);
      applyFixups(rec);
      MftRecordReader r;
      r.configure(1024, 4096);
      ASSERT_EQ(r.decode(rec), 0) << line;
      std::string leaf = fields[0].substr(fields[0].rfind('/') + 1);
      EXPECT_EQ(utf16ToUtf8(r.name), leaf) << line;
      if (ref.find("-128-") != std::string::npos) {
        EXPECT_EQ(r.data.size(), std::stoull(fields[5])) << line;
      }
      ++checked;
    }
    EXPECT_GT(checked, 10) << name;
  }
}

}  // namespace
}  // namespace brenix
