// Carving real files made by real tools (ffmpeg, ImageMagick, exiftool,
// sqlite3) out of images where they lie between other files, behind stale
// headers, cut short or with appended images: each comes back byte for
// byte, none is split and none swallows the next.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <tuple>

#include "raw/raw_scanner.h"
#include "raw/raw_types.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

fs::path sourceDir() {
  const char* s = std::getenv("BRENIX_SOURCE_DIR");
  return s ? fs::path(s) : fs::path(BRENIX_TEST_SOURCE_DIR);
}

// Runs a tool that writes `out` in dir; the bytes it wrote.
Bytes made(const test::TempDir& dir, std::vector<std::string> argv, const std::string& out) {
  argv.push_back((dir / out).string());
  test::ToolResult r = test::runTool(argv);
  EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.output;
  return fs::exists(dir / out) ? test::readFile(dir / out) : Bytes{};
}

std::vector<std::string> ffmpeg(std::initializer_list<std::string> args) {
  std::vector<std::string> v = {"ffmpeg", "-y", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=10",
                                "-t", "4"};
  v.insert(v.end(), args);
  return v;
}

Bytes noisyJpeg(const test::TempDir& dir, const std::string& name, const std::string& size, int seed) {
  return made(dir, {"convert", "-seed", std::to_string(seed), "-size", size, "plasma:fractal", "-attenuate", "0.3",
                    "+noise", "Gaussian", "-quality", "90"},
              name);
}

// Filler that holds no signature: random bytes, each sector opening with a space.
void fill(Bytes& img, uint64_t from, uint64_t to, uint32_t seed) {
  std::mt19937 rng(seed);
  for (uint64_t i = from; i < to; ++i) img[i] = uint8_t(rng());
  for (uint64_t s = (from + 511) / 512 * 512; s < to; s += 512) img[s] = 0x20;
}

void append(Bytes& to, const uint8_t* p, size_t n) {
  const size_t at = to.size();
  to.resize(at + n);
  std::memcpy(to.data() + at, p, n);
}

struct Laid {
  uint64_t sector;
  Bytes bytes;
};

// Lays the files out one after the other, `gap` sectors of filler between
// them; returns where each went.
std::vector<Laid> layOut(Bytes& img, const std::vector<Bytes>& files, uint64_t gap) {
  std::vector<Laid> laid;
  uint64_t sector = 4;
  for (const Bytes& f : files) {
    laid.push_back({sector, f});
    sector += (f.size() + 511) / 512 + gap;
  }
  img.assign((sector + 8) * 512, 0);
  fill(img, 0, img.size(), 7);
  for (const Laid& l : laid) {
    std::copy(l.bytes.begin(), l.bytes.end(), img.begin() + long(l.sector * 512));
    fill(img, l.sector * 512 + l.bytes.size(), (l.sector * 512 + l.bytes.size() + 511) / 512 * 512, 9);
  }
  return laid;
}

struct Carved {
  std::vector<RawFoundFile> files;
  std::vector<Bytes> bytes;
  uint64_t walkDeviceReads = 0;
};

Carved carve(const test::TempDir& dir, const Bytes& img, uint64_t maxKb = 0, bool trim = true) {
  fs::path p = dir / "carve.img";
  test::writeFile(p, img);
  auto types = std::make_shared<RawTypeList>();
  std::string error;
  EXPECT_TRUE(loadRawTypes(sourceDir() / "data" / "rp.dat", *types, &error)) << error;
  RawScanner scanner;
  EXPECT_TRUE(scanner.openPath(p.string()));
  scanner.setRange(0, img.size() / 512);
  scanner.setTypes(types);
  scanner.setMaxSizeKb(maxKb);
  scanner.setTrimming(trim);
  RunningFlag running{true};
  EXPECT_EQ(scanner.scan(nullptr, running), 0);
  Carved c;
  c.files = scanner.files();
  c.walkDeviceReads = scanner.walkDeviceReads();
  for (size_t i = 0; i < c.files.size(); ++i) {
    Bytes b;
    EXPECT_EQ(scanner.readFile(i, b, UINT64_MAX), 0);
    c.bytes.push_back(std::move(b));
  }
  return c;
}

// Every laid file is found once, at its sector, byte for byte.
void expectWhole(const Carved& c, const std::vector<Laid>& laid, const std::vector<std::string>& names) {
  ASSERT_EQ(c.files.size(), laid.size());
  for (size_t i = 0; i < laid.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(c.files[i].startSector, laid[i].sector);
    EXPECT_EQ(c.files[i].size, laid[i].bytes.size());
    EXPECT_TRUE(c.bytes[i] == laid[i].bytes);
  }
}

