#include "fat/fat_scan.h"

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <unordered_set>

#include "common/bytes.h"
#include "common/text.h"
#include "fat/fat_engine.h"

namespace brenix {

namespace {

constexpr size_t kMaxLongNamePieces = 20;       // 255 characters need at most 20 entries
constexpr uint32_t kMaxDirectoryBytes = 2u << 20;  // 65536 entries, the largest directory there is

// Long-name pieces gathered in front of a short entry.
class LongNameBuffer {
 public:
  void clear() {
    text_.clear();
    pieces_ = 0;
  }
  void add(const uint8_t* e) {
    if (int(e[13]) != lastChecksum_ || pieces_ >= kMaxLongNamePieces) clear();
    text_ = decodeLongNamePiece(e) + text_;
    ++pieces_;
    lastChecksum_ = e[13];
  }
  bool empty() const { return text_.empty(); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  size_t pieces_ = 0;
  int lastChecksum_ = -1;
};

bool shortCharsOk(const uint8_t* e, bool checkExt) {
  for (int k = 1; k < 8; ++k)
    if (!isValidNameChar(e[k])) return false;
  if (checkExt)
    for (int k = 8; k < 11; ++k)
      if (!isValidNameChar(e[k])) return false;
  return true;
}

// The variant's test of a short entry before it is used. The plausibility
// checks (name characters, dates) apply to deleted entries only: a live entry
// is what the file system says it is, however old its dates.
bool entryPasses(const FatVolume& v, const uint8_t* e, bool haveLongName) {
  if (e[0] == 0x00) return false;
  const FatDirEntry d = FatDirEntry::decode(e);
  const bool deleted = d.isDeleted();
  if (v.fat32()) {
    if (d.highCluster > v.fatEntryCount() / 65536) return false;
    if (haveLongName || !deleted) return true;
    return shortCharsOk(e, !d.isDirectory());
  }
  if (d.lowCluster == 0 || d.lowCluster > v.geometry().maxCluster()) return false;
  if (!deleted) return true;
  if (!haveLongName && !shortCharsOk(e, !d.isDirectory())) return false;
  const int year = v.currentYear();
  return dosDateValid(d.createDate, year) && dosDateValid(d.writeDate, year) && dosDateValid(d.accessDate, year);
}

bool isDotEntry(const uint8_t* e) { return e[0] == '.' && (e[1] == ' ' || (e[1] == '.' && e[2] == ' ')); }

uint32_t clustersOf(uint64_t size, uint32_t clusterBytes) {
  return static_cast<uint32_t>((size + clusterBytes - 1) / clusterBytes);
}

// Adds a found file to the folder and the record list.
void addFound(const FatVolume& v, FatScanSink& out, ResultFolder& folder, const uint8_t* e, const std::string& namePart,
              const std::string& ext, bool fat32, bool deleted) {
  const FatItem item = makeFatItem(e, namePart, ext, fat32);
  out.records.push_back(item);
  FoundItem found = toFoundItem(item, e[11], deleted, out.records.size() - 1);
  bool whole = true;
  fatDataPieces(v, item, &whole, &found.condition);
  // Deleting a file frees its chain: a deleted file's first cluster in a chain
  // now is another file's, however well that chain fits its size.
  if (deleted && item.size != 0 && found.condition == ItemCondition::Intact && v.next(item.startCluster) != 0)
    found.condition = ItemCondition::ProbablyOverwritten;
  out.tree.addItem(folder, std::move(found));
}

// A FAT32 deleted directory whose start cluster lost its high word: find the
// high word whose cluster holds a subdirectory of `parent`.
uint32_t probeDeletedDirectory(const FatVolume& v, const FatDirEntry& d, uint32_t parent) {
  if (d.highCluster != 0) {
    const uint32_t c = d.cluster(true);
    return v.validCluster(c) ? c : 0;
  }
  const FatGeometry& g = v.geometry();
  std::vector<uint8_t> sector(g.bytesPerSector);
  const DirBlockParams params = v.dirBlockParams();
  for (uint64_t h = 0; (h << 16) <= g.maxCluster(); ++h) {
    const uint32_t c = static_cast<uint32_t>(h << 16) | d.lowCluster;
    if (!v.validCluster(c)) continue;
    if (!v.readBytes(v.clusterOffset(c), sector.data(), sector.size())) continue;
    if (!beginsWithDotEntries(sector) || !looksLikeDirectoryBlock(sector, params)) continue;
    const uint32_t dotdot = FatDirEntry::decode(sector.data() + 32).cluster(true);
    const bool parentIsRoot = parent == g.rootCluster;
    if (dotdot == parent || (parentIsRoot && dotdot == 0)) return c;
  }
  return 0;
}

}  // namespace

void pruneEmptyFolders(ResultFolder& root) {
  // A folder stays when it or any folder below it holds a file. Walked with
  // its own stack, children before their parent, so a hostile chain of nested
  // directories cannot exhaust the call stack.
  struct Step {
    ResultFolder* folder;
    bool childrenDone;
  };
  std::vector<Step> stack{{&root, false}};
  std::unordered_set<const ResultFolder*> keep;
  while (!stack.empty()) {
    Step& top = stack.back();
    ResultFolder* f = top.folder;
    if (!top.childrenDone) {
      top.childrenDone = true;
      for (auto& c : f->children) stack.push_back({c.get(), false});
      continue;
    }
    stack.pop_back();
    auto& kids = f->children;
    kids.erase(std::remove_if(kids.begin(), kids.end(),
                              [&](const std::unique_ptr<ResultFolder>& c) { return !keep.count(c.get()); }),
               kids.end());
    for (auto& c : kids) keep.erase(c.get());
    if (!f->items.empty() || !kids.empty()) keep.insert(f);
  }
}

bool fatPresetKeeps(FilePreset preset, const std::string& extension) {
  if (preset == FilePreset::None) return true;
  std::string dotted(1, '.');
  dotted.append(toLower(extension));
  for (const std::string& e : presetExtensions(preset))
    if (e == dotted) return true;
  return false;
}

// --- Deleted-file scan -------------------------------------------------------

bool runFatDeletedScan(const FatVolume& v, const FatDeletedScanOptions& options, FatScanSink out) {
  const FatGeometry& g = v.geometry();
  const bool fat32 = v.fat32();
  out.progress.setStatus("Found Deleted Files : 0");
  out.progress.setFound(0);
  out.progress.setTotal(static_cast<int32_t>(std::min<uint32_t>(v.shortChainCount(), INT32_MAX)));
  out.progress.setDone(0);
  int found = 0;

  std::vector<FatDirTask> tasks;
  std::unordered_map<uint32_t, size_t> pending;  // start cluster -> index of a task not yet taken
  std::unordered_set<uint32_t> known;            // every directory cluster queued so far
  tasks.push_back(FatDirTask{v.rootDirCluster(), &out.tree.root(), out.tree.root().name, true});
  known.insert(v.rootDirCluster());
  const size_t maxDirClusters = std::max<size_t>(1, kMaxDirectoryBytes / g.clusterBytes());
  std::vector<uint8_t> buf;

  for (size_t t = 0; t < tasks.size() && out.running; ++t) {
    const FatDirTask task = tasks[t];
    pending.erase(task.startCluster);
    const std::string* filter = t < options.folderFilter.size() ? &options.folderFilter[t] : nullptr;
    if (task.live) out.progress.addDone(1);

    std::vector<uint32_t> units;
    if (task.startCluster == 1 && !fat32)
      units.push_back(1);  // the whole fixed root region
    else if (task.live)
      units = v.chain(task.startCluster, maxDirClusters, nullptr);
    else
      units.push_back(task.startCluster);  // a deleted directory's chain is gone: its first cluster only

    LongNameBuffer lfn;
    bool leaveDirectory = false;
    for (uint32_t unit : units) {
      if (leaveDirectory || !out.running) break;
      if (!v.readClusters(unit, 1, buf)) continue;  // an unreadable cluster is skipped, not the end of the walk
      const size_t count = buf.size() / 32;
      for (size_t i = beginsWithDotEntries(buf) ? 2 : 0; i < count && out.running && !leaveDirectory; ++i) {
        const uint8_t* e = buf.data() + 32 * i;
        const uint8_t attr = e[11];
        if (e[0] == 0x00 || attr == kAttrVolume) {
          lfn.clear();
          continue;
        }
        if (attr == kAttrLongName) {
          lfn.add(e);
          continue;
        }
        if (!entryPasses(v, e, !lfn.empty()) || isDotEntry(e)) {
          lfn.clear();
          continue;
        }
        const FatDirEntry d = FatDirEntry::decode(e);
        const bool deleted = d.isDeleted();
        const std::string shortName = fatShortNamePart(e, 8, true);
        if (d.isDirectory()) {
          const std::string name = fatSafeComponent(lfn.empty() ? shortName : lfn.text());
          lfn.clear();
          if (filter && toUpper(name) != *filter) continue;
          uint32_t cluster = d.cluster(fat32);
          if (fat32 && deleted) cluster = probeDeletedDirectory(v, d, task.startCluster);
          if (!v.validCluster(cluster)) continue;
          const bool live = task.live && !deleted;
          auto it = pending.find(cluster);
          if (it != pending.end() && (fat32 || deleted) && !tasks[it->second].live) {
            FatDirTask& other = tasks[it->second];
            other.name = name;
            other.folder->name = name;
            other.live = live;
          } else if (known.insert(cluster).second) {
            ResultFolder& folder = out.tree.addFolder(*task.folder, name);
            pending[cluster] = tasks.size();
            tasks.push_back(FatDirTask{cluster, &folder, name, live});
          }
          if (filter) leaveDirectory = true;
          continue;
        }
        if (filter) {
          lfn.clear();
          continue;
        }
        if (task.live && !deleted) {
          const uint32_t n = clustersOf(d.size, g.clusterBytes());
          if (n < 4) out.progress.addDone(static_cast<int32_t>(n));
          lfn.clear();
          continue;
        }
        const uint32_t first = d.cluster(fat32);
        if (d.size != 0 && !v.validCluster(first)) {  // data that cannot be on this volume
          lfn.clear();
          continue;
        }
        auto [namePart, ext] = fatSplitName(lfn.text(), shortName, fatShortNamePart(e + 8, 3, false));
        lfn.clear();
        if (!fatMatchesPatterns(options.patterns, toUpper(namePart), toUpper(ext))) continue;
        addFound(v, out, *task.folder, e, namePart, ext, fat32, true);
        out.progress.setStatus(format("Found Deleted Files : %d", ++found));
        out.progress.setFound(found);
      }
    }
  }
  pruneEmptyFolders(out.tree.root());
  return out.running;
}

// --- Formatted-drive scan ----------------------------------------------------

namespace {

struct DirRun {
  uint32_t start = 0;
  uint32_t count = 1;
  ResultFolder* parent = nullptr;
  std::string name;
  bool queued = true;
};

// Takes back what an earlier run of the same sweep found: [lastAdded, start,
// count, start, count...] with the runs in sweep order, each inside the range
// and before the position. Empty when taken, else why not.
std::string takeSweepResume(const SweepCheckpoint& cp, uint64_t first, uint64_t end, std::vector<DirRun>* runs,
                            uint32_t* lastAdded, ResultFolder* top) {
  if (cp.first != first || cp.end != end) return "the scanned range of clusters differs";
  if (cp.position < first || cp.position > end) return "its position lies outside the scanned clusters";
  if (cp.found.empty() || cp.found.size() % 2 != 1 || (cp.found.size() - 1) / 2 > end - first)
    return "bad list of found directories";
  const uint64_t last = cp.found[0];
  if (last != 0 && (last < first || last >= cp.position)) return "bad last directory cluster";
  uint64_t previousEnd = 0;
  for (size_t i = 1; i < cp.found.size(); i += 2) {
    const uint64_t start = cp.found[i], count = cp.found[i + 1];
    if (start < first || start >= cp.position || count == 0 || count > cp.position - start || start < previousEnd)
      return "found directory run at cluster " + std::to_string(start) + " does not fit";
    previousEnd = start + count;
    runs->push_back(DirRun{static_cast<uint32_t>(start), static_cast<uint32_t>(count), top, {}, true});
  }
  *lastAdded = static_cast<uint32_t>(last);
  return {};
}

}  // namespace

bool runFatFormattedScan(const FatVolume& v, const FatFormattedScanOptions& options, FatScanSink out) {
  const FatGeometry& g = v.geometry();
  const bool fat32 = v.fat32();
  ResultFolder& top = out.tree.root();
  ResultFolder& lostDir = out.tree.addFolder(top, "LostDIR");

  // The range in clusters; the fixed root region of FAT12/16 counts as cluster 1.
  const uint64_t dataStart = g.firstDataSector;
  const uint64_t rangeEnd = std::min<uint64_t>(options.rangeEnd, g.totalSectors);
  uint32_t first, last;
  if (options.rangeStart < dataStart)
    first = fat32 ? 2 : 1;
  else
    first = static_cast<uint32_t>(std::min<uint64_t>(2 + (options.rangeStart - dataStart) / g.sectorsPerCluster,
                                                      uint64_t(g.maxCluster()) + 1));
  if (rangeEnd > dataStart)
    last = static_cast<uint32_t>(std::min<uint64_t>(2 + (rangeEnd - 1 - dataStart) / g.sectorsPerCluster, g.maxCluster()));
  else
    last = fat32 ? 1 : (options.rangeStart < dataStart ? 1 : 0);
  const uint32_t total = last >= first ? last - first + 1 : 0;
  out.progress.setTotal(static_cast<int32_t>(std::min<uint32_t>(total, INT32_MAX)));
  out.progress.setDone(0);
  out.progress.setStatus("Found Folders : 0");

  // Pass 1: directory runs.
  std::vector<DirRun> runs;
  uint32_t lastAdded = 0;
  uint64_t resumeAt = first;
  SweepSession* sweep = options.sweep;
  if (sweep && sweep->resume) {
    std::string why = takeSweepResume(*sweep->resume, first, uint64_t(last) + 1, &runs, &lastAdded, &top);
    if (!why.empty()) {
      sweep->refused = why;
      return false;
    }
    resumeAt = sweep->resume->position;
  }
  const DirBlockParams params = v.dirBlockParams();
  const uint32_t cb = g.clusterBytes();
  const uint32_t batch = std::max<uint32_t>(1, (1u << 20) / cb);
  std::vector<uint8_t> buf, one;
  auto consider = [&](uint32_t c, std::span<const uint8_t> data) {
    std::span<const uint8_t> firstSector = data.first(std::min<size_t>(data.size(), g.bytesPerSector));
    if (!looksLikeDirectoryBlock(firstSector, params)) return;
    const bool startsNew = beginsWithDotEntries(firstSector) || runs.empty() || lastAdded == 1 || c != lastAdded + 1;
    if (startsNew) {
      runs.push_back(DirRun{c, 1, &top, {}, true});
      out.progress.setStatus(format("Found Folders : %d", static_cast<int>(runs.size())));
    } else {
      ++runs.back().count;
    }
    lastAdded = c;
  };
  // c is the next cluster to consider; a cancel inside a batch leaves it at the first one not considered.
  uint64_t c = resumeAt;
  uint64_t sweptBytes = 0;
  auto checkpoint = [&](bool ended) {
    SweepCheckpoint cp;
    cp.position = c;
    cp.first = first;
    cp.end = uint64_t(last) + 1;
    cp.found.reserve(1 + 2 * runs.size());
    cp.found.push_back(lastAdded);
    for (const DirRun& r : runs) {
      cp.found.push_back(r.start);
      cp.found.push_back(r.count);
    }
    cp.sweptBytes = sweptBytes;
    cp.ended = ended;
    return cp;
  };
  while (c <= last && out.running) {
    out.progress.setDone(static_cast<int32_t>(std::min<uint64_t>(c - first, INT32_MAX)));
    const uint32_t cc = static_cast<uint32_t>(c);
    if (cc == 1) {
      if (v.readClusters(1, 1, one)) consider(1, one);
      sweptBytes += one.size();
      ++c;
      continue;
    }
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(batch, uint64_t(last) - c + 1));
    uint32_t k = 0;
    if (v.readClusters(cc, n, buf)) {
      for (; k < n && out.running; ++k) consider(cc + k, std::span<const uint8_t>(buf).subspan(size_t(k) * cb, cb));
    } else {
      // Part of the batch is unreadable: take the clusters one by one and skip the bad ones.
      for (; k < n && out.running; ++k)
        if (v.readClusters(cc + k, 1, one)) consider(cc + k, one);
    }
    sweptBytes += uint64_t(k) * cb;
    c += k;
    if (sweep) sweep->offer([&] { return checkpoint(false); });
  }
  if (sweep) {
    sweep->reached = checkpoint(c > last);
    sweep->reachedSet = true;
  }
  out.progress.setTotal(static_cast<int32_t>(std::min<size_t>(runs.size(), INT32_MAX)));
  out.progress.setDone(0);
  out.progress.setStatus("");
  if (runs.empty()) return false;

