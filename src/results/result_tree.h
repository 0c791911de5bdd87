#pragma once
// The folder tree a scan fills: folders hold the found items that lie
// directly in them. The tree owns the FoundItem views; engines own their full
// records.
//
// Filing scales to millions of items: a folder with more than a handful of
// children keeps a hash index of them (by name and key, by name, by key), so
// finding or adding a child costs the same in a folder of 100,000 children as
// in one of ten. The index follows appends to `children` made through the tree
// or directly; a folder's name is fixed once it has a parent.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "results/found_item.h"

namespace brenix {

struct ResultFolderIndex;  // the hash index of a folder's children (result_tree.cpp)
struct ResultFolderIndexDeleter {
  void operator()(ResultFolderIndex* index) const;
};

struct ResultFolder {
  std::string name;
  ResultFolder* parent = nullptr;
  std::vector<std::unique_ptr<ResultFolder>> children;
  std::vector<size_t> items;  // indices into ResultTree's items, in collection order
  bool checked = false;
  uint64_t key = 0;           // the engine's key for this folder (NTFS record number, ...), 0 when none
  // Built by the tree once the folder has many children; never needed by readers.
  std::unique_ptr<ResultFolderIndex, ResultFolderIndexDeleter> childIndex;
};

class ResultTree {
 public:
  // The folder under the root that gathers items whose parent folder is unknown.
  static constexpr const char* kLostFilesName = "Lost Files";

  explicit ResultTree(std::string rootName = {});
  ResultTree(const ResultTree&) = delete;
  ResultTree& operator=(const ResultTree&) = delete;

  ResultFolder& root() { return *root_; }
  const ResultFolder& root() const { return *root_; }
  void setRootName(std::string name) { root_->name = std::move(name); }

  // Adds a folder at the end of parent's children. A non-zero key makes it findable by key.
  ResultFolder& addFolder(ResultFolder& parent, std::string name, uint64_t key = 0);
  // The first child of parent with this exact name (any key), or null.
  ResultFolder* findChild(ResultFolder& parent, std::string_view name);
  // The first child of parent with this exact name and key, or null.
  ResultFolder* findChild(ResultFolder& parent, std::string_view name, uint64_t key);
  // The first child of parent with this non-zero key (any name), or null.
  ResultFolder* findChildByKey(ResultFolder& parent, uint64_t key);
  // The child with this name (any key), added with `key` when missing.
  ResultFolder& childNamed(ResultFolder& parent, std::string_view name, uint64_t key = 0);
  // The child with this name and key, added when missing: folders of one name
  // but different keys are different folders.
  ResultFolder& childKeyed(ResultFolder& parent, std::string_view name, uint64_t key);
  // The folder reached from `start` through names[n-1] (top) down to names[0]
  // (the item's parent), each matched by name and key (keys[k], or 0 past the
  // end of keys) and added when missing.
  ResultFolder& folderAlong(ResultFolder& start, const std::vector<std::string>& names,
                            const std::vector<uint32_t>& keys);
  // The folder for items whose parent record `missingParent` is unknown: one
  // folder per missing parent inside the root's "Lost Files" folder, named
  // `nameIfNew` when it is first made. Every orphan of one missing parent lands
  // in the same folder.
  ResultFolder& lostFolderFor(uint64_t missingParent, std::string_view nameIfNew);
  // The same inside another folder that gathers lost items (an engine with
  // several record tables keeps one such folder per table).
  ResultFolder& lostFolderFor(ResultFolder& lostFolder, uint64_t missingParent, std::string_view nameIfNew);
  // The root's "Lost Files" folder, added when missing.
  ResultFolder& lostFiles();

  // The first folder anywhere in the tree added with this non-zero key, or null.
  ResultFolder* findByKey(uint64_t key);

  size_t addItem(ResultFolder& folder, FoundItem item);
  FoundItem& item(size_t index) { return items_.at(index); }
  const FoundItem& item(size_t index) const { return items_.at(index); }
  size_t itemCount() const { return items_.size(); }
  std::vector<FoundItem>& items() { return items_; }
  const std::vector<FoundItem>& items() const { return items_; }
  // Room for `count` items, when the caller knows how many will come.
  void reserveItems(size_t count) { items_.reserve(count); }

  // Folder path from below the root down to `folder`, names in order.
  static std::vector<std::string> pathOf(const ResultFolder& folder);

 private:
  std::unique_ptr<ResultFolder> root_;
  std::vector<FoundItem> items_;
  std::unordered_map<uint64_t, ResultFolder*> byKey_;
  ResultFolder* lostFiles_ = nullptr;
};

}  // namespace brenix
