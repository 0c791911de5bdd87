#pragma once
// A scratch folder removed with everything in it when the test ends.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace brenix::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::vector<uint8_t> readFile(const std::filesystem::path& p);
void writeFile(const std::filesystem::path& p, const std::vector<uint8_t>& bytes);
std::string sha256Of(const std::filesystem::path& p);

// The shared corpus folder (BRENIX_CORPUS_DIR), empty when missing.
std::filesystem::path corpusDir();
// Decompresses corpus/<relative>.gz (or copies a plain file) into dir; empty path when unavailable.
std::filesystem::path corpusImage(const std::string& relative, const std::filesystem::path& dir);

}  // namespace brenix::test
