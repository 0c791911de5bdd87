// What examining carved photos costs: EXIF and the decode check of 3-MP
// JPEGs (pictures per second, one thread), and on a raw scan of a 512 MiB
// image holding 3-MP pictures every 4 MiB, the scan alone next to the
// examination of what it carved (the time the check adds to the scan, and
// that time over the scan's in the same run).
// Run from build/bench: ./bench/photo_examine_bench
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "photo/photo_info.h"
#include "raw/raw_engine.h"
#include "raw/raw_types.h"

namespace {

namespace fs = std::filesystem;

// A 2048x1536 camera-like picture (smooth shapes plus sensor noise), quality 90, 4:2:0.
std::vector<uint8_t> makePhoto(unsigned seed) {
  constexpr int w = 2048, h = 1536;
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-6, 6);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
      p[0] = uint8_t(std::clamp(int(128 + 100 * std::sin((x + seed * 37) / 97.0)) + noise(rng), 0, 255));
      p[1] = uint8_t(std::clamp(int(128 + 90 * std::cos(y / 61.0 + seed)) + noise(rng), 0, 255));
      p[2] = uint8_t(std::clamp(((x ^ y) & 255) / 2 + 64 + noise(rng), 0, 255));
    }
  tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &jpeg, &size, TJSAMP_420, 90, 0);
  std::vector<uint8_t> out(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(tj);
  return out;
}

const std::vector<std::vector<uint8_t>>& photos() {
  static std::vector<std::vector<uint8_t>> list = [] {
    std::vector<std::vector<uint8_t>> l;
    for (unsigned s = 1; s <= 4; ++s) l.push_back(makePhoto(s));
    return l;
  }();
  return list;
}

void BM_ExamineThousand3MpJpegs(benchmark::State& state) {
  const auto& list = photos();
  size_t whole = 0;
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) {
      brenix::PhotoInfo info = brenix::examineJpeg(list[size_t(i) % list.size()]);
      whole += info.decode == brenix::DecodeState::Whole;
    }
  }
  if (whole != size_t(state.iterations()) * 1000) state.SkipWithError("a picture did not decode whole");
  state.SetItemsProcessed(int64_t(state.iterations()) * 1000);
  state.counters["jpeg_bytes"] = double(list[0].size());
}
BENCHMARK(BM_ExamineThousand3MpJpegs)->Unit(benchmark::kMillisecond)->Iterations(2);

const fs::path& scanImage() {
  static fs::path p = [] {
    fs::path path = fs::temp_directory_path() / "brenix-photo-bench.img";
    constexpr size_t kSize = 512u << 20, kStep = 4u << 20;
    if (fs::exists(path) && fs::file_size(path) == kSize) return path;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 rng(3);
    std::vector<uint8_t> block(kStep);
    for (size_t at = 0; at < kSize; at += kStep) {
      for (size_t i = 0; i < block.size(); i += 8) {
        const uint64_t v = rng();
        std::memcpy(&block[i], &v, 8);
      }
      const auto& ph = photos()[(at / kStep) % photos().size()];
      std::copy(ph.begin(), ph.end(), block.begin());
      out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size()));
    }
    return path;
  }();
  return p;
}

bool scanOnce(brenix::RawEngine& engine) {
  auto types = std::make_shared<brenix::RawTypeList>();
  std::string error;
  // BRENIX_BENCH_RPDAT names the database; by default the source tree's (run from build/bench).
  const char* named = std::getenv("BRENIX_BENCH_RPDAT");
  const fs::path db = named ? fs::path(named) : fs::path(__FILE__).parent_path().parent_path() / "data" / "rp.dat";
  if (!brenix::loadRawTypes(db, *types, &error)) return false;
  for (auto& t : types->types) t->selected = t->ext() == "jpg" ? 1 : 0;
  brenix::RawScanner& s = engine.scanner();
  if (!s.openPath(scanImage().string())) return false;
  s.setOrigin(0);
  s.setRange(0, fs::file_size(scanImage()) / 512);
  s.setTypes(types);
  brenix::RunningFlag running{true};
  return s.scan(nullptr, running) == 0;
}

void BM_RawScan512MiB(benchmark::State& state) {
  scanImage();
  for (auto _ : state) {
    brenix::RawEngine engine;
    if (!scanOnce(engine)) state.SkipWithError("the scan did not run");
    state.counters["files"] = double(engine.scanner().files().size());
  }
}
BENCHMARK(BM_RawScan512MiB)->Unit(benchmark::kMillisecond)->Iterations(2);

// The scan and then the examination of what it carved, each timed: the
// counters give the scan's time and the share the examination adds to it.
void BM_ExamineAfterRawScan512MiB(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  brenix::RawEngine engine;
  const auto scanStart = Clock::now();
  if (!scanOnce(engine)) {
    state.SkipWithError("the scan did not run");
    return;
  }
  const double scanMs = std::chrono::duration<double, std::milli>(Clock::now() - scanStart).count();
  brenix::RunningFlag running{true};
  double examineMs = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    engine.examinePhotos(running);
    examineMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }
  examineMs /= double(state.iterations());
  state.counters["scan_ms"] = scanMs;
  state.counters["examine_ms"] = examineMs;
  state.counters["added_to_scan"] = examineMs / scanMs;  // 0.25: the scan with the examination takes 1.25 times as long
  size_t whole = 0;
  for (size_t i = 0; i < engine.scanner().files().size(); ++i)
    whole += engine.photo(i) && engine.photo(i)->decode == brenix::DecodeState::Whole;
  state.counters["whole"] = double(whole);
  state.counters["files"] = double(engine.scanner().files().size());
}
BENCHMARK(BM_ExamineAfterRawScan512MiB)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
