#include "cli/progress_line.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>

#include "common/clock.h"
#include "common/text.h"
#include "results/time_estimate.h"

namespace brenix::cli {

namespace {
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
struct sigaction gPrevious {};

extern "C" void onInterrupt(int) { gInterrupted.store(true); }
}  // namespace

InterruptGuard::InterruptGuard() {
  gInterrupted.store(false);
  struct sigaction sa {};
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  installed_ = sigaction(SIGINT, &sa, &gPrevious) == 0;
}

InterruptGuard::~InterruptGuard() {
  if (installed_) sigaction(SIGINT, &gPrevious, nullptr);
}

bool InterruptGuard::interrupted() { return gInterrupted.load(); }
void InterruptGuard::clear() { gInterrupted.store(false); }

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

OverwriteAnswer TerminalOverwritePrompt::ask(const std::string& name) {
  std::lock_guard lock(terminalMutex());
  out_ << "\n" << kOverwriteCaption << "\n" << overwriteQuestionText(terminalSafe(name)) << "\n";
  for (int attempt = 0; attempt < 10; ++attempt) {
    out_ << "[y]es, yes to [a]ll, [n]o, [c]ancel? " << std::flush;
    std::string line;
    if (!std::getline(in_, line)) return OverwriteAnswer::Cancel;
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
