// The carving scan, found files, the tree, reading and copying, and the
// engine on a lab image built here with real pictures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>

#include "common/text.h"
#include "disk/device_table.h"
#include "jobs/engine_factory.h"
#include "raw/raw_engine.h"
#include "raw/raw_scanner.h"
#include "results/results_model.h"
#include "support/temp_dir.h"

namespace brenix {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

std::shared_ptr<RawTypeList> twoTypes() {
  auto list = std::make_shared<RawTypeList>();
  for (auto [ext, desc, pattern] : {std::tuple{"jpg", "JPEG Picture", "ffd8ff"}, {"png", "PNG Picture", "89504e47"}}) {
    auto t = std::make_unique<RawFileType>(makeRawFileType());
    std::snprintf(t->extension, sizeof t->extension, "%s", ext);
    std::snprintf(t->description, sizeof t->description, "%s", desc);
    std::snprintf(t->patterns[0], kRawPatternField, "%s", pattern);
    t->signatureCount = 1;
    t->selected = 1;
    list->types.push_back(std::move(t));
  }
  list->compile();
  return list;
}

// An image of `sectors` sectors of filler (no sector starts with a signature)
// with the given byte strings written at sector starts.
fs::path makeImage(const test::TempDir& dir, uint64_t sectors, const std::vector<std::pair<uint64_t, Bytes>>& at) {
  Bytes img(sectors * 512);
  std::mt19937 rng(42);
  for (auto& b : img) b = uint8_t(rng());
  for (uint64_t s = 0; s < sectors; ++s) img[s * 512] = 0x20;
  for (const auto& [sector, bytes] : at) std::copy(bytes.begin(), bytes.end(), img.begin() + long(sector * 512));
  fs::path p = dir / "lab.img";
  test::writeFile(p, img);
  return p;
}

const Bytes kJpegHeader = {0xFF, 0xD8, 0xFF, 0xE0};
const Bytes kPngHeader = {0x89, 0x50, 0x4E, 0x47};

struct Scan {
  RawScanner scanner;
  Progress progress;
  RunningFlag running{true};
  int run(const fs::path& image, uint64_t start, uint64_t end, uint64_t origin = 0, uint64_t maxKb = 0) {
    EXPECT_TRUE(scanner.openPath(image.string()));
    scanner.setOrigin(origin);
    scanner.setRange(start, end);
    scanner.setTypes(twoTypes());
    scanner.setMaxSizeKb(maxKb);
    scanner.setTrimming(false);
    return scanner.scan(&progress, running);
  }
};

TEST(RawScan, HeadersCutAtTheNextHeaderWithNamesAcrossTypes) {
  test::TempDir dir;
  fs::path img = makeImage(dir, 400, {{10, kJpegHeader}, {110, kPngHeader}, {300, kJpegHeader}});
  Scan s;
  ASSERT_EQ(s.run(img, 0, 400), 0);
  const auto& f = s.scanner.files();
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0].name, "File0.jpg");
  EXPECT_EQ(f[0].startSector, 10u);
  EXPECT_EQ(f[0].size, 100u * 512);
  EXPECT_EQ(f[0].description, "JPEG Picture");
  EXPECT_EQ(f[1].name, "File1.png");
  EXPECT_EQ(f[1].startSector, 110u);
  EXPECT_EQ(f[1].size, 190u * 512);
  // The last file is still open when the range ends: it is kept, cut there.
  EXPECT_EQ(f[2].name, "File2.jpg");
  EXPECT_EQ(f[2].size, 100u * 512);
  EXPECT_EQ(s.progress.status(), "Found Raw Files : 3");
}

