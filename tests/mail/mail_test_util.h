#pragma once
// Helpers shared by the mail repair tests: corpus stores, header checks as the
// store formats define them, and folder listings.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace brenix::test {

// A corpus store copied into dir (empty path when the corpus is missing).
std::filesystem::path corpusStore(const std::string& relative, const std::filesystem::path& dir);
// The corpus stores of one folder ("dbx" or "pst"), sorted by name.
std::vector<std::string> corpusStores(const std::string& folder);

// CRC-32 of the personal folder file header: reflected polynomial 0xEDB88320,
// start value 0, no final inversion.
uint32_t pstCrc(const uint8_t* data, size_t size);
// Whether a personal folder file header is whole: "!BDN", and the partial CRC
// (471 bytes from offset 8, stored at 4) plus, for Unicode files (wVer >= 23),
// the full CRC (516 bytes from offset 8, stored at 524) match.
bool pstHeaderValid(const std::vector<uint8_t>& file);

// The whole file (empty when unreadable); one read, not byte by byte.
std::vector<uint8_t> fileBytes(const std::filesystem::path& p);
// sha256sum output lines for several files, in one run of the tool.
std::string sha256Lines(const std::vector<std::filesystem::path>& files);

// Names of the entries in a folder, sorted.
std::vector<std::string> listFolder(const std::filesystem::path& dir);

}  // namespace brenix::test
