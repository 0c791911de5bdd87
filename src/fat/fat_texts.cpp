#include "fat/fat_texts.h"

#include "common/text.h"

namespace brenix {

std::string fatSizeText(uint32_t size) {
  if (size < 1024) return format("%d Byte", static_cast<int>(size));
  const double kb = size / 1024.0;
  if (kb > 1024.0) return format("%.2f MB", size / 1048576.0);
  return format("%.2f KB", kb);
}

std::string fatDateTimeText(uint16_t date, uint16_t time) {
  return format("%d-%.2d-%.2d   %.2d:%.2d:%.2d", 1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F, time >> 11,
                (time >> 5) & 0x3F, (time & 0x1F) * 2);
}

std::string fatAccessDateText(uint16_t date) {
  return format("%d-%.2d-%.2d   12:00:00", 1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F);
}

}  // namespace brenix
