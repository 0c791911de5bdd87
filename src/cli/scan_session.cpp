#include "cli/scan_session.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>

#include "cli/photo_recovery.h"
#include "cli/progress_line.h"
#include "cli/raw_scan_session.h"
#include "common/text.h"
#include "disk/device_table.h"
#include "disk/disk_catalog.h"
#include "disk/read_errors.h"
#include "jobs/engine_factory.h"
#include "jobs/scan_jobs.h"
#include "raw/raw_engine.h"
#include "results/cell_formats.h"
#include "results/filter_options.h"
#include "results/scan_option_rules.h"

namespace brenix::cli {

void addScanOptions(CLI::App& cmd, ScanCliOptions& o) {
  addDriveOptions(cmd, o.drives, true);
  cmd.add_option("--mode", o.mode, "Scan kind: deleted, formatted or raw")
      ->check(CLI::IsMember({"deleted", "formatted", "raw"}));
  cmd.add_option("--preset", o.preset, "File types to keep: pictures, mail or none (every kind of file)")
      ->check(CLI::IsMember({"pictures", "mail", "none"}));
  cmd.add_option("--name", o.name, "Deleted-file scan: name patterns, separated by blanks, ',' or ';'");
  cmd.add_option("--path", o.path, "Deleted-file scan: the folder to search");
  o.startOption = cmd.add_option("--start", o.start, "First sector to scan (absolute)");
  o.endOption = cmd.add_option("--end", o.end, "Last sector to scan (absolute)");
  cmd.add_option("--previous-fs", o.previousFs, "Formatted-drive scan: the file system the partition had");
  cmd.add_option("--max-size", o.maxSizeKb, "Raw scan: maximal file size in KB")->check(CLI::Range(1u, 4194303u));
  cmd.add_option("--types", o.types, "Raw scan: extensions to look for, comma-separated (jpg,png)");
  cmd.add_flag("--whole-disk", o.wholeDisk,
               "Raw scan: the whole disk or image, every sector from 0 to its end (no partition needed)");
  cmd.add_option("--session", o.session, "Raw scan: keep a session file, to continue the scan after an interruption");
  cmd.add_option("--resume", o.resume, "Raw scan: continue the scan a session file describes (same disk, same options)");
  cmd.add_flag("--no-trim", o.noTrim,
               "Raw scan: keep each carved file up to the next header or the maximal size instead of its format's end");
  cmd.add_flag("--no-carve", o.noCarve,
               "Formatted scan: do not carve the clusters no found file claims into the \"Carved\" folder");
  cmd.add_flag("--json", o.json, "Print JSON");
  cmd.add_flag("--csv", o.csv, "Print CSV");
  cmd.add_flag("--progress", o.progress, "Show the progress line even when stderr is not a terminal");
  cmd.add_option("--filter-ext", o.filterExt,
                 "Extension group: 1 bmp.jpg, 2 gif.png.ico.tif.mng.tga.pcx, 3 pcx.wbmp.wmf.j2k.jbg.jp2.jpc.pgx.pnm.ras")
      ->check(CLI::Range(0, 3));
  cmd.add_option("--filter-date", o.filterDate, "before:YYYY-MM-DD, after:YYYY-MM-DD or on:YYYY-MM-DD");
  cmd.add_option("--filter-size", o.filterSize, "Size in KB: equal:N, smaller:N, larger:N or between:A:B");
  cmd.add_option("--filter-name", o.filterName, "Part of the file name");
}

namespace {

std::vector<std::string> splitOn(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : text) {
    if (c == sep) {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  return parts;
}

ScanMode parseScanMode(const std::string& m) {
  if (m == "formatted") return ScanMode::Formatted;
  if (m == "raw") return ScanMode::Raw;
  return ScanMode::Deleted;
}

EngineKind kindOfFs(const std::string& fsName, ScanMode mode, const ScanEngine* engine) {
  if (engine) return engine->kind();
  if (mode == ScanMode::Raw) return EngineKind::Raw;
  if (fsName == "NTFS") return EngineKind::Ntfs;
  if (fsName == "exFAT") return EngineKind::ExFat;
  if (fsName.rfind("EXT", 0) == 0) return EngineKind::Ext;
  return EngineKind::Fat;
}

}  // namespace

int openSession(ScanCliOptions& o, ScanSession& s, std::ostream& err) {
  std::string error;
  if (o.json && o.csv) {
    err << "Choose one of --json and --csv\n";
    return kExitUsage;
  }
  if (!parseFilterOptions({o.filterExt, o.filterDate, o.filterSize, o.filterName}, &s.filter, &error)) {
    err << error << "\n";
    return kExitUsage;
  }
  s.mode = parseScanMode(o.mode);
  if (o.startOption) o.startGiven = o.startOption->count() > 0;
  if (o.endOption) o.endGiven = o.endOption->count() > 0;
  if (!attachDrives(o.drives)) return kExitUsage;
  DiskCatalog catalog;
  catalog.refresh();
  if ((o.wholeDisk || o.noTrim) && s.mode != ScanMode::Raw) {
    err << (o.wholeDisk ? "--whole-disk" : "--no-trim") << " applies to --mode raw only\n";
    return kExitUsage;
  }
  RecoveryContext& ctx = s.ctx;
  int scannedDrive = -1;
  if (o.wholeDisk) {
    if (o.drives.partition >= 0) {
      err << "Choose one of --whole-disk and --partition\n";
      return kExitUsage;
    }
    if (o.drives.disk >= 0) {
      scannedDrive = o.drives.disk;
    } else if (o.drives.imageDrives.size() == 1) {
      scannedDrive = o.drives.imageDrives.front();
    } else {
      err << "--whole-disk needs --disk N or exactly one --image\n";
      return kExitUsage;
    }
    if (!selectWholeDisk(ctx, scannedDrive, &error)) {
      err << error << "\n";
      return kExitUsage;
    }
  } else {
    std::optional<ChosenPartition> chosen = choosePartition(o.drives, catalog, &error);
    if (!chosen) {
      err << error << "\n";
      return kExitUsage;
    }
    scannedDrive = chosen->disk;
    ctx.selectPartition(chosen->info, chosen->rootPath);
  }
  ctx.options.rawTrim = !o.noTrim;
  ctx.options.carveUnclaimed = !o.noCarve;
  ctx.preset = presetNamed(o.preset).value_or(FilePreset::None);
  ctx.options.nameFilter = o.name;
  if (!o.path.empty()) ctx.options.searchFolder = o.path;
  ctx.options.rawMaxSizeKb = o.maxSizeKb;
  for (const std::string& t : splitOn(o.types, ',')) {
    std::string ext = toLower(t);
    while (!ext.empty() && (ext.front() == '.' || ext.front() == ' ')) ext.erase(ext.begin());
    while (!ext.empty() && ext.back() == ' ') ext.pop_back();
    if (!ext.empty()) ctx.options.rawTypes.push_back(ext);
  }

  // The sector range, as the options dialogs check it.
  if (o.startGiven || o.endGiven) {
    const uint64_t first = ctx.partitionStart;
    const uint64_t last = ctx.partitionEnd > first ? ctx.partitionEnd - 1 : first;
    const uint64_t start = o.startGiven ? o.start : first;
    const uint64_t end = o.endGiven ? o.end : last;
    const RangeCheck check = validateSectorRange(start, end, first, last);
    if (!check.accepted) {
      err << check.message << "\n";
      return kExitUsage;
    }
    ctx.options.startSector = start;
    ctx.options.endSector = end + 1;  // the engines take the first sector past the range
  }

  // The engine: by the previous file system for a formatted-drive scan.
  const std::string fs = ctx.partition.fs();
  s.engineFsName = fs;
  if (s.mode == ScanMode::Formatted) {
    const PreviousFsChoices choices = previousFsChoices(fs);
    if (!o.previousFs.empty()) {
      if (std::find(choices.entries.begin(), choices.entries.end(), o.previousFs) == choices.entries.end()) {
        std::string list;
        for (const auto& e : choices.entries) list += (list.empty() ? "" : ", ") + e;
        err << "--previous-fs '" << o.previousFs << "' is not offered for a '" << fs << "' partition"
            << (list.empty() ? std::string(" (none is)") : "; choose one of: " + list) << "\n";
        return kExitUsage;
      }
      s.engineFsName = o.previousFs;
    } else if (choices.selected >= 0) {
      s.engineFsName = choices.entries[static_cast<size_t>(choices.selected)];
    }
    ctx.options.previousFsName = s.engineFsName;
  } else if (!o.previousFs.empty()) {
    err << "--previous-fs applies to --mode formatted only\n";
    return kExitUsage;
  }

  s.engine = createEngine(s.engineFsName, s.mode);
  if (!s.engine) {
    err << "No engine for file system '" << s.engineFsName << "'\n";
    return kExitFailed;
  }
  s.tree = std::make_unique<ResultTree>();
  s.model = std::make_unique<ResultsModel>(kindOfFs(s.engineFsName, s.mode, s.engine.get()), *s.tree);

  // The scanned source, for the same-partition rule of a later recovery.
  for (const DeviceEntry& d : DeviceTable::instance().devices()) {
    if (d.driveNumber != scannedDrive) continue;
    s.source.devicePath = d.path;
    s.source.isImage = d.isImage;
  }
  s.source.startSector = std::min<uint64_t>(ctx.partitionStart, ctx.options.startSector);
  s.source.endSector = std::max<uint64_t>(ctx.partitionEnd, ctx.options.endSector);
  s.source.driveLetter = ctx.partition.driveLetter;
  return kExitOk;
}

int runScan(ScanCliOptions& o, ScanSession& s, std::ostream& err) {
  ScanResult result;
  std::unique_ptr<RawScanSessionFile> sessionFile;
  if (!o.session.empty() || !o.resume.empty()) {
    int status = kExitOk;
    sessionFile = RawScanSessionFile::prepare(o, s, err, &status);
    if (!sessionFile) return status;
  }
  const bool cancelled = runWithProgress(
      [&](RunningFlag& running) { result = runScanJob(*s.engine, s.mode, s.ctx, *s.tree, running); },
      s.ctx.progress, progressWanted(o.progress), err);
  if (sessionFile) sessionFile->finish(s, cancelled || result.error != 0, err);
  if (cancelled) {
    err << "Cancelled\n";
    return cancelledExitStatus();
  }
  if (result.error != 0) {
    err << (result.message.empty() ? "The scan failed (error " + std::to_string(result.error) + ")" : result.message)
        << "\n";
    return kExitFailed;
  }
  if (!result.message.empty()) err << "Notice: " << result.message << "\n";  // the engine's note on a finished scan
  s.model->syncFolderChecks();
  return kExitOk;
}

ResultFolder* findFolderByPath(ResultTree& tree, const std::string& path) {
  ResultFolder* f = &tree.root();
  std::string part;
  std::string p = path;
  std::replace(p.begin(), p.end(), '\\', '/');
  for (const std::string& name : splitOn(p, '/')) {
    if (name.empty()) continue;
    f = tree.findChild(*f, name);
    if (!f) return nullptr;
  }
  return f;
}

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
