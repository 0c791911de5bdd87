#include "support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <random>

#include "support/tools.h"

namespace fs = std::filesystem;

namespace brenix::test {

TempDir::TempDir() {
  std::random_device rd;
  for (int i = 0; i < 100; ++i) {
    fs::path p = fs::temp_directory_path() / ("brenix-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p;
      return;
    }
  }
  std::abort();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::vector<uint8_t> readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string sha256Of(const fs::path& p) {
  ToolResult r = runTool({"sha256sum", p.string()});
  return r.output.substr(0, 64);
}

fs::path corpusDir() {
  const char* dir = std::getenv("BRENIX_CORPUS_DIR");
  if (dir && fs::is_directory(dir)) return dir;
  return {};
}

fs::path corpusImage(const std::string& relative, const fs::path& dir) {
  fs::path base = corpusDir();
  if (base.empty()) return {};
  fs::path target = dir / fs::path(relative).filename();
  if (fs::exists(base / (relative + ".gz"))) {
    if (runTool({"sh", "-c", "gzip -dc '" + (base / (relative + ".gz")).string() + "' > '" + target.string() + "'"}).status != 0)
      return {};
    return target;
  }
  if (fs::exists(base / relative)) {
    fs::copy_file(base / relative, target, fs::copy_options::overwrite_existing);
    return target;
  }
  return {};
}

}  // namespace brenix::test
