#pragma once
// exFAT cards for the tests: an image formatted by mkfs.exfat and changed
// through exfat-fuse on a loop device (the FUSE driver needs a block
// device). Tests skip when the tools, loop devices or FUSE are missing.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "results/scan_engine.h"
#include "support/temp_dir.h"

namespace brenix::test {

class ExFatCard {
 public:
  // An image of `mib` MiB; with partitionStart (512-byte sectors) > 0 it gets
  // an MBR with one partition of type 0x07 there.
  ExFatCard(const TempDir& dir, uint64_t mib, uint64_t partitionStart = 0);
  ~ExFatCard();
  ExFatCard(const ExFatCard&) = delete;
  ExFatCard& operator=(const ExFatCard&) = delete;

  // Why the card cannot be used here (empty when it can).
  const std::string& unavailable() const { return unavailable_; }

  bool format(const std::vector<std::string>& mkfsArgs = {});  // mkfs.exfat over the volume
  bool mount();
  bool unmount();  // flushes everything to the image

  // Host-side changes while mounted; put() remembers the bytes for later checks.
  void put(const std::string& path, const std::vector<uint8_t>& bytes);
  void mkdir(const std::string& path);
  void remove(const std::string& path);  // a file, or a folder with all below it
  // The bytes put at `path`; empty when nothing was put there.
  std::vector<uint8_t> planted(const std::string& path) const {
    auto it = files_.find(path);
    return it == files_.end() ? std::vector<uint8_t>{} : it->second;
  }
  const std::filesystem::path& image() const { return image_; }
  uint64_t partitionStart() const { return partitionStart_; }

 private:
  bool attach();
  void detach();

  std::filesystem::path image_, mountPoint_;
  uint64_t partitionStart_ = 0;
  std::string loop_;
  bool mounted_ = false;
  std::string unavailable_;
  std::map<std::string, std::vector<uint8_t>> files_;
};

// Deterministic pseudo-random content.
std::vector<uint8_t> exfatContent(size_t n, uint32_t seed);

// One engine run over an image file.
struct ExFatRun {
  std::unique_ptr<ScanEngine> engine;
  ResultTree tree;
  RecoveryContext ctx;
  RunningFlag running{true};

  // "folder/sub/name" of every found file.
  std::map<std::string, const FoundItem*> byPath() const;
  // The recovered bytes; *status gets the engine's result.
  std::vector<uint8_t> recover(const FoundItem& item, WriteStatus* status = nullptr);
};

std::unique_ptr<ExFatRun> scanExFatImage(const std::filesystem::path& image, ScanMode mode, uint64_t partitionStart = 0);

// Paths of deleted regular files ("r/r * ...") that `fls -rd` prints.
std::vector<std::string> flsDeletedFiles(const std::filesystem::path& image, uint64_t partitionStart = 0);

}  // namespace brenix::test

#define BRENIX_REQUIRE_CARD(card) \
  do { \
    if (!(card).unavailable().empty()) GTEST_SKIP() << (card).unavailable(); \
  } while (0)
