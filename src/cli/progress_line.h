#pragma once
// Running a job from the command line: the job runs on a worker thread while
// the main thread prints a progress line on stderr and turns Ctrl-C into
// Cancel; and the overwrite question asked on the terminal.
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>

#include "jobs/job_runner.h"
#include "results/progress.h"
#include "results/recovery_output.h"

namespace brenix::cli {

// While alive, SIGINT, SIGTERM and SIGHUP set a flag instead of ending the
// program, so the job stops and says so; a second one ends the program at
// once, after removing the file being written and restoring the terminal.
// The previous handlers come back when it is destroyed.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  static bool interrupted();
  static int signal();  // the first signal that came, 0 for none
  static void clear();

 private:
  bool installed_ = false;
};

// The exit status after a stop signal: 128 + its number (130 for Ctrl-C).
int cancelledExitStatus();
// "Interrupted", "Terminated", "Hangup".
const char* signalName(int sig);

// Text from disk made safe to print on a terminal: control characters
// (escape sequences among them) become '?'. Newlines are kept when keepNewlines.
std::string terminalSafe(const std::string& text, bool keepNewlines = false);

// Serialises what the worker (overwrite questions) and the progress line write to stderr.
std::mutex& terminalMutex();

// Whether the progress line is shown: stderr is a terminal, or --progress was given.
bool progressWanted(bool forced);

// Runs `work` on a JobRunner and waits for it. Every second (and once at the
// end) prints the progress line when `showProgress`; on a terminal the line
// is redrawn in place, elsewhere each one is a new line. Ctrl-C (under an
// InterruptGuard) cancels the job. Returns true when the job was cancelled by Ctrl-C.
bool runWithProgress(const JobRunner::Work& work, Progress& progress, bool showProgress, std::ostream& err);

// The overwrite question on the terminal: the question text, then
// "[y]es, yes to [a]ll, [n]o, [c]ancel? ". End of input answers Cancel, and
// so does a stop signal while the question waits (when reading a descriptor).
class TerminalOverwritePrompt : public OverwritePrompt {
 public:
  TerminalOverwritePrompt(std::istream& in, std::ostream& out) : in_(&in), out_(out) {}
  TerminalOverwritePrompt(int fd, std::ostream& out) : fd_(fd), out_(out) {}
  OverwriteAnswer ask(const std::string& name) override;

 private:
  std::istream* in_ = nullptr;
  int fd_ = -1;
  std::ostream& out_;
};

// Parses one typed answer; false when it is none of the four.
bool parseOverwriteAnswer(const std::string& text, OverwriteAnswer* answer);

// --overwrite ask without a terminal: existing files are kept, and each is named on `out`.
class KeepExistingPrompt : public OverwritePrompt {
 public:
  explicit KeepExistingPrompt(std::ostream& out) : out_(out) {}
  OverwriteAnswer ask(const std::string& name) override;

 private:
  std::ostream& out_;
};

}  // namespace brenix::cli