TEST(RawScan, MaximalSizeOriginAndRangeLimits) {
  test::TempDir dir;
  fs::path img = makeImage(dir, 4200, {{150, kJpegHeader}, {3999, kPngHeader}, {4100, kJpegHeader}});
  {
    Scan s;  // maximal size 20 KB: cut after 40 sectors, then nothing is open
    ASSERT_EQ(s.run(img, 0, 3000, 0, 20), 0);
    ASSERT_EQ(s.scanner.files().size(), 1u);
    EXPECT_EQ(s.scanner.files()[0].size, 20u * 1024);
  }
  {
    Scan s;  // sectors relative to a partition starting at sector 100
    ASSERT_EQ(s.run(img, 0, 3000, 100), 0);
    ASSERT_EQ(s.scanner.files().size(), 1u);
    EXPECT_EQ(s.scanner.files()[0].startSector, 50u);
    EXPECT_EQ(s.scanner.files()[0].size, (3000u - 50) * 512);
  }
  {
    Scan s;  // 4001 sectors: one 4000-sector read and one short one; nothing matched twice
    ASSERT_EQ(s.run(img, 0, 4001), 0);
    const auto& f = s.scanner.files();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].startSector, 3999u);
    EXPECT_EQ(f[1].size, 2u * 512);
    EXPECT_EQ(s.progress.total(), 1);
  }
  {
    Scan s;  // a range far past the end of the image stops at the image's end
    ASSERT_EQ(s.run(img, 4000, 1'000'000), 0);
    const auto& f = s.scanner.files();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].startSector, 4100u);
    EXPECT_EQ(f[0].size, 100u * 512);
    std::vector<uint8_t> out;
    EXPECT_EQ(s.scanner.readFile(0, out, UINT64_MAX), 0);
    EXPECT_EQ(out.size(), 100u * 512);
  }
  {
    Scan s;  // cancelled before the first read: nothing found, and no crash
    s.running = false;
    ASSERT_EQ(s.run(img, 0, 4200), 0);
    EXPECT_TRUE(s.scanner.files().empty());
    EXPECT_GT(s.progress.total(), 0);
    EXPECT_EQ(s.progress.done(), 0);  // the real position, not the whole range
  }
  {
    Scan s;  // no selected type: nothing to do
    auto none = twoTypes();
    for (auto& t : none->types) t->selected = 0;
    ASSERT_TRUE(s.scanner.openPath(img.string()));
    s.scanner.setRange(0, 100);
    s.scanner.setTypes(none);
    EXPECT_EQ(s.scanner.scan(nullptr, s.running), -1);
  }
}

TEST(RawScan, CopyWritesExactlyTheFileInCopyChunks) {
  test::TempDir dir;
  fs::path img = makeImage(dir, 64, {{3, kJpegHeader}});
  Scan s;
  ASSERT_EQ(s.run(img, 0, 64), 0);
  ASSERT_EQ(s.scanner.files().size(), 1u);
  s.scanner.files()[0].size = 5000;
  std::vector<size_t> pieces;
  Bytes copied;
  ASSERT_EQ(s.scanner.copyFile(0, [&](const uint8_t* d, size_t n) {
    pieces.push_back(n);
    copied.insert(copied.end(), d, d + n);
    return true;
  }, s.running), 0);
  EXPECT_EQ(pieces, (std::vector<size_t>{4096, 904}));
  Bytes all = test::readFile(img);
  EXPECT_EQ(copied, Bytes(all.begin() + 3 * 512, all.begin() + 3 * 512 + 5000));
  EXPECT_EQ(s.scanner.copyFile(0, [](const uint8_t*, size_t) { return false; }, s.running), -2);
  RunningFlag stopped{false};
  EXPECT_EQ(s.scanner.copyFile(0, [](const uint8_t*, size_t) { return true; }, stopped), -1);
  s.scanner.files()[0].size = 0;
  Bytes out;
  EXPECT_NE(s.scanner.readFile(0, out, 100), 0);  // a file of size 0 is refused
}

TEST(RawTree, FoldersAreChosenByContainment) {
  std::vector<RawFoundFile> files(3);
  files[0].name = "File0.jpg";
  files[0].description = "JPEG Picture with EXIF";
  files[1].name = "File1.jpg";
  files[1].description = "JPEG Picture";
  files[2].name = "File2.tif";
  files[2].description = "TIFF";
  ResultTree tree("root");
  buildRawTree(files, tree);
  ASSERT_EQ(tree.root().children.size(), 2u);
  EXPECT_EQ(tree.root().children[0]->name, "JPEG Picture with EXIF");
  EXPECT_EQ(tree.root().children[0]->items, (std::vector<size_t>{0, 1}));
  // The other way round, the longer description gets a folder of its own.
  std::swap(files[0], files[1]);
  ResultTree tree2("root");
  buildRawTree(files, tree2);
  EXPECT_EQ(tree2.root().children.size(), 3u);
  EXPECT_EQ(tree2.item(1).engineIndex, 1u);
}

