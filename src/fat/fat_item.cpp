#include "fat/fat_item.h"

#include <cstring>

#include "common/bytes.h"
#include "common/text.h"
#include "fat/fat_volume.h"

namespace brenix {

namespace {

std::string trimSpaces(std::string s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

}  // namespace

std::string FatItem::nameText() const { return fieldText(name, sizeof name); }
std::string FatItem::extensionText() const { return fieldText(extension, sizeof extension); }

std::string fatAttributeText(uint8_t attr) {
  std::string t;
  if (attr & kAttrHidden) t += "H-";
  t += (attr & kAttrReadOnly) ? "R-" : "RW-";
  if (attr & kAttrSystem) t += "S-";
  while (!t.empty() && t.back() == '-') t.pop_back();
  return t;
}

std::string fatShortNamePart(const uint8_t* bytes, size_t n, bool isName) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (isName && i == 0 && bytes[0] == 0xE5)
      s += '#';
    else
      s += isValidNameChar(bytes[i]) ? static_cast<char>(bytes[i]) : ' ';
  }
  s = trimSpaces(std::move(s));
  if (isName && s.empty()) return "_";
  return isName ? s : toUpper(s);
}

std::string fatSafeComponent(std::string_view name, size_t maxBytes) {
  std::string s;
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    s += (c < 0x20 || c == 0x7F || c == '/' || c == '\\') ? '_' : ch;
  }
  s.resize(utf8CutLength(s, maxBytes));  // whole characters only
  if (s.find_first_not_of('.') == std::string::npos) s.assign(1, '_');
  return s;
}

std::pair<std::string, std::string> fatSplitName(const std::string& longName, const std::string& shortName,
                                                 const std::string& shortExt) {
  if (longName.empty()) return {shortName, shortExt};
  const size_t dot = longName.rfind('.');
  if (dot == std::string::npos || dot == 0) return {longName, shortExt};
  return {longName.substr(0, dot), toUpper(longName.substr(dot + 1))};
}

FatItem makeFatItem(const uint8_t* entry, const std::string& namePart, const std::string& extension, bool fat32) {
  FatItem item;
  std::memset(&item, 0, sizeof item);
  // The extension keeps at most four bytes, cut at a character boundary.
  std::string ext = cutUtf8(extension, 4);
  ext = fatSafeComponent(ext, 4);
  if (ext == "_" && extension.empty()) ext.clear();
  std::string name = namePart;
  if (!ext.empty()) name.append(1, '.').append(ext);
  copyToField(item.name, sizeof item.name, fatSafeComponent(name, sizeof item.name - 1));
  copyToField(item.extension, sizeof item.extension, ext);
  const FatDirEntry d = FatDirEntry::decode(entry);
  copyToField(item.attributeText, sizeof item.attributeText, fatAttributeText(d.attr));
  item.size = d.size;
  item.startCluster = d.cluster(fat32);
  item.createTime = d.createTime;
  item.createDate = d.createDate;
  item.accessDate = d.accessDate;
  item.writeTime = d.writeTime;
  item.writeDate = d.writeDate;
  return item;
}

FoundItem toFoundItem(const FatItem& item, uint8_t attr, bool deleted, uint64_t index) {
  FoundItem f;
  f.name = item.nameText();
  f.size = item.size;
  f.attributes = attr;
  f.attributeText = fieldText(item.attributeText, sizeof item.attributeText);
  f.modified = (uint64_t(item.writeDate) << 16) | item.writeTime;
  f.created = (uint64_t(item.createDate) << 16) | item.createTime;
  f.accessed = uint64_t(item.accessDate) << 16;
  f.deleted = deleted;
  f.checked = item.checked != 0;
  f.shown = true;
  f.engineIndex = index;
  return f;
}

std::vector<std::string> fatFolderFilter(const std::string& searchFolder, const std::string& rootPath) {
  std::string rest = searchFolder;
  if (!rootPath.empty() && rest.compare(0, rootPath.size(), rootPath) == 0) {
    rest = rest.substr(rootPath.size());
  } else if (rest.size() >= 2 && rest[1] == ':') {
    rest = rest.size() >= 3 ? rest.substr(3) : std::string();  // "C:\" and what follows
  }
  std::vector<std::string> out;
  std::string piece;
  std::string upper = toUpper(rest);
  upper.push_back('/');
  for (char c : upper) {
    if (c == '/' || c == '\\') {
      if (!piece.empty()) out.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  return out;
}

std::vector<FatNamePattern> fatNamePatterns(const std::string& text) {
  std::vector<FatNamePattern> out;
  std::string token;
  auto flush = [&] {
    if (token.empty()) return;
    std::string name = token, ext;
    const size_t dot = token.rfind('.');
    if (dot != std::string::npos) {
      name = token.substr(0, dot);
      ext = token.substr(dot + 1);
    }
    if (name == "*") name.clear();
    if (ext == "*") ext.clear();
    out.emplace_back(name, ext);
    token.clear();
  };
  for (char c : toUpper(text)) {
    if (c == ' ' || c == ',' || c == ';') flush();
    else token += c;
  }
  flush();
  if (out.empty()) out.emplace_back(std::string(), std::string());
  return out;
}

bool fatMatchesPatterns(const std::vector<FatNamePattern>& patterns, const std::string& upperName,
                        const std::string& upperExt) {
  for (const auto& [pattern, e] : patterns) {
    // A "*" in the name part stands for anything: what is left must occur in the name.
    std::string n;
    for (char c : pattern)
      if (c != '*') n += c;
    if (n.empty() && e.empty()) return true;
    if (n.empty() && e == upperExt) return true;
    const bool nameHit = upperName.find(n) != std::string::npos;
    if (e.empty() && nameHit) return true;
    if (nameHit && e == upperExt) return true;
  }
  return false;
}

}  // namespace brenix
