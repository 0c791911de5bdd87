#pragma once
// The NTFS half of the demo: a small NTFS volume made by the system's own
// mkntfs and filled by ntfscp (both from ntfs-3g), with some pictures then
// deleted the way NTFS frees a file record (its in-use flag cleared; the
// data clusters are left as they were).
#include <filesystem>
#include <string>
#include <vector>

#include "cli/demo_image.h"

namespace brenix::cli {

enum class NtfsDemoStatus { Built, ToolsMissing, Failed };

// Builds the volume image at path from pictures, deleting those marked so.
// ToolsMissing when mkntfs or ntfscp cannot be found (message says which).
NtfsDemoStatus buildNtfsDemoImage(const std::filesystem::path& path, const std::vector<DemoPicture>& pictures,
                                  std::string* message);

// Clears the in-use flag of the file records named in `names` (fixups are
// checked, the flag lies outside the fixed-up bytes). Returns how many were
// cleared, -1 with a message when the volume cannot be read or written.
int markNtfsRecordsDeleted(const std::filesystem::path& image, const std::vector<std::string>& names,
                           std::string* message);

}  // namespace brenix::cli