TEST(RawCarve, RealFilesBetweenOthersComeBackWhole) {
  for (const char* tool : {"ffmpeg", "convert", "exiftool", "sqlite3"}) BRENIX_REQUIRE_TOOL(tool);
  test::TempDir dir;
  std::vector<std::string> names = {"ts",  "jpg", "m2ts", "png", "vob", "tif", "mp4",
                                    "bmp", "mov", "mkv",  "exif", "sqlite", "ico", "jp2",
                                    "mng", "tif (big-endian)", "aiff"};
  std::vector<Bytes> files;
  files.push_back(made(dir, ffmpeg({"-c:v", "mpeg2video", "-f", "mpegts"}), "a.ts"));
  files.push_back(noisyJpeg(dir, "b.jpg", "300x200", 1));
  files.push_back(made(dir, ffmpeg({"-c:v", "mpeg2video", "-f", "mpegts", "-mpegts_m2ts_mode", "1"}), "c.m2ts"));
  files.push_back(made(dir, {"convert", "-seed", "2", "-size", "120x90", "plasma:fractal"}, "d.png"));
  files.push_back(made(dir, ffmpeg({"-c:v", "mpeg2video", "-f", "vob"}), "e.vob"));
  files.push_back(made(dir, {"convert", "-size", "90x70", "gradient:green-yellow", "-compress", "none"}, "f.tif"));
  files.push_back(made(dir, ffmpeg({"-c:v", "mpeg4"}), "g.mp4"));
  files.push_back(made(dir, {"convert", "-size", "64x48", "gradient:white-black"}, "h.bmp"));
  files.push_back(made(dir, ffmpeg({"-c:v", "mpeg4"}), "i.mov"));
  files.push_back(made(dir, ffmpeg({"-c:v", "mpeg4"}), "j.mkv"));
  // A camera-like picture: EXIF with a thumbnail (a JPEG inside the JPEG).
  Bytes thumb = noisyJpeg(dir, "thumb.jpg", "160x120", 3);
  Bytes photo = noisyJpeg(dir, "k.jpg", "640x480", 4);
  test::ToolResult ex = test::runTool({"exiftool", "-q", "-overwrite_original", "-Make=Brenix", "-Model=Lab",
                                       "-ThumbnailImage<=" + (dir / "thumb.jpg").string(), (dir / "k.jpg").string()});
  ASSERT_EQ(ex.status, 0) << ex.output;
  files.push_back(test::readFile(dir / "k.jpg"));
  test::ToolResult db = test::runTool(
      {"sqlite3", (dir / "l.sqlite").string(),
       "create table t(a, b); with recursive n(i) as (select 1 union all select i + 1 from n where i < 2000) "
       "insert into t select i, hex(randomblob(40)) from n;"});
  ASSERT_EQ(db.status, 0) << db.output;
  files.push_back(test::readFile(dir / "l.sqlite"));
  files.push_back(made(dir, {"convert", "-seed", "4", "-size", "48x48", "plasma:fractal"}, "m.ico"));
  files.push_back(made(dir, {"convert", "-seed", "5", "-size", "64x64", "plasma:fractal"}, "n.jp2"));
  files.push_back(made(dir, {"convert", "-seed", "6", "-size", "64x64", "plasma:fractal"}, "o.mng"));
  files.push_back(
      made(dir, {"convert", "-seed", "7", "-size", "80x60", "plasma:fractal", "-endian", "MSB", "-compress", "none"},
           "p.tif"));
  files.push_back(made(dir, {"ffmpeg", "-y", "-v", "error", "-f", "lavfi", "-i", "sine=d=1"}, "q.aiff"));
  for (size_t i = 0; i < files.size(); ++i) ASSERT_GT(files[i].size(), 1000u) << names[i];

  for (uint64_t gap : {uint64_t(0), uint64_t(5)}) {
    SCOPED_TRACE(gap ? "with gaps" : "back to back");
    Bytes img;
    std::vector<Laid> laid = layOut(img, files, gap);
    Carved c = carve(dir, img);
    expectWhole(c, laid, names);
    // The walks read what lies in the scan's chunks from memory: at most a
    // read or two per file, never one per segment or packet.
    EXPECT_LE(c.walkDeviceReads, 2 * laid.size());
  }
  // Without trimming the streams are not shattered either: each is one file
  // up to the next file's header.
  std::vector<Bytes> streams = {files[0], files[1], files[2], files[3], files[4], files[5]};
  Bytes img;
  std::vector<Laid> laid = layOut(img, streams, 2);
  Carved c = carve(dir, img, 0, false);
  ASSERT_EQ(c.files.size(), laid.size());
  for (size_t i = 0; i < laid.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(c.files[i].startSector, laid[i].sector);
    EXPECT_EQ(c.files[i].size, ((i + 1 < laid.size() ? laid[i + 1].sector : img.size() / 512) - laid[i].sector) * 512);
  }
}

