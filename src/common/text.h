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
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

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

}  // namespace brenix