std::filesystem::path sourceDir() {
  const char* s = std::getenv("BRENIX_SOURCE_DIR");
  return s ? fs::path(s) : fs::path(BRENIX_TEST_SOURCE_DIR);
}

std::vector<Bytes> labPictures() {
  std::vector<Bytes> pics;
  std::vector<fs::path> files;
  // Our own pictures: plain JFIF files whose only signature is at their start.
  for (const auto& e : fs::directory_iterator(sourceDir() / "data" / "demo")) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) pics.push_back(test::readFile(f));
  // A BMP and a GIF with their own size and trailer.
  Bytes bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0};
  bmp.resize(54 + 3000, 0x40);
  bmp[2] = uint8_t(bmp.size());
  bmp[3] = uint8_t(bmp.size() >> 8);
  pics.push_back(bmp);
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x4C, 0x01, 0, 0x3B};
  pics.push_back(gif);
  return pics;
}

struct VectorSink : ByteSink {
  Bytes bytes;
  bool write(const uint8_t* d, size_t n) override {
    bytes.insert(bytes.end(), d, d + n);
    return true;
  }
};

TEST(RawEngine, LabImageBackToBackAndWithGaps) {
  std::vector<Bytes> pics = labPictures();
  ASSERT_GE(pics.size(), 8u);
  test::TempDir dir;
  // First half back to back (each picture starts at the sector after the
  // previous one ends), second half with gaps of filler between them.
  std::vector<std::pair<uint64_t, Bytes>> layout;
  std::vector<uint64_t> starts;
  uint64_t sector = 8;
  for (size_t i = 0; i < pics.size(); ++i) {
    starts.push_back(sector);
    layout.push_back({sector, pics[i]});
    sector += (pics[i].size() + 511) / 512;
    if (i >= pics.size() / 2) sector += 37 + 11 * i;
  }
  const uint64_t total = sector + 64;
  fs::path img = makeImage(dir, total, layout);
  std::string error;
  int drive = DeviceTable::instance().attachImage(img.string(), &error);
  ASSERT_GE(drive, 0) << error;

  for (bool trim : {false, true}) {
    RecoveryContext ctx;
    ASSERT_TRUE(selectWholeDisk(ctx, drive, &error)) << error;
    EXPECT_EQ(ctx.options.endSector, total);
    ctx.rawTypes = std::make_shared<RawTypeList>();
    ASSERT_TRUE(loadRawTypes(sourceDir() / "data" / "rp.dat", *ctx.rawTypes, &error)) << error;
    ctx.rawTypes->trimToFormatEnd = trim;
    std::unique_ptr<ScanEngine> engine = createEngine(ctx.partition.fs(), ScanMode::Raw);
    ASSERT_NE(engine, nullptr);
    ResultTree tree;
    RunningFlag running{true};
    ScanResult r = engine->scan(ScanMode::Raw, ctx, tree, running);
    ASSERT_EQ(r.error, 0) << r.message;
    EXPECT_EQ(tree.root().name, "RAW - Logical Disk (*:)");
    ASSERT_EQ(tree.itemCount(), pics.size());
    std::vector<std::string> folders;
    for (const auto& c : tree.root().children) folders.push_back(c->name);
    EXPECT_EQ(folders, (std::vector<std::string>{"JPEG Picture", "Windows Bitmap Picture", "GIF Picture"}));
    for (size_t i = 0; i < pics.size(); ++i) {
      const FoundItem& item = tree.item(i);
      SCOPED_TRACE("picture " + std::to_string(i) + (trim ? " trimmed" : " cut"));
      const RawFoundFile& f = static_cast<RawEngine&>(*engine).scanner().files()[item.engineIndex];
      EXPECT_EQ(f.startSector, starts[i]);
      EXPECT_EQ(item.name, "File" + std::to_string(i) + (i + 2 < pics.size() ? ".jpg" : i + 2 == pics.size() ? ".bmp" : ".gif"));
      uint64_t cut = ((i + 1 < pics.size()) ? starts[i + 1] : total) * 512 - starts[i] * 512;
      EXPECT_EQ(f.cutSize, cut);
      EXPECT_EQ(item.size, trim ? pics[i].size() : cut);
      VectorSink sink;
      ASSERT_EQ(engine->writeItem(item, sink, running), WriteStatus::Ok);
      ASSERT_EQ(sink.bytes.size(), item.size);
      if (trim) {
        fs::path out = dir / item.name;
        test::writeFile(out, sink.bytes);
        fs::path original = dir / ("original-" + item.name);
        test::writeFile(original, pics[i]);
        EXPECT_EQ(test::sha256Of(out), test::sha256Of(original));
      }
    }
  }
  // Extensions chosen for the scan narrow the selection; an unknown one is reported.
  for (auto [types, expected] : {std::pair<std::vector<std::string>, size_t>{{"gif", "bmp"}, 2}, {{"xyz"}, 0}}) {
    RecoveryContext ctx;
    ASSERT_TRUE(selectWholeDisk(ctx, drive, &error));
    ctx.rawTypes = std::make_shared<RawTypeList>();
    ASSERT_TRUE(loadRawTypes(sourceDir() / "data" / "rp.xml", *ctx.rawTypes, &error));
    ctx.options.rawTypes = types;
    RawEngine engine;
    ResultTree tree;
    RunningFlag running{true};
    ScanResult r = engine.scan(ScanMode::Raw, ctx, tree, running);
    EXPECT_EQ(tree.itemCount(), expected);
    if (expected == 0) {
      EXPECT_NE(r.message.find("xyz"), std::string::npos) << r.message;
    }
  }
}

