#include "raw/xml_reader.h"

namespace brenix {

const XmlNode* XmlNode::firstChild() const {
  cursor_ = 0;
  return nextChild();
}

const XmlNode* XmlNode::nextChild() const {
  if (cursor_ >= children_.size()) return nullptr;
  return children_[cursor_++].get();
}

XmlNode& XmlNode::append(XmlKind kind, std::string name, std::string value) {
  children_.push_back(std::make_unique<XmlNode>(kind, std::move(name), std::move(value)));
  return *children_.back();
}

namespace {

bool isBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool isQuote(uint8_t c) { return c == '"' || c == '\''; }

std::string textOf(std::span<const uint8_t> b, size_t from, size_t to) {
  return std::string(reinterpret_cast<const char*>(b.data()) + from, to - from);
}

// Parses b[begin, end) into node.
bool parseRange(std::span<const uint8_t> b, size_t begin, size_t end, XmlNode& node, int depth) {
  if (depth > kXmlMaxDepth) return false;
  std::string openName;  // element open at this level; empty when none
  bool open = false;
  size_t contentStart = 0;
  bool sawTag = false;
  size_t i = begin;
  while (i < end) {
    uint8_t c = b[i];
    if (c == '<') {
      sawTag = true;
      if (i + 1 < end && (b[i + 1] == '?' || b[i + 1] == '!')) {
        // Declarations and comments: no name is collected; the scan goes on
        // through their bytes.
        ++i;
        continue;
      }
      size_t j = i + 1;
      while (j < end && !isBlank(b[j]) && b[j] != '>') ++j;
      std::string name = textOf(b, i + 1, j);
      if (!open) {
        if (!name.empty()) {
          open = true;
          openName = std::move(name);
          contentStart = j < end ? j + 1 : end;
        }
      } else if (name.size() == openName.size() + 1 && name[0] == '/' &&
                 name.compare(1, std::string::npos, openName) == 0) {
        XmlNode& child = node.append(XmlKind::Element, openName);
        if (!parseRange(b, contentStart, i, child, depth + 1)) return false;
        open = false;
        openName.clear();
      }
      // Any other tag inside an open element belongs to its content.
      i = j;
      continue;
    }
    if (c == '=') {
      size_t k = i;
      while (k > begin) {
        uint8_t p = b[k - 1];
        if (isBlank(p) || p == '<' || p == '>' || p == '!' || p == '?') break;
        --k;
      }
      std::string attrName = textOf(b, k, i);
      size_t q1 = i + 1;
      while (q1 < end && !isQuote(b[q1])) ++q1;
      if (q1 >= end) {  // no value: nothing more to read here
        ++i;
        continue;
      }
      size_t q2 = q1 + 1;
      while (q2 < end && !isQuote(b[q2])) ++q2;
      if (q2 >= end) {
        i = end;
        break;
      }
      if (!open) node.append(XmlKind::Attribute, std::move(attrName), textOf(b, q1 + 1, q2));
      i = q2 + 1;
      continue;
    }
    ++i;
  }
  if (open) return false;  // an element left open at the end of its range
  if (!sawTag) {
    size_t from = begin;
    for (size_t k = end; k > begin; --k) {
      if (b[k - 1] == '>') {
        from = k;
        break;
      }
    }
    node.append(XmlKind::Text, textOf(b, from, end));
  }
  return true;
}

}  // namespace

bool XmlDocument::parse(std::span<const uint8_t> text) {
  root_ = XmlNode(XmlKind::Element, "XML:ROOT");
  return parseRange(text, 0, text.size(), root_, 0);
}

}  // namespace brenix
