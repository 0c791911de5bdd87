#include "results/result_tree.h"

#include <algorithm>

namespace brenix {

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
  if (key != 0) byKey_.emplace(key, &ref);
  return ref;
}

ResultFolder* ResultTree::findChild(ResultFolder& parent, std::string_view name) {
  auto it = std::find_if(parent.children.begin(), parent.children.end(),
                         [&](const std::unique_ptr<ResultFolder>& c) { return c->name == name; });
  return it == parent.children.end() ? nullptr : it->get();
}

ResultFolder& ResultTree::childNamed(ResultFolder& parent, std::string_view name, uint64_t key) {
  if (ResultFolder* existing = findChild(parent, name)) return *existing;
  return addFolder(parent, std::string(name), key);
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
