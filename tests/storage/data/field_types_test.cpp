#include "db/storage/data/field_types.h"

#include <gtest/gtest.h>

#include "db/storage/coding.h"
#include "db/storage/language_table.h"

namespace kura {
namespace {

std::string RoundTrip(TValueShape shape, std::string_view text) {
  std::string error;
  const auto v = ParseValueText(shape, text, &error);
  if (!v) return "error: " + error;
  std::vector<std::uint8_t> padded(*v);
  padded.resize(static_cast<std::size_t>(StorageSize(shape.type, shape.length)) + 1, 0);
  return FormatValue(shape, padded.data());
}

TEST(FieldTypesTest, DayNumbersStartAtYearOne) {
  EXPECT_EQ(DayNumber(1, 1, 1), 1);
  EXPECT_EQ(DayNumber(1899, 12, 30), 693594);
  EXPECT_EQ(DayNumber(2000, 3, 1) - DayNumber(2000, 2, 28), 2);
  int y, m, d;
  CivilFromDayNumber(DayNumber(2024, 2, 29), &y, &m, &d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 20240229);
}

TEST(FieldTypesTest, TextRoundTripsAndRefusals) {
  const TValueShape date{kFieldDate}, time{kFieldTime}, stamp{kFieldTimestamp};
  EXPECT_EQ(RoundTrip(date, "2024-02-29"), "2024-02-29");
  EXPECT_EQ(RoundTrip(date, "2023-02-29").rfind("error", 0), 0u);
  EXPECT_EQ(RoundTrip(date, "0000-01-01").rfind("error", 0), 0u);
  EXPECT_EQ(RoundTrip(time, "23:59:59.5"), "23:59:59.500");
  EXPECT_EQ(RoundTrip(time, "24:00").rfind("error", 0), 0u);
  EXPECT_EQ(RoundTrip(stamp, "9999-12-31 23:59:59.999"), "9999-12-31T23:59:59.999");
  const TValueShape bcd{kFieldBcd, 0, 0, 2};
  EXPECT_EQ(RoundTrip(bcd, "-0.50"), "-0.5");
  EXPECT_EQ(RoundTrip(bcd, "-0"), "0");                      // no negative zero
  EXPECT_EQ(RoundTrip(bcd, "1.234").rfind("error", 0), 0u);  // more places than the scale
  EXPECT_EQ(RoundTrip(bcd, std::string(31, '9')).rfind("error", 0), 0u);  // 31 + 2 digits
  EXPECT_EQ(RoundTrip(bcd, std::string(30, '9')), std::string(30, '9'));
  EXPECT_EQ(RoundTrip({kFieldSmallInt}, "32768").rfind("error", 0), 0u);
  EXPECT_EQ(RoundTrip({kFieldLargeInt}, "-9223372036854775808"), "-9223372036854775808");
  EXPECT_EQ(RoundTrip({kFieldFloat}, "1e400").rfind("error", 0), 0u);
  EXPECT_EQ(RoundTrip({kFieldFloat}, "nan").rfind("error", 0), 0u);
  EXPECT_EQ(RoundTrip({kFieldBoolean}, "TRUE"), "true");
  EXPECT_EQ(RoundTrip({kFieldBoolean}, "yes").rfind("error", 0), 0u);
  const TValueShape bytes{kFieldBytes, 0, 3};
  EXPECT_EQ(RoundTrip(bytes, "0xA0b1"), "0xa0b100");
  EXPECT_EQ(RoundTrip(bytes, "0xabc").rfind("error", 0), 0u);
  EXPECT_EQ(RoundTrip(bytes, "abcd").rfind("error", 0), 0u);
  EXPECT_TRUE(IsValidValueText(date, "current_date"));
  EXPECT_FALSE(IsValidValueText(time, "CURRENT_DATE"));
  EXPECT_FALSE(ParseValueText({kFieldBlob}, "x", nullptr));
}

TEST(FieldTypesTest, CorruptStoredValuesFormatWithoutFailing) {
  std::uint8_t raw[34];
  std::fill(std::begin(raw), std::end(raw), 0xFF);
  for (std::uint8_t type : {kFieldDate, kFieldTime, kFieldTimestamp, kFieldBcd, kFieldExtended})
    EXPECT_FALSE(FormatValue({type}, raw).empty()) << int{type};
  EXPECT_EQ(FormatValue({kFieldTime}, raw), "?-1");
}

TEST(LanguageTableTest, NinetyNineNamesWithTheirIdentifiers) {
  const auto table = LanguageTable();
  ASSERT_EQ(table.size(), 99u);
  EXPECT_STREQ(table[0].name, "ANSI Standard");
  EXPECT_EQ(table[0].language_id, 0);
  EXPECT_EQ(table[*FindLanguage("english (usa)")].language_id, 0x0409);
  EXPECT_EQ(table[*FindLanguage("Portuguese (Standard)")].language_id, 0x0816);
  EXPECT_EQ(table[*FindLanguage("Portuguese (Brazilian)")].language_id, 0x0416);
  EXPECT_EQ(table[*FindLanguage("Serbian (Cyrillic)")].language_id, 0x0C1A);
  EXPECT_EQ(table[*FindLanguage("Spanish (Modern)")].language_id, 0x0C0A);
  EXPECT_STREQ(table[kFirstGermanRow].name, "German (Standard)");
  EXPECT_STREQ(table[kLastGermanRow].name, "German (Liechtenstein)");
  EXPECT_STREQ(table[98].name, "Vietnamese");
  EXPECT_FALSE(FindLanguage("Japanese"));
  EXPECT_EQ(FindSortOrder(kFirstGermanRow, "german phone book order"), 1);
  EXPECT_FALSE(FindSortOrder(0, "German Phone Book Order"));
}

TEST(LanguageTableTest, InstalledLocalesAndCaseMapping) {
  EXPECT_TRUE(IsLocaleInstalled(0x0409));
  EXPECT_TRUE(IsLocaleInstalled(MakeLocaleId(0x0407, 1)));
  EXPECT_EQ(IcuLocaleName(MakeLocaleId(0x0407, 1)), "de_DE@collation=phonebook");
  EXPECT_FALSE(IsLocaleInstalled(MakeLocaleId(0x0409, 1)));
  EXPECT_FALSE(IsLocaleInstalled(0x7FFF));
  EXPECT_EQ(CaseMapCp932("abc", 0, true), "ABC");
  EXPECT_EQ(CaseMapCp932("\x82\x81", 0, true), "\x82\x60");  // full-width a -> A in CP932
}

}  // namespace
}  // namespace kura
