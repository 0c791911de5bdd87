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
  nlohmann::json scanJson() {
    test::ToolResult r = run({"scan", "--mode", "raw", "--whole-disk", "--types", "jpg", "--json"});
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

}  // namespace
}  // namespace brenix
