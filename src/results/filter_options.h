#pragma once
// The result filter's settings as text: the command line's --filter-* values
// and the filter dialog's size fields, read by one parser, plus the preset
// names. Bad values give a message naming the option and its forms.
#include <optional>
#include <string>
#include <string_view>

#include "results/recovery_context.h"
#include "results/result_filter.h"

namespace brenix {

// The filter settings as typed.
struct FilterOptionTexts {
  int extensionChoice = 0;  // 0 all files, 1..3 a group
  std::string date;         // before:YYYY-MM-DD, after:YYYY-MM-DD or on:YYYY-MM-DD; empty = no date test
  std::string size;         // equal:N, smaller:N, larger:N or between:A:B (KB); empty = no size test
  std::string name;         // part of a file name
};

// A size in KB: a plain decimal number from 0 to 10^12 ('.' as the decimal
// point whatever the locale); nothing for any other text.
std::optional<double> parseSizeKb(std::string_view text);

// Fills `filter` from the texts (enabled when any value narrows the list);
// false with the message in `error` on a bad date or size.
bool parseFilterOptions(const FilterOptionTexts& texts, ResultFilter* filter, std::string* error);

// "pictures", "mail" or "none"; nothing for any other name.
std::optional<FilePreset> presetNamed(std::string_view name);

}  // namespace brenix
