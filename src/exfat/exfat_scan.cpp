#include "exfat/exfat_scan.h"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "common/bytes.h"
#include "common/text.h"

namespace brenix::exfat {

namespace {

constexpr uint64_t kMaxDirectoryBytes = 64ull << 20;  // about two million entries
constexpr const char* kLostFiles = "Lost Files";
constexpr uint64_t kMaxSetBytes = 19 * kEntryBytes;  // a file entry, its stream entry and 17 name entries

void appendCluster(std::vector<ClusterRun>& runs, uint32_t c) {
  if (!runs.empty() && runs.back().first + runs.back().count == c && runs.back().count < UINT32_MAX)
    ++runs.back().count;
  else
    runs.push_back(ClusterRun{c, 1});
}

bool globMatch(const char* p, const char* s) {
  // Iterative '*' / '?' matcher with one backtrack point.
  const char *star = nullptr, *mark = nullptr;
  while (*s) {
    if (*p == '?' || *p == *s) {
      ++p;
      ++s;
    } else if (*p == '*') {
      star = p++;
      mark = s;
    } else if (star) {
      p = star + 1;
      s = ++mark;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == 0;
}

// Reads the clusters of a placement, at most maxBytes, into one buffer.
bool readRuns(const Volume& v, const std::vector<ClusterRun>& runs, uint64_t maxBytes, std::vector<uint8_t>& out) {
  out.clear();
  const uint64_t cb = v.geometry().clusterBytes();
  for (const ClusterRun& r : runs) {
    if (out.size() >= maxBytes) break;
    const uint64_t bytes = std::min<uint64_t>(uint64_t(r.count) * cb, maxBytes - out.size());
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(bytes));
    if (!v.readBytes(v.clusterOffset(r.first), out.data() + at, static_cast<size_t>(bytes))) {
      // One unreadable run: read what can be read cluster by cluster, zeros for the rest.
      for (uint64_t k = 0; k * cb < bytes; ++k) {
        uint8_t* dst = out.data() + at + k * cb;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(cb, bytes - k * cb));
        if (!v.readBytes(v.clusterOffset(static_cast<uint32_t>(r.first + k)), dst, n)) std::fill(dst, dst + n, 0);
      }
    }
  }
  return !out.empty();
}

ItemCondition conditionOf(const Volume& v, const EntrySet& e, bool checkInUse) {
  if (e.dataLength == 0) return ItemCondition::Intact;
  if (checkInUse && v.inUse(e.firstCluster)) return ItemCondition::ProbablyOverwritten;
  return ItemCondition::Intact;
}

// A file set worth listing: its data can lie on this volume.
bool dataFits(const Volume& v, const EntrySet& e) {
  if (e.dataLength == 0) return true;
  if (!v.geometry().validCluster(e.firstCluster)) return false;
  const uint64_t heapBytes = uint64_t(v.geometry().clusterCount) * v.geometry().clusterBytes();
  return e.dataLength <= heapBytes;
}

// `checkInUse`: whether a first cluster the bitmap marks as in use means the
// data now belongs to another file (deleted files; every file after a format).
void addItem(ScanSink& out, ResultFolder& folder, const Volume& v, EntrySet entry, bool deleted, bool checkInUse) {
  Item item;
  item.condition = conditionOf(v, entry, checkInUse);
  item.deleted = deleted;
  item.entry = std::move(entry);
  out.records.push_back(std::move(item));
  out.tree.addItem(folder, toFoundItem(out.records.back(), out.records.size() - 1));
}

void pruneEmpty(ResultFolder& root) {
  struct Walk {
    static bool keep(ResultFolder& f) {
      auto& kids = f.children;
      kids.erase(std::remove_if(kids.begin(), kids.end(), [](std::unique_ptr<ResultFolder>& c) { return !keep(*c); }),
                 kids.end());
      return !f.items.empty() || !kids.empty();
    }
  };
  Walk::keep(root);
}

}  // namespace

std::string safeComponent(const std::string& name) {
  std::string s;
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    s += (c < 0x20 || c == 0x7F || c == '/' || c == '\\') ? '_' : ch;
  }
  if (s.find_first_not_of('.') == std::string::npos) s.assign(std::max<size_t>(1, s.size()), '_');
  return s;
}

