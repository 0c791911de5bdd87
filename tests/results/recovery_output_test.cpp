// Recovery output: selection order, target paths, name sanitizing, the
// overwrite question, the error report and the same-partition rule.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "jobs/fake_engine.h"
#include "results/recovery_output.h"
#include "results/results_model.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;
using test::FakeEngine;
using test::FakeFile;
using test::patternBytes;
using test::TempDir;

struct Scanned {
  FakeEngine engine;
  RecoveryContext ctx;
  ResultTree tree;
  ResultsModel model;
  Scanned(EngineKind kind, std::vector<FakeFile> files) : engine(kind, std::move(files)), model(kind, tree) {
    RunningFlag running{true};
    engine.scan(ScanMode::Deleted, ctx, tree, running);
  }
  RecoveryOutcome recover(const fs::path& dest, OverwritePrompt& prompt) {
    RunningFlag running{true};
    return recoverFiles(engine, tree, gatherRecoverySteps(model.kind(), tree, model.selectedFolder(), &model.rows()),
                        dest, prompt, ctx.progress, running);
  }
};

class CountingPrompt : public OverwritePrompt {
 public:
  explicit CountingPrompt(std::vector<OverwriteAnswer> answers) : answers_(std::move(answers)) {}
  OverwriteAnswer ask(const std::string& name) override {
    asked.push_back(name);
    return answers_.empty() ? OverwriteAnswer::No : answers_[std::min(asked.size(), answers_.size()) - 1];
  }
  std::vector<std::string> asked;

 private:
  std::vector<OverwriteAnswer> answers_;
};

std::string names(const ResultTree& tree, const std::vector<RecoveryStep>& steps) {
  std::string s;
  for (const auto& st : steps) s += (st.hasItem ? tree.item(st.item).name : "[" + st.folder->name + "]") + " ";
  return s;
}

TEST(RecoveryOutput, SelectionOrderPerPage) {
  const std::vector<FakeFile> files = {
      {"", "r.jpg", {1}}, {"A", "a.jpg", {2}}, {"A/AA", "aa.jpg", {3}}, {"B", "b.jpg", {4}}, {"C", "c.jpg", {5}}};
  Scanned fat(EngineKind::Fat, files);
  fat.model.setFolderChecked(fat.tree.root(), true);
  fat.model.setFolderChecked(*fat.tree.findChild(fat.tree.root(), "C"), false);
  // FAT: breadth-first over checked folders; the unchecked sibling C is not visited.
  EXPECT_EQ(names(fat.tree, gatherRecoverySteps(EngineKind::Fat, fat.tree)),
            "[FAKE] r.jpg [A] a.jpg [B] b.jpg [AA] aa.jpg ");
  Scanned ntfs(EngineKind::Ntfs, files);
  ntfs.model.setFolderChecked(ntfs.tree.root(), true);
  // NTFS and raw: depth-first, files only.
  EXPECT_EQ(names(ntfs.tree, gatherRecoverySteps(EngineKind::Ntfs, ntfs.tree)), "r.jpg a.jpg aa.jpg b.jpg c.jpg ");
  EXPECT_EQ(nothingCheckedMessage(EngineKind::Fat), "Please check files for recovering");
  EXPECT_EQ(nothingCheckedMessage(EngineKind::Raw), "Please select file to recover!");
  EXPECT_EQ(nothingCheckedCaption(EngineKind::Ntfs), "Notice");
}

TEST(RecoveryOutput, TargetPathsPerPage) {
  ResultTree tree("ROOT");
  ResultFolder& dcim = tree.addFolder(tree.root(), "DCIM");
  ResultFolder& sub = tree.addFolder(dcim, "100CANON");
  const fs::path d = "/out";
  EXPECT_EQ(targetPath(EngineKind::Fat, d, &sub, "IMG_1.JPG"), "/out/DCIM/100CANON/IMG_1.JPG");
  EXPECT_EQ(targetPath(EngineKind::Fat, d, &tree.root(), "r.txt"), "/out/r.txt");  // the root adds nothing
  EXPECT_EQ(targetPath(EngineKind::Ntfs, d, &sub, "a.doc"), "/out/DCIM/100CANON/a.doc");
  EXPECT_EQ(targetPath(EngineKind::Ext, d, &sub, "inode_0000000C.tmp"), "/out/inode_0000000C.tmp");
  EXPECT_EQ(targetPath(EngineKind::Raw, d, &sub, "f000001.jpg"), "/out/jpg/f000001.jpg");
  EXPECT_EQ(targetPath(EngineKind::Raw, d, &sub, "f000002.gif"), "/out/gif/f000002.gif");
  EXPECT_EQ(targetPath(EngineKind::Raw, d, &sub, "a.tar.gz"), "/out/tar.gz/a.tar.gz");  // after the first dot
  EXPECT_EQ(targetPath(EngineKind::Raw, d, &sub, "noext"), "/out/noext");
  EXPECT_EQ(targetPath(EngineKind::Fat, "/", &sub, "x"), "/DCIM/100CANON/x");  // no doubled separator
}