// exiftool writes its odd-length strings last and pads the file to a word
// boundary: the pad byte is the file's own, and a carved TIFF keeps it.
TEST(RawCarve, TiffKeepsItsTrailingPadByte) {
  for (const char* tool : {"convert", "exiftool"}) BRENIX_REQUIRE_TOOL(tool);
  test::TempDir dir;
  made(dir, {"convert", "-size", "33x17", "gradient:red-blue", "-depth", "8"}, "pad.tif");
  test::ToolResult ex = test::runTool({"exiftool", "-q", "-overwrite_original", "-Artist=abcd",
                                       "-ImageDescription=hello", (dir / "pad.tif").string()});
  ASSERT_EQ(ex.status, 0) << ex.output;
  const Bytes tif = test::readFile(dir / "pad.tif");
  ASSERT_TRUE(tif.size() % 2 == 0 && tif.back() == 0) << tif.size();
  Bytes img;
  std::vector<Laid> laid = layOut(img, {tif}, 1);
  expectWhole(carve(dir, img), laid, {"tif"});
}

// A Panasonic RW2 as the cameras lay it out ("IIU\0", first directory at
// 0x18 after the maker's header bytes; no tool writes one): found by its own
// signature and cut where its sensor data ends, between two TIFFs.
TEST(RawCarve, PanasonicRw2ComesBackWhole) {
  BRENIX_REQUIRE_TOOL("convert");
  test::TempDir dir;
  const Bytes tif = made(dir, {"convert", "-size", "40x30", "gradient:", "-compress", "none"}, "a.tif");
  Bytes rw2 = {'I', 'I', 'U', 0, 0x18, 0, 0, 0};
  rw2.resize(0x18, 0);
  auto put = [&rw2](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) rw2.push_back(uint8_t(v >> (8 * i)));
  };
  const uint32_t dataAt = 0x18 + 2 + 12 * 4 + 4, dataBytes = 120 * 80 * 2;
  put(4, 2);
  for (auto [tag, type, value] : {std::tuple{2u, 3u, 120u}, {3u, 3u, 80u}, {0x111u, 4u, dataAt}, {0x117u, 4u, dataBytes}}) {
    put(tag, 2), put(type, 2), put(1, 4), put(value, 4);
  }
  put(0, 4);
  std::mt19937 rng(3);
  for (uint32_t i = 0; i < dataBytes; ++i) rw2.push_back(uint8_t(rng()));
  Bytes img;
  std::vector<Laid> laid = layOut(img, {tif, rw2, tif}, 2);
  Carved c = carve(dir, img);
  expectWhole(c, laid, {"tif", "rw2", "tif"});
  ASSERT_EQ(c.files.size(), 3u);
  EXPECT_EQ(c.files[1].name.substr(c.files[1].name.size() - 4), ".rw2");
}