bool NameFilter::keeps(const std::string& name) const {
  const std::string lower = toLower(name);
  if (preset != FilePreset::None) {
    const size_t dot = lower.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string ext = lower.substr(dot);
    const auto& list = presetExtensions(preset);
    return std::find(list.begin(), list.end(), ext) != list.end();
  }
  bool any = false;
  std::string token;
  const std::string text = toLower(patterns) + " ";
  for (char c : text) {
    if (c == ' ' || c == ',' || c == ';') {
      if (!token.empty()) {
        any = true;
        if (globMatch(token.c_str(), lower.c_str())) return true;
      }
      token.clear();
    } else {
      token += c;
    }
  }
  return !any;
}

Placement placeData(const Volume& v, uint32_t first, uint64_t length, bool noFatChain) {
  Placement p;
  const Geometry& g = v.geometry();
  if (length == 0) {
    p.complete = true;
    return p;
  }
  if (!g.validCluster(first)) return p;
  const uint64_t cb = g.clusterBytes();
  const uint64_t needed = (length + cb - 1) / cb;
  if (noFatChain) {
    const uint64_t fits = uint64_t(g.maxCluster()) - first + 1;
    const uint64_t n = std::min(needed, fits);
    p.runs.push_back(ClusterRun{first, static_cast<uint32_t>(n)});
    p.complete = n == needed;
    return p;
  }
  if (needed > g.clusterCount) {
    p.runs.push_back(ClusterRun{first, 1});
    return p;
  }
  bool ended = false;
  const std::vector<uint32_t> chain = v.chain(first, static_cast<size_t>(needed), &ended);
  if (ended && chain.size() == needed) {
    for (uint32_t c : chain) appendCluster(p.runs, c);
    p.complete = true;
    p.followedChain = true;
    return p;
  }
  // The chain is gone: the first cluster, then the free clusters in order.
  appendCluster(p.runs, first);
  uint64_t have = 1;
  for (uint64_t c = uint64_t(first) + 1; have < needed && c <= g.maxCluster(); ++c) {
    if (v.inUse(static_cast<uint32_t>(c))) continue;
    appendCluster(p.runs, static_cast<uint32_t>(c));
    ++have;
  }
  p.complete = have == needed;
  return p;
}

FoundItem toFoundItem(const Item& item, uint64_t index) {
  FoundItem f;
  f.name = safeComponent(item.entry.name);
  f.size = item.entry.dataLength;
  f.attributes = item.entry.attributes;
  f.modified = timestampToFileTime(item.entry.modified);
  f.created = timestampToFileTime(item.entry.created);
  f.accessed = timestampToFileTime(item.entry.accessed);
  f.deleted = item.deleted;
  f.condition = item.condition;
  f.engineIndex = index;
  return f;
}

// --- Deleted-file scan ---------------------------------------------------------

namespace {

struct DirTask {
  size_t depth = 0;
  uint32_t first = 0;
  uint64_t length = 0;  // 0 with isRoot: as long as the chain
  bool noFatChain = false;
  bool isRoot = false;
  bool live = false;
  ResultFolder* folder = nullptr;
};

}  // namespace

