#include "results/filter_options.h"

#include <charconv>
#include <cstdio>
#include <vector>

#include "common/text.h"

namespace brenix {
namespace {

std::vector<std::string> splitOn(std::string_view text, char sep) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == sep) parts.emplace_back();
    else parts.back() += c;
  }
  return parts;
}

bool parseDate(const std::string& text, DateFilterMode* mode, uint16_t* date) {
  const auto parts = splitOn(text, ':');
  int y = 0, m = 0, d = 0;
  char tail = 0;
  const bool dateOk = parts.size() == 2 && std::sscanf(parts[1].c_str(), "%d-%d-%d%c", &y, &m, &d, &tail) == 3 &&
                      y >= 1980 && y <= 2107 && m >= 1 && m <= 12 && d >= 1 && d <= 31;
  const std::string word = toLower(parts[0]);
  if (!dateOk || (word != "before" && word != "after" && word != "on")) return false;
  *mode = word == "before" ? DateFilterMode::Before : word == "after" ? DateFilterMode::After : DateFilterMode::On;
  *date = dosDate(y, m, d);
  return true;
}

bool parseSize(const std::string& text, SizeFilterMode* mode, double* kb1, double* kb2) {
  const auto parts = splitOn(text, ':');
  const std::string word = toLower(parts[0]);
  std::optional<double> a, b;
  if ((word == "equal" || word == "smaller" || word == "larger") && parts.size() == 2) {
    a = parseSizeKb(parts[1]);
    b = 0.0;
    *mode = word == "equal" ? SizeFilterMode::Equal : word == "smaller" ? SizeFilterMode::Smaller : SizeFilterMode::Larger;
  } else if (word == "between" && parts.size() == 3) {
    a = parseSizeKb(parts[1]);
    b = parseSizeKb(parts[2]);
    *mode = SizeFilterMode::Between;
  }
  if (!a || !b) return false;
  *kb1 = *a;
  *kb2 = *b;
  return true;
}

}  // namespace

std::optional<double> parseSizeKb(std::string_view text) {
  double v = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, v, std::chars_format::fixed);
  if (text.empty() || ec != std::errc() || ptr != end || !(v >= 0) || v > 1e12) return std::nullopt;
  return v;
}

bool parseFilterOptions(const FilterOptionTexts& texts, ResultFilter* f, std::string* error) {
  *f = ResultFilter{};
  f->extensionChoice = texts.extensionChoice;
  if (!texts.date.empty() && !parseDate(texts.date, &f->dateMode, &f->date)) {
    *error = "Invalid --filter-date '" + texts.date +
             "': use before:YYYY-MM-DD, after:YYYY-MM-DD or on:YYYY-MM-DD (years 1980 to 2107)";
    return false;
  }
  if (!texts.size.empty() && !parseSize(texts.size, &f->sizeMode, &f->sizeKb1, &f->sizeKb2)) {
    *error = "Invalid --filter-size '" + texts.size + "': use equal:N, smaller:N, larger:N or between:A:B (KB)";
    return false;
  }
  f->name = texts.name;
  f->enabled = f->anyValueSet();
  return true;
}

std::optional<FilePreset> presetNamed(std::string_view name) {
  if (name == "pictures") return FilePreset::Pictures;
  if (name == "mail") return FilePreset::Mail;
  if (name == "none") return FilePreset::None;
  return std::nullopt;
}

}  // namespace brenix
