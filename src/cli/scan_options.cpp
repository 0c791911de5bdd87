#include "cli/scan_options.h"

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
  cmd.add_option("--session", o.session, "Keep a session file, to continue the scan after an interruption (raw scans, and the formatted or deleted-file scans whose engine can continue them)");
  cmd.add_option("--resume", o.resume, "Continue the scan a session file describes (same disk, same options)");
  cmd.add_option("--read-timeout", o.readTimeout,
                 "Seconds a read of a disk may take before its sectors count as unreadable (default 20; 0 waits as long "
                 "as the system does)")
      ->check(CLI::Range(0.0, 3600.0));
  cmd.add_flag("--keep-session", o.keepSession,
               "Like --session, in the default place: beside the output folder (recover), else in "
               "$XDG_DATA_HOME/brenix (~/.local/share/brenix)");
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

}  // namespace brenix::cli
