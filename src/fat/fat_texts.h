#pragma once
// Cell texts of the FAT results list.
#include <cstdint>
#include <string>

namespace brenix {

// "%d Byte" below 1 KB, "%.2f KB" up to 1024 KB, "%.2f MB" above.
std::string fatSizeText(uint32_t size);
// DOS date and time as "%d-%.2d-%.2d   %.2d:%.2d:%.2d" (three blanks).
std::string fatDateTimeText(uint16_t date, uint16_t time);
// The last-access date, which has no time: "%d-%.2d-%.2d   12:00:00".
std::string fatAccessDateText(uint16_t date);

}  // namespace brenix
