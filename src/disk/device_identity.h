#pragma once
// What tells one disk from another when a saved scan is continued: its model
// text, its size and a hash of its first sector.
#include <cstdint>
#include <string>

namespace brenix {

struct DeviceIdentity {
  std::string model;
  uint64_t sizeBytes = 0;
  std::string firstSectorSha256;  // lower-case hex, empty when sector 0 cannot be read
};

// Reads the identity of a device or image (through SectorReader). False when it cannot be opened.
bool identifyDevice(const std::string& path, const std::string& model, DeviceIdentity* identity);

}  // namespace brenix
