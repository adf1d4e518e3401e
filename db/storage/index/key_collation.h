// Locale services of the index keys: upper-casing of case-insensitive string
// segments, and the comparison of two keys of one index.
//
// A locale is a Windows-style identifier: language id in the low 16 bits, sort
// id above it (sort id 1 under German is phone-book order). 0 is the engine's
// built-in ordering, under which keys compare as unsigned bytes. Under a
// locale, string segments compare through an ICU collator (non-ignorable
// punctuation, primary strength with the case level on: non-spacing marks are
// ignored, case is not), after converting their CP932 bytes to UTF-16.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "db/storage/index/key_codec.h"

struct UCollator;

namespace kura {

// Upper-case mapping of CP932 strings under one locale (1033 when the table
// has none).
class KeyCaseMapper {
 public:
  explicit KeyCaseMapper(std::uint32_t locale);

  // `text` upper-cased, at most `max_bytes` bytes (a double-byte character
  // that would be cut in half is dropped).
  std::string Upper(std::string_view text, std::size_t max_bytes) const;

 private:
  std::string icu_locale_;
  bool ascii_only_rules_;  // plain ASCII upper-casing is exact for this locale
};

// Collation of CP932 strings for one locale.
class KeyCollator {
 public:
  explicit KeyCollator(std::uint32_t locale);
  ~KeyCollator();
  KeyCollator(const KeyCollator&) = delete;
  KeyCollator& operator=(const KeyCollator&) = delete;

  // -1, 0 or 1.
  int Compare(std::string_view a, std::string_view b) const;

 private:
  UCollator* collator_ = nullptr;
};

// Compares keys of one index (-1, 0, 1), over the first `length` bytes of the
// keys: a search key may be shorter than the full key (a partial key).
class KeyComparator {
 public:
  // Byte comparison, reversed when `descending` (built-in ordering, the
  // "Sys Deleted" keys).
  explicit KeyComparator(bool descending = false);
  // Comparison of `layout` (field by field under a locale).
  explicit KeyComparator(const KeyLayout& layout);

  int Compare(const std::uint8_t* a, const std::uint8_t* b, int length) const;
  // Whether keys compare as bytes (no locale's collation), and in which direction.
  bool ByteOrder() const { return !collator_; }
  bool Descending() const { return descending_; }

 private:
  int CompareFields(const std::uint8_t* a, const std::uint8_t* b, int length) const;

  bool descending_ = false;
  KeyLayout layout_;
  std::shared_ptr<const KeyCollator> collator_;  // null: byte order
};

}  // namespace kura
