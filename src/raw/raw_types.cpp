#include "raw/raw_types.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "common/file_io.h"
#include "common/text.h"
#include "codec/lznt1.h"
#include "raw/xml_reader.h"

#ifndef BRENIX_DATA_DIR
#define BRENIX_DATA_DIR "/usr/local/share/brenix"
#endif

namespace brenix {

std::string RawFileType::ext() const { return fieldText(extension, sizeof extension); }
std::string RawFileType::desc() const { return fieldText(description, sizeof description); }
std::string RawFileType::pattern(int i) const {
  return (i >= 0 && i < kRawMaxSignatures) ? fieldText(patterns[i], kRawPatternField) : std::string();
}

RawFileType makeRawFileType() {
  RawFileType t;
  std::memset(&t, 0, sizeof t);
  return t;
}

bool RawTypeList::anySelected() const {
  return std::any_of(types.begin(), types.end(), [](const auto& t) { return t->selected != 0; });
}

void RawTypeList::compile() {
  compiled.clear();
  compiled.reserve(types.size() * kRawMaxSignatures);
  for (const auto& t : types)
    for (int i = 0; i < kRawMaxSignatures; ++i)
      compiled.push_back(i < t->signatureCount ? compilePattern(t->pattern(i)) : CompiledPattern{});
}

namespace {

// The C library's text-to-integer reading: leading blanks, optional sign,
// digits; anything else ends the number; no digits gives 0. Clamped to 32 bits.
int32_t decimalValue(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int64_t v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    v = v * 10 + (s[i++] - '0');
    if (v > int64_t(INT32_MAX) + 1) v = int64_t(INT32_MAX) + 1;
  }
  if (negative) v = -v;
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

const XmlNode* childAt(const XmlNode& n, size_t i) { return n.child(i); }

// The text of an element's first child when that child is a text node.
bool elementText(const XmlNode* n, std::string& out) {
  if (!n || n->kind() != XmlKind::Element) return false;
  const XmlNode* t = n->child(0);
  if (!t || t->kind() != XmlKind::Text) return false;
  out = t->name();
  return true;
}

// One signature set into rec; returns a reason when the set is rejected.
std::string readSet(const XmlNode& set, RawFileType& rec) {
  if (set.kind() != XmlKind::Element) return "a signature set is not an element";
  const XmlNode* countAttr = set.child(0);
  if (!countAttr || countAttr->kind() != XmlKind::Attribute) return "missing signature count";
  int32_t count = decimalValue(countAttr->value());
  if (count < 1 || count > kRawMaxSignatures)
    return format("signature count %d is outside 1..%d", count, kRawMaxSignatures);
  if (set.childCount() < size_t(count) + 1) return format("fewer signatures than the count %d", count);
  rec.signatureCount = count;
  for (int i = 0; i < count; ++i) {
    const XmlNode* sig = set.child(size_t(i) + 1);
    if (!sig || sig->kind() != XmlKind::Element) return format("signature %d is not an element", i);
    const XmlNode* off = sig->child(0);
    if (!off || off->kind() != XmlKind::Attribute) return format("signature %d has no offset", i);
    const XmlNode* text = sig->child(1);
    std::string pattern = (text && text->kind() == XmlKind::Text) ? text->name() : std::string();
    if (!text || text->kind() != XmlKind::Text) return format("signature %d has no pattern text", i);
    if (pattern.size() >= kRawPatternField)
      return format("pattern %d is %zu characters (at most %zu)", i, pattern.size(), kRawPatternField - 1);
    int32_t offset = decimalValue(off->value());
    CompiledPattern cp = compilePattern(pattern);
    if (offset < 0 || int64_t(offset) + int64_t(cp.reach()) > kRawMaxSignatureReach)
      return format("signature %d offset %d is outside 0..%lld", i, offset, (long long)kRawMaxSignatureReach);
    rec.offsets[i] = offset;
    copyToField(rec.patterns[i], kRawPatternField, pattern);
  }
  return {};
}

}  // namespace

bool rawDatabaseText(std::span<const uint8_t> fileBytes, std::vector<uint8_t>& xml, std::string* error) {
  xml.clear();
  if (fileBytes.empty()) {
    if (error) *error = "the file is empty";
    return false;
  }
  if (fileBytes[0] != '<') return unpackRawDatabase(fileBytes, xml, error);
  xml.reserve(fileBytes.size());
  for (size_t i = 0; i < fileBytes.size(); ++i) {
    uint8_t c = fileBytes[i];
    if (c == 0x1A) break;
    if (c == '\r' && i + 1 < fileBytes.size() && fileBytes[i + 1] == '\n') continue;
    xml.push_back(c);
  }
  return true;
}

bool parseRawTypes(std::span<const uint8_t> xml, RawTypeList& list, std::string* error) {
  XmlDocument doc;
  if (!doc.parse(xml)) {
    if (error) *error = "the XML is malformed (an element is not closed)";
    return false;
  }
  const XmlNode* top = nullptr;
  for (size_t i = 0; i < doc.root().childCount(); ++i) {
    const XmlNode* c = doc.root().child(i);
    if (c->kind() != XmlKind::Attribute) {
      top = c;
      break;
    }
  }
  if (!top || top->kind() != XmlKind::Element) {
    if (error) *error = "no document element";
    return false;
  }
  size_t before = list.types.size();
  // The document element's first child is skipped; each later child is a type.
  for (size_t ti = 1; ti < top->childCount(); ++ti) {
    const XmlNode& type = *top->child(ti);
    std::string ext, desc;
    if (type.kind() != XmlKind::Element) continue;
    if (!elementText(childAt(type, 0), ext) || !elementText(childAt(type, 1), desc)) {
      list.warnings.push_back(format("type %zu: missing extension or description", ti));
      continue;
    }
    if (ext.size() >= kRawExtensionField) {
      list.warnings.push_back(format("type %zu: extension '%s' is longer than %zu characters", ti, ext.c_str(),
                                     kRawExtensionField - 1));
      continue;
    }
    if (desc.size() >= kRawDescriptionField) {
      list.warnings.push_back(format("type %zu (%s): description is longer than %zu characters", ti, ext.c_str(),
                                     kRawDescriptionField - 1));
      continue;
    }
    for (size_t si = 2; si < type.childCount(); ++si) {
      auto rec = std::make_unique<RawFileType>(makeRawFileType());
      copyToField(rec->extension, sizeof rec->extension, ext);
      rec->extensionLength = static_cast<int32_t>(ext.size());
      copyToField(rec->description, sizeof rec->description, desc);
      rec->descriptionLength = static_cast<int32_t>(desc.size());
      std::string why = readSet(*type.child(si), *rec);
      if (!why.empty()) {
        list.warnings.push_back(format("type %zu (%s) set %zu: %s", ti, ext.c_str(), si - 1, why.c_str()));
        continue;
      }
      rec->selected = 1;
      list.types.push_back(std::move(rec));
    }
  }
  list.compile();
  if (list.types.size() == before) {
    if (error) *error = "no file types in the database";
    return false;
  }
  return true;
}

bool loadRawTypes(const std::filesystem::path& path, RawTypeList& list, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open '" + path.string() + "'";
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<uint8_t> xml;
  std::string why;
  if (!rawDatabaseText(bytes, xml, &why) || !parseRawTypes(xml, list, &why)) {
    if (error) *error = "cannot load '" + path.string() + "': " + why;
    return false;
  }
  list.sourcePath = path.string();
  return true;
}

std::vector<uint8_t> packRawDatabase(std::span<const uint8_t> xml) {
  std::vector<uint8_t> shifted(xml.begin(), xml.end());
  for (uint8_t& b : shifted) b = static_cast<uint8_t>(b + 1);
  return lznt1Compress(shifted);
}

bool unpackRawDatabase(std::span<const uint8_t> packed, std::vector<uint8_t>& xml, std::string* error) {
  xml.clear();
  size_t limit = packed.size() > SIZE_MAX / kRawUnpackFactor ? SIZE_MAX : packed.size() * kRawUnpackFactor;
  if (!lznt1Decompress(packed, xml, limit) || xml.empty()) {
    xml.clear();
    if (error) *error = "the packed data does not decompress";
    return false;
  }
  for (uint8_t& b : xml) b = static_cast<uint8_t>(b - 1);
  // The expanded text of the final chunk may be followed by padding.
  while (!xml.empty() && xml.back() == 0xFF) xml.pop_back();
  if (xml.empty() || xml[0] != '<') {
    xml.clear();
    if (error) *error = "the packed data does not hold XML text";
    return false;
  }
  return true;
}

std::vector<std::filesystem::path> rawDatabaseCandidates() {
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  std::filesystem::path cwd = std::filesystem::current_path(ec);
  out.push_back(ec ? std::filesystem::path("rp.dat") : cwd / "rp.dat");
  // Beside the program (GetModuleFileNameW on Windows, /proc/self/exe on Linux).
  const std::filesystem::path exe = executablePath();
  if (!exe.empty() && exe.has_parent_path()) {
    out.push_back(exe.parent_path() / "rp.dat");
    // An installed program: <prefix>/bin/brenix finds <prefix>/share/brenix/rp.dat.
    out.push_back(exe.parent_path().parent_path() / "share" / "brenix" / "rp.dat");
  }
  out.push_back(std::filesystem::path(BRENIX_DATA_DIR) / "rp.dat");
  return out;
}

bool loadDefaultRawTypes(RawTypeList& list, std::string* error) {
  std::string looked;
  for (const auto& p : rawDatabaseCandidates()) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(p, ec)) return loadRawTypes(p, list, error);
    looked += (looked.empty() ? "" : ", ") + p.string();
  }
  if (error) *error = "rp.dat was not found (looked in " + looked + ")";
  return false;
}

}  // namespace brenix
