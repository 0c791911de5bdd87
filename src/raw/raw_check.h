#pragma once
// Checks a loaded signature database for mistakes an author would want to
// know about: duplicate or shadowed signature sets, malformed patterns, and
// descriptions that would share a results folder with another type.
#include <string>
#include <vector>

#include "raw/raw_types.h"

namespace brenix {

struct RawTypeIssue {
  size_t type;          // index in the list
  std::string message;
};

std::vector<RawTypeIssue> checkRawTypes(const RawTypeList& list);

}  // namespace brenix