TEST(RecoveryOutput, FoundNamesCannotLeaveTheOutputFolder) {
  EXPECT_EQ(sanitizeFileName("../../etc/x"), ".._.._etc_x");
  EXPECT_EQ(sanitizeFileName(".."), "__");
  EXPECT_EQ(sanitizeFileName("."), "_");
  EXPECT_EQ(sanitizeFileName(""), "_");
  EXPECT_EQ(sanitizeFileName(std::string("a\0b\x01\x7f\\c", 7)), "a_b___c");
  const std::string longName = std::string(300, 'n') + ".jpg";
  EXPECT_EQ(sanitizeFileName(longName).size(), 255u);
  EXPECT_EQ(sanitizeFileName(longName).substr(251), ".jpg");

  TempDir dir;
  const fs::path out = dir / "out";
  fs::create_directories(out);
  Scanned s(EngineKind::Ntfs, {{"..", "../../etc/x", patternBytes(10, 1)},
                               {"../..", "..", patternBytes(3, 2)},
                               {"", "/abs", patternBytes(4, 3)}});
  s.model.setFolderChecked(s.tree.root(), true);
  FixedOverwritePrompt prompt(OverwriteAnswer::No);
  const RecoveryOutcome r = s.recover(out, prompt);
  EXPECT_EQ(r.written, 3u);
  EXPECT_EQ(r.failed, 0u);
  for (const fs::path& p : r.writtenPaths) {
    const std::string canon = fs::weakly_canonical(p).string();
    EXPECT_EQ(canon.rfind(fs::canonical(out).string() + "/", 0), 0u) << canon;
  }
  EXPECT_TRUE(fs::exists(out / "__" / ".._.._etc_x"));
  EXPECT_FALSE(fs::exists(dir / "etc"));
}

TEST(RecoveryOutput, SymlinkInTheOutputFolderIsNotFollowed) {
  TempDir dir;
  const fs::path out = dir / "out";
  fs::create_directories(out);
  fs::create_directories(dir / "elsewhere");
  fs::create_directory_symlink(dir / "elsewhere", out / "A");
  std::ofstream(dir / "victim") << "keep";
  fs::create_symlink(dir / "victim", out / "v.jpg");
  Scanned s(EngineKind::Ntfs, {{"A/deeper", "a.jpg", patternBytes(5, 1)}, {"", "v.jpg", patternBytes(5, 2)}});
  s.model.setFolderChecked(s.tree.root(), true);
  FixedOverwritePrompt prompt(OverwriteAnswer::YesToAll);
  const RecoveryOutcome r = s.recover(out, prompt);
  EXPECT_EQ(r.failed, 2u);
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));  // no folder made through the link
  EXPECT_EQ(test::readFile(dir / "victim").size(), 4u);
}

