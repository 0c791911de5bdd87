#pragma once
// Running the real tools integration tests build images with (sfdisk,
// mkfs.fat, mkntfs, mke2fs, mtools, debugfs, fls ...).
#include <string>
#include <vector>

namespace brenix::test {

struct ToolResult {
  int status = -1;     // exit status, -1 when it could not run
  std::string output;  // stdout and stderr together
};

ToolResult runTool(const std::vector<std::string>& argv, const std::string& input = {});
// Whether a program is on PATH (or at an sbin path).
bool haveTool(const std::string& name);

}  // namespace brenix::test

#ifdef _WIN32
#define BRENIX_TOOL_MISSING_TEXT " is a Linux tool (not run on Windows)"
#else
#define BRENIX_TOOL_MISSING_TEXT " is not installed"
#endif
// Skips the current test when a tool is missing.
#define BRENIX_REQUIRE_TOOL(name) \
  do { \
    if (!::brenix::test::haveTool(name)) GTEST_SKIP() << name << BRENIX_TOOL_MISSING_TEXT; \
  } while (0)
