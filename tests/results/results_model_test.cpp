// Check spreading, totals and sorting of the results model.
#include <gtest/gtest.h>

#include "results/results_model.h"

namespace brenix {
namespace {

// root ─ A ─ A1 (empty)
//      │   └ A2: a2.jpg (300)
//      ├ B: b1.jpg (1000), b2.png (24)
//      root: r.txt (10)
struct Fixture {
  ResultTree tree{"ROOT"};
  ResultFolder* a;
  ResultFolder* a1;
  ResultFolder* a2;
  ResultFolder* b;
  size_t r, a2f, b1, b2;
  explicit Fixture() {
    a = &tree.addFolder(tree.root(), "A");
    b = &tree.addFolder(tree.root(), "B");
    a1 = &tree.addFolder(*a, "A1");
    a2 = &tree.addFolder(*a, "A2");
    r = add(tree.root(), "r.txt", 10);
    a2f = add(*a2, "a2.jpg", 300);
    b1 = add(*b, "b1.jpg", 1000);
    b2 = add(*b, "b2.png", 24);
  }
  size_t add(ResultFolder& f, const std::string& name, uint64_t size) {
    FoundItem item;
    item.name = name;
    item.size = size;
    return tree.addItem(f, item);
  }
  bool checked(size_t i) { return tree.item(i).checked; }
};

TEST(ResultsModel, FolderCheckSpreadsDownAndUp) {
  Fixture t;
  ResultsModel m(EngineKind::Ntfs, t.tree);
  m.setFolderChecked(*t.a, true);
  EXPECT_TRUE(t.a1->checked && t.a2->checked && t.a->checked);
  EXPECT_TRUE(t.tree.root().checked);  // ancestors up to the root
  EXPECT_TRUE(t.checked(t.a2f));
  EXPECT_FALSE(t.checked(t.r) || t.b->checked);
  EXPECT_EQ(m.selectedTotals().count, 1u);
  EXPECT_EQ(m.selectedTotals().bytes, 300u);
  EXPECT_EQ(m.selectedLineText(), "1 files - 300.00 Byte");

  m.setFolderChecked(*t.b, true);
  EXPECT_EQ(m.selectedTotals().bytes, 1324u);
  // Unchecking A leaves the root checked: B is still checked.
  m.setFolderChecked(*t.a, false);
  EXPECT_FALSE(t.a->checked || t.a1->checked || t.a2->checked || t.checked(t.a2f));
  EXPECT_TRUE(t.tree.root().checked);
  m.setFolderChecked(*t.b, false);
  EXPECT_FALSE(t.tree.root().checked);  // nothing checked anywhere
  EXPECT_EQ(m.selectedTotals().count, 0u);
}

TEST(ResultsModel, CheckingEmptySubfoldersChangesNoTotals) {
  Fixture t;
  ResultsModel m(EngineKind::Fat, t.tree);
  m.setFolderChecked(*t.a1, true);
  EXPECT_TRUE(t.a1->checked && t.a->checked && t.tree.root().checked);
  EXPECT_EQ(m.selectedTotals().count, 0u);
  EXPECT_EQ(m.selectedTotals().bytes, 0u);
}

TEST(ResultsModel, RowChecksAndTheUncheckWalk) {
  Fixture t;
  ResultsModel m(EngineKind::Ntfs, t.tree);
  m.selectFolder(*t.b);
  ASSERT_EQ(m.rows().size(), 2u);
  m.setRowChecked(0, true);
  m.setRowChecked(1, true);
  EXPECT_TRUE(t.b->checked && t.tree.root().checked);
  EXPECT_EQ(m.selectedTotals().bytes, 1024u);
  EXPECT_EQ(m.selectedLineText(), "2 files - 1.00 KB");
  m.setRowChecked(0, false);
  EXPECT_TRUE(t.b->checked);  // b2 still checked
  m.setRowChecked(1, false);
  EXPECT_FALSE(t.b->checked);
  EXPECT_FALSE(t.tree.root().checked);  // the last checked row unchecks every ancestor

  // A folder stays checked while a child folder is, even with no checked row of its own.
  m.setFolderChecked(*t.a2, true);
  m.selectFolder(*t.a);
  EXPECT_TRUE(t.a->checked);
  m.setItemChecked(*t.a2, t.a2f, false);
  EXPECT_FALSE(t.a2->checked || t.a->checked || t.tree.root().checked);
}

TEST(ResultsModel, FoundTotalsOfTheSelectedSubtree) {
  Fixture t;
  ResultsModel m(EngineKind::Ntfs, t.tree);
  m.selectFolder(*t.a1);
  EXPECT_TRUE(m.rows().empty());
  EXPECT_EQ(m.foundLineText(), "0 files - 0.00 Byte");
  m.selectFolder(t.tree.root());
  EXPECT_EQ(m.foundTotals().count, 4u);
  EXPECT_EQ(m.foundTotals().bytes, 1334u);
  EXPECT_EQ(m.listTotals().count, 1u);  // only r.txt lies directly in the root
}

TEST(ResultsModel, FatFolderCheckSkipsFilesHiddenByTheFilter) {
  Fixture t;
  ResultsModel m(EngineKind::Fat, t.tree);
  m.selectFolder(*t.b);
  ResultFilter f;
  f.enabled = true;
  f.extensionChoice = 1;  // bmp.jpg: hides b2.png
  m.applyFilter(f);
  ASSERT_EQ(m.rows().size(), 1u);
  EXPECT_FALSE(t.tree.item(t.b2).shown);
  m.setFolderChecked(*t.b, true);
  EXPECT_TRUE(t.checked(t.b1));
  EXPECT_FALSE(t.checked(t.b2));

  // Another page changes every record of the folder.
  Fixture u;
  ResultsModel n(EngineKind::Raw, u.tree);
  n.selectFolder(*u.b);
  n.applyFilter(f);
  n.setFolderChecked(*u.b, true);
  EXPECT_TRUE(u.checked(u.b2));
}

TEST(ResultsModel, ListingFiltersPerPage) {
  Fixture t;
  ResultFilter f;
  f.enabled = true;
  f.extensionChoice = 1;
  ResultsModel raw(EngineKind::Raw, t.tree);
  raw.applyFilter(f);
  raw.selectFolder(*t.b);
  EXPECT_EQ(raw.rows().size(), 2u);  // the raw page lists all on selection
  raw.applyFilter(f);
  EXPECT_EQ(raw.rows().size(), 1u);
  ResultsModel ntfs(EngineKind::Ntfs, t.tree);
  ntfs.applyFilter(f);
  ntfs.selectFolder(*t.b);
  EXPECT_EQ(ntfs.rows().size(), 1u);
}

TEST(ResultsModel, ExtListShowsRowsUnchecked) {
  Fixture t;
  ResultsModel m(EngineKind::Ext, t.tree);
  m.setFolderChecked(*t.b, true);
  ASSERT_TRUE(t.tree.root().checked);
  m.selectFolder(*t.b);
  EXPECT_FALSE(t.checked(t.b1) || t.checked(t.b2));
  EXPECT_FALSE(t.b->checked || t.tree.root().checked);  // the tree follows the records
  EXPECT_EQ(m.selectedTotals().count, 0u);
}

TEST(ResultsModel, SyncFolderChecksFromRecords) {
  Fixture t;
  t.tree.item(t.a2f).checked = true;  // an engine that pre-checks records
  ResultsModel m(EngineKind::Ntfs, t.tree);
  m.syncFolderChecks();
  EXPECT_TRUE(t.a2->checked && t.a->checked && t.tree.root().checked);
  EXPECT_FALSE(t.b->checked || t.a1->checked);
  EXPECT_EQ(m.selectedTotals().bytes, 300u);
}

TEST(ResultsModel, SortingTogglesPerColumnFirstDescending) {
  ResultTree tree;
  ResultsModel m(EngineKind::Ntfs, tree);
  for (auto [name, size] : std::vector<std::pair<std::string, uint64_t>>{{"b.jpg", 5}, {"A.jpg", 50}, {"c.jpg", 1}}) {
    FoundItem item;
    item.name = name;
    item.size = size;
    tree.addItem(tree.root(), item);
  }
  m.selectFolder(tree.root());
  const auto names = [&] {
    std::string s;
    for (size_t i : m.rows()) s += tree.item(i).name.substr(0, 1);
    return s;
  };
  m.sortBy(ListColumn::Size);
  EXPECT_EQ(names(), "Abc");  // largest first
  m.sortBy(ListColumn::Size);
  EXPECT_EQ(names(), "cbA");
  m.sortBy(ListColumn::Name);  // its own flag: descending first, case folded
  EXPECT_EQ(names(), "cbA");
  m.sortBy(ListColumn::Name);
  EXPECT_EQ(names(), "Abc");
  EXPECT_TRUE(m.nextSortDescending(ListColumn::Name));
}

TEST(ResultsModel, FatAccessedSortsByDateAlone) {
  FoundItem a, b;
  a.accessed = (uint64_t(100) << 16) | 5;  // same date, a stray low half
  b.accessed = uint64_t(100) << 16;
  EXPECT_EQ(ResultsModel::compareItems(EngineKind::Fat, ListColumn::Accessed, a, b), 0);
  EXPECT_GT(ResultsModel::compareItems(EngineKind::Fat, ListColumn::Modified, a, b) +
                ResultsModel::compareItems(EngineKind::Ext, ListColumn::Accessed, a, b), 0);
  EXPECT_EQ(ResultsModel::compareItems(EngineKind::Raw, ListColumn::Modified, a, b), 0);
}

}  // namespace
}  // namespace brenix