TEST(RecoveryOutput, OverwriteAnswers) {
  TempDir dir;
  const fs::path out = dir / "out";
  fs::create_directories(out);
  const auto seed = [&] {
    for (const char* n : {"a.jpg", "b.jpg", "c.jpg"}) test::writeFile(out / n, std::vector<uint8_t>(10, 0xEE));
  };
  const std::vector<FakeFile> files = {
      {"", "a.jpg", patternBytes(4, 1)}, {"", "b.jpg", patternBytes(4, 2)}, {"", "c.jpg", patternBytes(4, 3)}};

  {  // Yes to All on the first conflict: no further question in this job...
    seed();
    Scanned s(EngineKind::Ntfs, files);
    s.model.setFolderChecked(s.tree.root(), true);
    CountingPrompt prompt({OverwriteAnswer::YesToAll});
    const RecoveryOutcome r = s.recover(out, prompt);
    EXPECT_EQ(prompt.asked, std::vector<std::string>{"a.jpg"});
    EXPECT_EQ(r.written, 3u);
    // A 10-byte file written over with 4 bytes holds exactly those 4 bytes.
    EXPECT_EQ(test::readFile(out / "c.jpg"), patternBytes(4, 3));
    // ...and the next job asks again.
    CountingPrompt again({OverwriteAnswer::No});
    s.recover(out, again);
    EXPECT_EQ(again.asked.size(), 3u);
  }
  {  // No: the existing file is untouched and the job goes on; Yes writes.
    seed();
    Scanned s(EngineKind::Ntfs, files);
    s.model.setFolderChecked(s.tree.root(), true);
    CountingPrompt prompt({OverwriteAnswer::No, OverwriteAnswer::Yes, OverwriteAnswer::No});
    const RecoveryOutcome r = s.recover(out, prompt);
    EXPECT_EQ(r.written, 1u);
    EXPECT_EQ(r.skipped, 2u);
    EXPECT_EQ(test::readFile(out / "a.jpg"), std::vector<uint8_t>(10, 0xEE));
    EXPECT_EQ(test::readFile(out / "b.jpg"), patternBytes(4, 2));
    EXPECT_EQ(s.ctx.progress.done(), 3);  // skipped files count as processed
  }
  {  // Cancel: this file is skipped and the job stops.
    seed();
    Scanned s(EngineKind::Ntfs, files);
    s.model.setFolderChecked(s.tree.root(), true);
    CountingPrompt prompt({OverwriteAnswer::Yes, OverwriteAnswer::Cancel});
    const RecoveryOutcome r = s.recover(out, prompt);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.written, 1u);
    EXPECT_EQ(prompt.asked.size(), 2u);
    EXPECT_EQ(test::readFile(out / "b.jpg"), std::vector<uint8_t>(10, 0xEE));
    EXPECT_EQ(test::readFile(out / "c.jpg"), std::vector<uint8_t>(10, 0xEE));
  }
  EXPECT_EQ(overwriteQuestionText("x.jpg"),
            "This folder already contains a file named 'x.jpg'\nWould you like to overwrite the exsisting file?");
}

TEST(RecoveryOutput, ErrorReportKeepsWholeLinesWithin259) {
  ErrorReport report;
  const std::string line = "Can not create file '" + std::string(60, 'x') + "'.\n";  // 84 characters
  for (int i = 0; i < 4; ++i) report.add(line);
  EXPECT_EQ(report.text().size(), 3 * line.size());  // the fourth would pass 259
  report.add("Can not create file 'y'.\n");          // a short line still fits
  EXPECT_LE(report.text().size(), ErrorReport::kMaxChars);
  EXPECT_EQ(report.text().back(), '\n');
}

TEST(RecoveryOutput, FailuresAreReportedPerFileAndTheJobGoesOn) {
  TempDir dir;
  const fs::path out = dir / "out";
  Scanned s(EngineKind::Raw, {{"", "blocked.jpg", patternBytes(4, 1)},
                              {"", "bad.png", patternBytes(4, 2), true},
                              {"", "big.gif", patternBytes(8192, 3)},
                              {"", "ok.bmp", patternBytes(100, 4)}});
  s.model.setFolderChecked(s.tree.root(), true);
  fs::create_directories(out / "jpg" / "blocked.jpg");  // a folder where a file should go
  // A write that fails midway (the file-size limit stands in for a full disk).
  auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit lim = old;
  lim.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &lim);
  FixedOverwritePrompt prompt(OverwriteAnswer::YesToAll);
  const RecoveryOutcome r = s.recover(out, prompt);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(r.written, 1u);
  EXPECT_EQ(r.failed, 3u);
  EXPECT_EQ(r.report,
            "Can not create file 'blocked.jpg'.\nCan not write file 'bad.png'.\nCan not write file 'big.gif'.\n");
  EXPECT_EQ(test::readFile(out / "bmp" / "ok.bmp"), patternBytes(100, 4));
  EXPECT_EQ(s.ctx.progress.done(), 4);
  EXPECT_EQ(s.ctx.progress.status(), "Recovering Files : ok.bmp");
  // The file cut off by the limit never stands under its own name, nor does its temporary file stay.
  EXPECT_FALSE(fs::exists(out / "gif" / "big.gif"));
  EXPECT_TRUE(fs::is_empty(out / "gif"));

  // Asked to keep partial data: the part written is kept beside, never under the name.
  RunningFlag running{true};
  setrlimit(RLIMIT_FSIZE, &lim);
  std::signal(SIGXFSZ, SIG_IGN);
  RecoveryOptions keep;
  keep.keepPartial = true;
  const RecoveryOutcome k = recoverFiles(s.engine, s.tree, gatherRecoverySteps(EngineKind::Raw, s.tree), dir / "k",
                                         prompt, s.ctx.progress, running, keep);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(k.failed, 2u);
  EXPECT_FALSE(fs::exists(dir / "k" / "gif" / "big.gif"));
  const std::vector<uint8_t> big = patternBytes(8192, 3);
  EXPECT_EQ(test::readFile(dir / "k" / "gif" / "big.gif.partial"), std::vector<uint8_t>(big.begin(), big.begin() + 4096));
  ASSERT_FALSE(k.failures.empty());
  EXPECT_NE(k.failures.back().reason.find("kept as big.gif.partial"), std::string::npos) << k.failures.back().reason;
}

