#pragma once
// The small XML reader of the signature database. It accepts a deliberately
// small subset: declarations and comments are passed over (their attributes
// land on the enclosing node), an opening tag's attributes are read from the
// element's content, text nodes keep their blanks, there is no entity
// decoding, no CDATA and no self-closing tag, and an element may not contain
// an element of its own name.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace brenix {

enum class XmlKind : int { Element = 1, Attribute = 2, Text = 3 };

class XmlNode {
 public:
  XmlNode(XmlKind kind, std::string name, std::string value = {})
      : kind_(kind), name_(std::move(name)), value_(std::move(value)) {}

  XmlKind kind() const { return kind_; }
  // Element name, attribute name, or for a text node the text itself.
  const std::string& name() const { return name_; }
  // Attribute value; empty for other kinds.
  const std::string& value() const { return value_; }

  // First child (resets the walk) and next child; null at the end.
  const XmlNode* firstChild() const;
  const XmlNode* nextChild() const;
  size_t childCount() const { return children_.size(); }
  const XmlNode* child(size_t i) const { return i < children_.size() ? children_[i].get() : nullptr; }

  XmlNode& append(XmlKind kind, std::string name, std::string value = {});

 private:
  XmlKind kind_;
  std::string name_;
  std::string value_;
  std::vector<std::unique_ptr<XmlNode>> children_;
  mutable size_t cursor_ = 0;
};

class XmlDocument {
 public:
  XmlDocument() : root_(XmlKind::Element, "XML:ROOT") {}
  // Parses text already in memory. False when an element is left open or a
  // nested parse fails; the root then holds what was parsed before.
  bool parse(std::span<const uint8_t> text);
  const XmlNode& root() const { return root_; }

 private:
  XmlNode root_;
};

// Nesting deeper than this fails the parse (the input is never trusted).
inline constexpr int kXmlMaxDepth = 64;

}  // namespace brenix
