#include "db/storage/engine_error.h"

#include <gtest/gtest.h>

namespace kura {
namespace {

TEST(EngineErrorTest, MessageCarriesCodeAndTableName) {
  try {
    RaiseTableError(kErrTableMissing, "kifulist");
    FAIL() << "no exception";
  } catch (const EKuraEngineError& e) {
    EXPECT_EQ(e.Code(), 11010);
    EXPECT_STREQ(e.what(), "Kura Engine Error # 11010 Table 'kifulist' does not exist");
    EXPECT_EQ(EngineCodeOf(e), 11010);
  }
}

TEST(EngineErrorTest, ContextFillsPlacesInTheCodesOrder) {
  TErrorContext c;
  c.table_name = "T";
  c.field_name = "F";
  c.index_name = "I";
  c.extra_message = "bad";
  c.os_code = 5;
  EXPECT_EQ(FormatEngineMessage(9729, c),
            "Kura Engine Error # 9729 Duplicate key found in the index 'I' of the table 'T'");
  EXPECT_EQ(FormatEngineMessage(10023, c),
            "Kura Engine Error # 10023 Invalid field number 'F' specified in the index 'I' for "
            "the table 'T'");
  EXPECT_EQ(FormatEngineMessage(11047, c),
            "Kura Engine Error # 11047 An unknown operating system error 5 occurred with the "
            "table 'T'");
  EXPECT_EQ(FormatEngineMessage(10051, c),
            "Kura Engine Error # 10051 Filter error for the table 'T' - bad");
  EXPECT_EQ(FormatEngineMessage(11949, c), "Kura Engine Error # 11949 SQL error - bad");
  EXPECT_EQ(FormatEngineMessage(15001, c), "Kura Engine Error # 15001 Error compressing data");
}

TEST(EngineErrorTest, EveryTableCodeHasAMessageAndOtherExceptionsAreUnknownOs) {
  for (int code :
       {8705,  8706,  8708,  8709,  8710,  8711,  8961,  8962,  8963,  8965,  9217,  9218,
        9220,  9221,  9477,  9479,  9482,  9487,  9492,  9494,  9498,  9729,  9730,  9731,
        9732,  9985,  9993,  9998,  10000, 10006, 10010, 10015, 10022, 10023, 10026, 10027,
        10029, 10030, 10031, 10038, 10050, 10051, 10055, 10241, 10242, 10249, 10253, 10258,
        10498, 10753, 10758, 11010, 11012, 11013, 11014, 11016, 11017, 11023, 11025, 11047,
        11276, 11279, 11280, 11300, 11301, 11949, 12035, 12292, 13060, 15001, 15002, 15878})
    EXPECT_FALSE(EngineMessageTemplate(static_cast<std::uint16_t>(code)).empty()) << code;
  EXPECT_EQ(EngineCodeOf(std::runtime_error("x")), 11047);
}

}  // namespace
}  // namespace kura
