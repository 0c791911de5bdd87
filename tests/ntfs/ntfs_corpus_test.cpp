// Deleted-file scans of public NTFS images against sleuthkit's listings and
// the images' answer keys.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

#include "ntfs/ntfs_test_util.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

std::string md5Hex(const std::vector<uint8_t>& bytes) {
  test::TempDir dir;
  test::writeFile(dir / "blob", bytes);
  auto r = test::runTool({"md5sum", (dir / "blob").string()});
  return r.output.substr(0, 32);
}

// fls -rd names of deleted files and their named streams ("name:stream"; no folders), with
// "$OrphanFiles/" standing for a folder chain that is lost.
std::set<std::string> flsDeletedFiles(const std::filesystem::path& listing) {
  std::set<std::string> out;
  std::ifstream in(listing);
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find(":\t");
    if (line.rfind("-/r", 0) != 0 || tab == std::string::npos) continue;
    std::string name = line.substr(tab + 2);
    name = name.substr(0, name.find('\t'));
    out.insert(name);
  }
  return out;
}

TEST(NtfsCorpus, UndeleteImageMatchesFlsAndAnswerKey) {
  test::TempDir dir;
  auto image = test::corpusImage("ntfs/7-ntfs-undel.dd", dir.path());
  if (image.empty()) GTEST_SKIP() << "corpus not available";
  auto run = test::scanImage(image, ScanMode::Deleted);
  ASSERT_EQ(run->result.error, 0);

  std::set<std::string> ours;
  std::map<std::string, size_t> byPath;
  for (const auto& [p, index] : run->byPath) {
    // A lost chain files under "Lost Files0/Dir<n>/".
    static const std::regex lost("^Lost Files0/Dir[0-9]+/");
    std::string mapped = std::regex_replace(p, lost, "$$OrphanFiles/");
    ours.insert(mapped);
    byPath[mapped] = index;
  }
  EXPECT_EQ(ours, flsDeletedFiles(test::corpusDir() / "ntfs/7-ntfs-undel.dd.fls-rd.txt"));

  // Answer key (sleuthkit's icat agrees with it): MD5 of each file's main stream, and of the named one.
  const std::map<std::string, std::string> key = {
      {"res1.dat", "9036637712b491904cd0bfbdbe648453"},  {"sing1.dat", "59b20779f69ff9f0ac5fcd2c38835a79"},
      {"mult1.dat", "ffd27bd782bdce67750b6b9ee069d2ef"},  {"frag1.dat", "7a3bc5b763bef201202108f4ba128149"},
      {"frag2.dat", "0e80ab84ef0087e60dfc67b88a1cf13e"},  {"dir1/mult2.dat", "59cf0e9cd107bc1e75afb7374f6e05bb"},
      {"dir1/dir2/frag3.dat", "21121699487f3fbbdb9a4b3391b6d3e0"},
      {"$OrphanFiles/sing2.dat", "c229626f6a71b167ad7e50c4f2fccdb1"},
      {"mult1.dat:ADS", "ba1b9eedb1c091ddca253d35dde8f616"}};
  for (const auto& [path, md5] : key) {
    auto it = byPath.find(path);
    ASSERT_NE(it, byPath.end()) << path;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(test::recoverItem(*run, it->second, bytes)) << path;
    EXPECT_EQ(bytes.size(), run->tree.item(it->second).size) << path;
    EXPECT_EQ(md5Hex(bytes), md5) << path;
  }
  // Leap-day dates survive: 2004-02-29 as a FILETIME day.
  const FoundItem& frag1 = run->tree.item(run->byPath.at("frag1.dat"));
  EXPECT_EQ(frag1.created / 10000000ull / 86400ull, (1078084817ull + 11644473600ull) / 86400ull);
  EXPECT_TRUE(frag1.deleted);
  EXPECT_EQ(run->tree.root().name, "NTFS - Logical Disk (*:)");
}

}  // namespace
}  // namespace brenix

namespace brenix {
namespace {

// Images whose only "deleted" entries in sleuthkit's listing are the unnamed
// reserved records 16-23: the deleted scan finds nothing, while the
// formatted-drive scan, which lists every named record, finds their live files.
TEST(NtfsCorpus, VolumesWithoutDeletedFilesListNone) {
  for (const char* name : {"ntfs/ntfs3.raw", "ntfs/ntfs3_attrlist.raw"}) {
    test::TempDir dir;
    auto image = test::corpusImage(name, dir.path());
    if (image.empty()) GTEST_SKIP() << "corpus not available";
    auto run = test::scanImage(image, ScanMode::Deleted);
    EXPECT_EQ(run->result.error, 0) << name;
    EXPECT_TRUE(run->paths.empty()) << name;
    auto all = test::scanImage(image, ScanMode::Formatted);
    EXPECT_FALSE(all->paths.empty()) << name;
  }
}

}  // namespace
}  // namespace brenix
