// Carving real files made by real tools (ffmpeg, ImageMagick, exiftool,
// sqlite3) out of images where they lie between other files, behind stale
// headers, cut short or with appended images: each comes back byte for
// byte, none is split and none swallows the next.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

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
};

Carved carve(const test::TempDir& dir, const Bytes& img, uint64_t maxKb = 0) {
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
  RunningFlag running{true};
  EXPECT_EQ(scanner.scan(nullptr, running), 0);
  Carved c;
  c.files = scanner.files();
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
                                    "bmp", "mov", "mkv",  "exif", "sqlite"};
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
  for (size_t i = 0; i < files.size(); ++i) ASSERT_GT(files[i].size(), 1000u) << names[i];

  for (uint64_t gap : {uint64_t(0), uint64_t(5)}) {
    SCOPED_TRACE(gap ? "with gaps" : "back to back");
    Bytes img;
    std::vector<Laid> laid = layOut(img, files, gap);
    expectWhole(carve(dir, img), laid, names);
  }
}

}  // namespace
}  // namespace brenix
