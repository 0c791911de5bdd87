#include "cli/demo_image.h"

namespace brenix {
std::vector<std::pair<std::string, std::vector<uint8_t>>> demoPictureFiles();
}

namespace brenix::cli {

std::vector<DemoPicture> demoPictures() {
  std::vector<DemoPicture> out;
  for (auto& [name, bytes] : demoPictureFiles()) out.push_back(DemoPicture{name, std::move(bytes), false});
  return out;
}

}  // namespace brenix::cli
