#pragma once
// EWF images through libewf (inside the disk layer only).
#include <memory>
#include <string>

#include "disk/image_backend.h"

namespace brenix {

// Opens path (the first segment, or any file with the EWF signature) and the
// segments that belong to it.
std::unique_ptr<ImageBackend> openEwfBackend(const std::string& path, int* error, std::string* message);

}  // namespace brenix