// An old file whose header survived while a newer picture was written over
// its middle: the old header's sizes are stale. The picture is found whole
// and the old file is cut where it begins.
TEST(RawCarve, StaleSizeFieldsHideNoLaterFile) {
  for (const char* tool : {"ffmpeg", "convert"}) BRENIX_REQUIRE_TOOL(tool);
  test::TempDir dir;
  Bytes picture = noisyJpeg(dir, "new.jpg", "200x150", 5);
  std::vector<std::pair<std::string, Bytes>> stale;
  stale.push_back({"bmp", made(dir, {"convert", "-size", "1200x900", "xc:gray"}, "old.bmp")});
  stale.push_back({"tif", made(dir, {"convert", "-size", "1200x900", "xc:gray", "-compress", "none"}, "old.tif")});
  stale.push_back({"wav", made(dir, {"ffmpeg", "-y", "-v", "error", "-f", "lavfi", "-i", "sine=d=30"}, "old.wav")});
  // A movie whose index after the media (moov) was overwritten: only ftyp
  // and the mdat size remain.
  Bytes mp4 = made(dir, {"ffmpeg", "-y", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=25", "-t", "4",
                         "-vf", "noise=alls=80:allf=t+u", "-c:v", "mpeg4", "-q:v", "2"},
                   "old.mp4");
  stale.push_back({"mp4", mp4});
  for (auto& [name, old] : stale) {
    SCOPED_TRACE(name);
    ASSERT_GT(old.size(), 2'000'000u);
    Bytes img;
    std::vector<Laid> laid = layOut(img, {old}, 0);
    fill(img, laid[0].sector * 512 + old.size() - 600'000, img.size(), 11);  // the old file's tail is gone
    const uint64_t pictureAt = laid[0].sector + 1024 * 1024 / 512;
    std::copy(picture.begin(), picture.end(), img.begin() + long(pictureAt * 512));
    Carved c = carve(dir, img);
    ASSERT_EQ(c.files.size(), 2u);
    EXPECT_EQ(c.files[0].startSector, laid[0].sector);
    EXPECT_EQ(c.files[0].size, (pictureAt - laid[0].sector) * 512);
    EXPECT_EQ(c.files[1].startSector, pictureAt);
    EXPECT_TRUE(c.bytes[1] == picture);
  }
}

// Pictures cut short end at their last valid entropy-coded data, not at the
// maximal size; a movie with a damaged second box keeps its cut.
TEST(RawCarve, TruncatedFilesEndAtTheirLastValidData) {
  for (const char* tool : {"ffmpeg", "convert"}) BRENIX_REQUIRE_TOOL(tool);
  test::TempDir dir;
  Bytes picture = noisyJpeg(dir, "p.jpg", "400x300", 6);
  ASSERT_GT(picture.size(), 40'000u);
  const size_t keep = 40 * 512;
  const Bytes truncated(picture.begin(), picture.begin() + long(keep));
  for (bool zeros : {true, false}) {
    SCOPED_TRACE(zeros ? "followed by empty sectors" : "followed by garbage");
    Bytes img;
    std::vector<Laid> laid = layOut(img, {truncated}, 0);
    img.resize(img.size() + 6'000'000);
    if (zeros)
      std::fill(img.begin() + long(laid[0].sector * 512 + keep), img.end(), 0);
    else
      fill(img, laid[0].sector * 512 + keep, img.size(), 12);
    Carved c = carve(dir, img);
    ASSERT_EQ(c.files.size(), 1u);
    EXPECT_GE(c.files[0].size, keep - 64);
    EXPECT_LE(c.files[0].size, keep + 4096);
    const size_t common = std::min<size_t>(keep, c.bytes[0].size());
    EXPECT_TRUE(std::equal(c.bytes[0].begin(), c.bytes[0].begin() + long(common), truncated.begin()));
  }
  Bytes mp4 = made(dir, ffmpeg({"-c:v", "mpeg4"}), "m.mp4");
  const uint32_t ftyp = uint32_t(mp4[0]) << 24 | mp4[1] << 16 | mp4[2] << 8 | mp4[3];
  ASSERT_LT(ftyp + 8, mp4.size());
  std::fill(mp4.begin() + ftyp, mp4.begin() + ftyp + 8, 0xEE);
  Bytes img;
  std::vector<Laid> laid = layOut(img, {mp4, picture}, 3);
  Carved c = carve(dir, img);
  ASSERT_EQ(c.files.size(), 2u);
  EXPECT_EQ(c.files[0].size, c.files[0].cutSize);
  EXPECT_EQ(c.files[0].cutSize, (laid[1].sector - laid[0].sector) * 512);
  EXPECT_TRUE(c.bytes[1] == picture);
}

// A JPEG with an image appended behind its EOI and named by the MPF index
// in its APP2 segment (as phones and cameras write them) keeps the appended
// image, even when its SOI starts a sector.
TEST(RawCarve, MpfAppendedImagesStayWithTheirPicture) {
  BRENIX_REQUIRE_TOOL("convert");
  test::TempDir dir;
  Bytes first = noisyJpeg(dir, "a.jpg", "320x240", 7);
  Bytes second = noisyJpeg(dir, "b.jpg", "160x120", 8);
  // APP2 "MPF\0" with a big-endian MP index of two entries, right after SOI.
  Bytes app2 = {0xFF, 0xE2, 0, 0, 'M', 'P', 'F', 0, 'M', 'M', 0, 42, 0, 0, 0, 8,
                0, 1,  // one IFD entry: MPEntry, UNDEFINED, 32 bytes at 26
                0xB0, 0x02, 0, 7, 0, 0, 0, 32, 0, 0, 0, 26, 0, 0, 0, 0};
  app2.resize(app2.size() + 32, 0);
  const size_t tiffAt = 8;  // within app2
  app2[2] = uint8_t((app2.size() - 2) >> 8);
  app2[3] = uint8_t(app2.size() - 2);
  Bytes combined = {0xFF, 0xD8};
  append(combined, app2.data(), app2.size());
  // A comment segment pads the first image so the second starts a sector.
  size_t rest = first.size() - 2;
  size_t pad = (512 - (combined.size() + 4 + rest) % 512) % 512;
  Bytes com = {0xFF, 0xFE, uint8_t((pad + 2) >> 8), uint8_t(pad + 2)};
  com.resize(4 + pad, 'c');
  append(combined, com.data(), com.size());
  append(combined, first.data() + 2, first.size() - 2);
  ASSERT_EQ(combined.size() % 512, 0u);
  const size_t appendedAt = combined.size();
  append(combined, second.data(), second.size());
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) combined[at + i] = uint8_t(v >> (24 - 8 * i));
  };
  const size_t entries = 2 + tiffAt + 26;
  put32(entries + 4, uint32_t(appendedAt));  // first image: size, offset 0
  put32(entries + 16 + 4, uint32_t(second.size()));
  put32(entries + 16 + 8, uint32_t(appendedAt - (2 + tiffAt)));
  Bytes img;
  Bytes next = noisyJpeg(dir, "c.jpg", "100x80", 9);
  std::vector<Laid> laid = layOut(img, {combined, next}, 0);
  expectWhole(carve(dir, img), laid, {"mpf", "next"});
}