std::vector<std::string> searchFolderNames(const std::string& searchFolder, const std::string& rootPath) {
  std::string rest = searchFolder;
  if (!rootPath.empty() && rest.compare(0, rootPath.size(), rootPath) == 0)
    rest.erase(0, rootPath.size());
  else if (rest.size() >= 2 && rest[1] == ':')
    rest.erase(0, std::min<size_t>(3, rest.size()));  // "C:\"
  std::vector<std::string> out;
  std::string piece;
  for (char c : rest + "/") {
    if (c == '/' || c == '\\') {
      if (!piece.empty()) out.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  return out;
}

bool runDeletedScan(const Volume& v, const NameFilter& filter, ScanSink out, ScanCounters* counters,
                    const std::vector<std::string>& searchFolder) {
  ScanCounters local;
  ScanCounters& n = counters ? *counters : local;
  const Geometry& g = v.geometry();
  out.progress.setStatus("Found Deleted Files : 0");
  out.progress.setTotal(1);
  out.progress.setDone(0);
  int found = 0;

  std::vector<DirTask> tasks;
  std::unordered_set<uint32_t> known{g.rootCluster};
  tasks.push_back(DirTask{0, g.rootCluster, 0, false, true, true, &out.tree.root()});
  std::vector<uint8_t> buf;
  const size_t maxRootClusters = static_cast<size_t>(std::max<uint64_t>(1, kMaxDirectoryBytes / g.clusterBytes()));

  for (size_t t = 0; t < tasks.size() && out.running; ++t) {
    const DirTask task = tasks[t];
    out.progress.setTotal(static_cast<int32_t>(std::min<size_t>(tasks.size(), INT32_MAX)));
    out.progress.setDone(static_cast<int32_t>(std::min<size_t>(t, INT32_MAX)));
    Placement place;
    if (task.isRoot) {
      for (uint32_t c : v.chain(task.first, maxRootClusters, nullptr)) appendCluster(place.runs, c);
    } else {
      place = placeData(v, task.first, std::min(task.length, kMaxDirectoryBytes), task.noFatChain);
    }
    if (!readRuns(v, place.runs, kMaxDirectoryBytes, buf)) continue;
    ++n.directories;
    const std::span<const uint8_t> entries(buf);
    const size_t count = buf.size() / kEntryBytes;
    for (size_t i = 0; i < count && out.running;) {
      const uint8_t type = buf[i * kEntryBytes];
      if (type == 0x00) break;  // the end of the directory
      if ((type & 0x7F) != (kTypeFile & 0x7F)) {
        ++i;
        continue;
      }
      EntrySet set;
      const SetStatus st = decodeEntrySet(entries, i, &set);
      if (st != SetStatus::Ok) {
        (st == SetStatus::BadChecksum ? n.badChecksums : n.badSets) += 1;
        ++i;
        continue;
      }
      i += set.entryCount;
      const bool deleted = !set.inUse || !task.live;
      // Above the search folder only the folder on its way is followed.
      const bool above = task.depth < searchFolder.size();
      if (set.isDirectory()) {
        if (above && toLower(set.name) != toLower(searchFolder[task.depth])) continue;
        if (!g.validCluster(set.firstCluster) || set.dataLength == 0 || !known.insert(set.firstCluster).second)
          continue;
        ResultFolder& folder = out.tree.addFolder(*task.folder, safeComponent(set.name));
        tasks.push_back(
            DirTask{task.depth + 1, set.firstCluster, set.dataLength, set.noFatChain(), false, !deleted, &folder});
        continue;
      }
      if (above || !deleted || !dataFits(v, set) || !filter.keeps(set.name)) continue;
      addItem(out, *task.folder, v, std::move(set), true, true);
      out.progress.setStatus(format("Found Deleted Files : %d", ++found));
    }
  }
  pruneEmpty(out.tree.root());
  return out.running;
}

// --- Formatted-drive scan ------------------------------------------------------

namespace {

struct DirNode {
  uint32_t first = 0;
  std::string name;
  bool named = false;
  uint32_t entryCluster = 0;  // the cluster holding the folder set that names it
  std::vector<ClusterRun> runs;
  ResultFolder* folder = nullptr;
};

// Whether a set with a valid checksum starts in the first `clusterBytes` of `data`.
bool holdsEntrySet(std::span<const uint8_t> data, size_t clusterBytes) {
  const size_t count = std::min(data.size(), clusterBytes) / kEntryBytes;
  for (size_t i = 0; i < count;) {
    const uint8_t type = data[i * kEntryBytes];
    if ((type & 0x7F) == (kTypeFile & 0x7F)) {
      EntrySet set;
      if (decodeEntrySet(data, i, &set) == SetStatus::Ok) return true;
    }
    ++i;
  }
  return false;
}

// Takes back the directory clusters an earlier run of the same sweep found:
// [start, count, ...] runs in ascending order, each inside the range and
// before the position. Empty when taken, else why not.
std::string takeSweepResume(const SweepCheckpoint& cp, uint64_t first, uint64_t end, std::vector<uint32_t>* clusters) {
  if (cp.first != first || cp.end != end) return "the scanned range of clusters differs";
  if (cp.position < first || cp.position > end) return "its position lies outside the scanned clusters";
  if (cp.found.size() % 2 != 0 || cp.found.size() / 2 > cp.position - first) return "bad list of found directories";
  uint64_t previousEnd = first;
  for (size_t i = 0; i < cp.found.size(); i += 2) {
    const uint64_t start = cp.found[i], count = cp.found[i + 1];
    if (start < previousEnd || start >= cp.position || count == 0 || count > cp.position - start)
      return "found directory run at cluster " + std::to_string(start) + " does not fit";
    for (uint64_t k = 0; k < count; ++k) clusters->push_back(static_cast<uint32_t>(start + k));
    previousEnd = start + count;
  }
  return {};
}

}  // namespace

bool runFormattedScan(const Volume& v, const FormattedScanOptions& options, ScanSink out, ScanCounters* counters) {
  ScanCounters local;
  ScanCounters& n = counters ? *counters : local;
  const Geometry& g = v.geometry();
  const uint64_t cb = g.clusterBytes();
  const uint32_t first = std::max<uint32_t>(2, options.firstCluster);
  const uint32_t last = std::min(g.maxCluster(), options.lastCluster);
  const uint64_t total = last >= first ? uint64_t(last) - first + 1 : 0;
  out.progress.setTotal(static_cast<int32_t>(std::min<uint64_t>(total, INT32_MAX)));
  out.progress.setDone(0);
  out.progress.setStatus("Found Folders : 0");

  // Pass 1: the directory clusters. Each cluster is decoded with the
  // clusters after it that the longest set can reach, so a set that starts
  // near a cluster's end is decoded whole, wherever a batch (or a resumed
  // sweep) begins.
  std::vector<uint32_t> dirClusters;
  SweepSession* sweep = options.sweep;
  const uint64_t rangeEnd = uint64_t(first) + total;
  uint64_t next = first;
  if (sweep && sweep->resume) {
    const std::string why = takeSweepResume(*sweep->resume, first, rangeEnd, &dirClusters);
    if (!why.empty()) {
      sweep->refused = why;
      return false;
    }
    next = sweep->resume->position;
  }
  const uint64_t batch = std::max<uint64_t>(1, (4ull << 20) / cb);
  const uint64_t reach = (kMaxSetBytes + cb - 1) / cb;  // clusters after single that its last set can reach
  std::vector<uint8_t> buf, single;
  uint64_t sweptBytes = 0;
  auto checkpoint = [&](bool ended) {
    SweepCheckpoint cp;
    cp.position = next;
    cp.first = first;
    cp.end = rangeEnd;
    for (size_t i = 0; i < dirClusters.size(); ++i) {
      if (i > 0 && dirClusters[i] == dirClusters[i - 1] + 1) {
        ++cp.found.back();
      } else {
        cp.found.push_back(dirClusters[i]);
        cp.found.push_back(1);
      }
    }
    cp.sweptBytes = sweptBytes;
    cp.ended = ended;
    return cp;
  };
  // Reads count clusters from `at` and those `reach` after them (fewer when
  // they are past the heap or unreadable); false when the first count cannot be read.
  auto readWithReach = [&](uint64_t at, uint64_t count, std::vector<uint8_t>& into) {
    const uint64_t withReach = std::min<uint64_t>(count + reach, uint64_t(g.maxCluster()) - at + 1);
    into.resize(static_cast<size_t>(withReach * cb));
    if (v.readBytes(v.clusterOffset(static_cast<uint32_t>(at)), into.data(), into.size())) return true;
    into.resize(static_cast<size_t>(count * cb));
    return withReach > count && v.readBytes(v.clusterOffset(static_cast<uint32_t>(at)), into.data(), into.size());
  };
  // The next cluster to consider; a cancel inside a batch leaves it at the first one not considered.
  while (next < rangeEnd && out.running) {
    out.progress.setDone(static_cast<int32_t>(std::min<uint64_t>(next - first, INT32_MAX)));
    const uint64_t count = std::min<uint64_t>(batch, rangeEnd - next);
    const bool ok = readWithReach(next, count, buf);
    uint64_t k = 0;
    for (; k < count && out.running; ++k) {
      std::span<const uint8_t> data;
      if (ok) {
        data = std::span<const uint8_t>(buf).subspan(static_cast<size_t>(k * cb));
      } else {  // part of the batch is unreadable: cluster by cluster
        if (!readWithReach(next + k, 1, single)) continue;
        data = single;
      }
      if (holdsEntrySet(data, static_cast<size_t>(cb))) {
        dirClusters.push_back(static_cast<uint32_t>(next + k));
        out.progress.setStatus(format("Found Folders : %d", static_cast<int>(dirClusters.size())));
      }
    }
    sweptBytes += k * cb;
    next += k;
    if (sweep) sweep->offer([&] { return checkpoint(false); });
  }
  if (sweep) {
    sweep->reached = checkpoint(next >= rangeEnd);
    sweep->reachedSet = true;
  }
  out.progress.setTotal(static_cast<int32_t>(std::min<size_t>(dirClusters.size(), INT32_MAX)));
  out.progress.setDone(0);
  out.progress.setStatus("");
  if (dirClusters.empty()) return false;
  const std::unordered_set<uint32_t> isDir(dirClusters.begin(), dirClusters.end());

  // Folder sets in the directory clusters name directories that start at a directory cluster.
  std::vector<DirNode> nodes;
  std::unordered_map<uint32_t, size_t> byFirst;
  DirNode root;
  root.first = g.rootCluster;
  for (uint32_t c : v.chain(g.rootCluster, static_cast<size_t>(std::max<uint64_t>(1, kMaxDirectoryBytes / cb)), nullptr))
    appendCluster(root.runs, c);
  root.folder = &out.tree.root();
  nodes.push_back(root);
  byFirst[g.rootCluster] = 0;
  std::vector<uint8_t> one(static_cast<size_t>(cb * 2));
  for (uint32_t c : dirClusters) {
    if (!out.running) break;
    const bool twoOk = g.validCluster(uint64_t(c) + 1) && v.readBytes(v.clusterOffset(c), one.data(), one.size());
    if (!twoOk && !v.readBytes(v.clusterOffset(c), one.data(), static_cast<size_t>(cb))) continue;
    const std::span<const uint8_t> data(one.data(), twoOk ? one.size() : static_cast<size_t>(cb));
    for (size_t i = 0; i < cb / kEntryBytes; ++i) {
      EntrySet set;
      if (decodeEntrySet(data, i, &set) != SetStatus::Ok || !set.isDirectory()) continue;
      if (!isDir.count(set.firstCluster) || byFirst.count(set.firstCluster)) continue;
      DirNode node;
      node.first = set.firstCluster;
      node.name = safeComponent(set.name);
      node.named = true;
      node.entryCluster = c;
      node.runs = placeData(v, set.firstCluster, std::min(set.dataLength, kMaxDirectoryBytes), set.noFatChain()).runs;
      byFirst[node.first] = nodes.size();
      nodes.push_back(std::move(node));
    }
  }
  // Which node each directory cluster belongs to; what no node covers forms
  // unnamed nodes of consecutive clusters.
  std::unordered_map<uint32_t, size_t> owner;
  for (size_t k = 0; k < nodes.size(); ++k)
    for (const ClusterRun& r : nodes[k].runs)
      for (uint64_t c = r.first; c < uint64_t(r.first) + r.count; ++c)
        if (isDir.count(static_cast<uint32_t>(c))) owner.emplace(static_cast<uint32_t>(c), k);
  for (uint32_t c : dirClusters) {
    if (owner.count(c)) continue;
    if (!nodes.back().named && nodes.size() > 1 && owner.count(c - 1) && owner[c - 1] == nodes.size() - 1) {
      appendCluster(nodes.back().runs, c);
    } else {
      DirNode node;
      node.first = c;
      node.runs.push_back(ClusterRun{c, 1});
      nodes.push_back(std::move(node));
    }
    owner[c] = nodes.size() - 1;
  }

  // Folders, parents first: a named node hangs below the node holding its set.
  ResultFolder* lost = nullptr;
  auto lostFolder = [&]() -> ResultFolder& {
    if (!lost) lost = &out.tree.addFolder(out.tree.root(), kLostFiles);
    return *lost;
  };
  std::vector<std::vector<size_t>> children(nodes.size());
  std::vector<size_t> tops;
  for (size_t k = 1; k < nodes.size(); ++k) {
    auto it = nodes[k].named ? owner.find(nodes[k].entryCluster) : owner.end();
    if (it != owner.end() && it->second != k)
      children[it->second].push_back(k);
    else
      tops.push_back(k);
  }
  int unnamed = 0;
  std::vector<size_t> stack;
  auto place = [&](size_t k, ResultFolder& parent) {
    DirNode& node = nodes[k];
    node.folder = &out.tree.addFolder(parent, node.named ? node.name : format("DIR%d", unnamed++));
  };
  auto descend = [&](size_t from) {
    stack.assign(1, from);
    while (!stack.empty()) {
      const size_t k = stack.back();
      stack.pop_back();
      for (size_t child : children[k]) {
        if (nodes[child].folder) continue;
        place(child, *nodes[k].folder);
        stack.push_back(child);
      }
    }
  };
  descend(0);
  for (size_t k : tops) {
    if (nodes[k].folder) continue;
    place(k, lostFolder());
    descend(k);
  }
  for (size_t k = 1; k < nodes.size(); ++k) {  // nodes in a loop of parents
    if (nodes[k].folder) continue;
    place(k, lostFolder());
    descend(k);
  }

  // Files: every file set of each node's clusters (a directory cluster
  // another node owns left out), read whole so sets that cross a cluster end
  // decode. An unnamed node's run gets the cluster after it to finish its last set.
  std::vector<uint8_t> data;
  for (size_t k = 0; k < nodes.size() && out.running; ++k) {
    out.progress.setDone(static_cast<int32_t>(std::min<size_t>(k, INT32_MAX)));
    std::vector<ClusterRun> runs;
    for (const ClusterRun& r : nodes[k].runs)
      for (uint64_t c = r.first; c < uint64_t(r.first) + r.count; ++c) {
        auto it = owner.find(static_cast<uint32_t>(c));
        if (it == owner.end() || it->second == k) appendCluster(runs, static_cast<uint32_t>(c));
      }
    uint64_t ownBytes = 0;
    for (const ClusterRun& r : runs) ownBytes += uint64_t(r.count) * cb;
    if (!nodes[k].named && k > 0 && !runs.empty() && g.validCluster(uint64_t(runs.back().first) + runs.back().count))
      appendCluster(runs, runs.back().first + runs.back().count);
    if (!readRuns(v, runs, kMaxDirectoryBytes, data)) continue;
    ++n.directories;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(data.size(), ownBytes) / kEntryBytes);
    for (size_t i = 0; i < count;) {
      const uint8_t type = data[i * kEntryBytes];
      if ((type & 0x7F) != (kTypeFile & 0x7F)) {
        ++i;
        continue;
      }
      EntrySet set;
      const SetStatus st = decodeEntrySet(data, i, &set);
      if (st != SetStatus::Ok) {
        (st == SetStatus::BadChecksum ? n.badChecksums : n.badSets) += 1;
        ++i;
        continue;
      }
      i += set.entryCount;
      if (set.isDirectory() || !dataFits(v, set) || !options.filter.keeps(set.name)) continue;
      const bool deleted = !set.inUse;
      addItem(out, *nodes[k].folder, v, std::move(set), deleted, true);
    }
  }
  pruneEmpty(out.tree.root());
  return true;
}

}  // namespace brenix::exfat