TEST(RecoveryOutput, ANameIsUsedOnceInAJob) {
  TempDir dir;
  const fs::path out = dir / "out";
  fs::create_directories(out);
  test::writeFile(out / "b.jpg", std::vector<uint8_t>(10, 0xEE));  // there before the job
  Scanned s(EngineKind::Ext, {{"", "a.jpg", patternBytes(4, 1)},
                              {"", "a.jpg", patternBytes(5, 2)},
                              {"", "A.JPG", patternBytes(6, 3)},
                              {"", "b.jpg", patternBytes(7, 4)},
                              {"", "b.jpg", patternBytes(8, 5)},
                              {"", "noext", patternBytes(9, 6)},
                              {"", "noext", patternBytes(3, 7)}});
  s.model.selectFolder(s.tree.root());
  s.model.setFolderChecked(s.tree.root(), true);
  CountingPrompt prompt({OverwriteAnswer::YesToAll});
  const RecoveryOutcome r = s.recover(out, prompt);
  EXPECT_EQ(r.written, 7u);
  EXPECT_EQ(prompt.asked, std::vector<std::string>{"b.jpg"});  // only the file from before the job
  EXPECT_EQ(test::readFile(out / "a.jpg"), patternBytes(4, 1));
  EXPECT_EQ(test::readFile(out / "a (2).jpg"), patternBytes(5, 2));
  EXPECT_EQ(test::readFile(out / "A (3).JPG"), patternBytes(6, 3));  // names compared without case
  EXPECT_EQ(test::readFile(out / "b.jpg"), patternBytes(7, 4));      // Yes to All replaced the old one...
  EXPECT_EQ(test::readFile(out / "b (2).jpg"), patternBytes(8, 5));  // ...but not the one just written
  EXPECT_EQ(test::readFile(out / "noext"), patternBytes(9, 6));
  EXPECT_EQ(test::readFile(out / "noext (2)"), patternBytes(3, 7));
}

TEST(RecoveryOutput, FatCreatesCheckedFoldersAndStopsWhenCancelled) {
  TempDir dir;
  const fs::path out = dir / "out";
  Scanned s(EngineKind::Fat, {{"A/AA/AAA", "deep.jpg", patternBytes(3, 1)}, {"B", "b.jpg", patternBytes(3, 2)}});
  ResultFolder& a = *s.tree.findChild(s.tree.root(), "A");
  s.tree.addFolder(a, "Empty");
  s.model.setFolderChecked(a, true);
  FixedOverwritePrompt prompt(OverwriteAnswer::No);
  const RecoveryOutcome r = s.recover(out, prompt);
  EXPECT_EQ(r.written, 1u);
  EXPECT_EQ(test::readFile(out / "A" / "AA" / "AAA" / "deep.jpg"), patternBytes(3, 1));
  EXPECT_TRUE(fs::is_directory(out / "A" / "Empty"));
  EXPECT_FALSE(fs::exists(out / "B"));  // unchecked sibling folder not created

  // A cleared running flag stops before the next file.
  s.model.setFolderChecked(s.tree.root(), true);
  RunningFlag running{false};
  const RecoveryOutcome c = recoverFiles(s.engine, s.tree, gatherRecoverySteps(EngineKind::Fat, s.tree), dir / "o2",
                                         prompt, s.ctx.progress, running);
  EXPECT_TRUE(c.cancelled);
  EXPECT_EQ(c.written, 0u);
}

