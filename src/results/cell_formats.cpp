#include "results/cell_formats.h"

#include "common/clock.h"
#include "common/text.h"

namespace brenix {

const char* listColumnCaption(ListColumn c) {
  switch (c) {
    case ListColumn::Name: return "Name";
    case ListColumn::Size: return "Size";
    case ListColumn::Type: return "Type";
    case ListColumn::Attributes: return "Attributes";
    case ListColumn::Modified: return "Date Modified";
    case ListColumn::Created: return "Date Created";
    case ListColumn::Accessed: return "Date Accessed";
  }
  return "";
}

const char* engineKindName(EngineKind kind) {
  switch (kind) {
    case EngineKind::Fat: return "FAT";
    case EngineKind::Ntfs: return "NTFS";
    case EngineKind::Ext: return "EXT";
    case EngineKind::Raw: return "RAW";
    case EngineKind::ExFat: return "exFAT";
  }
  return "";
}

std::string nameCell(EngineKind kind, const FoundItem& item) {
  if (kind == EngineKind::Ext && item.name == "Unknown")
    return format("inode(%08llX)", static_cast<unsigned long long>(item.inode));
  return item.name;
}

std::string sizeCell(EngineKind kind, uint64_t size) {
  const auto n = static_cast<unsigned long long>(size);
  const double d = static_cast<double>(size);
  switch (kind) {
    case EngineKind::Fat: {
      if (size < 1024) return format("%llu Byte", n);
      const double kb = d / 1024.0;
      if (kb > 1024.0) return format("%.2f MB", d / 1048576.0);
      return format("%.2f KB", kb);
    }
    case EngineKind::Ext:
      if (size < 1024) return format("%llu B", n);
      if (size <= 1048575) return format("%5.2f KB", d / 1024.0);
      if (size > 1073741823) return format("%5.2f GB", d / 1073741824.0);
      return format("%5.2f MB", d / 1048576.0);
    case EngineKind::Ntfs:
    case EngineKind::Raw:
    case EngineKind::ExFat:
      if (size < 1024) return format("%lluB", n);
      if (size < 1048576) return format("%0.1fKB", d / 1024.0);
      if (size < 1073741824) return format("%0.1fMB", d / 1048576.0);
      return format("%0.1fGB", d / 1073741824.0);
  }
  return {};
}

std::string extensionAfterLastDot(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot + 1));
}

std::string extensionAfterFirstDot(std::string_view name) {
  const size_t dot = name.find('.');
  return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot + 1));
}

std::string typeCell(EngineKind kind, const FoundItem& item) {
  if (kind == EngineKind::Ext) return item.typeText;
  const std::string ext = extensionAfterLastDot(item.name);
  return ext.empty() ? std::string("File") : toUpper(ext) + " File";
}

std::string ntfsAttributeText(uint32_t attributes, bool deleted) {
  static const struct {
    uint32_t bit;
    const char* code;
  } codes[] = {{0x1, "R-"},     {0x2, "H-"},    {0x4, "S-"},    {0x10, "D-"},    {0x20, "A-"},
               {0x40, "E-"},    {0x80, "N-"},   {0x100, "T-"},  {0x200, "Sp-"},  {0x400, "ReSp-"},
               {0x800, "C-"},   {0x1000, "O-"}, {0x2000, "I-"}, {0x4000, "En-"}, {0x10000000, "Dir-In-"}};
  std::string text;
  for (const auto& c : codes)
    if (attributes & c.bit) text += c.code;
  if (deleted) text += "Del-";
  return text;
}

std::string extModeText(uint32_t mode) {
  std::string text = "------";
  static const uint32_t bits[6] = {0x100, 0x80, 0x40, 0x20, 0x10, 0x08};
  static const char letters[6] = {'r', 'w', 'x', 'r', 'w', 'x'};
  for (int i = 0; i < 6; ++i)
    if (mode & bits[i]) text[static_cast<size_t>(i)] = letters[i];
  return text;
}

std::string conditionText(ItemCondition condition) {
  switch (condition) {
    case ItemCondition::Intact: return {};
    case ItemCondition::ProbablyOverwritten: return "probably overwritten";
    case ItemCondition::Unrecoverable: return "unrecoverable";
  }
  return {};
}

