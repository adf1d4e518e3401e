#include "db/common/code_page.h"

#include <unicode/ucnv.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <memory>
#include <optional>

#include "db/common/database_error.h"

namespace kura {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

// A converter that stops at the first unmappable or illegal sequence, so the
// caller decides what stands in for it.
Converter OpenStrictCp932() {
  UErrorCode status = U_ZERO_ERROR;
  Converter c(ucnv_open("windows-31j", &status));
  if (U_FAILURE(status)) throw EDatabaseError("the CP932 converter is not available");
  ucnv_setToUCallBack(c.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  ucnv_setFromUCallBack(c.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  return c;
}

// The thread's strict converter, opened at its first use: opening one costs
// more than converting a short text, and every conversion resets it first.
UConverter* StrictCp932() {
  thread_local Converter c;
  if (!c) c = OpenStrictCp932();
  return c.get();
}

// Decodes the one- or two-byte character at bytes [0, n) to UTF-16; false when
// the bytes are not exactly one CP932 character.
bool DecodeOne(UConverter* c, const char* bytes, int n, std::u16string& out) {
  UChar buffer[4];
  UErrorCode status = U_ZERO_ERROR;
  ucnv_resetToUnicode(c);
  const int32_t length = ucnv_toUChars(c, buffer, 4, bytes, n, &status);
  if (U_FAILURE(status) || length <= 0) return false;
  out.append(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(length));
  return true;
}

// UTF-8 to UTF-16, "?" for a malformed sequence (counted when asked).
std::u16string Utf8ToUtf16Counting(std::string_view utf8, std::size_t* malformed) {
  std::u16string utf16;
  utf16.reserve(utf8.size());
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  const auto length = static_cast<int32_t>(utf8.size());
  for (int32_t i = 0; i < length;) {
    UChar32 cp;
    U8_NEXT(s, i, length, cp);
    if (cp < 0) {
      utf16.push_back(u'?');
      if (malformed != nullptr) ++*malformed;
    } else if (U_IS_BMP(cp)) {
      utf16.push_back(static_cast<char16_t>(cp));
    } else {
      utf16.push_back(U16_LEAD(cp));
      utf16.push_back(U16_TRAIL(cp));
    }
  }
  return utf16;
}

// UTF-16 to CP932, "?" for what CP932 lacks (counted when asked).
std::string Utf16ToCp932Counting(std::u16string_view utf16, std::size_t* missing) {
  std::string out;
  out.reserve(utf16.size() * 2);
  UConverter* c = nullptr;
  for (size_t i = 0; i < utf16.size();) {
    UChar32 cp;
    const size_t start = i;
    U16_NEXT(utf16.data(), i, utf16.size(), cp);
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    if (!c) c = StrictCp932();
    char buffer[8];
    UErrorCode status = U_ZERO_ERROR;
    ucnv_resetFromUnicode(c);
    const int32_t length =
        U_IS_SURROGATE(cp) ? 0
                           : ucnv_fromUChars(c, buffer, sizeof buffer,
                                             reinterpret_cast<const UChar*>(utf16.data() + start),
                                             static_cast<int32_t>(i - start), &status);
    if (U_FAILURE(status) || length <= 0) {
      out.push_back('?');
      if (missing != nullptr) ++*missing;
    } else {
      out.append(buffer, static_cast<size_t>(length));
    }
  }
  return out;
}

}  // namespace

std::u16string Cp932ToUtf16(std::string_view cp932) {
  std::u16string out;
  out.reserve(cp932.size());
  UConverter* c = nullptr;
  for (size_t i = 0; i < cp932.size();) {
    const auto b = static_cast<unsigned char>(cp932[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char16_t>(b));
      ++i;
      continue;
    }
    if (!c) c = StrictCp932();
    if (IsCp932LeadByte(b) && i + 1 < cp932.size() &&
        DecodeOne(c, cp932.data() + i, 2, out)) {
      i += 2;
    } else if (!IsCp932LeadByte(b) && DecodeOne(c, cp932.data() + i, 1, out)) {
      i += 1;
    } else {
      out.push_back(kReplacement);
      i += 1;
    }
  }
  return out;
}

std::string Utf16ToCp932(std::u16string_view utf16) {
  return Utf16ToCp932Counting(utf16, nullptr);
}

std::optional<std::string> Utf8ToCp932Exact(std::string_view utf8) {
  std::size_t missing = 0;
  std::string out = Utf16ToCp932Counting(Utf8ToUtf16Counting(utf8, &missing), &missing);
  if (missing > 0) return std::nullopt;
  return out;
}

std::string Cp932ToUtf8(std::string_view cp932) {
  const std::u16string utf16 = Cp932ToUtf16(cp932);
  std::string out;
  out.reserve(utf16.size() * 3);
  for (size_t i = 0; i < utf16.size();) {
    UChar32 cp;
    U16_NEXT(utf16.data(), i, utf16.size(), cp);
    char buffer[4];
    int32_t n = 0;
    UBool error = false;
    U8_APPEND(reinterpret_cast<uint8_t*>(buffer), n, 4, cp, error);
    if (error) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(buffer, static_cast<size_t>(n));
    }
  }
  return out;
}

std::string Utf8ToCp932(std::string_view utf8) {
  return Utf16ToCp932(Utf8ToUtf16Counting(utf8, nullptr));
}

std::string_view Cp932Prefix(std::string_view cp932, std::size_t max_bytes) {
  if (cp932.size() <= max_bytes) return cp932;
  std::size_t end = 0;
  for (std::size_t i = 0; i < cp932.size();) {
    const bool lead = IsCp932LeadByte(static_cast<unsigned char>(cp932[i]));
    const std::size_t next = i + (lead && i + 1 < cp932.size() ? 2 : 1);
    if (next > max_bytes) break;
    end = i = next;
  }
  return cp932.substr(0, end);
}

}  // namespace kura
