#include "exfat/exfat_entry.h"

#include <ctime>

#include "common/bytes.h"
#include "common/clock.h"
#include "common/text.h"

namespace brenix::exfat {

namespace {

Timestamp stampAt(const uint8_t* file, size_t stampOff, size_t incOff, size_t utcOff) {
  Timestamp t;
  t.packed = le32(file + stampOff);
  t.increment10ms = incOff ? file[incOff] : 0;
  t.utcOffset = file[utcOff];
  return t;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

uint64_t timestampToFileTime(const Timestamp& t) {
  if (t.packed == 0) return 0;
  const unsigned sec2 = t.packed & 0x1F, minute = (t.packed >> 5) & 0x3F, hour = (t.packed >> 11) & 0x1F;
  const unsigned day = (t.packed >> 16) & 0x1F, month = (t.packed >> 21) & 0x0F;
  const int year = 1980 + static_cast<int>(t.packed >> 25);
  if (day == 0 || month == 0 || month > 12 || hour > 23 || minute > 59 || sec2 > 29) return 0;
  int64_t unix = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + sec2 * 2;
  if (t.utcOffset & 0x80) {
    // Seven-bit signed count of 15-minute steps east of UTC.
    const int steps = (t.utcOffset & 0x40) ? static_cast<int>(t.utcOffset & 0x7F) - 128 : (t.utcOffset & 0x7F);
    unix -= static_cast<int64_t>(steps) * 15 * 60;
  }
  const unsigned inc = t.increment10ms <= 199 ? t.increment10ms : 0;
  const int64_t ticks = (unix + kFileTimeEpochOffset) * 10000000LL + static_cast<int64_t>(inc) * 100000LL;
  return ticks > 0 ? static_cast<uint64_t>(ticks) : 0;
}

uint16_t entrySetChecksum(std::span<const uint8_t> entries, bool asInUse) {
  uint16_t sum = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i == 2 || i == 3) continue;
    uint8_t b = entries[i];
    if (asInUse && i % kEntryBytes == 0) b |= kTypeInUse;
    sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
  }
  return sum;
}

SetStatus decodeEntrySet(std::span<const uint8_t> entries, size_t index, EntrySet* out) {
  const size_t count = entries.size() / kEntryBytes;
  if (index >= count) return SetStatus::Truncated;
  const uint8_t* file = entries.data() + index * kEntryBytes;
  if ((file[0] & 0x7F) != (kTypeFile & 0x7F)) return SetStatus::NotAFileEntry;
  const bool inUse = (file[0] & kTypeInUse) != 0;
  const size_t secondaries = file[1];
  // A stream entry and 1..17 name entries.
  if (secondaries < 2 || secondaries > 18) return SetStatus::BadShape;
  if (secondaries > count - index - 1) return SetStatus::Truncated;
  const std::span<const uint8_t> set = entries.subspan(index * kEntryBytes, (secondaries + 1) * kEntryBytes);
  const uint8_t* stream = file + kEntryBytes;
  // Every secondary shares the File entry's state: a deleted set has all bits clear.
  const uint8_t want = inUse ? kTypeInUse : 0;
  if (stream[0] != (kTypeStream & 0x7F) + want) return SetStatus::BadShape;
  for (size_t k = 1; k <= secondaries; ++k) {
    const uint8_t type = set[k * kEntryBytes];
    if ((type & kTypeInUse) != want || (type & 0x40) == 0) return SetStatus::BadShape;  // secondaries only
  }
  if (entrySetChecksum(set, !inUse) != le16(file + 2)) return SetStatus::BadChecksum;

  EntrySet r;
  r.inUse = inUse;
  r.attributes = le16(file + 4);
  r.created = stampAt(file, 8, 20, 22);
  r.modified = stampAt(file, 12, 21, 23);
  r.accessed = stampAt(file, 16, 0, 24);
  r.streamFlags = stream[1];
  r.nameLength = stream[3];
  r.nameHash = le16(stream + 4);
  r.validDataLength = le64(stream + 8);
  r.firstCluster = le32(stream + 20);
  r.dataLength = le64(stream + 24);
  r.entryCount = secondaries + 1;
  if (r.nameLength == 0) return SetStatus::BadShape;
  const size_t nameEntries = (r.nameLength + 14) / 15;
  if (nameEntries > secondaries - 1) return SetStatus::BadShape;
  std::u16string units;
  units.reserve(r.nameLength);
  for (size_t k = 0; k < nameEntries; ++k) {
    const uint8_t* e = set.data() + (2 + k) * kEntryBytes;
    if (e[0] != (kTypeName & 0x7F) + want) return SetStatus::BadShape;
    for (size_t u = 0; u < 15 && units.size() < r.nameLength; ++u) units.push_back(static_cast<char16_t>(le16(e + 2 + 2 * u)));
  }
  r.name = utf16ToUtf8(units, "_");
  *out = std::move(r);
  return SetStatus::Ok;
}

}  // namespace brenix::exfat
