#pragma once
// Field checks shared by the EXIF readers of this module (not a public interface).
#include <string>

namespace brenix::photo_detail {

// Leading and trailing blanks removed, cut at the first NUL.
std::string trimmedField(const std::string& s);
// "YYYY:MM:DD HH:MM:SS" as "YYYY-MM-DD HH:MM:SS"; "" when malformed or unset (zeros, blanks).
std::string exifDate(const std::string& s);
// "+HH:MM" / "-HH:MM" as given; "" for anything else.
std::string exifTimeOffset(const std::string& s);

}  // namespace brenix::photo_detail
