#pragma once
// The map of an imaging run, in GNU ddrescue's mapfile format, so that either
// tool can continue a copy the other started:
//
//   # comment lines
//   0x00000000  ?  1          current position, current status, current pass
//   0x00000000  0x00100000  +  one line per area: position, size, status
//
// Area status: '?' not tried yet, '*' failed in a large read (not split yet),
// '/' split but not read sector by sector yet, '-' bad sector(s), '+' copied.
#include <cstdint>
#include <string>
#include <vector>

namespace brenix {

enum class AreaStatus : char {
  NonTried = '?',
  NonTrimmed = '*',
  NonScraped = '/',
  BadSector = '-',
  Finished = '+',
};

struct MapArea {
  uint64_t pos = 0;
  uint64_t size = 0;
  AreaStatus status = AreaStatus::NonTried;
  uint64_t end() const { return pos + size; }
};

class RescueMap {
 public:
  // A map of one area of `size` bytes, nothing tried.
  explicit RescueMap(uint64_t size = 0);

  // Parses mapfile text for a source of `size` bytes. Lines must be sorted,
  // must not overlap and must lie inside the source; gaps between them count
  // as not tried. False with a sentence naming the line in *error otherwise.
  bool parse(const std::string& text, uint64_t size, std::string* error);
  std::string text(const std::string& commandLine) const;

  // Sets [pos, pos + size) to status, merging equal neighbours.
  void set(uint64_t pos, uint64_t size, AreaStatus status);
  const std::vector<MapArea>& areas() const { return areas_; }
  uint64_t size() const { return size_; }
  uint64_t bytesWith(AreaStatus status) const;
  // Number of runs of bad or not-yet-split areas (what the user sees as bad areas).
  size_t badAreaCount() const;
  // The first area at or after pos with the status, or null.
  const MapArea* findFrom(uint64_t pos, AreaStatus status) const;

  uint64_t currentPos = 0;
  char currentStatus = '?';  // '?' copying, '*' trimming, '/' scraping, '-' retrying, '+' finished
  int currentPass = 1;

 private:
  uint64_t size_ = 0;
  std::vector<MapArea> areas_;
};

// Reads and writes a map file. save writes a temporary file beside path and
// renames it over path, so an interrupted run never leaves half a map.
bool loadRescueMap(const std::string& path, uint64_t size, RescueMap* map, std::string* error);
bool saveRescueMap(const std::string& path, const RescueMap& map, const std::string& commandLine, std::string* error);

}  // namespace brenix
