// Carved photos through the brenix program: dates, cameras and pixel sizes
// from their EXIF (checked against exiftool's answers), names and date
// folders from them, broken pictures kept apart, small pictures and repeated
// contents left out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <nlohmann/json.hpp>

#include "photo/photo_naming.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;

// The "Key : value" lines of an exiftool answer file.
std::map<std::string, std::string> readAnswers(const fs::path& p) {
  std::map<std::string, std::string> out;
  std::ifstream in(p);
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon), value = line.substr(colon + 1);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    out[key] = value;
  }
  return out;
}

// A minimal TIFF-structured raw as the formats' headers have it: one
// uncompressed grey strip, IFD0 at the header's offset (CR2: four IFDs, the
// raw one named in the header; RW2: the sensor size tags). exiftool then
// writes the camera and date into it as it does into a camera's files.
std::vector<uint8_t> tiffRaw(const std::string& kind, uint16_t w, uint16_t h) {
  const bool big = kind == "nef";
  std::vector<uint8_t> out;
  if (kind == "cr2") out = {'I', 'I', 42, 0, 16, 0, 0, 0, 'C', 'R', 2, 0, 0, 0, 0, 0};
  else if (kind == "orf") out = {'I', 'I', 'R', 'O', 8, 0, 0, 0};
  else if (kind == "rw2") out = {'I', 'I', 'U', 0, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  else if (big) out = {'M', 'M', 0, 42, 0, 0, 0, 8};
  else out = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto put = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * (big ? bytes - 1 - i : i))));
  };
  struct Tag { uint16_t tag, type; uint32_t value; };
  std::vector<Tag> tags;
  if (kind == "rw2") tags = {{2, 3, w}, {3, 3, h}, {4, 3, 0}, {5, 3, 0}, {6, 3, h}, {7, 3, w}};
  for (Tag t : {Tag{256, 3, w}, {257, 3, h}, {258, 3, 8}, {259, 3, 1}, {262, 3, 1}, {273, 4, 0}, {277, 3, 1},
                {278, 3, h}, {279, 4, uint32_t(w) * h}})
    tags.push_back(t);
  const int ifds = kind == "cr2" ? 4 : 1;
  const uint32_t header = uint32_t(out.size()), ifdSize = 2 + 12 * uint32_t(tags.size()) + 4;
  const uint32_t strip = header + ifds * ifdSize;
  for (int i = 0; i < ifds; ++i) {
    put(uint32_t(tags.size()), 2);
    for (const Tag& t : tags) {
      put(t.tag, 2);
      put(t.type, 2);
      put(1, 4);
      const uint32_t v = t.tag == 273 ? strip : t.value;
      if (t.type == 3) {
        put(v, 2);
        put(0, 2);
      } else {
        put(v, 4);
      }
    }
    put(i + 1 < ifds ? header + (i + 1) * ifdSize : 0, 4);
  }
  if (kind == "cr2")
    for (int i = 0; i < 4; ++i) out[12 + i] = uint8_t((header + 3 * ifdSize) >> (8 * i));
  for (uint32_t i = 0; i < uint32_t(w) * h; ++i) out.push_back(uint8_t(i * 7 % 251));
  return out;
}

// A RAF: its header naming the JPEG preview (which holds the EXIF) and a
// TIFF-structured raw block.
std::vector<uint8_t> rafFile(const std::vector<uint8_t>& preview, const std::vector<uint8_t>& raw) {
  std::string head = "FUJIFILMCCD-RAW 0201FF383501";
  head += std::string("X-T3").append(28, '\0') + "0100" + std::string(20, '\0');
  std::vector<uint8_t> out(head.begin(), head.end());
  const uint32_t jpeg = 160, cfaHeader = jpeg + uint32_t(preview.size()), cfa = cfaHeader + 4;
  for (uint32_t v : {jpeg, uint32_t(preview.size()), cfaHeader, 4u, cfa, uint32_t(raw.size())})
    for (int i = 3; i >= 0; --i) out.push_back(uint8_t(v >> (8 * i)));
  out.resize(jpeg, 0);
  out.insert(out.end(), preview.begin(), preview.end());
  out.insert(out.end(), 4, 0);
  out.insert(out.end(), raw.begin(), raw.end());
  return out;
}

