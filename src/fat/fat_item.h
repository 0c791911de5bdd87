#pragma once
// The FAT engine's record of one found file, the walk's directory task, and
// the helpers that turn directory entries into names and filters.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "results/found_item.h"

namespace brenix {

struct ResultFolder;

// One found file (fixed 296-byte record).
struct FatItem {
  char name[255];          // shown and written name: name part, "." and extension when there is one
  char extension[5];       // upper-case, at most 4 characters
  char attributeText[12];  // "RW", "H-R", "RW-S" ...
  uint32_t size;
  uint32_t startCluster;   // FAT32: high word << 16 | low word
  uint16_t createTime, createDate, accessDate, writeTime, writeDate;  // raw DOS fields
  uint8_t checked;
  uint8_t shown;
  uint8_t reserved[4];  // keeps the record at its fixed size

  std::string nameText() const;
  std::string extensionText() const;
};
static_assert(sizeof(FatItem) == 296);

// One directory waiting in the walk queue.
struct FatDirTask {
  uint32_t startCluster = 0;
  ResultFolder* folder = nullptr;
  std::string name;
  bool live = false;  // neither its entry nor any directory above it is deleted
};

// "H-" when hidden, "R-" when read-only else "RW-", "S-" when system; trailing "-" dropped.
std::string fatAttributeText(uint8_t attr);
// Eight or three name bytes: invalid characters become spaces, a leading 0xE5
// becomes "#" (name only), trimmed; an empty name becomes "_".
std::string fatShortNamePart(const uint8_t* bytes, size_t n, bool isName);
// Makes a name safe as one path component: no separators or control
// characters, never "." or "..", cut to fit the record (whole UTF-8 characters).
std::string fatSafeComponent(std::string_view name, size_t maxBytes = 254);

// Name part and extension of a found file: from the long name when there is
// one (split at its last "." found at position 1 or later, extension
// upper-cased), else the short name's.
std::pair<std::string, std::string> fatSplitName(const std::string& longName, const std::string& shortName,
                                                 const std::string& shortExt);

// Fills a record from a directory entry and the chosen name part and extension
// (the extension is cut to four characters).
FatItem makeFatItem(const uint8_t* entry, const std::string& namePart, const std::string& extension, bool fat32);

// The results core's view of a record.
FoundItem toFoundItem(const FatItem& item, uint8_t attr, bool deleted, uint64_t index);

// --- Filters -----------------------------------------------------------------

using FatNamePattern = std::pair<std::string, std::string>;  // (name, extension), upper case

// Folder names the walk must follow, from the search folder below the root path.
std::vector<std::string> fatFolderFilter(const std::string& searchFolder, const std::string& rootPath);
// (name, extension) pairs of a pattern text; empty text gives one pair that matches everything.
std::vector<FatNamePattern> fatNamePatterns(const std::string& text);
bool fatMatchesPatterns(const std::vector<FatNamePattern>& patterns, const std::string& upperName,
                        const std::string& upperExt);

}  // namespace brenix
