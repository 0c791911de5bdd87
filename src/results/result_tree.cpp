#include "results/result_tree.h"

#include <algorithm>
#include <functional>

namespace brenix {

namespace {

// Folders with up to this many children are searched directly; larger ones
// through their index.
constexpr size_t kIndexFrom = 16;

struct NameKey {
  std::string_view name;
  uint64_t key;
  bool operator==(const NameKey&) const = default;
};

struct NameKeyHash {
  size_t operator()(const NameKey& k) const noexcept {
    size_t h = std::hash<std::string_view>{}(k.name);
    return h ^ (std::hash<uint64_t>{}(k.key) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2));
  }
};

}  // namespace

// The names in the index point into the children's own name strings, which
// live as long as the folders and do not change.
struct ResultFolderIndex {
  size_t indexed = 0;            // children[0, indexed) are in the maps
  const ResultFolder* last = nullptr;  // children[indexed - 1] when they were indexed
  std::unordered_map<NameKey, ResultFolder*, NameKeyHash> byNameKey;
  std::unordered_map<std::string_view, ResultFolder*> byName;
  std::unordered_map<uint64_t, ResultFolder*> byKey;
};

void ResultFolderIndexDeleter::operator()(ResultFolderIndex* index) const { delete index; }

namespace {

// The folder's index brought up to date with its children, or null while the
// folder is small enough to search directly.
ResultFolderIndex* indexOf(ResultFolder& folder) {
  if (!folder.childIndex) {
    if (folder.children.size() < kIndexFrom) return nullptr;
    folder.childIndex.reset(new ResultFolderIndex);
  }
  ResultFolderIndex& index = *folder.childIndex;
  const bool changed = index.indexed > folder.children.size() ||
                       (index.indexed > 0 && folder.children[index.indexed - 1].get() != index.last);
  if (changed) {  // children were removed or reordered: start over
    index.byNameKey.clear();
    index.byName.clear();
    index.byKey.clear();
    index.indexed = 0;
  }
  for (; index.indexed < folder.children.size(); ++index.indexed) {
    ResultFolder* child = folder.children[index.indexed].get();
    index.byNameKey.try_emplace(NameKey{child->name, child->key}, child);
    index.byName.try_emplace(child->name, child);
    if (child->key != 0) index.byKey.try_emplace(child->key, child);
    index.last = child;
  }
  return &index;
}

template <typename Pred>
ResultFolder* scanChildren(ResultFolder& parent, Pred pred) {
  for (auto& child : parent.children)
    if (pred(*child)) return child.get();
  return nullptr;
}

}  // namespace

ResultTree::ResultTree(std::string rootName) : root_(std::make_unique<ResultFolder>()) {
  root_->name = std::move(rootName);
}

ResultFolder& ResultTree::addFolder(ResultFolder& parent, std::string name, uint64_t key) {
  auto folder = std::make_unique<ResultFolder>();
  folder->name = std::move(name);
  folder->parent = &parent;
  folder->key = key;
  ResultFolder& ref = *folder;
  parent.children.push_back(std::move(folder));
  indexOf(parent);  // keeps a large folder's index current
  if (key != 0) byKey_.emplace(key, &ref);
  return ref;
}

ResultFolder* ResultTree::findChild(ResultFolder& parent, std::string_view name) {
  if (ResultFolderIndex* index = indexOf(parent)) {
    auto it = index->byName.find(name);
    return it == index->byName.end() ? nullptr : it->second;
  }
  return scanChildren(parent, [&](const ResultFolder& c) { return c.name == name; });
}

ResultFolder* ResultTree::findChild(ResultFolder& parent, std::string_view name, uint64_t key) {
  if (ResultFolderIndex* index = indexOf(parent)) {
    auto it = index->byNameKey.find(NameKey{name, key});
    return it == index->byNameKey.end() ? nullptr : it->second;
  }
  return scanChildren(parent, [&](const ResultFolder& c) { return c.key == key && c.name == name; });
}

ResultFolder* ResultTree::findChildByKey(ResultFolder& parent, uint64_t key) {
  if (key == 0) return nullptr;
  if (ResultFolderIndex* index = indexOf(parent)) {
    auto it = index->byKey.find(key);
    return it == index->byKey.end() ? nullptr : it->second;
  }
  return scanChildren(parent, [&](const ResultFolder& c) { return c.key == key; });
}

ResultFolder& ResultTree::childNamed(ResultFolder& parent, std::string_view name, uint64_t key) {
  if (ResultFolder* existing = findChild(parent, name)) return *existing;
  return addFolder(parent, std::string(name), key);
}

ResultFolder& ResultTree::childKeyed(ResultFolder& parent, std::string_view name, uint64_t key) {
  if (ResultFolder* existing = findChild(parent, name, key)) return *existing;
  return addFolder(parent, std::string(name), key);
}

ResultFolder& ResultTree::folderAlong(ResultFolder& start, const std::vector<std::string>& names,
                                      const std::vector<uint32_t>& keys) {
  ResultFolder* node = &start;
  for (size_t k = names.size(); k-- > 0;) node = &childKeyed(*node, names[k], k < keys.size() ? keys[k] : 0);
  return *node;
}

ResultFolder& ResultTree::lostFiles() {
  if (!lostFiles_) {
    lostFiles_ = findChild(*root_, kLostFilesName, 0);
    if (!lostFiles_) lostFiles_ = &addFolder(*root_, kLostFilesName);
  }
  return *lostFiles_;
}

ResultFolder& ResultTree::lostFolderFor(uint64_t missingParent, std::string_view nameIfNew) {
  return lostFolderFor(lostFiles(), missingParent, nameIfNew);
}

ResultFolder& ResultTree::lostFolderFor(ResultFolder& lost, uint64_t missingParent, std::string_view nameIfNew) {
  if (ResultFolder* existing = findChildByKey(lost, missingParent)) return *existing;
  // Key 0 cannot be looked up by key: such orphans share one folder by name.
  if (missingParent == 0) return childKeyed(lost, nameIfNew, 0);
  return addFolder(lost, std::string(nameIfNew), missingParent);
}

ResultFolder* ResultTree::findByKey(uint64_t key) {
  auto it = byKey_.find(key);
  return it == byKey_.end() ? nullptr : it->second;
}

size_t ResultTree::addItem(ResultFolder& folder, FoundItem item) {
  items_.push_back(std::move(item));
  folder.items.push_back(items_.size() - 1);
  return items_.size() - 1;
}

std::vector<std::string> ResultTree::pathOf(const ResultFolder& folder) {
  std::vector<std::string> names;
  for (const ResultFolder* f = &folder; f && f->parent; f = f->parent) names.push_back(f->name);
  std::reverse(names.begin(), names.end());
  return names;
}

}  // namespace brenix
