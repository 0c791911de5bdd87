#include "results/result_filter.h"

#include <algorithm>

#include "common/clock.h"
#include "common/text.h"
#include "results/cell_formats.h"

namespace brenix {

std::string_view extensionGroupText(int choice) {
  switch (choice) {
    case 1: return "bmp.jpg";
    case 2: return "gif.png.ico.tif.mng.tga.pcx";
    case 3: return "pcx.wbmp.wmf.j2k.jbg.jp2.jpc.pgx.pnm.ras";
    default: return {};
  }
}

std::string_view extensionChoiceCaption(int choice) {
  switch (choice) {
    case 0: return "All Files (*.*)";
    case 1: return "Image Files (*.bmp | *.jpg )";
    case 2: return "Image Files (*.gif | *.png | *.mng | *.ico | *.tif | *.tga| .*pcx)";
    case 3: return "Image Files (*.pcx | *.wbmp | *.wmf | *.j2k | *.jbg | *.jp2 | *.jpc | *.pgx| .*pnm| *.ras)";
    default: return {};
  }
}

uint16_t dosDate(int year, int month, int day) {
  if (year < 1980) return 0;
  year = std::min(year, 2107);
  return static_cast<uint16_t>(((year - 1980) << 9) | ((month & 0xF) << 5) | (day & 0x1F));
}

namespace {

uint16_t dosDateOfLocal(int64_t unixSeconds) {
  const LocalTime t = toLocalTime(unixSeconds);
  return dosDate(t.year, t.month, t.day);
}

bool extensionPasses(EngineKind kind, const FoundItem& item, std::string_view group) {
  switch (kind) {
    case EngineKind::Fat: {
      // The record's extension, lower-cased, equals one of the dot-separated entries.
      const std::string ext = toLower(extensionAfterLastDot(item.name));
      size_t pos = 0;
      while (pos <= group.size()) {
        size_t end = group.find('.', pos);
        if (end == std::string_view::npos) end = group.size();
        if (group.substr(pos, end - pos) == ext) return !ext.empty();
        pos = end + 1;
      }
      return false;
    }
    // Folded to lower case like the FAT test: "IMG_0001.JPG" is a picture on every page.
    case EngineKind::Ext:
      return !item.typeText.empty() && group.find(toLower(item.typeText)) != std::string_view::npos;
    // exFAT names are long names like FAT's: the text after the last '.'.
    case EngineKind::ExFat: {
      const std::string ext = toLower(extensionAfterLastDot(item.name));
      return !ext.empty() && group.find(ext) != std::string_view::npos;
    }
    case EngineKind::Ntfs:
    case EngineKind::Raw: {
      const std::string ext = toLower(extensionAfterFirstDot(item.name));
      return !ext.empty() && group.find(ext) != std::string_view::npos;
    }
  }
  return false;
}

bool sizePasses(uint64_t size, const ResultFilter& f) {
  const double bytes = static_cast<double>(size);
  switch (f.sizeMode) {
    case SizeFilterMode::Ignore: return true;
    case SizeFilterMode::Equal: return format("%.2f", f.sizeKb1) == format("%.2f", bytes / 1024.0);
    case SizeFilterMode::Smaller: return bytes < f.sizeKb1 * 1024.0;
    case SizeFilterMode::Larger: return bytes > f.sizeKb1 * 1024.0;
    case SizeFilterMode::Between: return f.sizeKb1 * 1024.0 < bytes && bytes < f.sizeKb2 * 1024.0;
  }
  return true;
}

}  // namespace

uint16_t filterDateOf(EngineKind kind, const FoundItem& item) {
  switch (kind) {
    case EngineKind::Fat: return static_cast<uint16_t>(item.created >> 16);
    case EngineKind::Ntfs:
    case EngineKind::ExFat: return item.created == 0 ? 0 : dosDateOfLocal(fileTimeToUnix(item.created));
    // The inode change time in local time, the same calendar day the list shows.
    case EngineKind::Ext: return dosDateOfLocal(static_cast<int64_t>(item.created));
    case EngineKind::Raw: return 0;
  }
  return 0;
}

bool passesFilter(EngineKind kind, const FoundItem& item, const ResultFilter& f) {
  if (!f.enabled) return true;
  if (f.extensionChoice >= 1 && f.extensionChoice <= 3 && !extensionPasses(kind, item, extensionGroupText(f.extensionChoice)))
    return false;
  if (f.dateMode != DateFilterMode::Ignore && kind != EngineKind::Raw) {
    const uint16_t d = filterDateOf(kind, item);
    if (f.dateMode == DateFilterMode::Before && !(d < f.date)) return false;
    if (f.dateMode == DateFilterMode::After && !(d > f.date)) return false;
    if (f.dateMode == DateFilterMode::On && d != f.date) return false;
  }
  if (!sizePasses(item.size, f)) return false;
  if (!f.name.empty() && toLower(item.name).find(toLower(f.name)) == std::string::npos) return false;
  return true;
}

}  // namespace brenix
