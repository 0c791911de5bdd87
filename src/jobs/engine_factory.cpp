#include "jobs/engine_factory.h"

#include "disk/fs_kind.h"
#include "jobs/carving_engine.h"
#include "jobs/engine_factory_testing.h"
#include "exfat/exfat_engine.h"
#include "ext/ext_engine.h"
#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "raw/raw_engine.h"

// Each engine adds its include and its branch below.

namespace brenix {

std::unique_ptr<ScanEngine> createEngine(const std::string& fsName, ScanMode mode) {
  if (const EngineFactoryFunction& forTesting = engineFactoryForTesting()) return forTesting(fsName, mode);
  (void)fsName;
  (void)mode;
  if (mode == ScanMode::Raw) return std::make_unique<RawEngine>();
  // A formatted-drive scan of FAT or NTFS carves what the file system lost.
  if (mode == ScanMode::Deleted && fsName == "NTFS") return std::make_unique<NtfsEngine>();
  if (mode == ScanMode::Formatted && fsName == "NTFS")
    return std::make_unique<CarvingScanEngine>(std::make_unique<NtfsEngine>());
  if ((mode == ScanMode::Deleted || mode == ScanMode::Formatted) &&
      (fsName == "FAT32" || fsName == "FAT16" || fsName == "FAT")) {
    auto fat = std::make_unique<FatEngine>(fsName == "FAT32" ? FatVariant::Fat32 : FatVariant::Fat16);
    if (mode == ScanMode::Formatted) return std::make_unique<CarvingScanEngine>(std::move(fat));
    return fat;
  }
  if ((mode == ScanMode::Deleted || mode == ScanMode::Formatted) && fsName == "exFAT")
    return std::make_unique<exfat::ExFatEngine>();
  if (mode == ScanMode::Deleted && (fsName == "EXT2" || fsName == "EXT3" || fsName == "EXT4"))
    return std::make_unique<ext::ExtEngine>(fsName == "EXT4"   ? ext::ExtVariant::Ext4
                                            : fsName == "EXT3" ? ext::ExtVariant::Ext3
                                                               : ext::ExtVariant::Ext2);
  return nullptr;
}

}  // namespace brenix
