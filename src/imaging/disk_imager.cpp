#include "imaging/disk_imager.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "common/file_io.h"

namespace brenix {

bool SectorReaderSource::readAt(uint64_t byteOffset, void* buffer, size_t count, int* error) {
  if (reader_.readBytesAt(byteOffset, buffer, count)) return true;
  *error = reader_.lastError();
  return false;
}

namespace {

using Clock = std::chrono::steady_clock;

class Run {
 public:
  Run(ImagingSource& source, int fd, RescueMap& map, const ImagingOptions& options)
      : source_(source), fd_(fd), map_(map), options_(options), start_(Clock::now()), lastSave_(start_),
        lastProgress_(start_) {
    rescuedAtStart_ = map_.bytesWith(AreaStatus::Finished);
  }

  ImagingResult go() {
    ImagingResult result;
    const uint64_t size = map_.size();
    if (!fdIsRegular(fd_)) return failed(result, std::string("Can not use the image file: ") + std::strerror(errno));
    if (fdSize(fd_) < size && !fdResize(fd_, size))
      return failed(result, std::string("Can not extend the image file: ") + std::strerror(errno));
    buffer_.resize(std::max<size_t>(options_.blockSize, kSectorSize));

    // 1. Large reads over everything not tried yet; a failed read marks its block for splitting.
    map_.currentStatus = '?';
    map_.currentPass = 1;
    for (uint64_t from = 0; const MapArea* a = map_.findFrom(from, AreaStatus::NonTried);) {
      const MapArea area = *a;
      from = area.end();
      uint64_t pos = area.pos;
      while (pos < area.end()) {
        if (stopped()) return finish(result, ImagingStatus::Cancelled);
        const uint64_t blockEnd = std::min<uint64_t>(area.end(), (pos / options_.blockSize + 1) * options_.blockSize);
        const size_t n = static_cast<size_t>(blockEnd - pos);
        map_.currentPos = pos;
        if (!copy(pos, n, AreaStatus::NonTrimmed, &result)) return finish(result, ImagingStatus::Failed);
        pos = blockEnd;
        tick(false);
      }
    }
    // 2. The failed blocks, sector by sector.
    map_.currentStatus = '/';
    for (AreaStatus s : {AreaStatus::NonTrimmed, AreaStatus::NonScraped}) {
      for (uint64_t from = 0; const MapArea* a = map_.findFrom(from, s);) {
        const MapArea area = *a;
        from = area.end();
        if (!bySector(area, AreaStatus::BadSector, &result)) return finish(result, result.status);
      }
    }
    // 3. More passes over the bad sectors.
    for (int pass = 1; pass <= options_.retries; ++pass) {
      map_.currentStatus = '-';
      map_.currentPass = std::min(pass, 5);
      save(true);
      uint64_t from = 0;
      while (const MapArea* a = map_.findFrom(from, AreaStatus::BadSector)) {
        const MapArea area = *a;
        if (!bySector(area, AreaStatus::BadSector, &result)) return finish(result, result.status);
        from = area.end();
      }
    }
    map_.currentStatus = '+';
    map_.currentPos = 0;
    map_.currentPass = 1;
    return finish(result, ImagingStatus::Finished);
  }

 private:
  bool stopped() const { return options_.keepGoing && !options_.keepGoing(); }

  // Reads [pos, pos + n) and writes it to the image; on a read error the range takes `failed`.
  bool copy(uint64_t pos, size_t n, AreaStatus failedStatus, ImagingResult* result) {
    int error = 0;
    readThisRun_ += n;
    if (!source_.readAt(pos, buffer_.data(), n, &error)) {
      map_.set(pos, n, failedStatus);
      return true;
    }
    if (!fdWriteAt(fd_, pos, buffer_.data(), n)) {
      result->error = std::string("Can not write the image file: ") + std::strerror(errno);
      return false;
    }
    map_.set(pos, n, AreaStatus::Finished);
    return true;
  }

