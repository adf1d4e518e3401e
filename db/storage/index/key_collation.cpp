#include "db/storage/index/key_collation.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "db/common/code_page.h"
#include "db/storage/language_table.h"

namespace kura {

namespace {

constexpr std::uint32_t kEnglishUsa = 1033;

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return (c & 0x80) == 0; });
}

std::u16string ToUtf16(std::string_view s) {
  if (IsAscii(s)) return std::u16string(s.begin(), s.end());
  return Cp932ToUtf16(s);
}

// The bytes of a string segment up to its terminating 0.
std::string_view SegmentText(const std::uint8_t* p, int n) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(p, 0, static_cast<size_t>(n)));
  return {reinterpret_cast<const char*>(p), end ? static_cast<size_t>(end - p) : size_t(n)};
}

int Sign(int v) {
  return (v > 0) - (v < 0);
}

int CompareBytes(const std::uint8_t* a, const std::uint8_t* b, int n) {
  return n <= 0 ? 0 : Sign(std::memcmp(a, b, static_cast<size_t>(n)));
}

}  // namespace

namespace {

// The ICU locale of a Windows locale identifier; "en_US" when there is none.
std::string LocaleOrEnglish(std::uint32_t locale) {
  const std::string name = locale == 0 ? std::string() : IcuLocaleName(locale);
  return name.empty() ? std::string("en_US") : name;
}

}  // namespace

KeyCaseMapper::KeyCaseMapper(std::uint32_t locale)
    : icu_locale_(LocaleOrEnglish(locale == 0 ? kEnglishUsa : locale)) {
  // Turkish, Azeri and Lithuanian map ASCII letters specially.
  const std::string lang = icu_locale_.substr(0, 2);
  ascii_only_rules_ = lang != "tr" && lang != "az" && lang != "lt";
}

std::string KeyCaseMapper::Upper(std::string_view text, std::size_t max_bytes) const {
  std::string out;
  if (ascii_only_rules_ && IsAscii(text)) {
    out.assign(text);
    for (char& c : out) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
  } else {
    const std::u16string wide = Cp932ToUtf16(text);
    std::vector<UChar> upper(wide.size() * 3 + 4);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = u_strToUpper(upper.data(), static_cast<int32_t>(upper.size()),
                                   reinterpret_cast<const UChar*>(wide.data()),
                                   static_cast<int32_t>(wide.size()), icu_locale_.c_str(), &status);
    if (U_FAILURE(status) || n < 0) {
      out.assign(text);
    } else {
      out = Utf16ToCp932(std::u16string_view(reinterpret_cast<const char16_t*>(upper.data()),
                                             static_cast<size_t>(n)));
    }
  }
  if (out.size() > max_bytes) {
    // Cut at a character boundary.
    std::size_t keep = 0;
    while (keep < max_bytes) {
      const std::size_t width = IsCp932LeadByte(static_cast<unsigned char>(out[keep])) ? 2 : 1;
      if (keep + width > max_bytes) break;
      keep += width;
    }
    out.resize(keep);
  }
  // An embedded 0 would end the string early; the mapping never produces one
  // from non-zero input, but keep the segment well formed regardless.
  out.resize(std::strlen(out.c_str()));
  return out;
}

KeyCollator::KeyCollator(std::uint32_t locale) {
  const std::string name = LocaleOrEnglish(locale);
  UErrorCode status = U_ZERO_ERROR;
  collator_ = ucol_open(name.c_str(), &status);
  if (U_FAILURE(status) || collator_ == nullptr) {
    status = U_ZERO_ERROR;
    collator_ = ucol_open("", &status);
  }
  if (collator_ == nullptr) return;
  status = U_ZERO_ERROR;
  ucol_setAttribute(collator_, UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
  ucol_setAttribute(collator_, UCOL_STRENGTH, UCOL_PRIMARY, &status);
  ucol_setAttribute(collator_, UCOL_CASE_LEVEL, UCOL_ON, &status);
}

KeyCollator::~KeyCollator() {
  if (collator_) ucol_close(collator_);
}

int KeyCollator::Compare(std::string_view a, std::string_view b) const {
  if (a == b) return 0;
  if (collator_ == nullptr) return Sign(a.compare(b));
  const std::u16string wa = ToUtf16(a);
  const std::u16string wb = ToUtf16(b);
  const UCollationResult r = ucol_strcoll(
      collator_, reinterpret_cast<const UChar*>(wa.data()), static_cast<int32_t>(wa.size()),
      reinterpret_cast<const UChar*>(wb.data()), static_cast<int32_t>(wb.size()));
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

KeyComparator::KeyComparator(bool descending) : descending_(descending) {}

KeyComparator::KeyComparator(const KeyLayout& layout)
    : descending_(layout.descending), layout_(layout) {
  if (layout.locale != 0) collator_ = std::make_shared<const KeyCollator>(layout.locale);
}

int KeyComparator::Compare(const std::uint8_t* a, const std::uint8_t* b, int length) const {
  if (collator_) return CompareFields(a, b, length);
  const int r = CompareBytes(a, b, length);
  return descending_ ? -r : r;
}

int KeyComparator::CompareFields(const std::uint8_t* a, const std::uint8_t* b, int length) const {
  int at = 0;
  for (const KeyField& f : layout_.fields) {
    if (at >= length) return 0;
    const int size = std::min(f.SegmentSize(), length - at);
    int r = CompareBytes(a + at, b + at, 1);
    if (r == 0 && size > 1) {
      if (f.type == kFieldString) {
        r = collator_->Compare(SegmentText(a + at + 1, size - 1),
                               SegmentText(b + at + 1, size - 1));
      } else {
        r = CompareBytes(a + at + 1, b + at + 1, size - 1);
      }
    }
    if (r != 0) return (layout_.descending || f.descending) ? -r : r;
    at += f.SegmentSize();
  }
  // The identifier suffix of a non-unique key.
  return at < length ? CompareBytes(a + at, b + at, length - at) : 0;
}

}  // namespace kura
