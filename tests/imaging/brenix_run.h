#pragma once
// Runs the brenix program the way a person stops it: with stdout and stderr
// to files, a SIGINT once it has read a given number of bytes, and the bytes
// it read in all counted by the kernel's I/O accounting.
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace brenix::test {

// Bytes the process has read so far (rchar), -1 when unknown.
long long bytesReadBy(pid_t pid);

struct BrenixRun {
  int status = -1;
  long long bytesRead = -1;
  std::string output;
};

// Runs brenix with stdout to a file; sends SIGINT once it has read interruptAfter bytes (0: never).
BrenixRun runBrenix(const std::vector<std::string>& args, const std::filesystem::path& out, long long interruptAfter);

}  // namespace brenix::test