// A fake /sys: sda (8:0) with sda1 (8:1, sectors 2048..3047), sdb (8:16), and
// dm-0 (253:0) stacked on sda1.
struct FakeSys {
  TempDir dir;
  fs::path root = dir.path();
  void put(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
  }
  FakeSys() {
    const fs::path sda = root / "devices/sda", sda1 = sda / "sda1", sdb = root / "devices/sdb";
    const fs::path dm = root / "devices/virtual/dm-0";
    put(sda / "dev", "8:0");
    put(sda / "size", "100000");
    put(sda1 / "dev", "8:1");
    put(sda1 / "partition", "1");
    put(sda1 / "start", "2048");
    put(sda1 / "size", "1000");
    put(sdb / "dev", "8:16");
    put(sdb / "size", "5000");
    put(dm / "dev", "253:0");
    put(dm / "size", "900");
    fs::create_directories(dm / "slaves");
    fs::create_directory_symlink(sda1, dm / "slaves" / "sda1");
    fs::create_directories(root / "dev/block");
    fs::create_directory_symlink(sda, root / "dev/block/8:0");
    fs::create_directory_symlink(sda1, root / "dev/block/8:1");
    fs::create_directory_symlink(sdb, root / "dev/block/8:16");
    fs::create_directory_symlink(dm, root / "dev/block/253:0");
  }
};

TEST(SamePartition, DeviceNumbersAndScannedRange) {
  FakeSys sys;
  const uint64_t sda = makedev(8, 0), sda1 = makedev(8, 1), sdb = makedev(8, 16), dm0 = makedev(253, 0);
  // Output on the scanned partition.
  EXPECT_TRUE(deviceOverlapsScan(sda1, sda, 2048, 3048, sys.root));
  // Output on another partition of the same disk while only one partition is scanned.
  EXPECT_FALSE(deviceOverlapsScan(sda1, sda, 4096, 9000, sys.root));
  // A whole-disk scan refuses every partition of that disk.
  EXPECT_TRUE(deviceOverlapsScan(sda1, sda, 0, 100000, sys.root));
  // Through a stacked device (LVM, dm-crypt) down to the scanned partition.
  EXPECT_TRUE(deviceOverlapsScan(dm0, sda, 2048, 3048, sys.root));
  EXPECT_FALSE(deviceOverlapsScan(dm0, sdb, 0, 5000, sys.root));
  // A file system directly on the scanned device.
  EXPECT_TRUE(deviceOverlapsScan(sdb, sdb, 0, 5000, sys.root));
  // Another disk, or something that is not a block device at all.
  EXPECT_FALSE(deviceOverlapsScan(sda1, sdb, 0, 5000, sys.root));
  EXPECT_FALSE(deviceOverlapsScan(makedev(0, 42), sda, 0, 100000, sys.root));
}

TEST(SamePartition, ImagesAndMissingFolders) {
  TempDir dir;
  const fs::path image = dir / "disk.img";
  test::writeFile(image, std::vector<uint8_t>(4096, 0));
  ScannedSource src;
  src.devicePath = image.string();
  src.isImage = true;
  src.endSector = 8;
  // Writing beside a scanned image file is fine.
  EXPECT_FALSE(outputOnScannedSource(src, dir / "out"));
  src.isImage = false;  // a regular file is not a block device either
  EXPECT_FALSE(outputOnScannedSource(src, dir / "not" / "yet" / "there"));
  EXPECT_NE(std::string(kSamePartitionMessage).find("same partition,please select"), std::string::npos);
}


struct Mounted {
  fs::path at;
  ~Mounted() {
    if (!at.empty()) test::runTool({"umount", "-l", at.string()});
  }
};

std::string devOf(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
}

