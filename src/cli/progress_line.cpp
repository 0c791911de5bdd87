#include "cli/progress_line.h"

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <poll.h>
#include <termios.h>
#endif
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <iterator>

#include "common/clock.h"
#include "common/text.h"
#include "results/recovery_output.h"
#include "results/time_estimate.h"

namespace brenix::cli {

namespace {
std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
#ifdef _WIN32
// Ctrl-C, Ctrl-Break and closing the console come to a handler thread: the
// first asks the job to stop, a second ends the program at once after
// removing the file being written (its name is UTF-8, the program's code page).
BOOL WINAPI onConsoleEvent(DWORD type) {
  const int sig = type == CTRL_C_EVENT ? SIGINT : type == CTRL_BREAK_EVENT ? SIGBREAK : SIGTERM;
  int none = 0;
  if (gSignal.compare_exchange_strong(none, sig)) return TRUE;
  if (const char* temp = recoveryFileInProgress()) DeleteFileA(temp);
  static const char kMessage[] = "\nStopped at once; the file being written was removed\n";
  DWORD put = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), kMessage, sizeof kMessage - 1, &put, nullptr);
  ExitProcess(static_cast<UINT>(128 + sig));
}
}  // namespace

InterruptGuard::InterruptGuard() {
  gSignal.store(0);
  installed_ = SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

InterruptGuard::~InterruptGuard() { SetConsoleCtrlHandler(onConsoleEvent, FALSE); }
#else
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction gPrevious[3] {};
struct termios gTerminal {};
bool gHaveTerminal = false;

// The first signal asks the job to stop; a second one ends the program at
// once, after removing the file being written and restoring the terminal.
extern "C" void onStopSignal(int sig) {
  int none = 0;
  if (gSignal.compare_exchange_strong(none, sig)) return;
  if (const char* temp = recoveryFileInProgress()) ::unlink(temp);
  if (gHaveTerminal) ::tcsetattr(STDIN_FILENO, TCSANOW, &gTerminal);
  static const char kMessage[] = "\nStopped at once; the file being written was removed\n";
  (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  ::_exit(128 + sig);
}
}  // namespace

InterruptGuard::InterruptGuard() {
  gSignal.store(0);
  gHaveTerminal = ::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &gTerminal) == 0;
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  installed_ = true;
  for (size_t i = 0; i < std::size(kStopSignals); ++i)
    installed_ = sigaction(kStopSignals[i], &sa, &gPrevious[i]) == 0 && installed_;
}

InterruptGuard::~InterruptGuard() {
  for (size_t i = 0; i < std::size(kStopSignals); ++i) sigaction(kStopSignals[i], &gPrevious[i], nullptr);
}
#endif

bool InterruptGuard::interrupted() { return gSignal.load() != 0; }
int InterruptGuard::signal() { return gSignal.load(); }
void InterruptGuard::clear() { gSignal.store(0); }

int cancelledExitStatus() {
  const int sig = gSignal.load();
  return sig != 0 ? 128 + sig : 130;
}

const char* signalName(int sig) {
  switch (sig) {
    case SIGINT: return "Interrupted";
    case SIGTERM: return "Terminated";
#ifdef SIGHUP
    case SIGHUP: return "Hangup";
#endif
    default: return "Stopped";
  }
}

std::string terminalSafe(const std::string& text, bool keepNewlines) {
  std::string out = text;
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && !(keepNewlines && c == '\n')) || u == 0x7F) c = '?';
  }
  return out;
}

std::mutex& terminalMutex() {
  static std::mutex m;
  return m;
}

bool progressWanted(bool forced) { return forced || ::isatty(STDERR_FILENO) == 1; }

bool runWithProgress(const JobRunner::Work& work, Progress& progress, bool showProgress, std::ostream& err) {
  const bool inPlace = showProgress && ::isatty(STDERR_FILENO) == 1 && &err == &std::cerr;
  ProgressMonitor monitor(progress);
  monitor.start();
  JobRunner runner;
  runner.start(work);
  bool cancelled = false;
  int64_t lastPrint = nowSeconds();
  size_t lastWidth = 0;
  const auto print = [&] {
    std::unique_lock lock(terminalMutex(), std::try_to_lock);
    if (!lock.owns_lock()) return;  // a question is on the terminal
    std::string line = terminalSafe(progressLine(monitor.poll()));
    if (inPlace) {
      const size_t width = line.size();
      if (width < lastWidth) line += std::string(lastWidth - width, ' ');
      lastWidth = width;
      err << '\r' << line << std::flush;
    } else {
      err << line << '\n' << std::flush;
    }
  };
  while (!runner.waitFor(std::chrono::milliseconds(100))) {
    if (InterruptGuard::interrupted() && !cancelled) {
      cancelled = true;
      runner.cancel();
      std::lock_guard lock(terminalMutex());
      err << (inPlace ? "\n" : "") << signalName(InterruptGuard::signal())
          << ": stopping (a second signal ends the program at once)\n" << std::flush;
    }
    if (showProgress && nowSeconds() - lastPrint >= 1) {
      lastPrint = nowSeconds();
      print();
    }
  }
  runner.wait();
  if (InterruptGuard::interrupted()) cancelled = true;
  if (showProgress) {
    print();
    if (inPlace) err << '\n' << std::flush;
  }
  return cancelled;
}

bool parseOverwriteAnswer(const std::string& text, OverwriteAnswer* answer) {
  std::string t = toLower(text);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\r' || t.back() == '\t')) t.pop_back();
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.erase(t.begin());
  if (t == "y" || t == "yes") *answer = OverwriteAnswer::Yes;
  else if (t == "a" || t == "all" || t == "yes to all") *answer = OverwriteAnswer::YesToAll;
  else if (t == "n" || t == "no") *answer = OverwriteAnswer::No;
  else if (t == "c" || t == "cancel") *answer = OverwriteAnswer::Cancel;
  else return false;
  return true;
}

// One line from a terminal, given up when a stop signal comes meanwhile.
bool readLineUnlessInterrupted(int fd, std::string& line) {
  line.clear();
  while (!InterruptGuard::interrupted()) {
#ifdef _WIN32
    // A console read returns when Ctrl-C is pressed; the loop then sees the flag.
    char c = 0;
    const int n = ::_read(fd, &c, 1);
    if (n <= 0) return false;
    if (c == '\r') continue;
    if (c == '\n') return true;
    if (line.size() < 256) line += c;
    continue;
#else
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    if (line.size() < 256) line += c;
#endif
  }
  return false;
}

OverwriteAnswer TerminalOverwritePrompt::ask(const std::string& name) {
  std::lock_guard lock(terminalMutex());
  out_ << "\n" << kOverwriteCaption << "\n" << overwriteQuestionText(terminalSafe(name)) << "\n";
  for (int attempt = 0; attempt < 10; ++attempt) {
    out_ << "[y]es, yes to [a]ll, [n]o, [c]ancel? " << std::flush;
    std::string line;
    const bool got = fd_ >= 0 ? readLineUnlessInterrupted(fd_, line) : static_cast<bool>(std::getline(*in_, line));
    if (!got) return OverwriteAnswer::Cancel;
    OverwriteAnswer answer;
    if (parseOverwriteAnswer(line, &answer)) return answer;
  }
  return OverwriteAnswer::Cancel;
}

OverwriteAnswer KeepExistingPrompt::ask(const std::string& name) {
  std::lock_guard lock(terminalMutex());
  out_ << "Kept the existing file '" << terminalSafe(name) << "' (no terminal to ask on; use --overwrite all to replace it)\n";
  return OverwriteAnswer::No;
}

}  // namespace brenix::cli
