#include "support/faulty_device.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "support/tools.h"

namespace brenix::test {

namespace fs = std::filesystem;

namespace {

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::nullptr_t refuse(std::string* whyNot, std::string why) {
  *whyNot = std::move(why);
  return nullptr;
}

bool waitForExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (std::chrono::steady_clock::now() < until) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || r < 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The loop device reads its file with direct I/O, so that a stalled read is
// one request in flight and the others go on (a buffered loop device answers
// its requests one after the other, so one stall would hang every read). Its
// readahead stays as the system sets it: the reader has to cope with that.
std::string attachLoop(const std::string& file, bool readOnly, std::string* whyNot) {
  std::vector<std::string> args = {"losetup", "-f", "--show", "--direct-io=on"};
  if (readOnly) args.insert(args.begin() + 1, "-r");
  args.push_back(file);
  const ToolResult loop = runTool(args);
  const std::string dev = firstLine(loop.output);
  if (loop.status != 0 || dev.rfind("/dev/loop", 0) != 0) {
    *whyNot = "no loop device: " + firstLine(loop.output);
    return {};
  }
  const fs::path sys = fs::path("/sys/block") / fs::path(dev).filename();
  std::string direct;
  std::ifstream(sys / "loop" / "dio") >> direct;
  if (direct != "1") {
    runTool({"losetup", "-d", dev});
    *whyNot = "the loop device cannot read its file with direct I/O";
    return {};
  }
  return dev;
}

}  // namespace

std::unique_ptr<FaultyDevice> FaultyDevice::make(const fs::path& backing, const fs::path& workDir,
                                                 const std::vector<ByteRange>& failing,
                                                 const std::vector<ByteRange>& stalling, std::string* whyNot) {
  if (geteuid() != 0) {
    *whyNot = "needs root (loop devices)";
    return nullptr;
  }
  if (!haveTool("losetup")) {
    *whyNot = "losetup is not installed";
    return nullptr;
  }
  for (const ByteRange& r : failing)
    if (r.offset % 4096 || r.length % 4096) return refuse(whyNot, "ranges must be whole pages");
  for (const ByteRange& r : stalling)
    if (r.offset % 4096 || r.length % 4096) return refuse(whyNot, "ranges must be whole pages");
  std::string dmWhy = "device-mapper cannot stall reads";
  if (stalling.empty())
    if (auto dev = overDeviceMapper(backing, failing, &dmWhy)) return dev;
  std::string fuseWhy;
  if (auto dev = overFuse(backing, workDir, failing, stalling, &fuseWhy)) return dev;
  *whyNot = "device-mapper: " + dmWhy + "; FUSE: " + fuseWhy;
  return nullptr;
}

std::unique_ptr<FaultyDevice> FaultyDevice::overDeviceMapper(const fs::path& backing, const std::vector<ByteRange>& failing,
                                                             std::string* whyNot) {
  if (!haveTool("dmsetup")) return refuse(whyNot, "dmsetup is not installed");
  const ToolResult targets = runTool({"dmsetup", "targets"});
  if (targets.status != 0) return refuse(whyNot, "no driver (dmsetup targets: " + firstLine(targets.output) + ")");
  std::unique_ptr<FaultyDevice> dev(new FaultyDevice);
  dev->kind_ = "device-mapper";
  dev->loop_ = attachLoop(backing.string(), false, whyNot);
  if (dev->loop_.empty()) return nullptr;
  // Linear pieces of the loop device with error targets between them, in sectors.
  std::vector<ByteRange> bad = failing;
  std::sort(bad.begin(), bad.end(), [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  const uint64_t sectors = fs::file_size(backing) / 512;
  std::ostringstream table;
  uint64_t at = 0;
  for (const ByteRange& r : bad) {
    const uint64_t first = r.offset / 512, count = r.length / 512;
    if (first > at) table << at << ' ' << first - at << " linear " << dev->loop_ << ' ' << at << '\n';
    table << first << ' ' << count << " error\n";
    at = first + count;
  }
  if (at < sectors) table << at << ' ' << sectors - at << " linear " << dev->loop_ << ' ' << at << '\n';
  const std::string name = "brenix-faulty-" + std::to_string(getpid());
  const ToolResult created = runTool({"dmsetup", "create", name}, table.str());
  if (created.status != 0) return refuse(whyNot, "dmsetup create failed: " + firstLine(created.output));
  dev->mapperName_ = name;
  dev->path_ = "/dev/mapper/" + name;
  return dev;
}

std::unique_ptr<FaultyDevice> FaultyDevice::overFuse(const fs::path& backing, const fs::path& workDir,
                                                     const std::vector<ByteRange>& failing,
                                                     const std::vector<ByteRange>& stalling, std::string* whyNot) {
  const std::string tool = BRENIX_TEST_FAULTY_FUSE;
  if (tool.empty() || !fs::exists(tool)) return refuse(whyNot, "faulty_fuse is not built (libfuse3-dev missing)");
  if (!fs::exists("/dev/fuse")) return refuse(whyNot, "no /dev/fuse");
  if (!haveTool("fusermount3")) return refuse(whyNot, "fusermount3 is not installed");
  std::unique_ptr<FaultyDevice> dev(new FaultyDevice);
  dev->kind_ = "FUSE";
  dev->mountPoint_ = workDir / "faulty-fuse";
  dev->logPath_ = workDir / "faulty-fuse.log";
  std::error_code ec;
  fs::create_directories(dev->mountPoint_, ec);
  std::vector<std::string> args = {tool, backing.string(), dev->mountPoint_.string()};
  auto add = [&](const char* opt, const ByteRange& r) {
    args.emplace_back(opt);
    args.push_back(std::to_string(r.offset) + ":" + std::to_string(r.length));
  };
  for (const ByteRange& r : failing) add("--fail", r);
  for (const ByteRange& r : stalling) add("--stall", r);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string logPath = dev->logPath_.string();
  const pid_t pid = fork();
  if (pid < 0) return refuse(whyNot, "fork failed");
  if (pid == 0) {
    // Should the test program die, every stalled read answers at once.
    prctl(PR_SET_PDEATHSIG, SIGUSR1);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = open("/dev/null", O_RDONLY);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
    if (null >= 0) dup2(null, 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  dev->fuse_ = pid;
  // Mounted once the file shows with the backing file's size.
  const fs::path file = dev->mountPoint_ / "disk";
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool mounted = false;
  while (!mounted && std::chrono::steady_clock::now() < until) {
    struct stat st {};
    mounted = ::stat(file.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == fs::file_size(backing);
    if (!mounted) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) {
        dev->fuse_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (!mounted) return refuse(whyNot, "faulty_fuse did not mount: " + firstLine(dev->log()));
  dev->loop_ = attachLoop(file.string(), true, whyNot);
  if (dev->loop_.empty()) return nullptr;
  dev->path_ = dev->loop_;
  // The last close of a block device waits for its reads in flight: a
  // program that left a stalled read behind could not exit before release().
  // Held open here, as a disk in use is, the device lets it exit.
  dev->holdFd_ = open(dev->loop_.c_str(), O_RDONLY | O_CLOEXEC);
  return dev;
}

void FaultyDevice::release() {
  if (fuse_ > 0) kill(fuse_, SIGUSR1);
}

std::string FaultyDevice::log() const {
  std::ifstream in(logPath_);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

FaultyDevice::~FaultyDevice() {
  release();
  if (holdFd_ >= 0) close(holdFd_);
  if (!mapperName_.empty()) runTool({"dmsetup", "remove", mapperName_});
  if (!loop_.empty()) runTool({"losetup", "-d", loop_});
  if (fuse_ > 0) {
    // The loop device lets go of the file as it detaches; until then the mount is busy.
    bool unmounted = false;
    for (int i = 0; i < 100 && !unmounted; ++i) {
      unmounted = runTool({"fusermount3", "-u", mountPoint_.string()}).status == 0;
      if (!unmounted) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!unmounted) runTool({"fusermount3", "-u", "-z", mountPoint_.string()});
    if (!waitForExit(fuse_, std::chrono::seconds(5))) {
      kill(fuse_, SIGTERM);
      if (!waitForExit(fuse_, std::chrono::seconds(5))) {
        kill(fuse_, SIGKILL);
        waitpid(fuse_, nullptr, 0);
      }
    }
  }
  std::error_code ec;
  if (!mountPoint_.empty()) fs::remove(mountPoint_, ec);
}

}  // namespace brenix::test