  bool bySector(const MapArea& area, AreaStatus failedStatus, ImagingResult* result) {
    for (uint64_t pos = area.pos; pos < area.end(); pos += kSectorSize) {
      if (stopped()) {
        result->status = ImagingStatus::Cancelled;
        return false;
      }
      map_.currentPos = pos;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kSectorSize, area.end() - pos));
      if (!copy(pos, n, failedStatus, result)) {
        result->status = ImagingStatus::Failed;
        return false;
      }
      tick(false);
    }
    return true;
  }

  ImagingProgress progress() const {
    ImagingProgress p;
    p.total = map_.size();
    p.rescued = map_.bytesWith(AreaStatus::Finished);
    p.readThisRun = readThisRun_;
    p.badBytes = map_.bytesWith(AreaStatus::BadSector) + map_.bytesWith(AreaStatus::NonTrimmed) +
                 map_.bytesWith(AreaStatus::NonScraped);
    p.badAreas = map_.badAreaCount();
    p.elapsedSeconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const uint64_t gained = p.rescued - std::min(p.rescued, rescuedAtStart_);
    p.rate = p.elapsedSeconds > 0 ? static_cast<double>(gained) / p.elapsedSeconds : 0;
    const uint64_t left = map_.bytesWith(AreaStatus::NonTried);
    p.remainingSeconds = left == 0 ? 0 : (p.rate > 0 ? static_cast<double>(left) / p.rate : -1);
    p.phase = map_.currentStatus;
    return p;
  }

  void tick(bool force) {
    const auto now = Clock::now();
    if (options_.progress && (force || now - lastProgress_ >= std::chrono::milliseconds(250))) {
      lastProgress_ = now;
      options_.progress(progress());
    }
    if (now - lastSave_ >= std::chrono::duration<double>(options_.saveIntervalSeconds)) save(false);
  }

  bool save(bool) {
    lastSave_ = Clock::now();
    if (options_.mapPath.empty()) return true;
    fdSync(fd_);  // the data before the map that claims it
    return saveRescueMap(options_.mapPath, map_, options_.commandLine, &saveError_);
  }

  ImagingResult& failed(ImagingResult& result, std::string why) {
    result.status = ImagingStatus::Failed;
    result.error = std::move(why);
    result.last = progress();
    return result;
  }

  ImagingResult& finish(ImagingResult& result, ImagingStatus status) {
    result.status = status;
    if (!save(true) && result.error.empty()) {
      result.status = ImagingStatus::Failed;
      result.error = saveError_;
    }
    tick(true);
    result.last = progress();
    return result;
  }

  ImagingSource& source_;
  int fd_;
  RescueMap& map_;
  const ImagingOptions& options_;
  Clock::time_point start_, lastSave_, lastProgress_;
  uint64_t rescuedAtStart_ = 0;
  uint64_t readThisRun_ = 0;
  std::vector<uint8_t> buffer_;
  std::string saveError_;
};

}  // namespace

ImagingResult runImaging(ImagingSource& source, int imageFd, RescueMap& map, const ImagingOptions& options) {
  ImagingResult result;
  if (options.blockSize == 0 || options.blockSize % kSectorSize != 0) {
    result.error = "The block size must be a multiple of 512 bytes";
    return result;
  }
  if (map.size() != source.sizeBytes()) {
    result.error = "The map does not describe a source of this size";
    return result;
  }
  Run run(source, imageFd, map, options);
  return run.go();
}

int openImageOutput(const std::string& imagePath, const std::string& sourcePath, bool resume, std::string* error) {
  if (sameFile(pathFromUtf8(sourcePath), pathFromUtf8(imagePath))) {
    *error = "The image file can not be the source itself";
    return -1;
  }
  const int fd = openFd(pathFromUtf8(imagePath), resume ? FileMode::ReadWrite : FileMode::CreateNew);
  if (fd < 0) {
    const int e = errno;
    if (e == EEXIST)
      *error = "The image file '" + imagePath + "' already exists; use --resume to continue it, or choose a new name";
    else if (e == ENOENT && resume)
      *error = "The image file '" + imagePath + "' does not exist: nothing to resume";
    else
      *error = "Can not open the image file '" + imagePath + "': " + std::strerror(e);
    return -1;
  }
  if (!fdIsRegular(fd)) {
    fdClose(fd);
    *error = "The image '" + imagePath + "' must be a regular file";
    return -1;
  }
  return fd;
}

}  // namespace brenix
