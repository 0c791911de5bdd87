#pragma once
// Where carved photos are written: named from their EXIF date and camera,
// sorted into date folders, broken ones kept apart, small pictures, small
// files and repeated contents left out. Names given by a file system are not
// this module's business: it only places carved files ("File%d.ext").
#include <cstdint>
#include <set>
#include <string>

#include "photo/photo_info.h"

namespace brenix {

struct PhotoChoices {
  bool nameByExif = false;  // "YYYY-MM-DD_HH-MM-SS_<camera>.ext"
  bool sortByDate = false;  // "YYYY/YYYY-MM-DD/" folders
  bool keepBroken = true;   // broken pictures go to "broken/"; false: not written
  uint32_t minWidth = 0, minHeight = 0;  // pictures smaller in either direction are left out
  uint64_t minSize = 0;     // files of fewer bytes are left out
  bool dedup = false;       // a content (SHA-256) already written is left out
};

enum class PhotoVerdict { Write, TooSmall, FewPixels, BrokenLeftOut, Duplicate };

struct PhotoCounts {
  uint64_t broken = 0;         // broken pictures met (written to broken/ or left out)
  uint64_t brokenLeftOut = 0;
  uint64_t tooSmall = 0;       // below the minimum file size
  uint64_t fewPixels = 0;      // below the minimum pixel size
  uint64_t duplicates = 0;
};

// The camera as a name part: the model, prefixed by the make unless the
// model's first word is a word of the make; characters other than letters, digits, '-'
// and '.' become '_' (runs of them one), at most 64 bytes.
std::string cameraNamePart(const PhotoInfo& info);
// "YYYY-MM-DD_HH-MM-SS" plus "_<camera>" when known; "" without a date.
std::string exifBaseName(const PhotoInfo& info);
// "YYYY/YYYY-MM-DD"; "" without a date.
std::string dateFolderPath(const PhotoInfo& info);
// Parses "WxH" (e.g. "320x240"); false when malformed.
bool parsePixelSize(const std::string& text, uint32_t* width, uint32_t* height);

class PhotoPlanner {
 public:
  explicit PhotoPlanner(PhotoChoices choices) : choices_(choices) {}
  // Decides for carved file `name` ("File12.jpg") of `size` bytes, with what
  // examining it found (null: not a picture) and its SHA-256 (needed only
  // with dedup). On Write, *relativePath is its path below the output folder.
  PhotoVerdict place(const std::string& name, uint64_t size, const PhotoInfo* info, const std::string& sha256,
                     std::string* relativePath);
  const PhotoCounts& counts() const { return counts_; }
  const PhotoChoices& choices() const { return choices_; }

 private:
  std::string claim(const std::string& folder, const std::string& base, const std::string& ext);
  PhotoChoices choices_;
  PhotoCounts counts_;
  std::set<std::string> paths_;    // lower-case relative paths handed out
  std::set<std::string> digests_;  // contents written
};

}  // namespace brenix
