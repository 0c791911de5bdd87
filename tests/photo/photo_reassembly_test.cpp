// Two-piece reassembly must not take a continuation only because it decodes
// to the end marker: here another picture, identical to the broken one down
// to just past the break and different below, lies between the two pieces.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "photo/photo_info.h"
#include "photo/photo_reassembly.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;

TEST(PhotoReassembly, AContinuationThatDecodesButDoesNotMatchAtTheJoinIsPassedOver) {
  BRENIX_REQUIRE_TOOL("convert");
  test::TempDir dir;
  const std::string png = (dir.path() / "p.png").string(), negated = (dir.path() / "q.png").string();
  auto run = [](const std::vector<std::string>& argv) {
    const test::ToolResult r = test::runTool(argv);
    ASSERT_EQ(r.status, 0) << r.output;
  };
  run({"convert", "-size", "1600x1200", "-seed", "11", "plasma:", png});
  // The same picture with its lower half negated, encoded alike: its data is
  // the first one's byte for byte down to the lower half.
  run({"convert", png, "-region", "1600x600+0+600", "-negate", negated});
  for (const std::string& source : {png, negated})
    run({"convert", source, "-quality", "95", "-define", "jpeg:optimize-coding=false", source + ".jpg"});
  const std::vector<uint8_t> p = test::readFile(png + ".jpg"), q = test::readFile(negated + ".jpg");
  size_t same = 0;
  while (same < std::min(p.size(), q.size()) && p[same] == q[same]) ++same;
  const size_t unit = 4096, cut = same / unit * unit;
  ASSERT_GT(cut, 100 * unit);
  ASSERT_LT(cut + unit, p.size());
  // The other picture's tail from the break decodes to its end marker after the first piece.
  std::vector<uint8_t> wrong(p.begin(), p.begin() + long(cut));
  wrong.insert(wrong.end(), q.begin() + long(cut), q.end());
  ASSERT_EQ(examineJpeg(wrong).decode, DecodeState::Whole);

  // Card: piece one, the other picture (unit aligned), random units, piece two.
  std::vector<uint8_t> card(p.begin(), p.begin() + long(cut));
  card.insert(card.end(), q.begin(), q.end());
  card.resize((card.size() + unit - 1) / unit * unit, 0);
  std::mt19937 rng(5);
  for (size_t i = 0; i < 3 * unit; ++i) card.push_back(uint8_t(rng()));
  const size_t second = card.size();
  card.insert(card.end(), p.begin() + long(cut), p.end());
  card.resize(card.size() + 16 * unit, 0);

  const PieceReader read = [&](uint64_t pos, uint8_t* buf, size_t n) {
    if (pos >= card.size()) return size_t(0);
    n = std::min<size_t>(n, card.size() - size_t(pos));
    std::memcpy(buf, card.data() + pos, n);
    return n;
  };
  TwoPieces two;
  ReassemblyLimits limits;
  limits.maxMillis = 120000;  // what is tested here is the choice, not the time on a loaded machine
  ASSERT_TRUE(findTwoPieces(read, 0, card.size(), limits, &two));
  EXPECT_EQ(two.firstLength, cut);
  EXPECT_EQ(two.secondStart, second);
  EXPECT_EQ(two.firstLength + two.secondLength, p.size());
}

}  // namespace
}  // namespace brenix
