#include "cli/scan_listing.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "cli/photo_recovery.h"
#include "cli/progress_line.h"
#include "common/text.h"
#include "disk/read_errors.h"
#include "results/cell_formats.h"

namespace brenix::cli {

namespace {

std::string folderPathText(const ResultFolder& f) {
  std::string text;
  for (const std::string& n : ResultTree::pathOf(f)) text += (text.empty() ? "" : "/") + n;
  return text;
}

std::string csvField(const std::string& v) {
  if (v.find_first_of(",\"\n\r") == std::string::npos) return v;
  std::string out = "\"";
  for (char c : v) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// Text from disk may hold bytes that are not UTF-8; JSON needs valid text.
std::string jsonText(const std::string& v) {
  std::string out;
  size_t i = 0;
  while (i < v.size()) {
    const size_t len = utf8SequenceLength(v, i);
    if (len > 0) {
      out.append(v, i, len);
      i += len;
    } else {
      out += '?';
      i += 1;
    }
  }
  return out;
}

// A value as dump(2) writes it `depth` levels down inside a document.
std::string nestedDump(const nlohmann::json& v, int depth) {
  const std::string text = v.dump(2), pad(size_t(2 * depth), ' ');
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '\n') out += pad;
  }
  return out;
}

}  // namespace

bool printResults(const ScanCliOptions& o, ScanSession& s, std::ostream& out) {
  ResultsModel& model = *s.model;
  const EngineKind kind = model.kind();
  std::vector<ResultFolder*> folders;
  forEachFolder(s.tree->root(), [&](ResultFolder& f) { folders.push_back(&f); });
  const Totals all = model.foundTotals(s.tree->root());

  // JSON is written folder by folder, in the key order dump() uses, so a scan
  // of millions of files is never held as one document.
  size_t jsonFolders = 0;
  if (o.json) {
    out << "{\n  \"engine\": " << nlohmann::json(engineKindName(kind)).dump() << ",\n  \"fileSystem\": "
        << nlohmann::json(s.engineFsName).dump() << ",\n  \"folders\": [";
  }
  if (o.csv) out << "folder,name,size,size_text,type,attributes,modified,created,accessed\n";
  if (!o.json && !o.csv) {
    out << (s.tree->root().name.empty() ? std::string(engineKindName(kind)) : terminalSafe(s.tree->root().name)) << "\n";
  }
  Totals listed;
  for (ResultFolder* f : folders) {
    if (InterruptGuard::interrupted()) return false;
    model.selectFolder(*f);
    model.applyFilter(s.filter);
    const std::string path = o.json ? folderPathText(*f) : terminalSafe(folderPathText(*f));
    std::vector<std::array<std::string, kListColumnCount>> rows;
    nlohmann::json jfiles = nlohmann::json::array();
    for (size_t index : model.rows()) {
      const FoundItem& item = s.tree->item(index);
      std::array<std::string, kListColumnCount> cells;
      for (int c = 0; c < kListColumnCount; ++c) {
        std::string text = cellText(kind, item, ListColumn(c));
        cells[static_cast<size_t>(c)] = o.json ? text : terminalSafe(text);
      }
      listed.count += 1;
      listed.bytes += item.size;
      if (o.json) {
        jfiles.push_back({{"name", jsonText(cells[0])},
                          {"size", item.size},
                          {"sizeText", cells[1]},
                          {"type", jsonText(cells[2])},
                          {"attributes", jsonText(cells[3])},
                          {"modified", cells[4]},
                          {"created", cells[5]},
                          {"accessed", cells[6]},
                          {"deleted", item.deleted}});
        addPhotoJson(s, item, jfiles.back());
      } else if (o.csv) {
        out << csvField(path);
        out << "," << csvField(cells[0]) << "," << item.size;
        for (size_t c = 1; c < cells.size(); ++c) out << "," << csvField(cells[c]);
        out << "\n";
      }
      if (!o.json && !o.csv) rows.push_back(std::move(cells));
    }
    const Totals found = model.foundTotals(*f);
    if (o.json) {
      const nlohmann::json folder = {{"path", jsonText(path)},
                                     {"name", jsonText(f->name)},
                                     {"found", {{"count", found.count}, {"bytes", found.bytes}, {"text", statusLineText(found.count, found.bytes)}}},
                                     {"files", std::move(jfiles)}};
      out << (jsonFolders++ ? ",\n    " : "\n    ") << nestedDump(folder, 2);
      continue;
    }
    if (o.csv) continue;
    if (f != &s.tree->root() || !rows.empty()) {
      out << "\n" << (path.empty() ? std::string("/") : "/" + path) << "  (" << statusLineText(found.count, found.bytes) << ")\n";
    }
    if (rows.empty()) continue;
    std::array<size_t, kListColumnCount> width{};
    for (int c = 0; c < kListColumnCount; ++c) width[static_cast<size_t>(c)] = std::strlen(listColumnCaption(ListColumn(c)));
    for (const auto& r : rows)
      for (size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], r[c].size());
    const auto line = [&](const std::array<std::string, kListColumnCount>& cells) {
      std::string text = "  ";
      for (size_t c = 0; c < cells.size(); ++c) {
        text += cells[c];
        if (c + 1 < cells.size()) text += std::string(width[c] - cells[c].size() + 2, ' ');
      }
      while (!text.empty() && text.back() == ' ') text.pop_back();
      out << text << "\n";
    };
    std::array<std::string, kListColumnCount> head;
    for (int c = 0; c < kListColumnCount; ++c) head[static_cast<size_t>(c)] = listColumnCaption(ListColumn(c));
    line(head);
    for (const auto& r : rows) line(r);
  }
  const uint64_t unreadable = ReadErrorLog::instance().count(s.source.devicePath);
  if (o.json) {
    out << (jsonFolders ? "\n  ]" : "]") << ",\n  \"found\": "
        << nestedDump({{"count", all.count}, {"bytes", all.bytes}, {"text", statusLineText(all.count, all.bytes)}}, 1)
        << ",\n  \"listed\": "
        << nestedDump({{"count", listed.count}, {"bytes", listed.bytes}, {"text", statusLineText(listed.count, listed.bytes)}}, 1)
        << ",\n  \"root\": " << nlohmann::json(jsonText(s.tree->root().name)).dump()
        << ",\n  \"unreadableSectors\": " << unreadable << "\n}\n";
  } else if (!o.csv) {
    out << "\nFound: " << statusLineText(all.count, all.bytes) << "\n";
    if (s.filter.enabled) out << "Listed: " << statusLineText(listed.count, listed.bytes) << "\n";
    if (unreadable > 0) out << format(kUnreadableSectorsFormat, static_cast<unsigned long long>(unreadable)) << "\n";
  }
  return true;
}

}  // namespace brenix::cli
