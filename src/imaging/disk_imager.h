#pragma once
// Copies a disk (or a partition, or an image) to an image file for a failing
// drive: large reads first, skipping what fails; then the failed areas sector
// by sector; then, if asked, more passes over the bad sectors. What could not
// be read stays zeros in the image. The map (GNU ddrescue format) records what
// is done, so a run can be continued — by this tool or by ddrescue.
#include <cstdint>
#include <functional>
#include <string>

#include "disk/sector_reader.h"
#include "imaging/rescue_map.h"

namespace brenix {

// Where the bytes come from. Reads are positional and exact.
class ImagingSource {
 public:
  virtual ~ImagingSource() = default;
  virtual bool readAt(uint64_t byteOffset, void* buffer, size_t count, int* error) = 0;
  virtual uint64_t sizeBytes() const = 0;
};

// A device or image opened read-only through SectorReader.
class SectorReaderSource final : public ImagingSource {
 public:
  explicit SectorReaderSource(SectorReader& reader) : reader_(reader) {}
  bool readAt(uint64_t byteOffset, void* buffer, size_t count, int* error) override;
  uint64_t sizeBytes() const override { return reader_.sizeBytes(); }

 private:
  SectorReader& reader_;
};

struct ImagingProgress {
  uint64_t total = 0;          // source size
  uint64_t rescued = 0;        // bytes marked copied in the map
  uint64_t readThisRun = 0;    // bytes asked of the source by this run
  uint64_t badBytes = 0;       // bytes in bad or not yet split areas
  size_t badAreas = 0;
  double elapsedSeconds = 0;
  double rate = 0;             // bytes rescued per second in this run
  double remainingSeconds = -1;  // -1 when not known
  char phase = '?';            // as the map's current status
};

struct ImagingOptions {
  size_t blockSize = 1 << 20;  // the large reads; a multiple of 512
  int retries = 0;             // extra passes over the bad sectors at the end
  double saveIntervalSeconds = 5;
  std::string mapPath;         // saved along the way and at the end
  std::string commandLine;     // written into the map's header
  std::function<bool()> keepGoing;                       // false stops the run (Ctrl-C)
  std::function<void(const ImagingProgress&)> progress;  // at most a few times a second
};

enum class ImagingStatus { Finished, Cancelled, Failed };

struct ImagingResult {
  ImagingStatus status = ImagingStatus::Failed;
  std::string error;
  ImagingProgress last;
};

// Runs the copy into imageFd (opened for writing) along `map`, which the run
// updates. The image is extended to the source size (zeros where nothing is
// copied). The map is saved to options.mapPath whenever it changes enough and
// at the end, also when cancelled or failed.
ImagingResult runImaging(ImagingSource& source, int imageFd, RescueMap& map, const ImagingOptions& options);

// Opens the image file for writing: created new and exclusively (O_EXCL) unless
// resuming, when it must already exist. Refuses the source itself. -1 with a
// message on failure.
int openImageOutput(const std::string& imagePath, const std::string& sourcePath, bool resume, std::string* error);

}  // namespace brenix
