// The brenix program run as a user runs it: recovered files never land on
// what is being rescued, never stand cut off under their own names, and the
// program stops when it is told to.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

#include "support/temp_dir.h"
#include "support/tools.h"

namespace brenix {
namespace {

namespace fs = std::filesystem;

// A card without a partition table: the demo pictures at the given sectors,
// the rest zeros (sparse).
void makeCard(const fs::path& path, uint64_t size, const std::vector<std::pair<uint64_t, std::vector<uint8_t>>>& at) {
  test::writeFile(path, {});
  fs::resize_file(path, size);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  for (const auto& [sector, bytes] : at) {
    f.seekp(static_cast<std::streamoff>(sector * 512));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
}

std::vector<uint8_t> slice(const fs::path& path, uint64_t from, uint64_t to) {
  std::ifstream f(path, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(from));
  std::vector<uint8_t> v(to - from);
  f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size()));
  return v;
}

// The program started in the background, its output going to a file.
struct Child {
  pid_t pid = -1;
  fs::path log;
  int wait() {
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string output() const {
    const auto bytes = test::readFile(log);
    return std::string(bytes.begin(), bytes.end());
  }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

Child start(const std::vector<std::string>& argv, const fs::path& log) {
  Child c;
  c.log = log;
  c.pid = fork();
  if (c.pid == 0) {
    FILE* out = std::fopen(log.c_str(), "w");
    if (out) {
      dup2(fileno(out), STDOUT_FILENO);
      dup2(fileno(out), STDERR_FILENO);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return c;
}

// The temporary file of a recovery in progress under `folder`, once it holds data.
bool waitForTemporaryFile(const fs::path& folder, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(folder, ec))
      if (e.path().extension() == ".tmp" && e.path().filename().string().rfind(".brenix-", 0) == 0 &&
          e.file_size(ec) > (1u << 20))
        return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::vector<std::string> filesUnder(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(folder, ec))
    if (e.is_regular_file()) names.push_back(fs::relative(e.path(), folder).string());
  std::sort(names.begin(), names.end());
  return names;
}

class RecoverySafety : public testing::Test {
 protected:
  void SetUp() override {
    const char* cli = std::getenv("BRENIX_CLI");
    if (!cli || !fs::exists(cli)) GTEST_SKIP() << "the brenix program is not built";
    cli_ = cli;
    const char* source = std::getenv("BRENIX_SOURCE_DIR");
    if (source) {
      first_ = test::readFile(fs::path(source) / "data" / "demo" / "Beach sunset.jpg");
      second_ = test::readFile(fs::path(source) / "data" / "demo" / "Mountain lake.jpg");
    }
    if (first_.empty() || second_.empty()) GTEST_SKIP() << "the demo pictures are missing";
  }
  test::ToolResult run(std::vector<std::string> args) {
    args.insert(args.begin(), cli_);
    return test::runTool(args);
  }

  test::TempDir dir_;
  std::string cli_;
  std::vector<uint8_t> first_, second_;
};

TEST_F(RecoverySafety, OutputOnAFuseMountOfTheScannedImageIsRefused) {
  BRENIX_REQUIRE_TOOL("mkntfs");
  BRENIX_REQUIRE_TOOL("ntfs-3g");
  const fs::path img = dir_ / "card.img", mnt = dir_ / "mnt";
  test::writeFile(img, {});
  fs::resize_file(img, 16u << 20);
  ASSERT_EQ(test::runTool({"mkntfs", "-F", "-q", "-f", img.string()}).status, 0);
  fs::create_directories(mnt);
  if (test::runTool({"ntfs-3g", img.string(), mnt.string()}).status != 0) GTEST_SKIP() << "ntfs-3g cannot mount (no FUSE)";
  struct Unmount {
    fs::path at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{mnt};
  test::writeFile(mnt / "photo.jpg", std::vector<uint8_t>(3000, 7));
  ASSERT_EQ(test::runTool({"sync"}).status, 0);
  const std::string before = test::sha256Of(img);
  const test::ToolResult r =
      run({"recover", "--images-only", "--image", img.string(), "--all", "--out", (mnt / "recovered").string()});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("It is not recommend to save your recovered files to the same partition"), std::string::npos)
      << r.output;
  EXPECT_FALSE(fs::exists(mnt / "recovered"));
  // A partition table backup may not go onto the disk it saves either.
  const test::ToolResult b =
      run({"rescue", "backup", "--images-only", "--image", img.string(), "--out", (mnt / "table.bak").string(), "--yes"});
  EXPECT_NE(b.status, 0) << b.output;
  EXPECT_NE(b.output.find("that folder is stored on the disk being backed up"), std::string::npos) << b.output;
  EXPECT_FALSE(fs::exists(mnt / "table.bak"));
  EXPECT_EQ(test::sha256Of(img), before);
}

TEST_F(RecoverySafety, ImagePathsThatAreNoDiskAreRefusedAtOnce) {
  const fs::path fifo = dir_ / "pipe", folder = dir_ / "folder", dangling = dir_ / "dangling";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  fs::create_directories(folder);
  fs::create_symlink(dir_ / "missing.img", dangling);
  const struct {
    std::string path;
    const char* message;
  } cases[] = {{fifo.string(), "is a named pipe (FIFO)"},
               {folder.string(), "is a folder"},
               {"/dev/null", "is a character device"},
               {dangling.string(), "is a symbolic link to something that does not exist"}};
  for (const auto& c : cases) {
    for (const char* command : {"scan", "disks"}) {
      const auto t0 = std::chrono::steady_clock::now();
      const test::ToolResult r = test::runTool({"timeout", "10", cli_, command, "--images-only", "--image", c.path});
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
      EXPECT_NE(r.status, 0) << command << " " << c.path;
      EXPECT_NE(r.status, 124) << command << " " << c.path << " hung";
      EXPECT_LT(ms, 1000) << command << " " << c.path;
      EXPECT_NE(r.output.find("The disk image '" + c.path + "' " + c.message), std::string::npos) << r.output;
    }
  }
  // A backup written over the image it saves is refused, and the image is unchanged.
  const fs::path img = dir_ / "card.img";
  makeCard(img, 1u << 20, {{3, first_}});
  const std::string before = test::sha256Of(img);
  const test::ToolResult b = run({"rescue", "backup", "--images-only", "--image", img.string(), "--out", img.string(), "--yes"});
  EXPECT_NE(b.status, 0);
  EXPECT_NE(b.output.find("it is the attached disk"), std::string::npos) << b.output;
  EXPECT_EQ(test::sha256Of(img), before);
}

// Stop signals from outside during a large write: the files before it stay
// whole, the one in hand never stands under its name; a second signal ends
// the program at once and still leaves no temporary file.
TEST_F(RecoverySafety, StopSignalsDuringALargeWrite) {
  const fs::path img = dir_ / "card.img";
  // Two pictures, then a third whose cut (no trimming) runs about 1 GB to the maximal size.
  makeCard(img, 1200ull << 20, {{3, first_}, {80, second_}, {200, first_}});
  struct Case {
    std::vector<int> signals;
    int status;
  } cases[] = {{{SIGINT}, 130}, {{SIGTERM}, 143}, {{SIGHUP}, 129}, {{SIGINT, SIGTERM}, 0}};  // 0: 128 + whichever came second
  for (const Case& c : cases) {
    const fs::path out = dir_ / ("out" + std::to_string(c.signals.front()) + "-" + std::to_string(c.signals.size()));
    Child child = start({cli_, "recover", "--images-only", "--image", img.string(), "--mode", "raw", "--whole-disk",
                         "--types", "jpg", "--no-trim", "--max-size", "1000000", "--all", "--out", out.string()},
                        dir_ / "log.txt");
    ASSERT_TRUE(waitForTemporaryFile(out, std::chrono::seconds(60))) << child.output();
    for (int sig : c.signals) kill(child.pid, sig);
    const auto sent = std::chrono::steady_clock::now();
    const int status = child.wait();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count();
    const std::string log = child.output();
    std::cout << "signal " << c.signals.front() << " x" << c.signals.size() << ": exit " << status << " after " << ms
              << " ms\n";
    if (c.status != 0) {
      EXPECT_EQ(status, c.status) << log;
    } else {
      EXPECT_TRUE(status == 128 + SIGINT || status == 128 + SIGTERM) << status << log;
    }
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(filesUnder(out), (std::vector<std::string>{"jpg/File0.jpg", "jpg/File1.jpg"})) << log;
    EXPECT_EQ(test::readFile(out / "jpg" / "File0.jpg"), slice(img, 3 * 512, 80 * 512));
    EXPECT_EQ(test::readFile(out / "jpg" / "File1.jpg"), slice(img, 80 * 512, 200 * 512));
    if (c.signals.size() == 1) {
      EXPECT_NE(log.find("stopping (a second signal ends the program at once)"), std::string::npos) << log;
      EXPECT_NE(log.find("Cancelled; the files written so far are kept"), std::string::npos) << log;
    } else {
      EXPECT_NE(log.find("Stopped at once; the file being written was removed"), std::string::npos) << log;
    }
  }
}

// A destination that fills up: no file under its own name is shorter than
// the original; a rerun once there is room writes the missing files and
// only then exits 0.
TEST_F(RecoverySafety, AFullDestinationLeavesNoCutOffFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const fs::path img = dir_ / "card.img", small = dir_ / "small";
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> pictures;
  for (uint64_t i = 0; i < 5; ++i) pictures.push_back({3 + i * 800, i % 2 ? second_ : first_});  // ~400 KB apart
  makeCard(img, 3u << 20, pictures);
  fs::create_directories(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount tmpfs";
  struct Unmount {
    fs::path at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{small};
  const std::vector<std::string> args = {"recover", "--images-only", "--image", img.string(), "--mode", "raw",
                                         "--whole-disk", "--types", "jpg", "--no-trim", "--all", "--out",
                                         (small / "out").string(), "--overwrite", "never"};
  test::ToolResult r = run(args);
  EXPECT_EQ(r.status, 1) << r.output;
  const auto expected = [&](const std::string& name) {
    const uint64_t i = std::stoull(name.substr(8));  // jpg/FileN.jpg
    const uint64_t from = (3 + i * 800) * 512, to = i + 1 < 5 ? (3 + (i + 1) * 800) * 512 : 3u << 20;
    return slice(img, from, to);
  };
  const std::vector<std::string> first = filesUnder(small / "out");
  EXPECT_GE(first.size(), 1u);
  EXPECT_LT(first.size(), 5u);
  for (const std::string& name : first) EXPECT_EQ(test::readFile(small / "out" / name), expected(name)) << name;

  // Room again: the rerun keeps the whole files, writes the missing ones, and succeeds.
  ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", MS_REMOUNT, "size=16m"), 0);
  r = run(args);
  EXPECT_EQ(r.status, 0) << r.output;
  const std::vector<std::string> all = filesUnder(small / "out");
  EXPECT_EQ(all.size(), 5u);
  for (const std::string& name : all) EXPECT_EQ(test::readFile(small / "out" / name), expected(name)) << name;
}

}  // namespace
}  // namespace brenix
