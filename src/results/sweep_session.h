#pragma once
// A long scan (a formatted-drive sweep, or a deleted-file scan of a large
// volume) that can be stopped and continued: the engine
// tells where its sweep stands (the next unit to read, in its own units, and
// what it found so far as plain numbers of its own meaning), and takes such
// a point back to continue from it. The session file that keeps these
// points between runs is the front end's business; an engine only checks
// that a point it is handed fits the volume it scans.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brenix {

struct SweepCheckpoint {
  uint64_t position = 0;       // the next unit the sweep reads
  uint64_t first = 0;          // the sweep's range, first unit and one past the last
  uint64_t end = 0;
  std::vector<uint64_t> found;  // what the sweep found before position (engine's own layout)
  uint64_t sweptBytes = 0;     // bytes this run swept
  bool ended = false;          // the sweep reached its end
};

struct SweepSession {
  // Set before the scan: continue from here instead of the start.
  std::optional<SweepCheckpoint> resume;
  // Called by the sweep after each batch (the callee limits how often it writes).
  std::function<void(const SweepCheckpoint&)> sink;
  // Where the sweep stood when it stopped, cancelled or at its end.
  SweepCheckpoint reached;
  bool reachedSet = false;
  // Why the engine refused resume (empty when it took it).
  std::string refused;
  // What the engine counts position in, for messages ("stopped at cluster N").
  std::string unit = "cluster";

  // Hands the sink a checkpoint at most four times a second; make() builds
  // it, and runs only when one is due (a found list can be long).
  template <class Make>
  void offer(Make&& make) {
    if (!sink) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastOffer < std::chrono::milliseconds(250)) return;
    lastOffer = now;
    sink(make());
  }
  std::chrono::steady_clock::time_point lastOffer = std::chrono::steady_clock::now();
};

}  // namespace brenix
