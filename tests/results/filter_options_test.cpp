// The result filter table and the scan options rules.
#include <gtest/gtest.h>

#include "common/clock.h"
#include "results/filter_options.h"
#include "results/result_filter.h"
#include "results/scan_option_rules.h"

namespace brenix {
namespace {

FoundItem file(const std::string& name, uint64_t size) {
  FoundItem f;
  f.name = name;
  f.size = size;
  return f;
}

ResultFilter sizeFilter(SizeFilterMode mode, double a, double b = 0) {
  ResultFilter f;
  f.enabled = true;
  f.sizeMode = mode;
  f.sizeKb1 = a;
  f.sizeKb2 = b;
  return f;
}

TEST(ResultFilter, SizeModes) {
  const ResultFilter equal = sizeFilter(SizeFilterMode::Equal, 1.5);
  EXPECT_TRUE(passesFilter(EngineKind::Ntfs, file("a", 1536), equal));
  EXPECT_TRUE(passesFilter(EngineKind::Ntfs, file("a", 1540), equal));   // 1.50 to two decimals
  EXPECT_FALSE(passesFilter(EngineKind::Ntfs, file("a", 1560), equal));  // 1.52
  EXPECT_TRUE(passesFilter(EngineKind::Fat, file("a", 99), sizeFilter(SizeFilterMode::Smaller, 0.1)));
  EXPECT_FALSE(passesFilter(EngineKind::Fat, file("a", 103), sizeFilter(SizeFilterMode::Smaller, 0.1)));
  EXPECT_TRUE(passesFilter(EngineKind::Raw, file("a", 102401), sizeFilter(SizeFilterMode::Larger, 100)));
  EXPECT_FALSE(passesFilter(EngineKind::Raw, file("a", 102400), sizeFilter(SizeFilterMode::Larger, 100)));
  const ResultFilter between = sizeFilter(SizeFilterMode::Between, 1, 2);
  EXPECT_TRUE(passesFilter(EngineKind::Ext, file("a", 1500), between));
  EXPECT_FALSE(passesFilter(EngineKind::Ext, file("a", 1024), between));  // bounds excluded
  EXPECT_FALSE(passesFilter(EngineKind::Ext, file("a", 2048), between));
  EXPECT_FALSE(passesFilter(EngineKind::Ext, file("a", 1500), sizeFilter(SizeFilterMode::Between, 2, 1)));
}

TEST(ResultFilter, ExtensionGroupsPerPage) {
  ResultFilter f;
  f.enabled = true;
  f.extensionChoice = 1;  // "bmp.jpg"
  EXPECT_TRUE(passesFilter(EngineKind::Fat, file("IMG.JPG", 1), f));  // folded to lower case
  EXPECT_FALSE(passesFilter(EngineKind::Fat, file("a.jpeg", 1), f));  // not an entry
  EXPECT_FALSE(passesFilter(EngineKind::Fat, file("a.jp", 1), f));
  EXPECT_FALSE(passesFilter(EngineKind::Fat, file("noext", 1), f));
  EXPECT_TRUE(passesFilter(EngineKind::Raw, file("f0001.jp", 1), f));  // occurs within "bmp.jpg"
  EXPECT_TRUE(passesFilter(EngineKind::Ntfs, file("a.jpg", 1), f));
  EXPECT_TRUE(passesFilter(EngineKind::Ntfs, file("IMG_0001.JPG", 1), f));  // case folded on every page
  EXPECT_FALSE(passesFilter(EngineKind::Ntfs, file("a.b.jpg", 1), f));  // text after the FIRST dot
  EXPECT_FALSE(passesFilter(EngineKind::Ntfs, file("a.", 1), f));       // empty extension
  FoundItem ext = file("inode_0000000C.tmp", 1);
  EXPECT_FALSE(passesFilter(EngineKind::Ext, ext, f));  // empty type text
  ext.typeText = "bmp";
  EXPECT_TRUE(passesFilter(EngineKind::Ext, ext, f));
  f.extensionChoice = 3;
  EXPECT_TRUE(passesFilter(EngineKind::Fat, file("x.ras", 1), f));
  EXPECT_EQ(extensionGroupText(2), "gif.png.ico.tif.mng.tga.pcx");
}

TEST(ResultFilter, DatesNameAndDisabled) {
  FoundItem fat = file("Holiday.JPG", 10);
  fat.created = uint64_t(dosDate(2010, 5, 1)) << 16;
  ResultFilter f;
  f.enabled = true;
  f.date = dosDate(2010, 5, 1);
  f.dateMode = DateFilterMode::On;
  EXPECT_TRUE(passesFilter(EngineKind::Fat, fat, f));
  f.dateMode = DateFilterMode::Before;
  EXPECT_FALSE(passesFilter(EngineKind::Fat, fat, f));
  f.dateMode = DateFilterMode::After;
  f.date = dosDate(2010, 4, 30);
  EXPECT_TRUE(passesFilter(EngineKind::Fat, fat, f));
  EXPECT_TRUE(passesFilter(EngineKind::Raw, file("a", 1), f));  // no date test on the raw page

  // NTFS: the creation time as a local calendar day.
  FoundItem ntfs = file("a", 1);
  const int64_t unix = 1272715200;  // 2010-05-01 12:00 UTC
  ntfs.created = uint64_t(unix + kFileTimeEpochOffset) * 10000000ull;
  const LocalTime t = toLocalTime(unix);
  f.dateMode = DateFilterMode::On;
  f.date = dosDate(t.year, t.month, t.day);
  EXPECT_TRUE(passesFilter(EngineKind::Ntfs, ntfs, f));

  ResultFilter byName;
  byName.enabled = true;
  byName.name = "holi";
  EXPECT_TRUE(passesFilter(EngineKind::Fat, fat, byName));
  byName.name = "xmas";
  EXPECT_FALSE(passesFilter(EngineKind::Fat, fat, byName));
  byName.enabled = false;  // the check box off: everything passes
  EXPECT_TRUE(passesFilter(EngineKind::Fat, fat, byName));
}

TEST(FilterOptions, TextsParsedOrRefusedWithTheirForms) {
  ResultFilter f;
  std::string error;
  ASSERT_TRUE(parseFilterOptions({2, "After:2010-05-01", "between:1.5:20", "holi"}, &f, &error)) << error;
  EXPECT_TRUE(f.enabled);
  EXPECT_EQ(f.extensionChoice, 2);
  EXPECT_EQ(f.dateMode, DateFilterMode::After);
  EXPECT_EQ(f.date, dosDate(2010, 5, 1));
  EXPECT_EQ(f.sizeMode, SizeFilterMode::Between);
  EXPECT_DOUBLE_EQ(f.sizeKb1, 1.5);
  EXPECT_DOUBLE_EQ(f.sizeKb2, 20);
  EXPECT_EQ(f.name, "holi");
  ASSERT_TRUE(parseFilterOptions({0, "", "smaller:0.25", ""}, &f, &error));
  EXPECT_EQ(f.sizeMode, SizeFilterMode::Smaller);
  EXPECT_EQ(f.dateMode, DateFilterMode::Ignore);
  ASSERT_TRUE(parseFilterOptions({}, &f, &error));
  EXPECT_FALSE(f.enabled);  // nothing narrows the list

  const std::string dateForms = "': use before:YYYY-MM-DD, after:YYYY-MM-DD or on:YYYY-MM-DD (years 1980 to 2107)";
  for (const char* bad : {"yesterday", "on:1979-12-31", "on:2010-13-01", "on:2010-05-01x", "since:2010-05-01"}) {
    EXPECT_FALSE(parseFilterOptions({0, bad, "", ""}, &f, &error)) << bad;
    EXPECT_EQ(error, "Invalid --filter-date '" + std::string(bad) + dateForms);
  }
  for (const char* bad : {"between:1", "larger:", "equal:-1", "smaller:1e13", "larger:2KB", "larger:1:2"}) {
    EXPECT_FALSE(parseFilterOptions({0, "", bad, ""}, &f, &error)) << bad;
    EXPECT_EQ(error, "Invalid --filter-size '" + std::string(bad) +
                         "': use equal:N, smaller:N, larger:N or between:A:B (KB)");
  }
  EXPECT_EQ(parseSizeKb("12.5"), 12.5);  // the filter dialog's fields
  EXPECT_FALSE(parseSizeKb(""));
  EXPECT_FALSE(parseSizeKb("1,5"));
  EXPECT_EQ(presetNamed("mail"), FilePreset::Mail);
  EXPECT_EQ(presetNamed("none"), FilePreset::None);
  EXPECT_FALSE(presetNamed("music"));
}

TEST(ScanOptions, SectorRangeValidation) {
  RangeCheck r = validateSectorRange(63, 2000, 63, 2000);
  EXPECT_TRUE(r.accepted);  // first and last themselves are accepted
  r = validateSectorRange(1948, 2000, 2048, 9000);
  EXPECT_FALSE(r.accepted);
  EXPECT_EQ(r.message, "Start sector is not valid. This must be bigger than 2048");
  EXPECT_EQ(r.reset, RangeField::Start);
  EXPECT_EQ(r.resetValue, 2048u);
  r = validateSectorRange(2048, 9001, 2048, 9000);
  EXPECT_EQ(r.message, "End sector is not valid. This must be less than 9000");
  EXPECT_EQ(r.reset, RangeField::End);
  EXPECT_EQ(r.resetValue, 9000u);
  r = validateSectorRange(5000, 5000, 2048, 9000);
  EXPECT_EQ(r.message, "Start sector must be less than end sector");
  EXPECT_EQ(r.reset, RangeField::Start);
  // Sectors past 2^32 are printed whole.
  r = validateSectorRange(1, 2, 5000000000ull, 6000000000ull);
  EXPECT_EQ(r.message, "Start sector is not valid. This must be bigger than 5000000000");
  EXPECT_EQ(startSectorHint(63), "> 63");
  EXPECT_EQ(endSectorHint(2000), "< 2000");
  EXPECT_EQ(totalSectorsText(63, 2000), "1937");
}

TEST(ScanOptions, PreviousFileSystemList) {
  PreviousFsChoices c = previousFsChoices("FAT32");
  EXPECT_EQ(c.entries, (std::vector<std::string>{"FAT16", "FAT32", "NTFS"}));
  EXPECT_EQ(c.selected, 1);
  c = previousFsChoices("FAT");
  EXPECT_EQ(c.selected, 0);
  c = previousFsChoices("NTFS");
  EXPECT_EQ(c.entries, (std::vector<std::string>{"NTFS"}));
  EXPECT_EQ(c.selected, 0);
  c = previousFsChoices("EXT2");
  EXPECT_TRUE(c.entries.empty());
  EXPECT_EQ(c.selected, -1);
}

TEST(ScanOptions, RawTypeRowsFollowTheirDescription) {
  // A type with three signature sets is listed once; its check reaches all three.
  const std::vector<std::string> desc = {"JPEG image", "JPEG image", "JPEG image", "PNG image", "GIF image"};
  const std::vector<size_t> rows = rawTypeRows(desc);
  EXPECT_EQ(rows, (std::vector<size_t>{0, 3, 4}));
  std::vector<bool> selected(desc.size(), true);
  applyRawTypeRowChecks(desc, rows, {false, true, false}, selected);
  EXPECT_EQ(selected, (std::vector<bool>{false, false, false, true, false}));
}

}  // namespace
}  // namespace brenix
