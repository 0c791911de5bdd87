#include "disk/device_identity.h"

#include <openssl/evp.h>

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
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(sector, sizeof sector, digest, &length, EVP_sha256(), nullptr) != 1) return true;
  static const char* hex = "0123456789abcdef";
  for (unsigned i = 0; i < length; ++i) {
    identity->firstSectorSha256 += hex[digest[i] >> 4];
    identity->firstSectorSha256 += hex[digest[i] & 15];
  }
  return true;
}

}  // namespace brenix
