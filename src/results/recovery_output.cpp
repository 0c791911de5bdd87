#include "results/recovery_output.h"

#include <deque>

#include "common/file_io.h"
#include "common/text.h"
#include "results/results_model.h"

namespace fs = std::filesystem;

namespace brenix {

std::string nothingCheckedMessage(EngineKind kind) {
  switch (kind) {
    case EngineKind::Fat: return "Please check files for recovering";
    case EngineKind::Ntfs:
    case EngineKind::ExFat:
    case EngineKind::Raw: return "Please select file to recover!";
    case EngineKind::Ext: return {};
  }
  return {};
}

std::string nothingCheckedCaption(EngineKind kind) {
  return kind == EngineKind::Ntfs || kind == EngineKind::ExFat || kind == EngineKind::Raw ? "Notice" : "";
}

std::vector<RecoveryStep> gatherRecoverySteps(EngineKind kind, const ResultTree& tree, const ResultFolder* listFolder,
                                              const std::vector<size_t>* listRows) {
  std::vector<RecoveryStep> steps;
  const auto addFile = [&](const ResultFolder& f, size_t index) {
    if (index < tree.itemCount() && tree.item(index).checked) steps.push_back({&f, true, index, {}});
  };
  switch (kind) {
    case EngineKind::Fat: {
      std::deque<const ResultFolder*> queue{&tree.root()};
      while (!queue.empty()) {
        const ResultFolder* f = queue.front();
        queue.pop_front();
        if (!f->checked) continue;  // an unchecked folder has nothing checked below it
        for (const auto& child : f->children) queue.push_back(child.get());
        steps.push_back({f, false, 0, {}});
        for (size_t index : f->items) addFile(*f, index);
      }
      break;
    }
    case EngineKind::Ntfs:
    case EngineKind::ExFat:
    case EngineKind::Raw:
      forEachFolder(tree.root(), [&](const ResultFolder& f) {
        for (size_t index : f.items) addFile(f, index);
      });
      break;
    case EngineKind::Ext:
      if (!listFolder) break;
      if (listRows) {
        for (size_t index : *listRows) addFile(*listFolder, index);
      } else {
        for (size_t index : listFolder->items) addFile(*listFolder, index);
      }
      break;
  }
  return steps;
}

size_t countFiles(const std::vector<RecoveryStep>& steps) {
  size_t n = 0;
  for (const auto& s : steps) n += s.hasItem ? 1 : 0;
  return n;
}

std::vector<std::string> targetFolderComponents(EngineKind kind, const ResultFolder* folder, std::string_view name) {
  std::vector<std::string> parts;
  switch (kind) {
    case EngineKind::Fat:
    case EngineKind::Ntfs:
    case EngineKind::ExFat:
      if (folder)
        for (const std::string& n : ResultTree::pathOf(*folder)) parts.push_back(sanitizeFileName(n));
      break;
    case EngineKind::Raw: {
      const std::string ext = extensionAfterFirstDot(sanitizeFileName(name));
      if (!ext.empty()) parts.push_back(sanitizeFileName(ext));
      break;
    }
    case EngineKind::Ext: break;
  }
  return parts;
}

fs::path targetPath(EngineKind kind, const fs::path& destination, const ResultFolder* folder, std::string_view name) {
  fs::path p = destination;
  for (const std::string& part : targetFolderComponents(kind, folder, name)) p /= pathFromUtf8(part);
  return p / pathFromUtf8(sanitizeFileName(name));
}

}  // namespace brenix
