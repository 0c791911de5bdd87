#pragma once
// What a results page holds besides the drawing: the found tree with check
// states on folders and files, the folder shown in the list and its rows, the
// result filter, sorting, and the "found" and "selected" totals.
//
// Check rules: checking a folder checks it and everything below it
// (breadth-first); checking anything checks every ancestor; unchecking walks
// up and unchecks each ancestor that has no checked child folder and no
// checked file. So the root is checked exactly when some file is checked.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "results/cell_formats.h"
#include "results/found_item.h"
#include "results/result_filter.h"
#include "results/result_tree.h"

namespace brenix {

struct Totals {
  uint64_t count = 0;
  uint64_t bytes = 0;
};

class ResultsModel {
 public:
  ResultsModel(EngineKind kind, ResultTree& tree) : kind_(kind), tree_(tree) {}

  EngineKind kind() const { return kind_; }
  ResultTree& tree() { return tree_; }
  const ResultTree& tree() const { return tree_; }

  // Selecting a folder refills the list: the folder's files in collection
  // order, those failing the filter left out (the raw page lists all of them
  // here and filters only in applyFilter). The EXT page shows every listed
  // row unchecked.
  void selectFolder(ResultFolder& folder);
  ResultFolder* selectedFolder() const { return selected_; }
  // The listed rows as indices into the tree's items.
  const std::vector<size_t>& rows() const { return rows_; }

  // The filter dialog's OK: store the filter and refill the selected folder's
  // list with it (every page filters here). On the FAT page each record's
  // shown flag records the outcome, and a checked row checks the folder.
  void applyFilter(const ResultFilter& filter);
  const ResultFilter& filter() const { return filter_; }

  // Folder check box changed to `checked`.
  void setFolderChecked(ResultFolder& folder, bool checked);
  // Row check box changed (row: index into rows()).
  void setRowChecked(size_t row, bool checked);
  // Checks or unchecks one file of `folder` by item index, with the same
  // spreading as a row (front ends that have no list, such as the command line).
  void setItemChecked(ResultFolder& folder, size_t itemIndex, bool checked);

  // Count and bytes of all files in the folder and below it ("found" line).
  Totals foundTotals(const ResultFolder& folder) const;
  Totals foundTotals() const { return selected_ ? foundTotals(*selected_) : Totals{}; }
  // Count and bytes of every checked file in the tree ("selected" line).
  const Totals& selectedTotals() const { return selectedTotals_; }
  // Count and bytes of the listed rows.
  Totals listTotals() const;
  std::string foundLineText() const;
  std::string selectedLineText() const;

  // Sorts the rows by a column. Each column keeps its own direction, first
  // descending, and toggles it after each sort.
  void sortBy(ListColumn column);
  // Whether the next sort on the column is descending.
  bool nextSortDescending(ListColumn column) const { return descending_[static_cast<size_t>(column)]; }

  // The two halves of sortBy and applyFilter, for front ends that do the
  // long part on a worker thread over a large folder. The static ones only
  // read the tree (names, sizes, dates), never the check flags.
  static void sortRows(EngineKind kind, const ResultTree& tree, ListColumn column, bool descending,
                       std::vector<size_t>& rows);
  static std::vector<size_t> filterRows(EngineKind kind, const ResultTree& tree, const ResultFolder& folder,
                                        const ResultFilter& filter);
  // Takes rows that sortRows ordered (the listed rows, in the direction
  // nextSortDescending gave) and turns the column's direction, as sortBy does.
  void setSortedRows(ListColumn column, std::vector<size_t> rows);
  // Stores the filter for the next folder filled, leaving the rows as they are
  // (while filterRows runs elsewhere).
  void setFilter(const ResultFilter& filter) { filter_ = filter; }
  // applyFilter with the selected folder's rows already computed by filterRows.
  void applyFilteredRows(const ResultFilter& filter, std::vector<size_t> rows);

  // Recomputes the selected totals from the records (after an outside change).
  void recomputeSelectedTotals();
  // Sets every folder's check box from the records' checked flags (a folder is
  // checked when a file in it or below it is) and recomputes the totals. Call
  // after a scan filled the tree, or after changing flags directly.
  void syncFolderChecks();

  // Negative, zero or positive like strcmp; for the given page's column.
  static int compareItems(EngineKind kind, ListColumn column, const FoundItem& a, const FoundItem& b);

 private:
  bool folderHasCheckedContent(const ResultFolder& folder) const;
  void checkAncestors(ResultFolder& folder);
  void uncheckWalk(ResultFolder* from);
  void fillList(bool filterNow);

  EngineKind kind_;
  ResultTree& tree_;
  ResultFolder* selected_ = nullptr;
  std::vector<size_t> rows_;
  ResultFilter filter_;
  Totals selectedTotals_;
  std::array<bool, kListColumnCount> descending_ = {true, true, true, true, true, true, true};
};

// Depth-first visit of a folder and all below it (parents before children, siblings in order).
void forEachFolder(const ResultFolder& root, const std::function<void(const ResultFolder&)>& visit);
void forEachFolder(ResultFolder& root, const std::function<void(ResultFolder&)>& visit);

}  // namespace brenix
