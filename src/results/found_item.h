#pragma once
// The engine-independent view of one found file: every field the results
// browser shows or changes. Each engine keeps its own full record and points
// back to it with engineIndex.
#include <cstdint>
#include <string>

namespace brenix {

enum class EngineKind { Fat, Ntfs, Ext, Raw, ExFat };

// What the engine knows against an item's bytes being the file's own.
enum class ItemCondition : uint8_t {
  Intact,               // nothing known against it
  ProbablyOverwritten,  // its first unit now belongs to a live file: its bytes are likely another file's
  Unrecoverable,        // where its data lies is lost (e.g. its extent record was reused)
};

struct FoundItem {
  std::string name;            // shown in the Name column and used as the output file name
  uint64_t size = 0;           // bytes
  uint32_t attributes = 0;     // NTFS: file attribute word; EXT: inode mode; FAT: attribute byte
  std::string attributeText;   // FAT: the record's attribute text
  std::string typeText;        // EXT: the record's own type text (others derive it from the name)
  // Engine-native time stamps: NTFS 100-ns file times; EXT Unix seconds;
  // FAT DOS date in the high 16 bits and DOS time in the low 16 (Accessed: date only);
  // exFAT 100-ns file times like NTFS; raw: a carved picture's date taken as
  // the number YYYYMMDDHHMMSS in modified (0 without one).
  uint64_t modified = 0, created = 0, accessed = 0;
  bool deleted = false;
  ItemCondition condition = ItemCondition::Intact;  // never counted as a verified success unless Intact
  bool checked = false;
  bool shown = true;           // passed the current result filter
  uint64_t inode = 0;          // EXT: inode number, shown as "inode(%p)" for unnamed records
  uint64_t engineIndex = 0;    // index of the engine's own record
};

}  // namespace brenix