// Mail stores end at the file size their header records; a picture stored
// inside them on a sector boundary does not split them.
TEST(RawCarve, MailStoresEndAtTheirHeaderSize) {
  BRENIX_REQUIRE_TOOL("convert");
  test::TempDir dir;
  Bytes gif = made(dir, {"convert", "-seed", "3", "-size", "64x64", "plasma:fractal"}, "g.gif");
  Bytes picture = noisyJpeg(dir, "p.jpg", "120x90", 10);
  auto le32at = [](Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
  };
  // Unicode PST: header, allocation map pages every 253952 bytes from 0x4400.
  Bytes pst(600'000, 0);
  fill(pst, 0, pst.size(), 13);
  std::memcpy(pst.data(), "!BDN", 4);
  std::memcpy(pst.data() + 8, "SM", 2);
  pst[10] = 23;
  pst[11] = 0;
  le32at(pst, 184, uint32_t(pst.size()));
  le32at(pst, 188, 0);
  for (size_t page = 0x4400; page + 512 <= pst.size(); page += 253952) pst[page + 496] = pst[page + 497] = 0x84;
  std::copy(gif.begin(), gif.end(), pst.begin() + 100 * 512);
  // DBX: file size at 0x7C, tree root at 0xE4 naming its own offset.
  Bytes dbx(300'000, 0);
  fill(dbx, 0, dbx.size(), 14);
  const uint8_t dbxMagic[] = {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F};
  std::memcpy(dbx.data(), dbxMagic, 8);
  le32at(dbx, 0x7C, uint32_t(dbx.size()));
  le32at(dbx, 0xE4, 0x8000);
  le32at(dbx, 0x8000, 0x8000);
  std::copy(gif.begin(), gif.end(), dbx.begin() + 200 * 512);
  Bytes img;
  std::vector<Laid> laid = layOut(img, {pst, picture, dbx, picture}, 2);
  expectWhole(carve(dir, img), laid, {"pst", "jpg", "dbx", "jpg"});

  // Headers whose sizes lie past the range: no structure is trusted, and
  // nothing is longer than the maximal size or runs past the range.
  le32at(pst, 184, 0xFFFFFFFFu);
  le32at(pst, 188, 0xFFFFFFFFu);
  le32at(dbx, 0x7C, 0xFFFFFFFFu);
  laid = layOut(img, {pst, dbx}, 0);
  Carved c = carve(dir, img, 256);
  ASSERT_GE(c.files.size(), 2u);
  EXPECT_EQ(c.files[0].startSector, laid[0].sector);
  EXPECT_EQ(c.files[0].size, c.files[0].cutSize);
  for (const RawFoundFile& f : c.files) {
    EXPECT_LE(f.size, 256u * 1024);
    EXPECT_LE(f.startSector * 512 + f.size, img.size());
  }
}

}  // namespace
}  // namespace brenix
