#include "db/storage/language_table.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <memory>
#include <utility>
#include <vector>

#include "db/common/code_page.h"
#include "db/storage/file/file_system.h"

namespace kura {
namespace {

constexpr std::uint16_t Lang(int primary, int sub) {
  return static_cast<std::uint16_t>(primary | (sub << 10));
}

constexpr TLanguageEntry kLanguages[kLanguageCount] = {
    {"ANSI Standard", 0},
    {"Afrikaans", Lang(0x36, 1)},
    {"Albanian", Lang(0x1C, 1)},
    {"Arabic (Saudi Arabia)", Lang(0x01, 1)},
    {"Arabic (Iraq)", Lang(0x01, 2)},
    {"Arabic (Egypt)", Lang(0x01, 3)},
    {"Arabic (Libya)", Lang(0x01, 4)},
    {"Arabic (Algeria)", Lang(0x01, 5)},
    {"Arabic (Morocco)", Lang(0x01, 6)},
    {"Arabic (Tunisia)", Lang(0x01, 7)},
    {"Arabic (Oman)", Lang(0x01, 8)},
    {"Arabic (Yemen)", Lang(0x01, 9)},
    {"Arabic (Syria)", Lang(0x01, 10)},
    {"Arabic (Jordan)", Lang(0x01, 11)},
    {"Arabic (Lebanon)", Lang(0x01, 12)},
    {"Arabic (Kuwait)", Lang(0x01, 13)},
    {"Arabic (U.A.E)", Lang(0x01, 14)},
    {"Arabic (Bahrain)", Lang(0x01, 15)},
    {"Arabic (Qatar)", Lang(0x01, 16)},
    {"Basque", Lang(0x2D, 1)},
    {"Belarusian", Lang(0x23, 1)},
    {"Bulgarian", Lang(0x02, 1)},
    {"Catalan", Lang(0x03, 1)},
    {"Croatian", Lang(0x1A, 1)},
    {"Czech", Lang(0x05, 1)},
    {"Danish", Lang(0x06, 1)},
    {"Dutch (Standard)", Lang(0x13, 1)},
    {"Dutch (Belgian)", Lang(0x13, 2)},
    {"English (USA)", Lang(0x09, 1)},
    {"English (UK)", Lang(0x09, 2)},
    {"English (Australian)", Lang(0x09, 3)},
    {"English (Canadian)", Lang(0x09, 4)},
    {"English (New Zealand)", Lang(0x09, 5)},
    {"English (Irish)", Lang(0x09, 6)},
    {"English (South Africa)", Lang(0x09, 7)},
    {"English (Jamaica)", Lang(0x09, 8)},
    {"English (Caribbean)", Lang(0x09, 9)},
    {"English (Belize)", Lang(0x09, 10)},
    {"English (Trinidad)", Lang(0x09, 11)},
    {"Estonian", Lang(0x25, 1)},
    {"Faeroese", Lang(0x38, 1)},
    {"Farsi", Lang(0x29, 1)},
    {"Finnish", Lang(0x0B, 1)},
    {"French (Standard)", Lang(0x0C, 1)},
    {"French (Belgian)", Lang(0x0C, 2)},
    {"French (Canadian)", Lang(0x0C, 3)},
    {"French (Swiss)", Lang(0x0C, 4)},
    {"French (Luxembourg)", Lang(0x0C, 5)},
    {"German (Standard)", Lang(0x07, 1)},
    {"German (Swiss)", Lang(0x07, 2)},
    {"German (Austrian)", Lang(0x07, 3)},
    {"German (Luxembourg)", Lang(0x07, 4)},
    {"German (Liechtenstein)", Lang(0x07, 5)},
    {"Greek", Lang(0x08, 1)},
    {"Hebrew", Lang(0x0D, 1)},
    {"Hungarian", Lang(0x0E, 1)},
    {"Icelandic", Lang(0x0F, 1)},
    {"Indonesian", Lang(0x21, 1)},
    {"Italian (Standard)", Lang(0x10, 1)},
    {"Italian (Swiss)", Lang(0x10, 2)},
    {"Latvian", Lang(0x26, 1)},
    {"Lithuanian", Lang(0x27, 1)},
    {"Norwegian (Bokmal)", Lang(0x14, 1)},
    {"Norwegian (Nynorsk)", Lang(0x14, 2)},
    {"Polish", Lang(0x15, 1)},
    {"Portuguese (Standard)", Lang(0x16, 2)},
    {"Portuguese (Brazilian)", Lang(0x16, 1)},
    {"Romanian", Lang(0x18, 1)},
    {"Russian", Lang(0x19, 1)},
    {"Serbian (Latin)", Lang(0x1A, 2)},
    {"Serbian (Cyrillic)", Lang(0x1A, 3)},
    {"Slovak", Lang(0x1B, 1)},
    {"Slovenian", Lang(0x24, 1)},
    {"Spanish (Castilian)", Lang(0x0A, 1)},
    {"Spanish (Mexican)", Lang(0x0A, 2)},
    {"Spanish (Modern)", Lang(0x0A, 3)},
    {"Spanish (Guatemala)", Lang(0x0A, 4)},
    {"Spanish (Costa Rica)", Lang(0x0A, 5)},
    {"Spanish (Panama)", Lang(0x0A, 6)},
    {"Spanish (Dominican Republic)", Lang(0x0A, 7)},
    {"Spanish (Venezuela)", Lang(0x0A, 8)},
    {"Spanish (Colombia)", Lang(0x0A, 9)},
    {"Spanish (Peru)", Lang(0x0A, 10)},
    {"Spanish (Argentina)", Lang(0x0A, 11)},
    {"Spanish (Ecuador)", Lang(0x0A, 12)},
    {"Spanish (Chile)", Lang(0x0A, 13)},
    {"Spanish (Uruguay)", Lang(0x0A, 14)},
    {"Spanish (Paraguay)", Lang(0x0A, 15)},
    {"Spanish (Bolivia)", Lang(0x0A, 16)},
    {"Spanish (El Salvador)", Lang(0x0A, 17)},
    {"Spanish (Honduras)", Lang(0x0A, 18)},
    {"Spanish (Nicaragua)", Lang(0x0A, 19)},
    {"Spanish (Puerto Rico)", Lang(0x0A, 20)},
    {"Swedish (Standard)", Lang(0x1D, 1)},
    {"Swedish (Finland)", Lang(0x1D, 2)},
    {"Thai", Lang(0x1E, 1)},
    {"Turkish", Lang(0x1F, 1)},
    {"Ukranian", Lang(0x22, 1)},
    {"Vietnamese", Lang(0x2A, 1)},
};

constexpr const char* kSortOrders[] = {"Default Order", "German Phone Book Order"};

}  // namespace

std::span<const TLanguageEntry> LanguageTable() {
  return kLanguages;
}

std::optional<int> FindLanguage(std::string_view name) {
  for (int i = 0; i < kLanguageCount; ++i)
    if (SameTextIgnoringCase(kLanguages[i].name, name)) return i;
  return std::nullopt;
}

int SortOrderCount(int row) {
  return row >= kFirstGermanRow && row <= kLastGermanRow ? 2 : 1;
}

const char* SortOrderName(int sort_id) {
  return sort_id >= 0 && sort_id < 2 ? kSortOrders[sort_id] : "";
}

std::optional<int> FindSortOrder(int row, std::string_view name) {
  for (int i = 0; i < SortOrderCount(row); ++i)
    if (SameTextIgnoringCase(kSortOrders[i], name)) return i;
  return std::nullopt;
}

std::string IcuLocaleName(std::uint32_t locale_id) {
  // ICU's look-up costs more than its callers (an evaluator per statement
  // run, a case mapping per value): each thread keeps the answers it got.
  thread_local std::vector<std::pair<std::uint32_t, std::string>> known;
  for (const auto& [id, known_name] : known)
    if (id == locale_id) return known_name;
  const std::uint16_t language = static_cast<std::uint16_t>(locale_id & 0xFFFF);
  const std::uint16_t sort = static_cast<std::uint16_t>(locale_id >> 16);
  char name[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_getLocaleForLCID(language, name, sizeof name, &status);
  std::string out = U_FAILURE(status) ? std::string() : std::string(name);
  if (!out.empty() && sort == 1 && (language & 0x3FF) == 0x07) out += "@collation=phonebook";
  if (known.size() < 64) known.emplace_back(locale_id, out);
  return out;
}

bool IsLocaleInstalled(std::uint32_t locale_id) {
  const std::uint16_t sort = static_cast<std::uint16_t>(locale_id >> 16);
  const std::uint16_t language = static_cast<std::uint16_t>(locale_id & 0xFFFF);
  if (sort > 1 || (sort == 1 && (language & 0x3FF) != 0x07)) return false;
  const std::string name = IcuLocaleName(locale_id);
  if (name.empty()) return false;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> collator(
      icu::Collator::createInstance(icu::Locale::createFromName(name.c_str()), status));
  if (U_FAILURE(status) || collator == nullptr) return false;
  if (status != U_USING_DEFAULT_WARNING) return true;
  // Languages whose order is the root order (English) also come with this
  // warning; they are installed when ICU still knows the locale itself.
  UErrorCode valid_status = U_ZERO_ERROR;
  const icu::Locale valid = collator->getLocale(ULOC_VALID_LOCALE, valid_status);
  const std::string valid_language = valid.getLanguage();
  return U_SUCCESS(valid_status) && !valid_language.empty() && valid_language != "root";
}

std::string CaseMapCp932(std::string_view text, std::uint32_t locale_id, bool upper) {
  std::string locale = locale_id == 0 ? std::string() : IcuLocaleName(locale_id);
  if (locale.empty()) locale = "en_US";
  const std::u16string in = Cp932ToUtf16(text);
  std::u16string out(in.size() * 3 + 4, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  const auto* src = reinterpret_cast<const UChar*>(in.data());
  auto* dst = reinterpret_cast<UChar*>(out.data());
  const int32_t n = upper ? u_strToUpper(dst, static_cast<int32_t>(out.size()), src,
                                         static_cast<int32_t>(in.size()), locale.c_str(), &status)
                          : u_strToLower(dst, static_cast<int32_t>(out.size()), src,
                                         static_cast<int32_t>(in.size()), locale.c_str(), &status);
  if (U_FAILURE(status)) return std::string(text);
  out.resize(static_cast<std::size_t>(n));
  return Utf16ToCp932(out);
}

}  // namespace kura
