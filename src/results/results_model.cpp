#include "results/results_model.h"

#include <algorithm>
#include <deque>

#include "common/text.h"

namespace brenix {

void forEachFolder(const ResultFolder& root, const std::function<void(const ResultFolder&)>& visit) {
  std::vector<const ResultFolder*> stack{&root};
  while (!stack.empty()) {
    const ResultFolder* f = stack.back();
    stack.pop_back();
    visit(*f);
    for (auto it = f->children.rbegin(); it != f->children.rend(); ++it) stack.push_back(it->get());
  }
}

void forEachFolder(ResultFolder& root, const std::function<void(ResultFolder&)>& visit) {
  std::vector<ResultFolder*> stack{&root};
  while (!stack.empty()) {
    ResultFolder* f = stack.back();
    stack.pop_back();
    visit(*f);
    for (auto it = f->children.rbegin(); it != f->children.rend(); ++it) stack.push_back(it->get());
  }
}

void ResultsModel::fillList(bool filterNow) {
  rows_.clear();
  if (!selected_) return;
  for (size_t index : selected_->items) {
    if (index >= tree_.itemCount()) continue;
    FoundItem& item = tree_.item(index);
    const bool pass = !filterNow || passesFilter(kind_, item, filter_);
    if (kind_ == EngineKind::Fat && filterNow) item.shown = pass;
    if (!pass) continue;
    rows_.push_back(index);
  }
}

void ResultsModel::selectFolder(ResultFolder& folder) {
  selected_ = &folder;
  fillList(kind_ != EngineKind::Raw);
  if (kind_ == EngineKind::Ext) {
    // The EXT list shows its rows unchecked and clears their flags; keep the
    // folder checks in step with that.
    bool changed = false;
    for (size_t index : rows_) {
      changed = changed || tree_.item(index).checked;
      tree_.item(index).checked = false;
    }
    if (changed) {
      uncheckWalk(&folder);
      recomputeSelectedTotals();
    }
  }
}

void ResultsModel::applyFilter(const ResultFilter& filter) {
  if (!selected_) {
    filter_ = filter;
    return;
  }
  applyFilteredRows(filter, filterRows(kind_, tree_, *selected_, filter));
}

std::vector<size_t> ResultsModel::filterRows(EngineKind kind, const ResultTree& tree, const ResultFolder& folder,
                                             const ResultFilter& filter) {
  std::vector<size_t> rows;
  rows.reserve(folder.items.size());
  for (size_t index : folder.items)
    if (index < tree.itemCount() && passesFilter(kind, tree.item(index), filter)) rows.push_back(index);
  return rows;
}

void ResultsModel::applyFilteredRows(const ResultFilter& filter, std::vector<size_t> rows) {
  filter_ = filter;
  if (!selected_) return;
  rows_ = std::move(rows);
  if (kind_ == EngineKind::Fat) {
    // Each record's shown flag records the outcome.
    for (size_t index : selected_->items)
      if (index < tree_.itemCount()) tree_.item(index).shown = false;
    for (size_t index : rows_) tree_.item(index).shown = true;
    const bool anyChecked =
        std::any_of(rows_.begin(), rows_.end(), [&](size_t i) { return tree_.item(i).checked; });
    if (anyChecked) checkAncestors(*selected_);
  }
  recomputeSelectedTotals();
}

void ResultsModel::checkAncestors(ResultFolder& folder) {
  for (ResultFolder* f = &folder; f; f = f->parent) f->checked = true;
}

bool ResultsModel::folderHasCheckedContent(const ResultFolder& folder) const {
  for (const auto& child : folder.children)
    if (child->checked) return true;
  for (size_t index : folder.items)
    if (index < tree_.itemCount() && tree_.item(index).checked) return true;
  return false;
}

void ResultsModel::uncheckWalk(ResultFolder* from) {
  for (ResultFolder* f = from; f; f = f->parent) {
    if (folderHasCheckedContent(*f)) {
      f->checked = true;
      return;
    }
    f->checked = false;
  }
}

void ResultsModel::setFolderChecked(ResultFolder& folder, bool checked) {
  std::deque<ResultFolder*> queue{&folder};
  while (!queue.empty()) {
    ResultFolder* f = queue.front();
    queue.pop_front();
    f->checked = checked;
    for (size_t index : f->items) {
      if (index >= tree_.itemCount()) continue;
      FoundItem& item = tree_.item(index);
      if (kind_ == EngineKind::Fat && !item.shown) continue;  // hidden by the filter
      item.checked = checked;
    }
    for (auto& child : f->children) queue.push_back(child.get());
  }
  if (checked)
    checkAncestors(folder);
  else
    uncheckWalk(folder.parent);
  recomputeSelectedTotals();
}

void ResultsModel::setItemChecked(ResultFolder& folder, size_t itemIndex, bool checked) {
  if (itemIndex >= tree_.itemCount()) return;
  FoundItem& item = tree_.item(itemIndex);
  if (item.checked == checked) return;
  item.checked = checked;
  if (checked)
    checkAncestors(folder);
  else
    uncheckWalk(&folder);  // the folder stays checked while any of its files or child folders is
  recomputeSelectedTotals();
}

void ResultsModel::syncFolderChecks() {
  // Post-order: a folder is checked when a file in it or below it is.
  std::vector<ResultFolder*> order;
  forEachFolder(tree_.root(), [&](ResultFolder& f) { order.push_back(&f); });
  for (auto it = order.rbegin(); it != order.rend(); ++it) (*it)->checked = folderHasCheckedContent(**it);
  recomputeSelectedTotals();
}

void ResultsModel::setRowChecked(size_t row, bool checked) {
  if (!selected_ || row >= rows_.size()) return;
  setItemChecked(*selected_, rows_[row], checked);
}

Totals ResultsModel::foundTotals(const ResultFolder& folder) const {
  Totals t;
  forEachFolder(folder, [&](const ResultFolder& f) {
    for (size_t index : f.items) {
      if (index >= tree_.itemCount()) continue;
      t.count += 1;
      t.bytes += tree_.item(index).size;
    }
  });
  return t;
}

void ResultsModel::recomputeSelectedTotals() {
  Totals t;
  forEachFolder(static_cast<const ResultFolder&>(tree_.root()), [&](const ResultFolder& f) {
    for (size_t index : f.items) {
      if (index >= tree_.itemCount() || !tree_.item(index).checked) continue;
      t.count += 1;
      t.bytes += tree_.item(index).size;
    }
  });
  selectedTotals_ = t;
}

Totals ResultsModel::listTotals() const {
  Totals t;
  for (size_t index : rows_) {
    t.count += 1;
    t.bytes += tree_.item(index).size;
  }
  return t;
}

std::string ResultsModel::foundLineText() const {
  const Totals t = foundTotals();
  return statusLineText(t.count, t.bytes);
}

std::string ResultsModel::selectedLineText() const {
  return statusLineText(selectedTotals_.count, selectedTotals_.bytes);
}

namespace {
template <typename T>
int cmp(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}
}  // namespace

int ResultsModel::compareItems(EngineKind kind, ListColumn column, const FoundItem& a, const FoundItem& b) {
  switch (column) {
    case ListColumn::Name: return cmp(toLower(nameCell(kind, a)), toLower(nameCell(kind, b)));
    case ListColumn::Size: return cmp(a.size, b.size);
    case ListColumn::Type: return cmp(typeCell(kind, a), typeCell(kind, b));
    case ListColumn::Attributes:
      switch (kind) {
        case EngineKind::Fat: return cmp(a.attributeText, b.attributeText);
        case EngineKind::Ntfs:
        case EngineKind::ExFat:
        case EngineKind::Ext: return cmp(a.attributes, b.attributes);
        case EngineKind::Raw: return 0;
      }
      return 0;
    case ListColumn::Modified:
    case ListColumn::Created:
    case ListColumn::Accessed: {
      // Raw items carry only a carved picture's date taken, in modified.
      const auto pick = [column](const FoundItem& i) {
        return column == ListColumn::Modified ? i.modified : column == ListColumn::Created ? i.created : i.accessed;
      };
      uint64_t va = pick(a), vb = pick(b);
      if (kind == EngineKind::Fat && column == ListColumn::Accessed) {
        va >>= 16;  // by date alone
        vb >>= 16;
      }
      return cmp(va, vb);
    }
  }
  return 0;
}

void ResultsModel::sortRows(EngineKind kind, const ResultTree& tree, ListColumn column, bool descending,
                            std::vector<size_t>& rows) {
  std::stable_sort(rows.begin(), rows.end(), [&](size_t ia, size_t ib) {
    int r = compareItems(kind, column, tree.item(ia), tree.item(ib));
    if (descending) r = -r;
    return r < 0;
  });
}

void ResultsModel::sortBy(ListColumn column) {
  sortRows(kind_, tree_, column, descending_[static_cast<size_t>(column)], rows_);
  descending_[static_cast<size_t>(column)] = !descending_[static_cast<size_t>(column)];
}

void ResultsModel::setSortedRows(ListColumn column, std::vector<size_t> rows) {
  rows_ = std::move(rows);
  descending_[static_cast<size_t>(column)] = !descending_[static_cast<size_t>(column)];
}

}  // namespace brenix
