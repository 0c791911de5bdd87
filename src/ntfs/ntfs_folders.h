#pragma once
// The folders of one record table, kept compactly for rebuilding folder chains
// after the table has streamed past: per folder record its slot (its record
// number in the live table, its position among the swept records otherwise),
// its parent's record number and its name. Nothing else of a record stays.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenix {

class NtfsFolderTable {
 public:
  struct Folder {
    uint32_t parent = 0;
    std::string_view name;
  };

  // Slots must come in ascending order (as the table streams).
  void add(uint32_t slot, uint32_t parent, std::string_view name);
  std::optional<Folder> find(uint32_t slot) const;
  size_t size() const { return entries_.size(); }
  void clear();

 private:
  struct Entry {
    uint32_t slot, parent, nameOffset, nameLength;
  };
  std::vector<Entry> entries_;
  std::string names_;
};

}  // namespace brenix
