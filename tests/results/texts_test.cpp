// Time estimate, list cells and status lines.
#include <gtest/gtest.h>

#include "common/clock.h"
#include "disk/sector_reader.h"
#include "results/cell_formats.h"
#include "results/time_estimate.h"
#include "support/temp_dir.h"

namespace brenix {
namespace {

TEST(TimeEstimate, NinetySecondsWithThirtyOfOneHundredTwentyDone) {
  EXPECT_EQ(elapsedTimeText(90), "Elapsed Time : 00:01:30");
  EXPECT_EQ(remainingSeconds(90, 120, 30), 271);
  EXPECT_EQ(remainingTimeText(remainingSeconds(90, 120, 30)), "Remaining Time : 00:04:31");
}

TEST(TimeEstimate, DivisorIsOneBeforeAnythingIsDone) {
  EXPECT_EQ(remainingSeconds(10, 0, 0), 1);      // total not set yet
  EXPECT_EQ(remainingSeconds(10, 100, 0), 1001);  // 10 * 100 / 1 + 1
  EXPECT_EQ(remainingSeconds(10, 100, 1), 991);
}

TEST(TimeEstimate, HoursAreNotWrappedAndNothingGoesNegative) {
  EXPECT_EQ(elapsedTimeText(25 * 3600 + 61), "Elapsed Time : 25:01:01");
  EXPECT_EQ(remainingTimeText(100 * 3600), "Remaining Time : 100:00:00");
  // A worker that overshoots its total leaves one second, not a negative time.
  EXPECT_EQ(remainingSeconds(50, 10, 12), 1);
  // Large figures do not overflow (64-bit arithmetic).
  EXPECT_EQ(remainingSeconds(100000, INT32_MAX, 1), int64_t(100000) * (INT32_MAX - 1) + 1);
}

TEST(TimeEstimate, MonitorPollsTheWorkersFigures) {
  int64_t now = 1000;
  setClockForTesting([&] { return now; });
  Progress p;
  p.setTotal(5);
  ProgressMonitor m(p);
  m.start();
  EXPECT_EQ(p.total(), 0);  // opening resets the figures
  p.setTotal(120);
  p.setDone(30);
  p.setStatus("Found Raw Files : 3");
  // 9 MiB read from a disk image during the 90 seconds: 0.1 MB/s.
  test::TempDir dir;
  test::writeFile(dir / "disk.img", std::vector<uint8_t>(9u << 20, 0));
  SectorReader reader;
  ASSERT_TRUE(reader.openPath((dir / "disk.img").string(), OpenMode::Read));
  std::vector<uint8_t> buffer(1u << 20);
  for (uint64_t i = 0; i < 9; ++i) ASSERT_TRUE(reader.readBytesAt(i << 20, buffer.data(), buffer.size()));
  now += 90;
  const ProgressSnapshot s = m.poll();
  EXPECT_EQ(s.elapsedText, "Elapsed Time : 00:01:30");
  EXPECT_EQ(s.remainingText, "Remaining Time : 00:04:31");
  EXPECT_DOUBLE_EQ(s.percent, 25.0);
  const std::string line = progressLine(s);
  EXPECT_NE(line.find("Found Raw Files : 3"), std::string::npos);
  EXPECT_NE(line.find("25%"), std::string::npos);
  EXPECT_EQ(s.bytesRead, 9u << 20);
  EXPECT_NE(line.find("  0.1 MB/s  "), std::string::npos) << line;

  // A job that keeps bytes (a recovery): percent and remaining time come from
  // them, not from the file count; the line shows the files done of all.
  p.setTotal(2);
  p.setDone(1);
  p.setBytesTotal(120ll << 20);
  p.setBytesDone(30ll << 20);
  const ProgressSnapshot b = m.poll();
  setClockForTesting({});
  EXPECT_DOUBLE_EQ(b.percent, 25.0);
  EXPECT_EQ(b.remainingText, "Remaining Time : 00:04:31");
  EXPECT_NE(progressLine(b).find("25%  1/2 files  0.1 MB/s"), std::string::npos) << progressLine(b);
  EXPECT_EQ(remainingSecondsFromBytes(90, 0, 0), 1);
  EXPECT_GT(remainingSecondsFromBytes(100000000, INT64_MAX / 2, 1), 0);  // no overflow
}

TEST(CellFormats, SizePerPage) {
  EXPECT_EQ(sizeCell(EngineKind::Fat, 1023), "1023 Byte");
  EXPECT_EQ(sizeCell(EngineKind::Fat, 1024), "1.00 KB");
  EXPECT_EQ(sizeCell(EngineKind::Fat, 1048576), "1024.00 KB");  // MB only above 1024 KB
  EXPECT_EQ(sizeCell(EngineKind::Fat, 1048576 + 11), "1.00 MB");
  EXPECT_EQ(sizeCell(EngineKind::Fat, 5ull << 30), "5120.00 MB");

  EXPECT_EQ(sizeCell(EngineKind::Ntfs, 1023), "1023B");
  EXPECT_EQ(sizeCell(EngineKind::Ntfs, 1536), "1.5KB");
  EXPECT_EQ(sizeCell(EngineKind::Ntfs, 1048576), "1.0MB");
  EXPECT_EQ(sizeCell(EngineKind::Raw, 3ull << 30), "3.0GB");

  EXPECT_EQ(sizeCell(EngineKind::Ext, 1023), "1023 B");
  EXPECT_EQ(sizeCell(EngineKind::Ext, 1048575), "1024.00 KB");
  EXPECT_EQ(sizeCell(EngineKind::Ext, 1048576), " 1.00 MB");
  EXPECT_EQ(sizeCell(EngineKind::Ext, 1073741823), "1024.00 MB");
  EXPECT_EQ(sizeCell(EngineKind::Ext, 1073741824), " 1.00 GB");
}

TEST(CellFormats, AttributesPerPage) {
  FoundItem item;
  item.attributes = 0x20;
  item.deleted = true;
  EXPECT_EQ(attributesCell(EngineKind::Ntfs, item), "A-Del-");
  EXPECT_EQ(ntfsAttributeText(0x1 | 0x4000 | 0x10000000, false), "R-En-Dir-In-");
  item.attributes = 0x100 | 0x40 | 0x08;  // r-x--x
  EXPECT_EQ(attributesCell(EngineKind::Ext, item), "r-x--x");
  item.attributeText = "A";
  EXPECT_EQ(attributesCell(EngineKind::Fat, item), "A");
  EXPECT_EQ(attributesCell(EngineKind::Raw, item), "");
}

TEST(CellFormats, DatesPerPage) {
  FoundItem item;
  // 2009-07-15 13:45:58: date (29<<9)|(7<<5)|15, time (13<<11)|(45<<5)|29.
  const uint32_t date = (29u << 9) | (7u << 5) | 15u, time = (13u << 11) | (45u << 5) | 29u;
  item.modified = (date << 16) | time;
  item.accessed = date << 16;
  EXPECT_EQ(dateCell(EngineKind::Fat, item, ListColumn::Modified), "2009-07-15   13:45:58");
  EXPECT_EQ(dateCell(EngineKind::Fat, item, ListColumn::Accessed), "2009-07-15   12:00:00");
  EXPECT_EQ(dateCell(EngineKind::Ntfs, item, ListColumn::Created), "");  // zero file time: empty cell
  EXPECT_EQ(dateCell(EngineKind::Raw, item, ListColumn::Modified), "");

  // EXT and NTFS show local time: compare with the local calendar of the same instant.
  const int64_t unix = 1262304000;  // 2010-01-01 00:00:00 UTC
  const LocalTime t = toLocalTime(unix);
  char expect[64];
  std::snprintf(expect, sizeof expect, "%d-%.2d-%.2d %.2d:%.2d:%.2d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  item.modified = static_cast<uint64_t>(unix);
  EXPECT_EQ(dateCell(EngineKind::Ext, item, ListColumn::Modified), expect);
  item.created = static_cast<uint64_t>(unix + kFileTimeEpochOffset) * 10000000ull;
  EXPECT_EQ(dateCell(EngineKind::Ntfs, item, ListColumn::Created), expect);
}

TEST(CellFormats, NamesAndRootItems) {
  FoundItem item;
  item.name = "Unknown";
  item.inode = 12;
  EXPECT_EQ(nameCell(EngineKind::Ext, item), "inode(0000000C)");
  EXPECT_EQ(nameCell(EngineKind::Ntfs, item), "Unknown");
  EXPECT_EQ(rootItemText(EngineKind::Fat, "FAT", 'E', ""), "FAT16 - Logical Disk (E:)");
  EXPECT_EQ(rootItemText(EngineKind::Fat, "FAT32", 'E', ""), "FAT32 - Logical Disk (E:)");
  EXPECT_EQ(rootItemText(EngineKind::Ext, "EXT3", '*', "data"), "EXT3( data )");
  EXPECT_EQ(rootItemText(EngineKind::Raw, "NTFS", 'D', ""), "RAW - Logical Disk (D:)");
}

TEST(StatusLine, UnitsMoveUpAt1024) {
  EXPECT_EQ(statusLineText(0, 0), "0 files - 0.00 Byte");
  EXPECT_EQ(statusLineText(2, 1023), "2 files - 1023.00 Byte");
  EXPECT_EQ(statusLineText(1, 1024), "1 files - 1.00 KB");
  EXPECT_EQ(statusLineText(1, 1048576), "1 files - 1.00 MB");
  EXPECT_EQ(statusLineText(3, 1073741824ull * 5 / 2), "3 files - 2.50 GB");
  // 64-bit totals: more than 4 GiB and more than 2^32 files.
  EXPECT_EQ(statusLineText(5000000000ull, 1099511627776ull), "5000000000 files - 1024.00 GB");
}

}  // namespace
}  // namespace brenix
