// A formatted-drive scan of a 1 GiB quick-formatted exFAT card, interrupted
// at about a quarter with SIGINT and continued from its session file, lists
// exactly what one uninterrupted scan lists and sweeps the first part only
// once. A session whose found directory clusters do not fit is refused and
// left as it is.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "brenix_run.h"
#include "common/bytes.h"
#include "exfat/exfat_card.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;
using test::BrenixRun;
using test::runBrenix;

constexpr uint64_t kSizeMib = 1024;
constexpr long long kSize = 1ll << 30;
constexpr uint64_t kClusterBytes = 4096;

// Marks the clusters of [count * from, count * to) as in use in the
// allocation bitmap, so that exfat-fuse puts the next folders behind them.
// The quick format afterwards writes a fresh bitmap: only the folders remain.
void steerAllocation(const fs::path& image, double from, double to) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  uint8_t boot[512];
  f.read(reinterpret_cast<char*>(boot), sizeof boot);
  const uint32_t sectorShift = boot[108], heap = le32(boot + 88), count = le32(boot + 92), root = le32(boot + 96);
  const uint64_t cb = uint64_t(1) << (sectorShift + boot[109]);
  auto offset = [&](uint64_t c) { return static_cast<std::streamoff>((uint64_t(heap) << sectorShift) + (c - 2) * cb); };
  std::vector<uint8_t> dir(cb);
  f.seekg(offset(root));
  f.read(reinterpret_cast<char*>(dir.data()), static_cast<std::streamsize>(cb));
  size_t e = 0;
  while (e < cb && dir[e] != 0x81) e += 32;  // the allocation bitmap's entry
  ASSERT_LT(e, cb);
  std::vector<uint8_t> bitmap((count + 7) / 8);
  f.seekg(offset(le32(&dir[e + 20])));
  f.read(reinterpret_cast<char*>(bitmap.data()), static_cast<std::streamsize>(bitmap.size()));
  for (auto i = uint64_t(count * from); i < uint64_t(count * to); ++i) bitmap[i / 8] |= uint8_t(1u << (i % 8));
  f.seekp(offset(le32(&dir[e + 20])));
  f.write(reinterpret_cast<const char*>(bitmap.data()), static_cast<std::streamsize>(bitmap.size()));
}

class ExFatSession : public testing::Test {
 protected:
  void SetUp() override {
    const char* cli = std::getenv("BRENIX_CLI");
    if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
    if (test::bytesReadBy(getpid()) < 0) GTEST_SKIP() << "no I/O accounting in /proc";
    card_ = std::make_unique<test::ExFatCard>(dir_, kSizeMib);
    BRENIX_REQUIRE_CARD(*card_);
    ASSERT_TRUE(card_->format({"-c", "4K"}));
    // Folders near the start, at 40 % and at 75 % of the heap.
    ASSERT_TRUE(card_->mount());
    card_->mkdir("A");
    card_->put("A/one.jpg", test::exfatContent(5000, 1));
    card_->put("A/two.jpg", test::exfatContent(70000, 2));
    ASSERT_TRUE(card_->unmount());
    steerAllocation(card_->image(), 0, 0.4);
    ASSERT_TRUE(card_->mount());
    card_->mkdir("B");
    card_->put("B/three.jpg", test::exfatContent(15000, 3));
    ASSERT_TRUE(card_->unmount());
    steerAllocation(card_->image(), 0.4, 0.75);
    ASSERT_TRUE(card_->mount());
    card_->mkdir("C/D");
    card_->put("C/D/four.jpg", test::exfatContent(9000, 4));
    card_->put("C/five.jpg", test::exfatContent(12000, 5));
    ASSERT_TRUE(card_->unmount());
    ASSERT_TRUE(card_->format({"-c", "4K"}));  // the quick format: new bitmap and root, the folders stay
  }
  std::vector<std::string> scan(const std::vector<std::string>& more) const {
    std::vector<std::string> a{"scan",      "--images-only", "--image", card_->image().string(), "--mode",
                               "formatted", "--no-carve",    "--json"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
  }
  test::TempDir dir_;
  std::unique_ptr<test::ExFatCard> card_;
};

TEST_F(ExFatSession, InterruptedAndResumedListsTheSameSweepingTheFirstPartOnce) {
  const BrenixRun whole = runBrenix(scan({}), dir_ / "whole.json", 0);
  ASSERT_EQ(whole.status, 0) << whole.output;
  const auto expected = nlohmann::json::parse(test::readFile(dir_ / "whole.json"));
  ASSERT_EQ(expected["found"]["count"], 5) << whole.output;
  EXPECT_GE(whole.bytesRead, kSize * 99 / 100);

  const std::string session = (dir_ / "scan.session").string();
  const BrenixRun first = runBrenix(scan({"--session", session}), dir_ / "first.json", kSize / 4);
  ASSERT_EQ(first.status, 130) << first.output;
  EXPECT_NE(first.output.find("continue it with --resume " + session), std::string::npos) << first.output;
  const auto saved = nlohmann::json::parse(std::ifstream(session));
  const uint64_t position = saved["position"];
  EXPECT_NE(first.output.find("at cluster " + std::to_string(position)), std::string::npos) << first.output;
  EXPECT_GT(position * kClusterBytes, static_cast<uint64_t>(kSize) / 8) << first.output;
  EXPECT_LT(position * kClusterBytes, static_cast<uint64_t>(kSize) * 15 / 16);
  ASSERT_GE(saved["found"].size(), 2u);  // the folder near the start, as a [start, count] run
  const std::vector<uint8_t> interrupted = test::readFile(session);

  // A found directory cluster past the position reached is refused, the file left as it is.
  auto j = saved;
  j["found"].push_back(position + 10);
  j["found"].push_back(1);
  const fs::path bent = dir_ / "bent.session";
  const std::string bentText = j.dump();
  test::writeFile(bent, std::vector<uint8_t>(bentText.begin(), bentText.end()));
  const BrenixRun r = runBrenix(scan({"--resume", bent.string()}), dir_ / "r.json", 0);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("refused: found directory run at cluster " + std::to_string(position + 10) + " does not fit"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(test::readFile(bent), std::vector<uint8_t>(bentText.begin(), bentText.end()));
  EXPECT_EQ(test::readFile(session), interrupted);

  const BrenixRun second = runBrenix(scan({"--resume", session}), dir_ / "second.json", 0);
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(nlohmann::json::parse(test::readFile(dir_ / "second.json")), expected);
  // The second run swept only what the first had not.
  const long long slack = 16 << 20;
  EXPECT_LT(second.bytesRead, kSize - static_cast<long long>(position * kClusterBytes) + slack)
      << "resumed at cluster " << position;
  const auto done = nlohmann::json::parse(std::ifstream(session));
  EXPECT_TRUE(done["finished"].get<bool>());
  ASSERT_EQ(done["runs"].size(), 2u);
  const uint64_t clusters = done["range"][1].get<uint64_t>() - done["range"][0].get<uint64_t>();
  EXPECT_EQ(done["runs"][0]["sweptBytes"].get<uint64_t>() + done["runs"][1]["sweptBytes"].get<uint64_t>(),
            clusters * kClusterBytes);
}

}  // namespace
}  // namespace brenix
