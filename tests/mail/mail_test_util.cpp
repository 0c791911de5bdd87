#include "mail/mail_test_util.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "common/bytes.h"
#include "support/temp_dir.h"
#include "support/tools.h"

namespace fs = std::filesystem;

namespace brenix::test {

fs::path corpusStore(const std::string& relative, const fs::path& dir) { return corpusImage(relative, dir); }

std::vector<std::string> corpusStores(const std::string& folder) {
  std::vector<std::string> names;
  const fs::path base = corpusDir();
  if (base.empty() || !fs::is_directory(base / folder)) return names;
  for (const auto& e : fs::directory_iterator(base / folder))
    if (e.path().extension() == "." + folder) names.push_back(folder + "/" + e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

uint32_t pstCrc(const uint8_t* data, size_t size) {
  uint32_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

bool pstHeaderValid(const std::vector<uint8_t>& file) {
  if (file.size() < 528 || std::memcmp(file.data(), "!BDN", 4) != 0) return false;
  if (pstCrc(file.data() + 8, 471) != le32(file.data() + 4)) return false;
  const uint16_t version = le16(file.data() + 10);
  if (version >= 23 && pstCrc(file.data() + 8, 516) != le32(file.data() + 524)) return false;
  return true;
}

std::vector<uint8_t> fileBytes(const fs::path& p) {
  std::error_code ec;
  const auto size = fs::file_size(p, ec);
  if (ec) return {};
  std::vector<uint8_t> bytes(size);
  std::ifstream in(p, std::ios::binary);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  if (in.gcount() != static_cast<std::streamsize>(size)) return {};
  return bytes;
}

std::string sha256Lines(const std::vector<fs::path>& files) {
  std::vector<std::string> argv = {"sha256sum"};
  for (const fs::path& f : files) argv.push_back(f.string());
  return runTool(argv).output;
}

std::vector<std::string> listFolder(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace brenix::test