  // Pass 2: folders.
  std::unordered_map<uint32_t, size_t> byStart;
  std::deque<size_t> queue;
  for (size_t i = 0; i < runs.size(); ++i) {
    byStart.emplace(runs[i].start, i);
    queue.push_back(i);
  }
  const uint32_t lostLimit = fat32 ? g.rootCluster : 1;
  int unnamed = 0;
  size_t deferredInRow = 0;
  std::vector<uint8_t> data;
  while (!queue.empty()) {
    out.progress.setDone(static_cast<int32_t>(std::min<size_t>(runs.size() - queue.size(), INT32_MAX)));
    const size_t ri = queue.front();
    DirRun& run = runs[ri];
    if (!v.readClusters(run.start, 1, data)) {  // unreadable now: nothing to build from
      run.queued = false;
      queue.pop_front();
      continue;
    }
    size_t firstEntry = 0;
    if (beginsWithDotEntries(data)) {
      uint32_t parent = FatDirEntry::decode(data.data() + 32).cluster(fat32);
      if (fat32 && parent == g.rootCluster) parent = 0;
      auto it = byStart.find(parent);
      const bool parentQueued = it != byStart.end() && it->second != ri && runs[it->second].queued;
      // Build the parent first; once every remaining run was put back in a row, build anyway.
      if (parentQueued && deferredInRow < queue.size()) {
        queue.pop_front();
        queue.push_back(ri);
        ++deferredInRow;
        continue;
      }
      if (parent != 0 && run.parent == &top) run.parent = &lostDir;
      firstEntry = 2;
    } else if (run.start > lostLimit) {
      run.parent = &lostDir;
    }
    deferredInRow = 0;
    if (run.name.empty()) run.name = format("DIR%d", unnamed++);
    ResultFolder& folder = out.tree.addFolder(*run.parent, run.name);

    // Pass 2 builds every directory pass 1 found, also after a cancel: its
    // work is bounded by what was found, and the folders found are kept.
    LongNameBuffer lfn;
    for (uint32_t k = 0; k < run.count; ++k) {
      if (k > 0 && !v.readClusters(run.start + k, 1, data)) continue;
      const size_t count = data.size() / 32;
      for (size_t i = k == 0 ? firstEntry : 0; i < count; ++i) {
        const uint8_t* e = data.data() + 32 * i;
        const uint8_t attr = e[11];
        if (e[0] == 0x00 || attr == kAttrVolume) continue;
        if (attr == kAttrLongName) {
          lfn.add(e);
          continue;
        }
        const bool passes = entryPasses(v, e, !lfn.empty()) && !isDotEntry(e);
        const std::string longName = lfn.text();
        lfn.clear();
        if (!passes) continue;
        const FatDirEntry d = FatDirEntry::decode(e);
        const std::string shortName = fatShortNamePart(e, 8, true);
        if (d.isDirectory()) {
          auto it = byStart.find(d.cluster(fat32));
          if (it != byStart.end() && it->second != ri && runs[it->second].queued) {
            runs[it->second].parent = &folder;
            runs[it->second].name = fatSafeComponent(longName.empty() ? shortName : longName);
          }
          continue;
        }
        if (d.size != 0 && !v.validCluster(d.cluster(fat32))) continue;
        auto [namePart, ext] = fatSplitName(longName, shortName, fatShortNamePart(e + 8, 3, false));
        if (!fatPresetKeeps(options.preset, ext)) continue;
        addFound(v, out, folder, e, namePart, ext, fat32, d.isDeleted());
      }
    }
    run.queued = false;
    queue.pop_front();
  }
  pruneEmptyFolders(top);
  return true;
}

}  // namespace brenix
