// The system code page, CP932 (Shift-JIS with the Windows extensions). Table
// strings, game-record comments and the bytes of SGF/UGF files are CP932 byte
// strings; they are converted only at the edges (display, tools that print).
// A missing converter (the ICU data lacks windows-31j) raises EDatabaseError.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kura {

// Whether b can begin a double-byte CP932 character (0x81-0x9F, 0xE0-0xFC).
constexpr bool IsCp932LeadByte(unsigned char b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// The longest start of `cp932` of at most `max_bytes` bytes that does not
// end in the first half of a double-byte character (for a text cut to a
// field's width).
std::string_view Cp932Prefix(std::string_view cp932, std::size_t max_bytes);

// CP932 bytes to UTF-8. A byte that cannot be decoded, or a lead byte whose
// second byte does not complete a character, becomes one U+FFFD and decoding
// goes on at the next byte.
std::string Cp932ToUtf8(std::string_view cp932);

// UTF-8 to CP932 bytes. A character CP932 lacks, and a malformed UTF-8
// sequence, becomes "?".
std::string Utf8ToCp932(std::string_view utf8);

// UTF-8 to CP932 bytes, or nothing when the text holds a character CP932
// lacks or a malformed sequence (for input that must be stored exactly).
std::optional<std::string> Utf8ToCp932Exact(std::string_view utf8);

// CP932 bytes to UTF-16 (for collation and case mapping), decoded as Cp932ToUtf8.
std::u16string Cp932ToUtf16(std::string_view cp932);

// UTF-16 to CP932, "?" for what CP932 lacks.
std::string Utf16ToCp932(std::u16string_view utf16);

}  // namespace kura
