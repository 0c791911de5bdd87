#pragma once
// The folder tree a scan fills: folders hold the found items that lie
// directly in them. The tree owns the FoundItem views; engines own their full
// records.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "results/found_item.h"

namespace brenix {

struct ResultFolder {
  std::string name;
  ResultFolder* parent = nullptr;
  std::vector<std::unique_ptr<ResultFolder>> children;
  std::vector<size_t> items;  // indices into ResultTree's items, in collection order
  bool checked = false;
  uint64_t key = 0;           // the engine's key for this folder (NTFS record number, ...), 0 when none
};

class ResultTree {
 public:
  explicit ResultTree(std::string rootName = {});
  ResultTree(const ResultTree&) = delete;
  ResultTree& operator=(const ResultTree&) = delete;

  ResultFolder& root() { return *root_; }
  const ResultFolder& root() const { return *root_; }
  void setRootName(std::string name) { root_->name = std::move(name); }

  // Adds a folder at the end of parent's children. A non-zero key makes it findable by key.
  ResultFolder& addFolder(ResultFolder& parent, std::string name, uint64_t key = 0);
  // The child of parent with this exact name, or null.
  ResultFolder* findChild(ResultFolder& parent, std::string_view name);
  // The child with this name, added when missing.
  ResultFolder& childNamed(ResultFolder& parent, std::string_view name, uint64_t key = 0);
  ResultFolder* findByKey(uint64_t key);

  size_t addItem(ResultFolder& folder, FoundItem item);
  FoundItem& item(size_t index) { return items_.at(index); }
  const FoundItem& item(size_t index) const { return items_.at(index); }
  size_t itemCount() const { return items_.size(); }
  std::vector<FoundItem>& items() { return items_; }
  const std::vector<FoundItem>& items() const { return items_; }

  // Folder path from below the root down to `folder`, names in order.
  static std::vector<std::string> pathOf(const ResultFolder& folder);

 private:
  std::unique_ptr<ResultFolder> root_;
  std::vector<FoundItem> items_;
  std::unordered_map<uint64_t, ResultFolder*> byKey_;
};

}  // namespace brenix