// btrfs gives every file a device number of major 0, and an overlay writes into
// its upper folder: both are followed to the disk below.
TEST(SamePartition, BtrfsAndOverlayAreFollowedToTheirDisk) {
  BRENIX_REQUIRE_TOOL("mkfs.btrfs");
  BRENIX_REQUIRE_TOOL("losetup");
  if (geteuid() != 0) GTEST_SKIP() << "loop mounts need root";
  TempDir dir;
  const fs::path img = dir / "vol.img", mnt = dir / "btrfs", ov = dir / "ov", lower = dir / "lower";
  test::writeFile(img, {});
  fs::resize_file(img, 200u << 20);
  test::ToolResult loop = test::runTool({"losetup", "-f", "--show", img.string()});
  if (loop.status != 0) GTEST_SKIP() << "no loop device: " << loop.output;
  const std::string dev = loop.output.substr(0, loop.output.find('\n'));
  struct Detach {
    std::string dev;
    ~Detach() { test::runTool({"losetup", "-d", dev}); }
  } detach{dev};
  ASSERT_EQ(test::runTool({"mkfs.btrfs", "-q", dev}).status, 0);
  fs::create_directories(mnt);
  ASSERT_EQ(test::runTool({"mount", dev, mnt.string()}).status, 0);
  Mounted btrfsMount{mnt};
  EXPECT_EQ(devOf(mnt).rfind("0:", 0), 0u) << "btrfs reports a real device number here";
  fs::create_directories(mnt / "upper");
  fs::create_directories(mnt / "work");
  fs::create_directories(lower);
  fs::create_directories(ov);
  const test::ToolResult o = test::runTool({"mount", "-t", "overlay", "overlay", "-o",
                                            "lowerdir=" + lower.string() + ",upperdir=" + (mnt / "upper").string() +
                                                ",workdir=" + (mnt / "work").string(),
                                            ov.string()});
  Mounted overlayMount{o.status == 0 ? ov : fs::path()};

  ScannedSource src;
  src.devicePath = dev;  // the loop device holding the btrfs volume
  EXPECT_EQ(checkRecoveryTarget(src, mnt / "out").verdict, TargetVerdict::OnScannedSource);
  if (o.status == 0) {
    EXPECT_EQ(checkRecoveryTarget(src, ov / "out").verdict, TargetVerdict::OnScannedSource);
  }
  // The image file behind the loop device is what is really scanned: a loop
  // device counts as a mounted copy of it.
  src.devicePath = img.string();
  EXPECT_EQ(checkRecoveryTarget(src, mnt / "out").verdict, TargetVerdict::OnScannedSource);
  EXPECT_EQ(checkRecoveryTarget(src, dir / "beside").verdict, TargetVerdict::Allowed);
}

// File systems that name no device are refused as unknown, with the reason.
TEST(SamePartition, UnknownBackingDevicesAreSaidSo) {
  TempDir dir;
  const fs::path info = dir / "mountinfo";
  const std::string procDev = devOf("/proc");
  ASSERT_EQ(procDev.rfind("0:", 0), 0u);
  ScannedSource src;
  src.devicePath = (dir / "card.img").string();
  test::writeFile(src.devicePath, std::vector<uint8_t>(4096, 0));
  SystemFiles files;
  files.mountinfo = info;
  const auto verdictFor = [&](const std::string& line) {
    std::ofstream(info) << line << "\n";
    return checkRecoveryTarget(src, "/proc/out", files);
  };
  TargetCheck c = verdictFor("22 27 " + procDev + " / /proc rw - fuse.mystery mystery rw");
  EXPECT_EQ(c.verdict, TargetVerdict::Unknown);
  EXPECT_NE(c.reason.find("fuse.mystery file system on '/proc' does not say which disk"), std::string::npos) << c.reason;
  c = verdictFor("22 27 " + procDev + " / /proc rw - overlay overlay rw,lowerdir=lo,upperdir=up,workdir=wk");
  EXPECT_EQ(c.verdict, TargetVerdict::Unknown);
  EXPECT_NE(c.reason.find("upper folder"), std::string::npos) << c.reason;
  // A FUSE mount of the scanned image itself ; mountinfo's octal escapes are undone.
  c = verdictFor("22 27 " + procDev + " / /proc rw - fuse " + src.devicePath + " rw");
  EXPECT_EQ(c.verdict, TargetVerdict::OnScannedSource);
  EXPECT_EQ(verdictFor("22 27 " + procDev + " / /pr\\157c rw - tmpfs tmpfs rw").verdict, TargetVerdict::Allowed);
  // The image file itself is never an output folder.
  EXPECT_EQ(checkRecoveryTarget(src, src.devicePath).verdict, TargetVerdict::OnScannedSource);
}
}  // namespace
}  // namespace brenix
