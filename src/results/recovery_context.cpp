#include "results/recovery_context.h"

namespace brenix {

const std::vector<std::string>& presetExtensions(FilePreset preset) {
  static const std::vector<std::string> none;
  static const std::vector<std::string> pictures = {".bmp", ".gif", ".jpg", ".png", ".mng", ".ico",
                                                    ".tif", ".tga", ".pcx", ".wbmp", ".wmf", ".j2k",
                                                    ".jbg", ".jp2", ".jpc", ".pgx", ".pnm", ".ras"};
  static const std::vector<std::string> mail = {".dbx", ".pst", ".box"};
  switch (preset) {
    case FilePreset::Pictures: return pictures;
    case FilePreset::Mail: return mail;
    case FilePreset::None: break;
  }
  return none;
}

void RecoveryContext::selectPartition(const PartitionInfo& p, const std::string& root) {
  partition = p;
  rootPath = root;
  partitionStart = p.startSector();
  partitionEnd = p.endSector();
  options.startSector = partitionStart;
  options.endSector = partitionEnd;
  options.searchFolder = root;
}

}  // namespace brenix
