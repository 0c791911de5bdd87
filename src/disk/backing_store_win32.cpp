#ifdef _WIN32
// Windows: a folder is stored on the volume its drive letter names; the disk
// behind a letter is not looked up, so only the letter is compared by the
// recovery output. Paths without a drive letter (UNC shares, volume GUID
// paths) are reported as unknown.
#include <windows.h>

#include "common/file_io.h"
#include "disk/backing_store.h"

namespace fs = std::filesystem;

namespace brenix {

BackingStore backingStoreOf(const fs::path& path, const SystemFiles&) {
  BackingStore out;
  std::error_code ec;
  const std::string text = pathToUtf8(fs::absolute(path, ec));
  if (text.size() < 2 || text[1] != ':') {
    out.known = false;
    out.reason = "the folder '" + text + "' has no drive letter, so its disk cannot be known";
    return out;
  }
  out.chain.push_back(text.substr(0, 2));
  return out;
}

BackingStore backingStoreOfDevice(uint64_t, const SystemFiles&) {
  BackingStore out;
  out.known = false;
  out.reason = "device numbers are not used on this system";
  return out;
}

std::string imagePathProblem(const std::string& path) {
  if (path.empty()) return "No disk image path given";
  if (path.rfind("\\\\.\\", 0) == 0) return {};  // a raw device
  const DWORD attributes = GetFileAttributesW(pathFromUtf8(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "The disk image '" + path + "' does not exist";
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return "The disk image '" + path + "' is a folder; give an image file or a disk's device";
  return {};
}

bool pathIsOnDisks(const fs::path& path, const std::vector<uint64_t>&, std::string* what, const SystemFiles&) {
  const std::string text = pathToUtf8(path);
  if (text.rfind("\\\\.\\", 0) == 0) {
    if (what) *what = "the device " + text;
    return true;
  }
  return false;
}

}  // namespace brenix
#endif
