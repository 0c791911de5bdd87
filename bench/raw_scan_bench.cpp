// Raw scan throughput over an image in the page cache, next to a plain
// sequential read of the same image (what `cat image > /dev/null` does).
// BRENIX_BENCH_IMAGE names an image to use; otherwise a 256 MiB image (half
// random bytes, half zeros, with pictures from data/demo every 4 MiB) is
// made in the temp folder. BRENIX_BENCH_RPDAT names the database
// (default: data/rp.dat of the source tree).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "raw/raw_scanner.h"
#include "raw/raw_types.h"

namespace {

namespace fs = std::filesystem;

fs::path sourceDir() { return fs::path(__FILE__).parent_path().parent_path(); }

const fs::path& benchImage() {
  static fs::path image = [] {
    if (const char* p = std::getenv("BRENIX_BENCH_IMAGE")) return fs::path(p);
    fs::path p = fs::temp_directory_path() / "brenix-raw-bench.img";
    constexpr size_t kSize = 256u << 20;
    if (fs::exists(p) && fs::file_size(p) == kSize) return p;
    std::vector<std::vector<char>> pictures;
    for (const auto& e : fs::directory_iterator(sourceDir() / "data" / "demo")) {
      std::ifstream in(e.path(), std::ios::binary);
      pictures.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<char> block(4u << 20);
    std::mt19937_64 rng(1);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    for (size_t i = 0; i < kSize / block.size(); ++i) {
      if (i % 2 == 0) {
        for (size_t k = 0; k < block.size(); k += 8) {
          uint64_t v = rng();
          std::memcpy(block.data() + k, &v, 8);
        }
      } else {
        std::fill(block.begin(), block.end(), 0);
      }
      if (!pictures.empty()) {
        const auto& pic = pictures[i % pictures.size()];
        std::copy(pic.begin(), pic.begin() + long(std::min(pic.size(), block.size() / 2)), block.begin() + 4096);
      }
      out.write(block.data(), long(block.size()));
    }
    return p;
  }();
  return image;
}

long maxRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

void BM_SequentialRead(benchmark::State& state) {
  const fs::path& img = benchImage();
  std::vector<char> buf(128 * 1024);  // cat's buffer size
  for (auto _ : state) {
    int fd = ::open(img.c_str(), O_RDONLY);
    while (::read(fd, buf.data(), buf.size()) > 0) {
    }
    ::close(fd);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fs::file_size(img)));
}
BENCHMARK(BM_SequentialRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RawScan(benchmark::State& state) {
  const fs::path& img = benchImage();
  auto types = std::make_shared<brenix::RawTypeList>();
  const char* db = std::getenv("BRENIX_BENCH_RPDAT");
  std::string error;
  if (!brenix::loadRawTypes(db ? fs::path(db) : sourceDir() / "data" / "rp.dat", *types, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  types->trimToFormatEnd = state.range(0) != 0;
  uint64_t sectors = fs::file_size(img) / 512;
  size_t found = 0;
  long rssBefore = maxRssKb();
  for (auto _ : state) {
    brenix::RawScanner scanner;
    scanner.openPath(img.string());
    scanner.setRange(0, sectors);
    scanner.setTypes(types);
    brenix::RunningFlag running{true};
    scanner.scan(nullptr, running);
    found = scanner.files().size();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sectors * 512));
  state.counters["files"] = double(found);
  state.counters["types"] = double(types->size());
  state.counters["maxRssGrowthKB"] = double(maxRssKb() - rssBefore);
}
BENCHMARK(BM_RawScan)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
