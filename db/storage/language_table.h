// The language table: the 99 names by which a table's locale is chosen, each
// with its 16-bit Windows language identifier (primary language in the low 10
// bits, sub-language above), and the sort orders a language offers. Row 0,
// "ANSI Standard", is identifier 0: the engine's built-in byte ordering.
//
// A table's locale identifier combines both: language id in the low 16 bits,
// sort id above. Locale services (installed test, case mapping) go through
// ICU with the identifier mapped by uloc_getLocaleForLCID.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kura {

struct TLanguageEntry {
  const char* name;
  std::uint16_t language_id;
};

inline constexpr int kLanguageCount = 99;
// Rows 48..52 are the German languages, which also offer the phone book order.
inline constexpr int kFirstGermanRow = 48;
inline constexpr int kLastGermanRow = 52;

std::span<const TLanguageEntry> LanguageTable();
// The row of `name` (compared ignoring case), or nullopt.
std::optional<int> FindLanguage(std::string_view name);
// The sort orders of a row: "Default Order" (sort id 0) for every row, and
// "German Phone Book Order" (sort id 1) for the German rows.
int SortOrderCount(int row);
const char* SortOrderName(int sort_id);
// The sort id of `name` for a row, or nullopt.
std::optional<int> FindSortOrder(int row, std::string_view name);

inline std::uint32_t MakeLocaleId(std::uint16_t language, std::uint16_t sort) {
  return static_cast<std::uint32_t>(language) | (static_cast<std::uint32_t>(sort) << 16);
}

// The ICU locale name of a locale identifier ("" when ICU knows none); sort
// id 1 of a German language adds "@collation=phonebook".
std::string IcuLocaleName(std::uint32_t locale_id);
// Whether ICU has a collator for the locale that is not the root fallback
// (a locale ICU knows whose order is the root order, like English, counts).
bool IsLocaleInstalled(std::uint32_t locale_id);
// Upper- or lower-case mapping of CP932 text under a locale (1033 when 0).
std::string CaseMapCp932(std::string_view text, std::uint32_t locale_id, bool upper);

}  // namespace kura