std::string attributesCell(EngineKind kind, const FoundItem& item) {
  std::string text;
  switch (kind) {
    case EngineKind::Fat: text = item.attributeText; break;
    case EngineKind::Ntfs:
    case EngineKind::ExFat: text = ntfsAttributeText(item.attributes, item.deleted); break;
    case EngineKind::Ext: text = extModeText(item.attributes); break;
    case EngineKind::Raw: break;
  }
  if (item.condition != ItemCondition::Intact)
    text += (text.empty() ? "[" : " [") + conditionText(item.condition) + "]";
  return text;
}

std::string dosDateTimeText(uint32_t dateTime) {
  const unsigned date = dateTime >> 16, time = dateTime & 0xFFFF;
  return format("%u-%.2u-%.2u   %.2u:%.2u:%.2u", 1980 + (date >> 9), (date >> 5) & 0xF, date & 0x1F, time >> 11,
                (time >> 5) & 0x3F, 2 * (time & 0x1F));
}

std::string dosDateOnlyText(uint16_t date) {
  return format("%u-%.2u-%.2u   12:00:00", 1980u + (date >> 9), (date >> 5) & 0xFu, date & 0x1Fu);
}

namespace {
std::string localTimeText(int64_t unixSeconds) {
  const LocalTime t = toLocalTime(unixSeconds);
  return format("%d-%.2d-%.2d %.2d:%.2d:%.2d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

uint64_t dateField(const FoundItem& item, ListColumn column) {
  switch (column) {
    case ListColumn::Modified: return item.modified;
    case ListColumn::Created: return item.created;
    case ListColumn::Accessed: return item.accessed;
    default: return 0;
  }
}
}  // namespace

std::string dateCell(EngineKind kind, const FoundItem& item, ListColumn column) {
  if (column != ListColumn::Modified && column != ListColumn::Created && column != ListColumn::Accessed) return {};
  const uint64_t value = dateField(item, column);
  switch (kind) {
    case EngineKind::Fat:
      if (column == ListColumn::Accessed) return dosDateOnlyText(static_cast<uint16_t>(value >> 16));
      return dosDateTimeText(static_cast<uint32_t>(value));
    case EngineKind::Ntfs:
    case EngineKind::ExFat:
      if (value == 0) return {};
      return localTimeText(fileTimeToUnix(value));
    case EngineKind::Ext:
      // Unix times in the viewer's local time (a fixed offset is right in one time zone only).
      return localTimeText(static_cast<int64_t>(value));
    case EngineKind::Raw: return {};
  }
  return {};
}

std::string cellText(EngineKind kind, const FoundItem& item, ListColumn column) {
  switch (column) {
    case ListColumn::Name: return nameCell(kind, item);
    case ListColumn::Size: return sizeCell(kind, item.size);
    case ListColumn::Type: return typeCell(kind, item);
    case ListColumn::Attributes: return attributesCell(kind, item);
    default: return dateCell(kind, item, column);
  }
}

std::string statusLineText(uint64_t count, uint64_t bytes) {
  const auto n = static_cast<unsigned long long>(count);
  if (bytes < 1024) return format("%llu files - %.2f Byte", n, static_cast<double>(bytes));
  double v = static_cast<double>(bytes) / 1024.0;
  if (v < 1024.0) return format("%llu files - %.2f KB", n, v);
  v = static_cast<double>(bytes) / 1048576.0;
  if (v < 1024.0) return format("%llu files - %.2f MB", n, v);
  return format("%llu files - %.2f GB", n, static_cast<double>(bytes) / 1073741824.0);
}

std::string rootItemText(EngineKind kind, std::string_view fsName, char driveLetter, std::string_view label) {
  switch (kind) {
    case EngineKind::Fat:
      return format("%s - Logical Disk (%c:)", fsName == "FAT32" ? "FAT32" : "FAT16", driveLetter);
    case EngineKind::Ntfs: return format("NTFS - Logical Disk (%c:)", driveLetter);
    case EngineKind::Ext:
      return format("%s( %s )", fsName == "EXT4" ? "EXT4" : fsName == "EXT3" ? "EXT3" : "EXT2",
                    std::string(label).c_str());
    case EngineKind::Raw: return format("RAW - Logical Disk (%c:)", driveLetter);
    case EngineKind::ExFat: return format("exFAT - Logical Disk (%c:)", driveLetter);
  }
  return {};
}

}  // namespace brenix
