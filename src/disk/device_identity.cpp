#include "disk/device_identity.h"

#include "common/digest.h"

#include "disk/sector_reader.h"

namespace brenix {

bool identifyDevice(const std::string& path, const std::string& model, DeviceIdentity* identity) {
  SectorReader reader;
  if (!reader.openPath(path, OpenMode::Read)) return false;
  identity->model = model;
  identity->sizeBytes = reader.sizeBytes();
  identity->firstSectorSha256.clear();
  uint8_t sector[kSectorSize];
  if (!reader.readAt(0, sector, sizeof sector)) return true;
  identity->firstSectorSha256 = digestHex(DigestKind::Sha256, sector, sizeof sector);
  return true;
}

}  // namespace brenix