class PhotoRecover : public testing::Test {
 protected:
  void SetUp() override {
    const char* cli = std::getenv("BRENIX_CLI");
    if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
    cli_ = cli;
  }
  // Lays the pictures at 4 KiB boundaries with a 4 KiB gap, sector 8 onwards.
  void layCard(const std::vector<std::vector<uint8_t>>& pictures) {
    std::vector<uint8_t> card(4096);
    for (const auto& p : pictures) {
      card.insert(card.end(), p.begin(), p.end());
      card.resize((card.size() + 4095) / 4096 * 4096 + 4096, 0);
    }
    card.resize(card.size() + (1 << 16), 0);
    image_ = dir_ / "card.img";
    test::writeFile(image_, card);
  }
  test::ToolResult run(std::vector<std::string> args) {
    args.insert(args.begin(), cli_);
    for (const char* a : {"--images-only", "--image"}) args.emplace_back(a);
    args.push_back(image_.string());
    return test::runTool(args);
  }
  std::vector<uint8_t> convert(const std::vector<std::string>& args, const std::string& name) {
    std::vector<std::string> argv{"convert"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back((dir_ / name).string());
    const test::ToolResult r = test::runTool(argv);
    EXPECT_EQ(r.status, 0) << r.output;
    return test::readFile(dir_ / name);
  }
  nlohmann::json scanJson(const std::string& types = "jpg", const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"scan", "--mode", "raw", "--whole-disk", "--types", types, "--json"};
    args.insert(args.end(), more.begin(), more.end());
    test::ToolResult r = run(args);
    EXPECT_EQ(r.status, 0) << r.output;
    nlohmann::json files = nlohmann::json::array();
    nlohmann::json j = nlohmann::json::parse(r.output, nullptr, false);
    if (j.is_discarded()) return files;
    for (const auto& f : j["folders"])
      for (const auto& x : f["files"]) files.push_back(x);
    return files;
  }

  test::TempDir dir_;
  std::string cli_;
  fs::path image_;
};

TEST_F(PhotoRecover, CameraPicturesAreDatedNamedAndSortedFromTheirExif) {
  const fs::path corpus = test::corpusDir() / "jpeg";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus pictures";
  std::vector<fs::path> sources;
  for (const auto& e : fs::directory_iterator(corpus))
    if (e.path().extension() == ".jpg" && fs::exists(e.path().string() + ".exif.txt")) sources.push_back(e.path());
  std::sort(sources.begin(), sources.end());
  ASSERT_GE(sources.size(), 5u);
  std::vector<std::vector<uint8_t>> pictures;
  for (const fs::path& p : sources) pictures.push_back(test::readFile(p));
  layCard(pictures);

  const nlohmann::json files = scanJson();
  ASSERT_EQ(files.size(), sources.size()) << files.dump(1);
  const fs::path out = dir_ / "out";
  test::ToolResult r = run({"recover", "--mode", "raw", "--whole-disk", "--types", "jpg", "--all", "--name-by", "exif",
                            "--sort-by", "date", "--out", out.string()});
  ASSERT_EQ(r.status, 0) << r.output;
  for (size_t i = 0; i < sources.size(); ++i) {
    SCOPED_TRACE(sources[i].filename().string());
    auto answer = readAnswers(sources[i].string() + ".exif.txt");
    const nlohmann::json& f = files[i];
    ASSERT_EQ(f.value("size", 0u), pictures[i].size());
    std::string date = answer["DateTimeOriginal"];
    ASSERT_EQ(date.size(), 19u);
    date[4] = date[7] = '-';
    EXPECT_EQ(f.value("dateTaken", ""), date);
    EXPECT_EQ(f.value("make", ""), answer["Make"]);
    EXPECT_EQ(f.value("model", ""), answer["Model"]);
    EXPECT_EQ(std::to_string(f.value("width", 0)) + "x" + std::to_string(f.value("height", 0)), answer["ImageSize"]);
    EXPECT_EQ(f.value("decode", ""), "whole");
    // YYYY/YYYY-MM-DD/YYYY-MM-DD_HH-MM-SS_<camera>.jpg, byte for byte.
    PhotoInfo info;
    info.make = answer["Make"];
    info.model = answer["Model"];
    const std::string camera = cameraNamePart(info);
    EXPECT_FALSE(camera.empty());
    const std::string name = date.substr(0, 10) + "_" + date.substr(11, 2) + "-" + date.substr(14, 2) + "-" +
                             date.substr(17, 2) + "_" + camera + ".jpg";
    const fs::path written = out / date.substr(0, 4) / date.substr(0, 10) / name;
    EXPECT_EQ(test::readFile(written), pictures[i]) << written;
  }
  EXPECT_FALSE(fs::exists(out / "jpg"));
  EXPECT_TRUE(fs::exists(out / "2008" / "2008-05-30" / "2008-05-30_15-56-01_Canon_EOS_40D.jpg"));
  EXPECT_TRUE(fs::exists(out / "1999" / "1999-05-25" / "1999-05-25_21-00-09_KODAK_DC240_ZOOM_DIGITAL_CAMERA.jpg"));
}

