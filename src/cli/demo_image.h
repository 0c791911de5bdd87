#pragma once
// The built-in demo disk: an MBR with one FAT32 partition holding pictures in
// a DCIM folder, some of them deleted the way the system deletes files
// (first name byte 0xE5, allocation-table chain cleared, data left in place).
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace brenix::cli {

struct DemoPicture {
  std::string name;
  std::vector<uint8_t> bytes;
  bool deleted = false;
};

struct DemoImageInfo {
  std::vector<DemoPicture> pictures;
  int deletedCount = 0;
  uint32_t partitionStart = 0;
};

// The pictures built into the program.
std::vector<DemoPicture> demoPictures();

bool buildDemoImage(const std::filesystem::path& path, DemoImageInfo* info, std::string* error);

}  // namespace brenix::cli
