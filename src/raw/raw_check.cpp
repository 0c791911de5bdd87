#include "raw/raw_check.h"

#include <algorithm>

#include "common/text.h"

namespace brenix {

namespace {

bool sameSet(const RawFileType& a, const RawFileType& b) {
  if (a.signatureCount != b.signatureCount) return false;
  for (int i = 0; i < a.signatureCount; ++i)
    if (a.offsets[i] != b.offsets[i] || a.pattern(i) != b.pattern(i)) return false;
  return true;
}

// True when every alternative of `narrow` begins with some alternative of `wide`
// (so wide matches wherever narrow does).
bool patternCovers(const CompiledPattern& wide, const CompiledPattern& narrow) {
  bool anyUsable = false;
  for (const PatternAlternative& n : narrow.alternatives) {
    if (!n.usable) continue;
    anyUsable = true;
    bool covered = false;
    for (const PatternAlternative& w : wide.alternatives) {
      if (!w.usable || w.bytes.size() > n.bytes.size()) continue;
      if (!std::equal(w.bytes.begin(), w.bytes.end(), n.bytes.begin())) continue;
      if (w.hasHalf) {
        if (n.bytes.size() > w.bytes.size()) {
          if ((n.bytes[w.bytes.size()] >> 4) != w.halfNibble) continue;
        } else if (!n.hasHalf || n.halfNibble != w.halfNibble) {
          continue;
        }
      }
      covered = true;
      break;
    }
    if (!covered) return false;
  }
  return anyUsable;
}

// Whether earlier set a matches wherever later set b does.
bool shadows(const RawTypeList& list, size_t a, size_t b) {
  const RawFileType& ta = *list.types[a];
  const RawFileType& tb = *list.types[b];
  for (int i = 0; i < ta.signatureCount; ++i) {
    bool found = false;
    for (int j = 0; j < tb.signatureCount && !found; ++j)
      found = ta.offsets[i] == tb.offsets[j] && patternCovers(list.pattern(a, i), list.pattern(b, j));
    if (!found) return false;
  }
  return true;
}

}  // namespace

std::vector<RawTypeIssue> checkRawTypes(const RawTypeList& list) {
  std::vector<RawTypeIssue> out;
  for (size_t b = 0; b < list.size(); ++b) {
    const RawFileType& t = *list.types[b];
    for (int i = 0; i < t.signatureCount; ++i) {
      std::string why = patternProblem(t.pattern(i));
      if (!why.empty()) out.push_back({b, format("pattern %d: %s", i, why.c_str())});
    }
    for (size_t a = 0; a < b; ++a) {
      if (sameSet(*list.types[a], t)) {
        out.push_back({b, format("duplicate of #%zu (%s)", a, list.types[a]->ext().c_str())});
        break;
      }
      if (shadows(list, a, b)) {
        out.push_back({b, format("never found: #%zu (%s) earlier in the list matches first", a,
                                 list.types[a]->ext().c_str())});
        break;
      }
    }
    // Results folders are chosen by containment: a description inside an
    // earlier type's description files this type's finds into that folder.
    for (size_t a = 0; a < list.size(); ++a) {
      const RawFileType& o = *list.types[a];
      if (a == b || o.desc() == t.desc()) continue;
      if (o.desc().find(t.desc()) != std::string::npos) {
        out.push_back({b, format("description '%s' lies inside '%s' (#%zu): their finds may share a folder",
                                 t.desc().c_str(), o.desc().c_str(), a)});
        break;
      }
    }
  }
  return out;
}

}  // namespace brenix
