// Filing 1,000,000 found items into the results tree: 1,000 folders of
// 1,000 files below two levels of names and keys, plus 100,000 orphans of
// 1,000 missing parents, as a scan of a large disk hands them over.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "results/result_tree.h"

namespace {

using namespace brenix;

constexpr int kFolders = 900, kPerFolder = 1000, kOrphans = 100000;

void BM_ResultTreeFileMillion(benchmark::State& state) {
  // Names made before timing: the scan has them already.
  std::vector<std::vector<std::string>> paths;
  std::vector<std::vector<uint32_t>> keys;
  for (int f = 0; f < kFolders; ++f) {
    paths.push_back({"Folder " + std::to_string(f), "Year " + std::to_string(f % 30), "Pictures"});
    keys.push_back({uint32_t(1000 + f), uint32_t(100 + f % 30), 40});
  }
  std::vector<std::string> names;
  for (int i = 0; i < kPerFolder; ++i) names.push_back("IMG_" + std::to_string(i) + ".jpg");
  size_t items = 0;
  for (auto _ : state) {
    ResultTree tree("Disk");
    tree.reserveItems(size_t(kFolders) * kPerFolder + kOrphans);
    // Files arrive in record order, not folder by folder: every item walks its path.
    for (int i = 0; i < kPerFolder; ++i)
      for (int f = 0; f < kFolders; ++f) {
        ResultFolder& folder = tree.folderAlong(tree.root(), paths[size_t(f)], keys[size_t(f)]);
        FoundItem item;
        item.name = names[size_t(i)];
        item.size = 1000;
        item.deleted = true;
        tree.addItem(folder, std::move(item));
      }
    for (int i = 0; i < kOrphans; ++i) {
      ResultFolder& folder = tree.lostFolderFor(uint64_t(5000000 + i % 1000), "Dir" + std::to_string(i));
      FoundItem item;
      item.name = names[size_t(i % kPerFolder)];
      tree.addItem(folder, std::move(item));
    }
    items = tree.itemCount();
    benchmark::DoNotOptimize(tree.root().children.size());
  }
  state.counters["items"] = double(items);
  state.counters["items/s"] = benchmark::Counter(double(items) * double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetLabel("goal: 1,000,000 items filed in under 2 s");
}
BENCHMARK(BM_ResultTreeFileMillion)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
