#include "ntfs/ntfs_folders.h"

#include <algorithm>

namespace brenix {

void NtfsFolderTable::add(uint32_t slot, uint32_t parent, std::string_view name) {
  if (!entries_.empty() && entries_.back().slot >= slot) return;  // out of order: keep the first
  if (names_.size() + name.size() > UINT32_MAX) return;
  entries_.push_back({slot, parent, static_cast<uint32_t>(names_.size()), static_cast<uint32_t>(name.size())});
  names_.append(name);
}

std::optional<NtfsFolderTable::Folder> NtfsFolderTable::find(uint32_t slot) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), slot,
                             [](const Entry& e, uint32_t s) { return e.slot < s; });
  if (it == entries_.end() || it->slot != slot) return std::nullopt;
  return Folder{it->parent, std::string_view(names_).substr(it->nameOffset, it->nameLength)};
}

void NtfsFolderTable::clear() {
  std::vector<Entry>().swap(entries_);
  std::string().swap(names_);
}

}  // namespace brenix
