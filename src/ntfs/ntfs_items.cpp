// Found items: a record's fields as an item, its data stream completed from
// extension records, its folder chain rebuilt from the folder tables, and the
// name and folder filters.
#include <algorithm>

#include "common/bytes.h"
#include "common/text.h"
#include "ntfs/ntfs_volume.h"
#include "results/scan_option_rules.h"

namespace brenix {

std::string NtfsVolume::convertName(const std::u16string& name) const {
  std::string s = utf16ToUtf8(name, "_");
  for (char& c : s)
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  if (s == "." || s == "..") s = "_";
  s.resize(utf8CutLength(s, 259));
  return s;
}

int NtfsVolume::decodeFull(size_t b, uint32_t index, std::span<const uint8_t> rec, MftRecordReader& reader) {
  int e = reader.configure(recordSize_, bytesPerCluster_);
  if (e != kNtfsOk) return e;
  e = reader.decode(rec);
  if (e != kNtfsOk || !reader.hasAttributeList) return e;
  // The base record's own number: its index in the live table, else its header.
  const uint64_t self = isLiveBuffer(b) ? index : reader.ownNumber;
  std::vector<uint64_t> done;
  std::vector<uint8_t> ext;
  bool listsData = false;
  for (const NtfsAttrListEntry& entry : MftRecordReader::parseAttributeList(readAttributeList(reader))) {
    // The data streams, and names and standard information the base record lacks.
    const bool wanted = entry.type == kAttrData || (entry.type == kAttrFileName && !reader.haveFileName) ||
                        (entry.type == kAttrStandardInfo && !reader.haveStandardInfo);
    if (!wanted) continue;
    const bool unnamed = entry.type == kAttrData && entry.nameLength == 0;
    listsData = listsData || unnamed;
    if (entry.recordNumber == self) continue;
    if (std::find(done.begin(), done.end(), entry.recordNumber) != done.end() || done.size() >= 4096) continue;
    done.push_back(entry.recordNumber);
    // An extension record names its base; a reused one belongs to another file.
    if (!findRecord(b, entry.recordNumber, ext) || (u64At(ext, 0x20) & 0xFFFFFFFFFFFFull) != self ||
        !reader.addExtension(ext))
      reader.dataExtentMissing = reader.dataExtentMissing || unnamed;
  }
  if (listsData && (!reader.data.present || (!reader.data.resident && !reader.data.haveFirstExtent)))
    reader.dataExtentMissing = true;
  return kNtfsOk;
}

int NtfsVolume::fillItem(size_t b, uint32_t index, std::span<const uint8_t> rec, NtfsItem& item,
                         std::vector<NtfsItem>* streamItems) {
  MftRecordReader r;
  int e = decodeFull(b, index, rec, r);
  if (e != kNtfsOk) return e;
  if (!r.haveFileName) return -1;
  std::string name = convertName(r.name);
  // A preset keeps a name by its extension, in any case ("IMG_0001.JPG").
  if (name.empty() || !presetKeepsName(preset_, name)) return -1;
  item.name = std::move(name);
  item.bufferIndex = static_cast<int32_t>(b);
  item.recordNumber = static_cast<int32_t>(index);
  item.parent = r.parentRecord();
  item.created = r.created;
  item.modified = r.modified;
  item.accessed = r.accessed;
  item.attributes = r.fileNameFlags | r.fileAttributes;
  item.size = r.data.size();
  item.dataLost = r.dataExtentMissing;
  item.deleted = !r.inUse;
  if (streamItems && !item.isFolder()) {
    // Each named stream is an item of its own, "name:stream", beside the file.
    for (const NtfsNamedStream& st : r.streams) {
      std::string streamName = convertName(st.name);
      if (streamName.empty() || item.name.size() + 1 + streamName.size() > 259) continue;
      NtfsItem extra = item;
      extra.name = item.name + ":" + streamName;
      if (!presetKeepsName(preset_, extra.name)) continue;
      extra.streamName = st.name;
      extra.size = st.data.size();
      extra.dataLost = false;
      streamItems->push_back(std::move(extra));
    }
  }
  return kNtfsOk;
}

bool NtfsVolume::noteFolder(NtfsFolderTable& table, uint32_t slot, std::span<const uint8_t> rec) const {
  NtfsFileNameView view;
  if (!preferredFileName(rec.first(std::min<size_t>(rec.size(), recordSize_)), view) || !view.isDirectory())
    return false;
  std::string name = convertName(view.text());
  if (name.empty()) return false;
  table.add(slot, view.parentRecord(), name);
  return true;
}

void NtfsVolume::buildPath(NtfsItem& item) const {
  item.pathNames.clear();
  item.pathKeys.clear();
  item.lost = false;
  item.lostParent = 0;
  const size_t b = static_cast<size_t>(item.bufferIndex);
  const bool live = isLiveBuffer(b);
  auto folderAt = [&](uint32_t number) -> std::optional<NtfsFolderTable::Folder> {
    if (live) return number < liveCount_ ? liveFolders_.find(number) : std::nullopt;
    const int64_t slot = sweptSlot(b, number);
    return slot < 0 ? std::nullopt : sweptFolders_.find(static_cast<uint32_t>(slot));
  };
  uint32_t current = item.parent;
  while (current >= kFirstUserRecord) {
    // A parent outside the tables, not a folder (reused or wiped), a loop, or
    // an absurdly deep chain: the chain is lost there.
    std::optional<NtfsFolderTable::Folder> folder;
    if (item.pathKeys.size() < 1024 && std::find(item.pathKeys.begin(), item.pathKeys.end(), current) == item.pathKeys.end())
      folder = folderAt(current);
    if (!folder) {
      item.lost = true;
      item.lostParent = current;
      return;
    }
    item.pathNames.emplace_back(folder->name);
    item.pathKeys.push_back(current);
    if (folder->parent == current) return;
    current = folder->parent;
  }
}

bool NtfsVolume::acceptPath(const NtfsItem& item) const {
  if (pathFilter_.empty()) return true;
  // A lost chain lies in no folder the user can name.
  if (item.pathNames.empty() || item.lost) return false;
  std::string folder;
  for (auto it = item.pathNames.rbegin(); it != item.pathNames.rend(); ++it) {
    if (!folder.empty()) folder += '/';
    folder += *it;
  }
  return folder.compare(0, pathFilter_.size(), pathFilter_) == 0;
}

bool NtfsVolume::acceptName(const std::string& itemName) const {
  if (nameFilter_.empty() || nameFilter_.find("*.*") != std::string::npos) return true;
  std::string name = toLower(itemName);
  std::string rest = toLower(nameFilter_);
  const char* seps = " ,;";
  for (;;) {
    size_t a = rest.find_first_not_of(seps);
    if (a == std::string::npos) return false;
    rest.erase(0, a);
    size_t end = rest.find_first_of(seps);
    std::string token = rest.substr(0, end);
    rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    if (token.empty()) continue;
    size_t star = token.find('*');
    if (star == std::string::npos) {
      if (name.find(token) != std::string::npos) return true;
    } else {
      std::string before = token.substr(0, star), after = token.substr(star + 1);
      if (name.find(before) != std::string::npos && name.find(after) != std::string::npos) return true;
    }
  }
}

bool NtfsVolume::accept(const NtfsItem& item) const { return acceptPath(item) && acceptName(item.name); }

void NtfsVolume::addItem(NtfsItem item, bool announce) {
  std::lock_guard lock(itemsMutex_);
  items_.push_back(std::move(item));
  if (announce && itemFound_) itemFound_(items_.back(), items_.size() - 1);
}

}  // namespace brenix