// Scans a whole image with the shipped types; the found files in order.
std::vector<RawFoundFile> scanWhole(const fs::path& img, RawEngine& engine) {
  std::string error;
  const int drive = DeviceTable::instance().attachImage(img.string(), &error);
  EXPECT_GE(drive, 0) << error;
  RecoveryContext ctx;
  EXPECT_TRUE(selectWholeDisk(ctx, drive, &error)) << error;
  ctx.rawTypes = std::make_shared<RawTypeList>();
  EXPECT_TRUE(loadRawTypes(sourceDir() / "data" / "rp.dat", *ctx.rawTypes, &error)) << error;
  ResultTree tree;
  RunningFlag running{true};
  EXPECT_EQ(engine.scan(ScanMode::Raw, ctx, tree, running).error, 0);
  return engine.scanner().files();
}

// Camera pictures carry a small JPEG (the EXIF thumbnail) inside their
// header; when it starts on a sector boundary it must not split the photo.
// A picture cut short (its rest overwritten by another picture) keeps the
// cut, and the picture after it is still found.
TEST(RawEngine, HeadersInsideAFileDoNotSplitIt) {
  std::vector<Bytes> pics = labPictures();
  const Bytes& thumb = pics[0];
  const Bytes& body = pics[1];
  ASSERT_LT(thumb.size() + 512, 65000u);
  // SOI, an APP1 segment whose payload holds `thumb` at byte 512 of the
  // file, then the rest of `body` (its own segments up to EOI).
  Bytes camera(512 + thumb.size() + body.size() - 2, 'E');
  camera[0] = 0xFF;
  camera[1] = 0xD8;
  camera[2] = 0xFF;
  camera[3] = 0xE1;
  std::copy(thumb.begin(), thumb.end(), camera.begin() + 512);
  const size_t segment = 512 + thumb.size() - 4;
  camera[4] = uint8_t(segment >> 8);
  camera[5] = uint8_t(segment);
  std::copy(body.begin() + 2, body.end(), camera.begin() + long(512 + thumb.size()));

  const Bytes& next = pics[2];
  Bytes truncated(body.begin(), body.begin() + long(body.size() / 2));
  const uint64_t truncatedAt = 8 + (camera.size() + 511) / 512 + 3;
  const uint64_t nextAt = truncatedAt + (truncated.size() + 511) / 512;
  test::TempDir dir;
  const fs::path img = makeImage(dir, nextAt + 200, {{8, camera}, {truncatedAt, truncated}, {nextAt, next}});
  RawEngine engine;
  std::vector<RawFoundFile> files = scanWhole(img, engine);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].startSector, 8u);
  EXPECT_EQ(files[0].size, camera.size());
  Bytes got;
  ASSERT_EQ(engine.scanner().readFile(0, got, UINT64_MAX), 0);
  EXPECT_EQ(got, camera);
  EXPECT_EQ(files[1].startSector, truncatedAt);
  EXPECT_EQ(files[1].size, (nextAt - truncatedAt) * 512);  // no end of its own: the cut
  EXPECT_EQ(files[2].startSector, nextAt);
  ASSERT_EQ(engine.scanner().readFile(2, got, UINT64_MAX), 0);
  EXPECT_EQ(got, next);
}

