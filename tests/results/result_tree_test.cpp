// Filing into the folder tree: lookups in large folders, name-and-key folders,
// and orphans of a missing parent gathered in one folder.
#include <gtest/gtest.h>

#include <string>

#include "results/result_tree.h"

namespace brenix {
namespace {

TEST(ResultTree, FilesLargeFoldersByNameAndKeyAndGathersOrphansPerMissingParent) {
  ResultTree tree("ROOT");
  ResultFolder& big = tree.addFolder(tree.root(), "big");
  constexpr int kChildren = 100000;
  // Every name twice with two keys: two folders each, told apart by key.
  for (int i = 0; i < kChildren; ++i) {
    tree.childKeyed(big, "d" + std::to_string(i), uint64_t(i) + 1);
    tree.childKeyed(big, "d" + std::to_string(i), uint64_t(i) + 1 + kChildren);
  }
  // Asking again finds, never adds.
  for (int i = 0; i < kChildren; i += 7) tree.childKeyed(big, "d" + std::to_string(i), uint64_t(i) + 1);
  ASSERT_EQ(big.children.size(), size_t(2 * kChildren));
  EXPECT_EQ(tree.findChild(big, "d99999", 2 * kChildren)->key, uint64_t(2 * kChildren));
  EXPECT_EQ(tree.findChild(big, "d99999")->key, uint64_t(kChildren));  // the first of that name
  EXPECT_EQ(tree.findChild(big, "d5", 3), nullptr);
  EXPECT_EQ(tree.findChildByKey(big, kChildren + 6)->name, "d5");
  EXPECT_EQ(tree.childNamed(big, "d5", 42).key, 6u);  // name match, any key
  // A child appended to the vector by hand is found too.
  auto extra = std::make_unique<ResultFolder>();
  extra->name = "by hand";
  extra->parent = &big;
  ResultFolder* extraPtr = extra.get();
  big.children.push_back(std::move(extra));
  EXPECT_EQ(tree.findChild(big, "by hand"), extraPtr);

  // A path of names and keys, parent first, top folder last.
  ResultFolder& along = tree.folderAlong(tree.root(), {"DCIM", "big", "photos"}, {30, 0, 5});
  EXPECT_EQ(ResultTree::pathOf(along), (std::vector<std::string>{"photos", "big", "DCIM"}));
  EXPECT_EQ(&tree.folderAlong(tree.root(), {"DCIM", "big", "photos"}, {30, 0, 5}), &along);
  EXPECT_NE(&tree.folderAlong(tree.root(), {"DCIM", "big", "photos"}, {31, 0, 5}), &along);

  // 30,000 orphans whose parents (10 distinct records) are unknown: ten folders.
  for (int i = 0; i < 30000; ++i) {
    const uint64_t missing = 500 + uint64_t(i % 10);
    ResultFolder& f = tree.lostFolderFor(missing, "Dir" + std::to_string(i));
    FoundItem item;
    item.name = "orphan" + std::to_string(i) + ".jpg";
    tree.addItem(f, std::move(item));
  }
  ResultFolder* lost = tree.findChild(tree.root(), ResultTree::kLostFilesName);
  ASSERT_NE(lost, nullptr);
  EXPECT_EQ(&tree.lostFiles(), lost);
  ASSERT_EQ(lost->children.size(), 10u);
  for (int k = 0; k < 10; ++k) {
    const ResultFolder& f = *lost->children[size_t(k)];
    EXPECT_EQ(f.name, "Dir" + std::to_string(k));  // named by the first orphan
    EXPECT_EQ(f.key, uint64_t(500 + k));
    ASSERT_EQ(f.items.size(), 3000u);
    EXPECT_EQ(tree.item(f.items[1]).name, "orphan" + std::to_string(k + 10) + ".jpg");
  }
  EXPECT_EQ(tree.itemCount(), 30000u);
}

}  // namespace
}  // namespace brenix
