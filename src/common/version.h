#pragma once
// The program's version. The number comes from the project version in the
// top CMakeLists (BRENIX_VERSION, e.g. "1.0.0.0"); versionText() adds the git
// description of the build when it was built from a git checkout.
#include <string>

#ifndef BRENIX_VERSION
#error "BRENIX_VERSION is set by the build (brenix_common)"
#endif

namespace brenix {

inline constexpr const char* kVersion = BRENIX_VERSION;
inline constexpr const char* kProductName = "Brenix Photo Recovery";

// "1.0.0.0", or "1.0.0.0 (git 84836fa)" when the build knows its git description.
std::string versionText();

}  // namespace brenix
