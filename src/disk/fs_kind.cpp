#include "disk/fs_kind.h"

namespace brenix::fskind {

uint32_t chartColour(std::string_view name) {
  if (name == kNtfs) return 16727710;
  if (name == kFat32) return 16711680;
  if (name == kFat || name == kFat16) return 65280;
  if (name == kFat12) return 65535;
  if (name == kExt2) return 16776960;
  if (name == kExt3) return 30840;
  return 12500670;
}

uint32_t mapColour(std::string_view name) { return name == kNtfs ? 16711935u : chartColour(name); }

bool isFatEngineKind(std::string_view name) { return name == kFat32 || name == kFat16 || name == kFat; }
bool isNtfsEngineKind(std::string_view name) { return name == kNtfs; }
bool isExtEngineKind(std::string_view name) { return name == kExt2 || name == kExt3 || name == kExt4; }
bool isExFatEngineKind(std::string_view name) { return name == kExFat; }

}  // namespace brenix::fskind
