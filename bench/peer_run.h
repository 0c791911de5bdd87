#pragma once
// Runs one measured step in a child process — ours as a function, the peer
// tool as a command — and reports its wall time and peak resident memory, so
// both are measured the same way in the same run.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace brenix::bench {

struct RunFigures {
  double seconds = 0;
  long peakKiB = 0;  // the child's maximum resident set
  bool ok = false;
};

inline RunFigures waitFor(pid_t pid, std::chrono::steady_clock::time_point start) {
  RunFigures f;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return f;
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  f.peakKiB = usage.ru_maxrss;
  f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return f;
}

// `step` returns true on success; its result reaches the parent as the exit code.
inline RunFigures runOurs(const std::function<bool()>& step) {
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) _exit(step() ? 0 : 1);
  return waitFor(pid, start);
}

// The command's output goes to /dev/null.
inline RunFigures runPeer(const std::vector<std::string>& argv) {
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return waitFor(pid, start);
}

inline RunFigures median(std::vector<RunFigures> runs) {
  if (runs.empty()) return {};
  std::sort(runs.begin(), runs.end(), [](const RunFigures& a, const RunFigures& b) { return a.seconds < b.seconds; });
  RunFigures m = runs[runs.size() / 2];
  for (const RunFigures& r : runs) m.ok = m.ok && r.ok;
  return m;
}

// Runs ours and the peer `rounds` times each, alternating, and prints one
// table: records per second, peak memory, and the ratio, with the goal beside.
inline void compareWithPeer(const char* title, double records, const std::function<bool()>& ours,
                            const std::vector<std::string>& peer, const char* goal, int rounds = 5) {
  std::vector<RunFigures> a, b;
  for (int i = 0; i < rounds; ++i) {
    a.push_back(runOurs(ours));
    b.push_back(runPeer(peer));
  }
  const RunFigures mo = median(a), mp = median(b);
  std::string peerText;
  for (const std::string& s : peer) peerText += (peerText.empty() ? "" : " ") + s;
  std::printf("\n== %s (median of %d runs each)\n", title, rounds);
  std::printf("  records            %.0f\n", records);
  std::printf("  ours               %8.3f s  %10.0f records/s  peak RSS %7.1f MiB%s\n", mo.seconds,
              records / mo.seconds, double(mo.peakKiB) / 1024, mo.ok ? "" : "  (FAILED)");
  std::printf("  peer: %-11s %8.3f s  %10.0f records/s  peak RSS %7.1f MiB%s\n", peer[0].c_str(), mp.seconds,
              records / mp.seconds, double(mp.peakKiB) / 1024, mp.ok ? "" : "  (FAILED)");
  std::printf("  peer command       %s\n", peerText.c_str());
  std::printf("  ratio ours/peer    %.2f x faster\n", mp.seconds / mo.seconds);
  std::printf("  goal               %s\n", goal);
}

}  // namespace brenix::bench