TEST_F(PhotoRecover, BrokenPicturesApartSmallOnesAndRepeatsLeftOut) {
  BRENIX_REQUIRE_TOOL("convert");
  const auto photo = convert({"-size", "640x480", "-seed", "7", "plasma:", "-quality", "90"}, "photo.jpg");
  const auto other = convert({"-size", "800x600", "-seed", "8", "plasma:", "-quality", "90"}, "other.jpg");
  const auto thumb = convert({"-size", "160x120", "-seed", "9", "plasma:"}, "thumb.jpg");
  const auto icon = convert({"-size", "32x32", "-seed", "10", "plasma:"}, "icon.jpg");
  ASSERT_GT(other.size(), 20000u);
  const std::vector<uint8_t> cut(other.begin(), other.begin() + static_cast<long>(other.size() / 2));
  // photo, its copy, the cut picture, the thumbnail, the icon, and a last whole one.
  layCard({photo, photo, cut, thumb, icon, other});

  const nlohmann::json files = scanJson();
  ASSERT_EQ(files.size(), 6u) << files.dump(1);
  EXPECT_EQ(files[2].value("decode", ""), "truncated");
  EXPECT_EQ(files[3].value("width", 0), 160);
  EXPECT_EQ(files[4].value("width", 0), 32);
  // Plain cuts (trimming off) run on to the next header and are checked the same way.
  const nlohmann::json plain = scanJson("jpg", {"--no-trim"});
  ASSERT_EQ(plain.size(), 6u) << plain.dump(1);
  for (size_t i = 0; i < 6; ++i)
    EXPECT_EQ(plain[i].value("decode", ""), i == 2 ? "truncated" : "whole") << plain[i].dump();
  EXPECT_GT(plain[0].value("size", 0u), photo.size());

  const fs::path out = dir_ / "out";
  test::ToolResult r = run({"recover", "--mode", "raw", "--whole-disk", "--types", "jpg", "--all", "--min-pixels",
                            "320x240", "--dedup", "--json", "--out", out.string()});
  ASSERT_EQ(r.status, 0) << r.output;
  const nlohmann::json j = nlohmann::json::parse(r.output.substr(r.output.find('{')), nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << r.output;
  EXPECT_EQ(j["written"], 3);
  EXPECT_EQ(j["photos"]["duplicates"], 1);
  EXPECT_EQ(j["photos"]["fewPixels"], 2);
  EXPECT_EQ(j["photos"]["broken"], 1);
  EXPECT_EQ(test::readFile(out / "jpg" / "File0.jpg"), photo);
  EXPECT_FALSE(fs::exists(out / "jpg" / "File1.jpg"));
  EXPECT_TRUE(fs::exists(out / "broken" / "File2.jpg"));
  EXPECT_FALSE(fs::exists(out / "jpg" / "File2.jpg"));
  EXPECT_FALSE(fs::exists(out / "jpg" / "File3.jpg"));
  EXPECT_FALSE(fs::exists(out / "jpg" / "File4.jpg"));
  EXPECT_EQ(test::readFile(out / "jpg" / "File5.jpg"), other);

  const fs::path out2 = dir_ / "out2";
  r = run({"recover", "--mode", "raw", "--whole-disk", "--types", "jpg", "--all", "--keep-broken", "no", "--out",
           out2.string()});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(fs::exists(out2 / "broken"));
  EXPECT_TRUE(fs::exists(out2 / "jpg" / "File1.jpg"));
  EXPECT_TRUE(fs::exists(out2 / "jpg" / "File4.jpg"));
}

// A picture stored in two pieces with other data between them (the start of
// another picture, random bytes, zeros) comes back whole, byte for byte.
TEST_F(PhotoRecover, TwoPiecePicturesArePutBackTogether) {
  BRENIX_REQUIRE_TOOL("convert");
  const auto big = convert({"-size", "1600x1200", "-seed", "11", "plasma:", "-quality", "95"}, "big.jpg");
  const auto other = convert({"-size", "800x600", "-seed", "12", "plasma:", "-quality", "90"}, "gap.jpg");
  ASSERT_GT(big.size(), 1000000u);
  ASSERT_LT(big.size(), 3000000u);
  std::mt19937 rng(21);
  struct Case { size_t cutUnits, gapUnits; int kind; };
  for (const Case c : {Case{60, 1, 0}, Case{100, 120, 1}, Case{180, 300, 2}}) {
    SCOPED_TRACE(std::to_string(c.cutUnits) + " " + std::to_string(c.gapUnits) + " " + std::to_string(c.kind));
    const size_t cut = c.cutUnits * 4096;
    ASSERT_LT(cut, big.size());
    std::vector<uint8_t> gap(c.gapUnits * 4096, 0);
    for (size_t i = 0; i < gap.size(); ++i) {
      if (c.kind == 0) gap[i] = other[i % other.size()];
      if (c.kind == 1) gap[i] = uint8_t(rng());
    }
    std::vector<uint8_t> card((4096 + big.size() + gap.size() + 4095) / 4096 * 4096 + 65536, 0);
    std::copy(big.begin(), big.begin() + long(cut), card.begin() + 4096);
    std::copy(gap.begin(), gap.end(), card.begin() + 4096 + long(cut));
    std::copy(big.begin() + long(cut), big.end(), card.begin() + 4096 + long(cut + gap.size()));
    image_ = dir_ / "frag.img";
    test::writeFile(image_, card);

    const nlohmann::json files = scanJson();
    ASSERT_FALSE(files.empty());
    EXPECT_TRUE(files[0].value("reassembled", false)) << files[0].dump();
    EXPECT_EQ(files[0].value("decode", ""), "whole");
    const fs::path out = dir_ / ("out" + std::to_string(c.kind));
    test::ToolResult r = run({"recover", "--mode", "raw", "--whole-disk", "--types", "jpg", "--all", "--out", out.string()});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(test::readFile(out / "jpg" / "File0.jpg"), big);

    const fs::path plain = dir_ / ("plain" + std::to_string(c.kind));
    r = run({"recover", "--mode", "raw", "--whole-disk", "--types", "jpg", "--all", "--no-reassemble", "--out",
             plain.string()});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_FALSE(fs::exists(plain / "jpg" / "File0.jpg"));
    EXPECT_TRUE(fs::exists(plain / "broken" / "File0.jpg"));
  }
}

// Raw, TIFF and HEIF pictures: the carver finds them by their own headers and
// their date, camera and pixel size come from their metadata, the same as
// exiftool reads them; --name-by exif names them so, with their own extension.
TEST_F(PhotoRecover, RawPicturesAreDatedAndNamedFromTheirMetadata) {
  BRENIX_REQUIRE_TOOL("convert");
  BRENIX_REQUIRE_TOOL("exiftool");
  auto exiftool = [&](const std::string& file, std::vector<std::string> args) {
    args.insert(args.begin(), {"exiftool", "-q", "-overwrite_original"});
    args.push_back((dir_ / file).string());
    const test::ToolResult r = test::runTool(args);
    EXPECT_EQ(r.status, 0) << file << ": " << r.output;
  };
  auto camera = [&](const std::string& make, const std::string& model, const std::string& date,
                    const std::string& offset) {
    return std::vector<std::string>{"-Make=" + make, "-Model=" + model, "-DateTimeOriginal=" + date,
                                    "-OffsetTimeOriginal=" + offset};
  };
  struct Picture { std::string ext, file; };
  std::vector<Picture> list;
  // TIFF and DNG from ImageMagick (a DNG is a TIFF with DNGVersion).
  convert({"-size", "120x90", "-seed", "1", "plasma:", "-compress", "zip"}, "a.tif");
  exiftool("a.tif", camera("NIKON CORPORATION", "NIKON D750", "2021:07:04 10:20:30", "+02:00"));
  list.push_back({"tif", "a.tif"});
  convert({"-size", "128x96", "-seed", "2", "plasma:", "-compress", "zip"}, "b.tif");
  fs::rename(dir_ / "b.tif", dir_ / "b.dng");
  auto dng = camera("Leica Camera AG", "LEICA M10", "2020:02:02 02:02:02", "-03:00");
  dng.push_back("-DNGVersion=1 4 0 0");
  exiftool("b.dng", dng);
  list.push_back({"tif", "b.dng"});
  // CR2, ORF, RW2 and a big-endian (NEF) TIFF. exiftool's rewrite moves an
  // RW2's first directory next to its header, where the camera's is not and
  // the carver's signature does not look: that one is examined directly.
  const std::vector<std::vector<std::string>> cameras = {
      camera("Canon", "Canon EOS 5D Mark III", "2019:03:04 05:06:07", "+01:00"),
      camera("OLYMPUS IMAGING CORP.", "E-M5", "2017:12:24 18:00:00", "+09:00"),
      camera("Panasonic", "DMC-GH4", "2016:06:30 23:59:58", "-07:00"),
      camera("NIKON CORPORATION", "NIKON D850", "2015:01:01 00:00:01", "+00:00")};
  const char* const kinds[] = {"cr2", "orf", "rw2", "nef"};
  for (size_t k = 0; k < 4; ++k) {
    const std::string file = std::string("c.") + kinds[k];
    test::writeFile(dir_ / file, tiffRaw(kinds[k], uint16_t(100 + 8 * k), uint16_t(60 + 4 * k)));
    exiftool(file, cameras[k]);
    if (k == 2) {
      const PhotoInfo rw2 = examineRawPhoto(test::readFile(dir_ / file));
      EXPECT_EQ(rw2.make, "Panasonic");
      EXPECT_EQ(rw2.model, "DMC-GH4");
      EXPECT_EQ(rw2.dateTaken, "2016-06-30 23:59:58");
      EXPECT_EQ(rw2.timeOffset, "-07:00");
      EXPECT_EQ(rw2.width * 1000 + rw2.height, 116u * 1000 + 68);
      continue;
    }
    list.push_back({kinds[k], file});
  }
  // RAF around an exiftool-dated preview (its EXIF first, as cameras write it).
  convert({"-size", "160x120", "-seed", "3", "plasma:"}, "preview.jpg");
  auto fuji = camera("FUJIFILM", "X-T3", "2018:08:09 10:11:12", "+09:00");
  for (const char* a : {"-JFIF:all=", "-ExifImageWidth=160", "-ExifImageHeight=120"}) fuji.push_back(a);
  exiftool("preview.jpg", fuji);
  test::writeFile(dir_ / "d.raf", rafFile(test::readFile(dir_ / "preview.jpg"), tiffRaw("tif", 64, 48)));
  list.push_back({"raf", "d.raf"});
  // HEIC from ImageMagick: pixel size (its EXIF, as exiftool writes it, this exiv2 does not find).
  convert({"-size", "144x108", "-seed", "4", "plasma:"}, "e.heic");
  list.push_back({"heic", "e.heic"});

  std::vector<std::vector<uint8_t>> pictures;
  for (const Picture& p : list) pictures.push_back(test::readFile(dir_ / p.file));
  layCard(pictures);
  const nlohmann::json files = scanJson("tif,cr2,orf,rw2,nef,raf,heic");
  ASSERT_EQ(files.size(), list.size()) << files.dump(1);
  std::map<std::string, nlohmann::json> byName;
  for (const auto& f : files) byName[f.value("name", "")] = f;

  const fs::path out = dir_ / "out";
  test::ToolResult r = run({"recover", "--mode", "raw", "--whole-disk", "--types", "tif,cr2,orf,rw2,nef,raf,heic",
                            "--all", "--name-by", "exif", "--out", out.string()});
  ASSERT_EQ(r.status, 0) << r.output;
  for (size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(list[i].file);
    const nlohmann::json& f = byName["File" + std::to_string(i) + "." + list[i].ext];
    ASSERT_TRUE(f.is_object()) << files.dump(1);
    // A TIFF's end is that of its last structure; the writer's word-alignment
    // pad byte after it is not carved.
    std::vector<uint8_t> expected = pictures[i];
    if (expected.size() % 2 == 0 && expected.back() == 0 && f.value("size", 0u) + 1 == expected.size())
      expected.pop_back();
    EXPECT_EQ(f.value("size", 0u), expected.size());
    const test::ToolResult x = test::runTool({"exiftool", "-s", "-Make", "-Model", "-DateTimeOriginal",
                                              "-OffsetTimeOriginal", "-ImageSize", (dir_ / list[i].file).string()});
    std::ofstream(dir_ / "answer.txt") << x.output;
    auto answer = readAnswers(dir_ / "answer.txt");
    EXPECT_EQ(std::to_string(f.value("width", 0)) + "x" + std::to_string(f.value("height", 0)), answer["ImageSize"]);
    if (list[i].ext == "heic") {
      EXPECT_TRUE(f["dateTaken"].is_null());
      continue;
    }
    std::string date = answer["DateTimeOriginal"];
    ASSERT_EQ(date.size(), 19u) << x.output;
    date[4] = date[7] = '-';
    EXPECT_EQ(f.value("dateTaken", ""), date);
    EXPECT_EQ(f.value("timeOffset", ""), answer["OffsetTimeOriginal"]);
    EXPECT_EQ(f.value("make", ""), answer["Make"]);
    EXPECT_EQ(f.value("model", ""), answer["Model"]);
    PhotoInfo info;
    info.make = answer["Make"];
    info.model = answer["Model"];
    const std::string name = date.substr(0, 10) + "_" + date.substr(11, 2) + "-" + date.substr(14, 2) + "-" +
                             date.substr(17, 2) + "_" + cameraNamePart(info) + "." + list[i].ext;
    EXPECT_EQ(test::readFile(out / list[i].ext / name), expected) << name;
  }
  EXPECT_TRUE(fs::exists(out / "cr2" / "2019-03-04_05-06-07_Canon_EOS_5D_Mark_III.cr2"));
  EXPECT_TRUE(fs::exists(out / "heic" / ("File" + std::to_string(list.size() - 1) + ".heic")));
}

}  // namespace
}  // namespace brenix
