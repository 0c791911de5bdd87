#pragma once
// File-system kind names (FsKind). A partition's kind is the short text in its
// record's fsName field; every decision compares it exactly and case-sensitively.
#include <cstdint>
#include <string_view>

namespace brenix::fskind {

inline constexpr std::string_view kNtfs = "NTFS";
inline constexpr std::string_view kFat32 = "FAT32";
inline constexpr std::string_view kFat = "FAT";      // FAT12/FAT16, as the system reports it
inline constexpr std::string_view kFat16 = "FAT16";  // found by the lost-partition search
inline constexpr std::string_view kFat12 = "FAT12";
inline constexpr std::string_view kExFat = "exFAT";
inline constexpr std::string_view kGuessNtfs = "#NTFS#";
inline constexpr std::string_view kGuessFat16 = "#FAT16#";
inline constexpr std::string_view kGuessFat32 = "#FAT32#";
inline constexpr std::string_view kSwap = "SWAP";
inline constexpr std::string_view kExt2 = "EXT2";
inline constexpr std::string_view kExt3 = "EXT3";
inline constexpr std::string_view kExt4 = "EXT4";
inline constexpr std::string_view kExtUnknown = "EXTX";
inline constexpr std::string_view kUnknown = "Unknown";
inline constexpr std::string_view kDeleted = "Deleted";

// Colour of a kind on the drive page's charts (Windows COLORREF value).
uint32_t chartColour(std::string_view name);
// The partition rescue page's map draws NTFS in its own colour.
uint32_t mapColour(std::string_view name);

bool isFatEngineKind(std::string_view name);   // "FAT32", "FAT16", "FAT"
bool isNtfsEngineKind(std::string_view name);  // "NTFS"
bool isExtEngineKind(std::string_view name);   // "EXT2", "EXT3", "EXT4"
bool isExFatEngineKind(std::string_view name); // "exFAT"

}  // namespace brenix::fskind
