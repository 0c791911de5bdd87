#pragma once
// The signature database: one RawFileType per signature set, loaded from
// rp.dat (plain XML, or packed: LZNT1 of the XML text with 1 added to every
// byte). Field limits are enforced by the loader: a set whose text does not
// fit its field is rejected, never written past the field.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "raw/raw_pattern.h"

namespace brenix {

inline constexpr size_t kRawExtensionField = 12;
inline constexpr size_t kRawDescriptionField = 52;
inline constexpr size_t kRawPatternField = 512;
inline constexpr int kRawMaxSignatures = 3;
// Furthest byte (offset + pattern) a signature may look at from a file's start.
inline constexpr int64_t kRawMaxSignatureReach = 1 << 20;
// A packed file expands to at most this many times its size.
inline constexpr size_t kRawUnpackFactor = 16;

struct RawFileType {
  char extension[kRawExtensionField];      // without the dot, NUL-terminated
  int32_t extensionLength;
  char description[kRawDescriptionField];  // NUL-terminated
  int32_t descriptionLength;
  char patterns[kRawMaxSignatures][kRawPatternField];
  int32_t offsets[kRawMaxSignatures];      // byte offset of pattern i from the file's first byte
  int32_t signatureCount;                  // 1..3
  uint8_t selected;                        // 1 = the scan looks for this type

  std::string ext() const;
  std::string desc() const;
  std::string pattern(int i) const;
};

// A zero-filled record.
RawFileType makeRawFileType();

struct RawTypeList {
  std::vector<std::unique_ptr<RawFileType>> types;  // file order
  std::vector<CompiledPattern> compiled;            // kRawMaxSignatures per type, filled by compile()
  std::string sourcePath;                           // where the list was loaded from
  std::vector<std::string> warnings;                // signature sets the loader rejected, and why
  // Carved files are trimmed to their format's own end when it can be found
  // (an upper bound is still the next header or the maximal size). Off gives
  // the plain cut sizes.
  bool trimToFormatEnd = true;

  size_t size() const { return types.size(); }
  bool empty() const { return types.empty(); }
  bool anySelected() const;
  // Recompiles the patterns (after types were added or changed).
  void compile();
  const CompiledPattern& pattern(size_t type, int sig) const { return compiled.at(type * kRawMaxSignatures + sig); }
};

// Reads rp.dat text (XML or packed) into plain XML bytes. In XML form a CR LF
// pair reads as LF and a 0x1A byte ends the data; a packed file is taken
// byte for byte. False with a message when a packed file does not expand.
bool rawDatabaseText(std::span<const uint8_t> fileBytes, std::vector<uint8_t>& xml, std::string* error);

// Parses database XML and appends one RawFileType per signature set.
// False with a message when the XML does not parse or holds no types.
bool parseRawTypes(std::span<const uint8_t> xml, RawTypeList& list, std::string* error);

// Loads a database file (either form). False with a message naming the path.
bool loadRawTypes(const std::filesystem::path& path, RawTypeList& list, std::string* error);

// Packs XML text: 1 added to every byte, then LZNT1. Unpack is the reverse;
// it fails on data that does not expand or whose result is not XML text.
std::vector<uint8_t> packRawDatabase(std::span<const uint8_t> xml);
bool unpackRawDatabase(std::span<const uint8_t> packed, std::vector<uint8_t>& xml, std::string* error);

// Where rp.dat is looked for, in order: the current directory, beside the
// program, the installed data folder.
std::vector<std::filesystem::path> rawDatabaseCandidates();
// Loads the first candidate that exists. The message names every place
// looked at when none does.
bool loadDefaultRawTypes(RawTypeList& list, std::string* error);

}  // namespace brenix
