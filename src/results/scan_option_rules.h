#pragma once
// Rules of the scan options dialogs: sector-range validation with its
// messages, the previous-file-system choices, and the raw type rows.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "results/recovery_context.h"

namespace brenix {

enum class RangeField { None, Start, End };

struct RangeCheck {
  bool accepted = false;
  std::string message;               // shown when not accepted
  RangeField reset = RangeField::None;  // the field reset to the partition's bound
  uint64_t resetValue = 0;
};

// first/last: the partition's first and last sector. start/end as entered.
RangeCheck validateSectorRange(uint64_t start, uint64_t end, uint64_t first, uint64_t last);

// Hints beside the fields: "> %d", "< %d", and the "Total Sectors : " figure (last - first).
std::string startSectorHint(uint64_t first);
std::string endSectorHint(uint64_t last);
std::string totalSectorsText(uint64_t first, uint64_t last);

struct PreviousFsChoices {
  std::vector<std::string> entries;
  int selected = -1;  // index into entries, -1 when the list is empty
};
// "FAT32" -> FAT16, FAT32, NTFS with FAT32 selected; "FAT" -> the same with
// FAT16 selected; "NTFS" -> NTFS alone; anything else -> empty.
PreviousFsChoices previousFsChoices(std::string_view currentFsName);

// Raw type rows: one row per description; a record whose description equals
// the one just before it is not listed again. Returns the record index of each row.
std::vector<size_t> rawTypeRows(const std::vector<std::string>& descriptions);

// Copies each row's check state to the selected flag of every record, from
// the row's position on, with the row's description. rowChecked has one entry per row.
void applyRawTypeRowChecks(const std::vector<std::string>& descriptions, const std::vector<size_t>& rows,
                           const std::vector<bool>& rowChecked, std::vector<bool>& selected);

// Whether a file-system engine's preset keeps a found file: its extension
// (after the last '.') in presetExtensions, in any case. None keeps all.
bool presetKeepsName(FilePreset preset, std::string_view name);

// The raw engine's extensions for a preset (lower case, no dot): pictures
// adds the camera raw formats, HEIC/HEIF, AVIF, WebP and JPEG XL.
std::vector<std::string> rawPresetExtensions(FilePreset preset);

// The extensions a raw scan narrows the type list to (lower case, no dot),
// empty to keep the list's own selected flags: those chosen on the command
// line, else none when the user picked types in the raw options dialog,
// else the preset's.
std::vector<std::string> rawScanExtensions(FilePreset preset, const std::vector<std::string>& chosen,
                                           bool pickedInDialog);

}  // namespace brenix
