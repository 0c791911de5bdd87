// A build without libewf: EWF images are recognised by their signature and
// refused with a message saying why.
#include <cerrno>

#include "disk/image_backend_ewf.h"

namespace brenix {

std::unique_ptr<ImageBackend> openEwfBackend(const std::string& path, int* error, std::string* message) {
  *error = ENOTSUP;
  *message = "'" + path + "' is an EWF image: reading EWF images is not available in this build";
  return nullptr;
}

}  // namespace brenix
