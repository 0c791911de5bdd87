#pragma once
// The disk map of the partition rescue page as geometry and texts: one strip
// per record of the selected disk, drawn to scale, and a bar under the
// selected partition. The front end only draws what this computes.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/records.h"

namespace brenix::rescue {

struct MapRect {
  int left = 0, top = 0, right = 0, bottom = 0;
};

struct MapSpan {
  int left = 0;   // first pixel column
  int right = 0;  // last pixel column
  uint32_t colour = 0;
  MapRect strip;      // the coloured strip, 8 to 18 pixels below the top
  MapRect whiteBox;   // from 21 below the top to 8 above the bottom
  std::string text;   // "%c: %s"
  int textX = 0, textY = 0;
};

struct DiskMap {
  uint32_t frameColour = 11506035;
  uint32_t fillColour = 13813940;
  MapRect frame;
  MapRect fill;  // 3 pixels in
  std::vector<MapSpan> spans;
  std::optional<MapRect> selectionBar;  // 10 pixels just above the bottom margin
  uint32_t selectionColour = 0;
};

// `area`: the map control's rectangle. `records`: the disk's records in
// catalog order (nothing drawn when `disk` is null).
DiskMap layoutDiskMap(const MapRect& area, const PhysicalDisk* disk, const std::vector<PartitionInfo>& records,
                      const PartitionInfo* selected);

}  // namespace brenix::rescue
