#include "common/version.h"

namespace brenix {

extern const char* const kGitDescribe;  // generated at build time

std::string versionText() {
  std::string out = kVersion;
  if (kGitDescribe[0] != '\0') out += std::string(" (git ") + kGitDescribe + ")";
  return out;
}

}  // namespace brenix
