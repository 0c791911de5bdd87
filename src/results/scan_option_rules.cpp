#include "results/scan_option_rules.h"

#include "common/text.h"

namespace brenix {

namespace {
unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }
}  // namespace

RangeCheck validateSectorRange(uint64_t start, uint64_t end, uint64_t first, uint64_t last) {
  RangeCheck r;
  if (start < first) {
    r.message = format("Start sector is not valid. This must be bigger than %llu", ull(first));
    r.reset = RangeField::Start;
    r.resetValue = first;
  } else if (end > last) {
    r.message = format("End sector is not valid. This must be less than %llu", ull(last));
    r.reset = RangeField::End;
    r.resetValue = last;
  } else if (start < end) {
    r.accepted = true;
  } else {
    r.message = "Start sector must be less than end sector";
    r.reset = RangeField::Start;
    r.resetValue = first;
  }
  return r;
}

std::string startSectorHint(uint64_t first) { return format("> %llu", ull(first)); }
std::string endSectorHint(uint64_t last) { return format("< %llu", ull(last)); }
std::string totalSectorsText(uint64_t first, uint64_t last) {
  return format("%llu", ull(last >= first ? last - first : 0));
}

PreviousFsChoices previousFsChoices(std::string_view currentFsName) {
  PreviousFsChoices c;
  if (currentFsName == "FAT32" || currentFsName == "FAT") {
    c.entries = {"FAT16", "FAT32", "NTFS"};
    c.selected = currentFsName == "FAT32" ? 1 : 0;
  } else if (currentFsName == "NTFS") {
    c.entries = {"NTFS"};
    c.selected = 0;
  } else if (currentFsName == "exFAT") {
    c.entries = {"exFAT"};
    c.selected = 0;
  }
  return c;
}

std::vector<size_t> rawTypeRows(const std::vector<std::string>& descriptions) {
  std::vector<size_t> rows;
  for (size_t i = 0; i < descriptions.size(); ++i)
    if (i == 0 || descriptions[i] != descriptions[i - 1]) rows.push_back(i);
  return rows;
}

void applyRawTypeRowChecks(const std::vector<std::string>& descriptions, const std::vector<size_t>& rows,
                           const std::vector<bool>& rowChecked, std::vector<bool>& selected) {
  selected.resize(descriptions.size(), false);
  for (size_t r = 0; r < rows.size() && r < rowChecked.size(); ++r) {
    if (rows[r] >= descriptions.size()) continue;
    const std::string& desc = descriptions[rows[r]];
    for (size_t i = rows[r]; i < descriptions.size(); ++i)
      if (descriptions[i] == desc) selected[i] = rowChecked[r];
  }
}

bool presetKeepsName(FilePreset preset, std::string_view name) {
  if (preset == FilePreset::None) return true;
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string ext = "." + toLower(std::string(name.substr(dot + 1)));
  for (const std::string& e : presetExtensions(preset))
    if (e == ext) return true;
  return false;
}

std::vector<std::string> rawPresetExtensions(FilePreset preset) {
  std::vector<std::string> out;
  for (const std::string& e : presetExtensions(preset)) out.push_back(e.substr(1));
  if (preset == FilePreset::Pictures)
    for (const char* e : {"cr2", "cr3", "crw", "nef", "orf", "raf", "rw2", "mrw", "x3f",
                          "heic", "heif", "avif", "webp", "jxl"})
      out.emplace_back(e);
  return out;
}

std::vector<std::string> rawScanExtensions(FilePreset preset, const std::vector<std::string>& chosen,
                                           bool pickedInDialog) {
  std::vector<std::string> out;
  for (const std::string& e : chosen) out.push_back(toLower(e));
  if (!out.empty() || pickedInDialog) return out;
  return rawPresetExtensions(preset);
}

}  // namespace brenix