// The same with real camera pictures, each followed by one of ours.
TEST(RawEngine, CameraPicturesFromTheCorpusComeBackWhole) {
  if (test::corpusDir().empty()) GTEST_SKIP() << "the corpus is not here";
  std::vector<std::pair<uint64_t, Bytes>> layout;
  std::vector<Bytes> expected;
  uint64_t sector = 4;
  for (const char* name : {"jpeg/canon-ixus.jpg", "jpeg/Canon_40D.jpg", "jpeg/fujifilm-dx10.jpg"}) {
    const fs::path p = test::corpusDir() / name;
    if (!fs::exists(p)) continue;
    for (const Bytes& b : {test::readFile(p), labPictures()[0]}) {
      layout.push_back({sector, b});
      expected.push_back(b);
      sector += (b.size() + 511) / 512;
    }
  }
  test::TempDir dir;
  RawEngine engine;
  std::vector<RawFoundFile> files = scanWhole(makeImage(dir, sector + 16, layout), engine);
  ASSERT_EQ(files.size(), expected.size());
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(files[i].startSector, layout[i].first);
    Bytes got;
    ASSERT_EQ(engine.scanner().readFile(i, got, UINT64_MAX), 0);
    EXPECT_EQ(got, expected[i]);
  }
}

// The raw list's Modified column shows a carved picture's date taken, and
// sorting by it orders by that date (pictures without one last, newest first).
TEST(RawEngine, SortingByModifiedFollowsTheDateTaken) {
  if (test::corpusDir().empty()) GTEST_SKIP() << "the corpus is not here";
#ifndef BRENIX_HAVE_EXIF
  GTEST_SKIP() << "this build reads no EXIF dates";
#endif
  // Taken 1999, none (ours), 2008 and 2001: neither in found order nor reversed.
  std::vector<Bytes> pics;
  for (const char* name : {"jpeg/kodak-dc240.jpg", "", "jpeg/Canon_40D.jpg", "jpeg/canon-ixus.jpg"}) {
    if (*name && !fs::exists(test::corpusDir() / name)) GTEST_SKIP() << name << " is not in the corpus";
    pics.push_back(*name ? test::readFile(test::corpusDir() / name) : labPictures()[0]);
  }
  std::vector<std::pair<uint64_t, Bytes>> layout;
  uint64_t sector = 4;
  for (const Bytes& b : pics) {
    layout.push_back({sector, b});
    sector += (b.size() + 511) / 512 + 2;
  }
  test::TempDir dir;
  std::string error;
  const int drive = DeviceTable::instance().attachImage(makeImage(dir, sector + 16, layout).string(), &error);
  ASSERT_GE(drive, 0) << error;
  RecoveryContext ctx;
  ASSERT_TRUE(selectWholeDisk(ctx, drive, &error)) << error;
  ctx.rawTypes = std::make_shared<RawTypeList>();
  ASSERT_TRUE(loadRawTypes(sourceDir() / "data" / "rp.dat", *ctx.rawTypes, &error)) << error;
  RawEngine engine;
  ResultTree tree;
  RunningFlag running{true};
  ASSERT_EQ(engine.scan(ScanMode::Raw, ctx, tree, running).error, 0);
  ASSERT_EQ(tree.itemCount(), 4u);
  std::vector<size_t> rows = {0, 1, 2, 3};
  const auto dates = [&] {
    std::vector<std::string> out;
    for (size_t r : rows) {
      const PhotoInfo* p = engine.photo(size_t(tree.item(r).engineIndex));
      out.push_back(p ? p->dateTaken : "?");
    }
    return out;
  };
  ResultsModel::sortRows(EngineKind::Raw, tree, ListColumn::Modified, true, rows);
  EXPECT_EQ(dates(), (std::vector<std::string>{"2008-05-30 15:56:01", "2001-06-09 15:17:32", "1999-05-25 21:00:09", ""}));
  ResultsModel::sortRows(EngineKind::Raw, tree, ListColumn::Modified, false, rows);
  EXPECT_EQ(dates(), (std::vector<std::string>{"", "1999-05-25 21:00:09", "2001-06-09 15:17:32", "2008-05-30 15:56:01"}));
}

