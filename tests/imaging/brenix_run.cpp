#include "brenix_run.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

extern char** environ;

namespace brenix::test {

long long bytesReadBy(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  long long value = -1;
  while (in >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}

BrenixRun runBrenix(const std::vector<std::string>& args, const std::filesystem::path& out, long long interruptAfter) {
  std::vector<std::string> argv{std::getenv("BRENIX_CLI")};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (out.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  BrenixRun run;
  if (posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) != 0) return run;
  posix_spawn_file_actions_destroy(&actions);
  bool sent = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  for (;;) {
    siginfo_t info{};
    // Wait without reaping, so that the finished process's accounting can still be read.
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) break;
    if (interruptAfter > 0 && !sent && bytesReadBy(pid) >= interruptAfter) {
      kill(pid, SIGINT);
      sent = true;
    }
    if (std::chrono::steady_clock::now() > deadline) kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  run.bytesRead = bytesReadBy(pid);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream o(out), e(out.string() + ".err");
  run.output = std::string(std::istreambuf_iterator<char>(o), {}) + std::string(std::istreambuf_iterator<char>(e), {});
  return run;
}

}  // namespace brenix::test
