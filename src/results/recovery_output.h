#pragma once
// Where recovered files land: which files each page takes and in what order,
// and the path each one gets below the output folder. Writing them out
// (recovery_writer.h), the file sink and the rule that keeps the output off
// the scanned device come with this header too.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "results/file_byte_sink.h"
#include "results/recovery_target.h"
#include "results/result_tree.h"
#include "results/scan_engine.h"

namespace brenix {

// The message when nothing is checked ("" on the EXT page, which says nothing).
std::string nothingCheckedMessage(EngineKind kind);
// Caption of the nothing-checked message ("Notice" on NTFS and raw, "" = default).
std::string nothingCheckedCaption(EngineKind kind);

// One step of a recovery: create `folder`'s output folder and, with an item,
// write that file into it.
struct RecoveryStep {
  const ResultFolder* folder = nullptr;
  bool hasItem = false;
  size_t item = 0;  // index into the tree's items
  std::string place;  // when set: the file's path below the output folder ('/'-separated), in place of the page's layout
};

// The checked files in the page's order:
// FAT: breadth-first from the root over checked folders; each checked folder
//      is created (even without files), then its checked files in collection order.
// NTFS, raw: depth-first from the root, every checked file.
// EXT: the checked rows of the list (listRows: item indices of listFolder's rows).
std::vector<RecoveryStep> gatherRecoverySteps(EngineKind kind, const ResultTree& tree,
                                              const ResultFolder* listFolder = nullptr,
                                              const std::vector<size_t>* listRows = nullptr);
size_t countFiles(const std::vector<RecoveryStep>& steps);

// A name from disk is made safe as one path component by sanitizeFileName
// (common/text.h) with its default rules.

// The folder components below the destination for a file of `folder` named
// `name`, as the page lays them out, each one sanitized:
// FAT, NTFS: the folder's path from below the root; EXT: none;
// raw: the text after the first '.' of the name.
std::vector<std::string> targetFolderComponents(EngineKind kind, const ResultFolder* folder, std::string_view name);
// destination / components / sanitized name.
std::filesystem::path targetPath(EngineKind kind, const std::filesystem::path& destination,
                                 const ResultFolder* folder, std::string_view name);

}  // namespace brenix

// recoverFiles, which writes the steps laid out above.
#include "results/recovery_writer.h"
