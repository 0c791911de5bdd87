#pragma once
// The filter dialog's settings and the test each results page applies to a
// found file before listing it.
#include <cstdint>
#include <string>
#include <string_view>

#include "results/found_item.h"

namespace brenix {

enum class DateFilterMode { Ignore = 0, Before = 1, After = 2, On = 3 };
enum class SizeFilterMode { Ignore = 0, Equal = 1, Smaller = 2, Larger = 3, Between = 4 };

struct ResultFilter {
  bool enabled = false;        // the check box beside the Filter button
  int extensionChoice = 0;     // 0 all files, 1..3 a group
  DateFilterMode dateMode = DateFilterMode::Ignore;
  uint16_t date = 0;           // DOS date
  SizeFilterMode sizeMode = SizeFilterMode::Ignore;
  double sizeKb1 = 0, sizeKb2 = 0;
  std::string name;            // part of a file name; empty = no name test

  // Whether any value would narrow the list.
  bool anyValueSet() const {
    return extensionChoice != 0 || dateMode != DateFilterMode::Ignore || sizeMode != SizeFilterMode::Ignore ||
           !name.empty();
  }
};

// "bmp.jpg", "gif.png.ico.tif.mng.tga.pcx", "pcx.wbmp.wmf.j2k.jbg.jp2.jpc.pgx.pnm.ras"
// for choices 1..3; empty otherwise.
std::string_view extensionGroupText(int choice);
// The drop-down entries, choices 0..3.
std::string_view extensionChoiceCaption(int choice);

// DOS date of a calendar day (years before 1980 become 0, after 2107 are capped).
uint16_t dosDate(int year, int month, int day);

// The date the filter compares for a record (0 for the raw page, which has no date test).
uint16_t filterDateOf(EngineKind kind, const FoundItem& item);

// The whole filter test; a disabled filter passes everything.
bool passesFilter(EngineKind kind, const FoundItem& item, const ResultFilter& filter);

}  // namespace brenix
