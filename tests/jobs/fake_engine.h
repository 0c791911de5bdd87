#pragma once
// An in-memory engine for tests of the results core, the jobs and the
// command line: it "finds" a fixed list of files in named folders and hands
// back their bytes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "results/scan_engine.h"

namespace brenix::test {

struct FakeFile {
  std::string folder;  // "DCIM/100CANON", "" for the root
  std::string name;
  std::vector<uint8_t> data;
  bool unreadable = false;  // writeItem reports ReadFailed
  bool checked = false;     // the record's initial checked flag
  uint64_t zeros = 0;       // when set: the file is this many zero bytes instead of data (a sparse file)
};

// Bytes 0, 1, 2 ... of a given length, offset by seed.
std::vector<uint8_t> patternBytes(size_t size, uint8_t seed);

class FakeEngine : public ScanEngine {
 public:
  FakeEngine(EngineKind kind, std::vector<FakeFile> files, std::string rootName = "FAKE");

  EngineKind kind() const override { return kind_; }
  ScanResult scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) override;
  bool readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) override;
  WriteStatus writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) override;

  // Called before each file is written with the number of files written before it.
  std::function<void(int)> beforeWrite;
  // Called before each file is filed into the tree during the scan.
  std::function<void(int)> beforeScanItem;
  ScanResult failScan;  // returned by scan when its error is set

  // Counters shared with copies made by a factory.
  struct Stats {
    std::atomic<int> scans{0};
    std::atomic<int> writes{0};
    ScanMode lastMode = ScanMode::Deleted;
    uint64_t lastStart = 0, lastEnd = 0;
    std::vector<std::string> lastRawTypes;
  };
  std::shared_ptr<Stats> stats = std::make_shared<Stats>();

 private:
  EngineKind kind_;
  std::vector<FakeFile> files_;
  std::string rootName_;
};

}  // namespace brenix::test
