#pragma once
// What every file-system or signature engine offers the results core: scan a
// partition into a folder tree, and hand back one found file's bytes.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "results/found_item.h"
#include "results/progress.h"
#include "results/recovery_context.h"
#include "results/result_tree.h"

namespace brenix {

enum class ScanMode { Deleted, Formatted, Raw };

// Where a recovered file's bytes go; the results core opens and closes it.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool write(const uint8_t* data, size_t size) = 0;
};

struct ScanResult {
  int error = 0;        // 0 success, else a system error number or the engine's code
  std::string message;  // what the user is told on failure (the engine's exact message), or a note on success; may be empty
};

enum class WriteStatus { Ok, ReadFailed, WriteFailed, Cancelled };

class ScanEngine {
 public:
  virtual ~ScanEngine() = default;
  virtual EngineKind kind() const = 0;

  // Scans ctx's partition into tree (the engine names the root item).
  // Progress goes to ctx.progress; the scan ends early when running is cleared.
  virtual ScanResult scan(ScanMode mode, RecoveryContext& ctx, ResultTree& tree, const RunningFlag& running) = 0;

  // Reads up to maxBytes of a found file into out (thumbnails, preview).
  virtual bool readItem(const FoundItem& item, std::vector<uint8_t>& out, uint64_t maxBytes) = 0;

  // Streams a found file's exact bytes into sink (recovery). Between units it
  // checks running and returns Cancelled when it was cleared.
  virtual WriteStatus writeItem(const FoundItem& item, ByteSink& sink, const RunningFlag& running) = 0;

  // Where the found files' data lies: absolute byte ranges [start, end) on
  // the drive, whole clusters. Empty when the engine does not tell.
  virtual std::vector<std::pair<uint64_t, uint64_t>> claimedRanges() const { return {}; }

  // Whether a scan in this mode can stop and continue: the engine then takes
  // ctx.sweep->resume, feeds ctx.sweep->sink and fills ctx.sweep->reached
  // (results/sweep_session.h) whenever ctx.sweep is set.
  virtual bool continuesScan(ScanMode) const { return false; }
};

}  // namespace brenix
