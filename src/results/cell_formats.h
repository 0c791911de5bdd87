#pragma once
// How each results page renders a found file into its list cells, and the two
// status lines. Pure functions of the engine kind and the record.
#include <cstdint>
#include <string>
#include <string_view>

#include "results/found_item.h"

namespace brenix {

enum class ListColumn { Name = 0, Size, Type, Attributes, Modified, Created, Accessed };
inline constexpr int kListColumnCount = 7;

// Column captions in order.
const char* listColumnCaption(ListColumn c);

std::string nameCell(EngineKind kind, const FoundItem& item);
std::string sizeCell(EngineKind kind, uint64_t size);
// The Type cell: EXT shows the record's own type text; the other pages the
// name's extension (the text after the last '.'), upper-cased, as "JPG File".
std::string typeCell(EngineKind kind, const FoundItem& item);
// An item that is not intact carries its condition in brackets at the end.
std::string attributesCell(EngineKind kind, const FoundItem& item);
// ListColumn::Modified, Created or Accessed; empty for any other column.
std::string dateCell(EngineKind kind, const FoundItem& item, ListColumn column);
std::string cellText(EngineKind kind, const FoundItem& item, ListColumn column);

// NTFS attribute word as its code text ("A-Del-" for a deleted archive file).
std::string ntfsAttributeText(uint32_t attributes, bool deleted);
// "probably overwritten" / "unrecoverable" / "" (intact).
std::string conditionText(ItemCondition condition);

// EXT inode mode as "rwxrwx" with '-' for clear bits.
std::string extModeText(uint32_t mode);

// FAT DOS date (high 16 bits) and time (low 16 bits) as shown in the list.
std::string dosDateTimeText(uint32_t dateTime);
std::string dosDateOnlyText(uint16_t date);  // "...   12:00:00"

// Status line: "%d files - %.2f Byte" / KB / MB / GB.
std::string statusLineText(uint64_t count, uint64_t bytes);

// Root tree item texts: "FAT32 - Logical Disk (%c:)", "NTFS - Logical Disk (%c:)",
// "EXT2( %s )", "RAW - Logical Disk (%c:)", "exFAT - Logical Disk (%c:)". fsName picks FAT16/FAT32 and EXT2/EXT3/EXT4.
std::string rootItemText(EngineKind kind, std::string_view fsName, char driveLetter, std::string_view label);

// Text after the last '.' of a name ("" when none).
std::string extensionAfterLastDot(std::string_view name);
// Text after the first '.' of a name ("" when none).
std::string extensionAfterFirstDot(std::string_view name);

const char* engineKindName(EngineKind kind);  // "FAT", "NTFS", "EXT", "RAW", "exFAT"

}  // namespace brenix
