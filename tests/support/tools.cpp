#include "support/tools.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace brenix::test {

#ifdef _WIN32
// The image-making tools are Linux programs: a test that needs one skips.
ToolResult runTool(const std::vector<std::string>&, const std::string&) {
  return {-1, "the Linux tools are not run on Windows"};
}

bool haveTool(const std::string&) { return false; }
#else
namespace {
std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}
}  // namespace

ToolResult runTool(const std::vector<std::string>& argv, const std::string& input) {
  std::string cmd = "PATH=\"$PATH:/usr/sbin:/sbin\" ";
  for (const auto& a : argv) cmd += shellQuote(a) + " ";
  cmd += "2>&1";
  std::string inputFile;
  if (!input.empty()) {
    char tmpl[] = "/tmp/brenix-input-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) return {};
    (void)!write(fd, input.data(), input.size());
    close(fd);
    inputFile = tmpl;
    cmd += " < " + shellQuote(inputFile);
  } else {
    cmd += " < /dev/null";
  }
  ToolResult result;
  FILE* pipe = popen(cmd.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> buf{};
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) result.output.append(buf.data(), n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (!inputFile.empty()) unlink(inputFile.c_str());
  return result;
}

bool haveTool(const std::string& name) {
  for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/local/bin"})
    if (access((std::string(dir) + "/" + name).c_str(), X_OK) == 0) return true;
  return false;
}
#endif

}  // namespace brenix::test
