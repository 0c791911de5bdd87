#pragma once
// Small text helpers shared by the core: printf-style formatting into
// std::string and fixed-field copies for the byte-exact records.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brenix {

// printf into a std::string (the system's display formats are printf formats).
#ifdef _WIN32
// The C99 printf of MinGW (__USE_MINGW_ANSI_STDIO), not the Microsoft one: %zu, %lld work.
std::string format(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif

// Copies text into a fixed NUL-terminated field of `size` bytes, truncating so
// the terminator always fits; the rest of the field is zeroed.
void copyToField(char* field, size_t size, std::string_view text);

// Text of a NUL-terminated fixed field (stops at the first NUL or the field end).
std::string fieldText(const char* field, size_t size);

// UTF-16LE code units to UTF-8; an unpaired surrogate becomes `replacement`.
std::string utf16leToUtf8(const uint8_t* data, size_t units, std::string_view replacement = "_");
std::string utf16ToUtf8(const std::u16string& s, std::string_view replacement = "_");

std::string toLower(std::string_view s);
std::string toUpper(std::string_view s);

// The first occurrence of needle in haystack, nullptr when there is none (memmem).
const void* findBytes(const void* haystack, size_t haystackSize, const void* needle, size_t needleSize);

// Shell-style wildcard match of a whole name: *, ?, [abc], [a-z], [!x], and
// \ quoting the next character; ASCII letters compare without case (as
// fnmatch with FNM_CASEFOLD; '/' is not special).
bool globMatchCaseFold(std::string_view pattern, std::string_view name);

// Length of the valid UTF-8 sequence at s[i] (no overlong form, surrogate or
// code point above U+10FFFF), 0 when it is not one.
size_t utf8SequenceLength(std::string_view s, size_t i);

// The longest prefix of `s` of at most `max` bytes that ends at a character
// boundary: s.size() when the text fits, otherwise `max` stepped back over
// UTF-8 continuation bytes.
size_t utf8CutLength(std::string_view s, size_t max);
// `s` cut to utf8CutLength(s, max) bytes.
std::string cutUtf8(std::string_view s, size_t max);

// How sanitizeFileName makes a name safe to create as one path component.
struct FileNameRules {
  // Also replace * ? " < > | and a trailing blank or dot, which Windows refuses.
  bool portable = false;
  // The name an empty input becomes.
  std::string_view emptyName = "_";
  // At most this many bytes, cut at a whole character and keeping an extension
  // of up to 16 bytes; 0 for no limit.
  size_t maxBytes = 255;
};

// `name` as one path component: '/', '\\', ':', NUL and other control
// characters become '_' (and more under `portable`); "." and ".." become
// underscores; an empty name becomes rules.emptyName.
std::string sanitizeFileName(std::string_view name, const FileNameRules& rules = {});

}  // namespace brenix
