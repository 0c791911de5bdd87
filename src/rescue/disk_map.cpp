#include "rescue/disk_map.h"

#include <cmath>
#include <tuple>

#include "common/text.h"
#include "disk/fs_kind.h"

namespace brenix::rescue {

namespace {

std::pair<int, int> spanOf(const MapRect& area, const PhysicalDisk& disk, const PartitionInfo& r) {
  const double size = disk.sizeBytes ? static_cast<double>(disk.sizeBytes) : 1.0;
  const double w = static_cast<double>(area.right - area.left - 16);
  const double startFraction = static_cast<double>(r.startSector()) * 512.0 / size;
  const double sizeFraction = static_cast<double>(r.totalBytes) / size;
  const double left = area.left + 8 + w * startFraction;
  const double right = left + w * sizeFraction - 1;
  // Clamp so a record past the disk's end cannot push coordinates out of range.
  auto clampPx = [&area](double v) {
    return static_cast<int>(std::fmax(area.left, std::fmin(v, static_cast<double>(area.right))));
  };
  return {clampPx(left), clampPx(right)};
}

}  // namespace

DiskMap layoutDiskMap(const MapRect& area, const PhysicalDisk* disk, const std::vector<PartitionInfo>& records,
                      const PartitionInfo* selected) {
  DiskMap map;
  map.frame = area;
  map.fill = MapRect{area.left + 3, area.top + 3, area.right - 3, area.bottom - 3};
  if (!disk) return map;
  for (const PartitionInfo& r : records) {
    MapSpan s;
    std::tie(s.left, s.right) = spanOf(area, *disk, r);
    s.colour = fskind::mapColour(r.fs());
    s.strip = MapRect{s.left, area.top + 8, s.right, area.top + 18};
    s.whiteBox = MapRect{s.left, area.top + 21, s.right, area.bottom - 8};
    s.text = format("%c: %s", r.driveLetter, r.fs().c_str());
    s.textX = s.whiteBox.left + 5;
    s.textY = s.whiteBox.top + 5;
    map.spans.push_back(std::move(s));
  }
  if (selected) {
    auto [left, right] = spanOf(area, *disk, *selected);
    map.selectionBar = MapRect{left, area.bottom - 8 - 10, right, area.bottom - 8};
    map.selectionColour = fskind::mapColour(selected->fs());
  }
  return map;
}

}  // namespace brenix::rescue