TEST(RawEngine, NoDatabaseIsReportedWithWhereItLooked) {
  test::TempDir dir;
  fs::path img = makeImage(dir, 16, {{2, kJpegHeader}});
  std::string error;
  int drive = DeviceTable::instance().attachImage(img.string(), &error);
  ASSERT_GE(drive, 0) << error;
  RecoveryContext ctx;
  ASSERT_TRUE(selectWholeDisk(ctx, drive, &error));
  auto previous = fs::current_path();
  fs::current_path(dir.path());
  RawEngine engine;
  ResultTree tree;
  RunningFlag running{true};
  ScanResult r = engine.scan(ScanMode::Raw, ctx, tree, running);
  fs::current_path(previous);
  if (ctx.rawTypes && !ctx.rawTypes->empty()) GTEST_SKIP() << "an installed rp.dat was found";
  EXPECT_EQ(r.error, -1);
  EXPECT_NE(r.message.find((dir / "rp.dat").string()), std::string::npos) << r.message;
  EXPECT_EQ(tree.itemCount(), 0u);
  EXPECT_EQ(tree.root().name, "RAW - Logical Disk (*:)");
}

}  // namespace
}  // namespace brenix

namespace brenix {
namespace {

// The pictures preset on the shipped database: the camera formats are among
// the types looked for, and types picked in the options dialog stay as picked.
TEST(RawEngine, PicturesPresetTakesCameraFormatsAndNeverOverridesPickedTypes) {
  RawEngine engine;
  RecoveryContext ctx;
  ctx.partition.diskNumber = -1;  // no drive: the scan stops after choosing its types
  ctx.preset = FilePreset::Pictures;
  ctx.rawTypes = std::make_shared<RawTypeList>();
  std::string error;
  ASSERT_TRUE(loadRawTypes(sourceDir() / "data" / "rp.dat", *ctx.rawTypes, &error)) << error;
  ResultTree tree;
  RunningFlag running{true};
  engine.scan(ScanMode::Raw, ctx, tree, running);
  std::set<std::string> selected;
  for (const auto& t : ctx.rawTypes->types)
    if (t->selected) selected.insert(toLower(t->ext()));
  for (const char* e : {"jpg", "png", "cr2", "cr3", "nef", "raf", "orf", "rw2", "heic", "avif", "webp", "jxl"})
    EXPECT_TRUE(selected.count(e)) << e;
  EXPECT_FALSE(selected.count("zip"));

  // The user picks ZIP alone in the dialog: the preset leaves that choice alone.
  for (auto& t : ctx.rawTypes->types) t->selected = toLower(t->ext()) == "zip" ? 1 : 0;
  ctx.options.rawTypesPicked = true;
  engine.scan(ScanMode::Raw, ctx, tree, running);
  selected.clear();
  for (const auto& t : ctx.rawTypes->types)
    if (t->selected) selected.insert(toLower(t->ext()));
  EXPECT_EQ(selected, std::set<std::string>{"zip"});
}

}  // namespace
}  // namespace brenix
