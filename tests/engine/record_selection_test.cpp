// Selection through indexes held against per-record evaluation on the same
// random tables: several key types, descending (whole and per field),
// case-insensitive and compound indexes, under the built-in ordering and a
// language collation, with NULLs and deleted records.
#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "db/engine/expression/compiled_filter.h"
#include "db/engine/expression/records_bitmap_pool.h"
#include "tests/engine/engine_test_support.h"

namespace kura::test {
namespace {

enum Col { kI = 1, kS, kF, kD, kW, kB, kL, kU, kM, kT };

std::vector<TFieldDefinition> Fields() {
  return {Field("I", kFieldInteger),  Field("S", kFieldString, 6), Field("F", kFieldFloat),
          Field("D", kFieldDate),     Field("W", kFieldSmallInt),  Field("B", kFieldBoolean),
          Field("L", kFieldLargeInt), Field("U", kFieldString, 6), Field("M", kFieldWord),
          Field("T", kFieldTimestamp)};
}

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int percent) { return Int(1, 100) <= percent; }
  std::string Text(bool upper_only = false) {
    static const char kLower[] = "aAbB-z ";
    static const char kUpper[] = "AB-Z";
    std::string s;
    for (int n = Int(0, 3); n > 0; --n)
      s += upper_only ? kUpper[Int(0, 3)] : kLower[Int(0, 6)];
    return s;
  }
  std::string Quote(const std::string& s) { return "'" + s + "'"; }
  std::string Op() {
    static const char* kOps[] = {"=", "<>", "<", "<=", ">", ">=", "< >", "> ="};
    return kOps[Int(0, 7)];
  }

  std::vector<TExpValue> Row() {
    auto maybe = [&](TExpValue v) { return Chance(12) ? TExpValue::Null(v.type) : v; };
    return {maybe(TExpValue::Int(kFieldInteger, Int(-20, 20))),
            maybe(TExpValue::Str(kFieldString, Text())),
            maybe(TExpValue::Float(kFieldFloat, Int(-5, 5) * 0.5)),
            maybe(TExpValue::Int(kFieldDate, DayNumber(2020, 1, Int(1, 9)))),
            maybe(TExpValue::Int(kFieldSmallInt, Int(-5, 5))),
            maybe(TExpValue::Bool(Chance(50))),
            maybe(TExpValue::Int(kFieldLargeInt, (std::int64_t{1} << 40) * Int(-2, 2) + Int(0, 3))),
            maybe(TExpValue::Str(kFieldString, Text())),
            maybe(TExpValue::Int(kFieldWord, Int(0, 10))),
            maybe(TExpValue::Float(kFieldTimestamp,
                                   (DayNumber(2020, 1, 1) - 1) * 86400000.0 + Int(0, 5) * 1000.0))};
  }

  std::string Atom() {
    switch (Int(0, 15)) {
      case 0:
        return "I " + Op() + " " + std::to_string(Int(-22, 22));
      case 1:
        return std::to_string(Int(-22, 22)) + " " + Op() + " I";
      case 2:
        return "I " + Op() + (Chance(50) ? " 3.5" : " 2147483648");
      case 3:
        return "S " + Op() + " " + Quote(Text());
      case 4:
        return (Chance(50) ? "UPPER(U) " : "U ") + Op() + " " + Quote(Text(Chance(70)));
      case 5:
        return "F " + Op() + " " + (Chance(50) ? "1.5" : std::to_string(Int(-3, 3)));
      case 6:
        return "D " + Op() + " CAST('2020-01-0" + std::to_string(Int(1, 9)) + "' AS DATE)";
      case 7:
        return "W " + Op() + " " + (Chance(80) ? std::to_string(Int(-6, 6)) : "40000");
      case 8:
        return std::string("B ") + (Chance(50) ? "= TRUE" : "<> FALSE");
      case 9:
        return "L " + Op() + " " + std::to_string((std::int64_t{1} << 40) * Int(-2, 2) + Int(0, 3));
      case 10:
        return "M " + Op() + " " + std::to_string(Int(-1, 11));
      case 11:
        return "T " + Op() + " CAST('2020-01-01 00:00:0" + std::to_string(Int(0, 6)) +
               "' AS TIMESTAMP)";
      case 12: {
        std::string list;
        for (int n = Int(1, 3); n > 0; --n)
          list += (list.empty() ? "" : ", ") + (Chance(50) ? std::to_string(Int(-5, 5)) : "7");
        return std::string(Chance(50) ? "I" : "W") + (Chance(30) ? " NOT IN (" : " IN (") + list +
               ")";
      }
      case 13:
        return std::string(Chance(50) ? "S" : "I") + (Chance(50) ? " IS NULL" : " IS NOT NULL");
      case 14:
        return Chance(50) ? "S = ''" : "S " + Op() + " ''";
      default:
        return Chance(50) ? "I + 0 = " + std::to_string(Int(-5, 5)) : "S LIKE 'a%'";
    }
  }
  std::string Expression(int depth) { return Tree(depth, 35, [this] { return Atom(); }); }
  // AND, OR and NOT over `atom()`s, at most `depth` deep; a branch ends in an
  // atom at `stop` percent.
  template <typename Atom>
  std::string Tree(int depth, int stop, const Atom& atom) {
    if (depth == 0 || Chance(stop)) return atom();
    switch (Int(0, 2)) {
      case 0:
        return "(" + Tree(depth - 1, stop, atom) + ") AND (" + Tree(depth - 1, stop, atom) + ")";
      case 1:
        return "(" + Tree(depth - 1, stop, atom) + ") OR (" + Tree(depth - 1, stop, atom) + ")";
      default:
        return "NOT (" + Tree(depth - 1, stop, atom) + ")";
    }
  }

 private:
  std::mt19937 rng_;
};

void RunRandomTables(std::uint16_t language, unsigned seed) {
  Generator g(seed);
  ScratchTable t(Fields(), language);
  t.AddIndex("ByI", {kI});
  t.AddIndex("ByS", {kS});
  t.AddIndex("BySDesc", {kS}, true);
  t.AddIndex("BySFieldDesc", {kS}, false, false, {true});
  t.AddIndex("ByU", {kU}, false, true);
  t.AddIndex("ByUDesc", {kU}, true, true);
  t.AddIndex("ByFFieldDesc", {kF}, false, false, {true});
  t.AddIndex("ByDI", {kD, kI});
  t.AddIndex("ByWDesc", {kW}, true);
  t.AddIndex("ByB", {kB});
  t.AddIndex("ByL", {kL});
  t.AddIndex("ByM", {kM});
  t.AddIndex("ByT", {kT}, false, false, {true});
  std::vector<std::int32_t> records;
  for (int i = 0; i < 400; ++i)
    records.push_back(t.Insert(g.Row()));
  for (std::int32_t n : records)
    if (g.Chance(10)) t.Table().DeleteRecord(n);

  TTableRecordSource source(t.Table());
  TRecordsBitmap all;
  SelectLiveRecords(source, all);
  // Every key type, direction and case variant is served by its index alone.
  for (const char* text :
       {"I = 3", "S < 'b'", "S >= 'a'", "UPPER(U) = 'AB'", "F > 1.5", "F <= -1",
        "D = CAST('2020-01-03' AS DATE)", "W < 2", "B = TRUE", "L > 0", "M >= 4",
        "T < CAST('2020-01-01 00:00:03' AS TIMESTAMP)", "I IN (1, 2)", "NOT (S = 'a')"}) {
    const auto filter = t.Filter(text);
    TRecordSelector selector(source, filter->Evaluator());
    TRecordsBitmap selected;
    selected.CopyFrom(all);
    selector.Select(filter->Tree(), selected);
    EXPECT_GT(selector.IndexWalks(), 0) << text;
    EXPECT_EQ(selector.RecordsRead(), 0) << text;
  }
  std::int64_t walks = 0, served_without_reading = 0;
  for (int round = 0; round < 250; ++round) {
    const std::string text = g.Expression(3);
    SCOPED_TRACE(text);
    const auto filter = t.Filter(text);
    TRecordSelector selector(source, filter->Evaluator());
    TRecordsBitmap selected;
    selected.CopyFrom(all);
    selector.Select(filter->Tree(), selected);
    walks += selector.IndexWalks();
    if (selector.IndexWalks() > 0 && selector.RecordsRead() == 0) ++served_without_reading;
    TRecordSource& plain = source;
    for (std::int32_t n = 1; n <= plain.RecordLimit(); ++n) {
      const std::uint8_t* image = plain.ReadRecord(n);
      // The evaluator itself is the model: Matches runs the compiled form.
      const bool expected =
          image && filter->Evaluator().Evaluate(filter->Tree(), image).IsTrue();
      ASSERT_EQ(selected.Test(n), expected) << "record " << n;
    }
  }
  // The indexes really were used, many conditions entirely through them.
  EXPECT_GT(walks, 200);
  EXPECT_GT(served_without_reading, 40);
}

// Expressions over the integer-valued columns (and some that only the
// evaluator takes), for the compiled filter: arithmetic that overflows,
// NULLs on every side, signs, IN and BETWEEN, dates against integers.
class IntegerExpressions {
 public:
  explicit IntegerExpressions(Generator& g) : g_(g) {}

  std::string Value(int depth) {
    if (depth == 0 || g_.Chance(40)) {
      switch (g_.Int(0, 9)) {
        case 0:
          return "I";
        case 1:
          return "W";
        case 2:
          return "L";
        case 3:
          return "M";
        case 4:
          return std::to_string((std::int64_t{1} << 40) * g_.Int(-2, 2) + g_.Int(0, 3));
        case 5:
          return g_.Chance(50) ? "9223372036854775807" : "4611686018427387904";
        case 6:
          return "D";
        default:
          return std::to_string(g_.Int(-22, 22));
      }
    }
    static const char* kOps[] = {" + ", " - ", " * "};
    switch (g_.Int(0, 3)) {
      case 0:
        return "-(" + Value(depth - 1) + ")";
      default:
        return "(" + Value(depth - 1) + kOps[g_.Int(0, 2)] + Value(depth - 1) + ")";
    }
  }
  std::string Atom() {
    switch (g_.Int(0, 11)) {
      case 0:
      case 1:
      case 2:
        return Value(2) + " " + g_.Op() + " " + Value(2);
      case 3:
        return Value(1) + (g_.Chance(30) ? " NOT" : "") + " BETWEEN " + Value(1) + " AND " +
               Value(1);
      case 4:
        return Value(1) + (g_.Chance(30) ? " NOT IN (" : " IN (") + Value(1) + ", " + Value(0) +
               (g_.Chance(50) ? ", " + Value(0) : "") + ")";
      case 5:
        return std::string(g_.Chance(50) ? "L" : "W") + (g_.Chance(50) ? " IS NULL" : " IS NOT NULL");
      case 6:
        return g_.Chance(50) ? "B" : "B = FALSE";
      case 7:
        return "D " + g_.Op() + " CAST('2020-01-0" + std::to_string(g_.Int(1, 9)) + "' AS DATE)";
      case 8:
        return g_.Chance(50) ? "S LIKE 'a%'" : "F " + g_.Op() + " " + Value(1);
      default:
        return Value(1) + " " + g_.Op() + " " + Value(0);
    }
  }
  std::string Expression(int depth) { return g_.Tree(depth, 30, [this] { return Atom(); }); }

 private:
  Generator& g_;
};

// The compiled filter against the evaluator on every record: the same
// answer, or the same error.
TEST(RecordSelection, CompiledFilterAgreesWithTheEvaluator) {
  Generator g(23);
  ScratchTable t(Fields(), 0);
  for (int i = 0; i < 150; ++i)
    t.Insert(g.Row());
  TTableRecordSource source(t.Table());
  IntegerExpressions x(g);
  int compiled = 0, native = 0, records_failing = 0;
  for (int round = 0; round < 600; ++round) {
    const std::string text = x.Expression(3);
    SCOPED_TRACE(text);
    std::unique_ptr<TFilterExpression> filter;
    try {
      filter = t.Filter(text);
    } catch (const EKuraEngineError&) {
      continue;  // a type mismatch the binder refuses
    }
    ++compiled;
    const TCompiledFilter program(filter->Tree(), filter->Evaluator());
    native += program.Native();
    for (std::int32_t n = 1; n <= source.RecordLimit(); ++n) {
      const std::uint8_t* image = source.ReadRecord(n);
      ASSERT_NE(image, nullptr);
      std::optional<bool> expected, got;
      std::uint16_t expected_error = 0, got_error = 0;
      try {
        expected = filter->Evaluator().Evaluate(filter->Tree(), image).IsTrue();
      } catch (const EKuraEngineError& e) {
        expected_error = e.Code();
      }
      try {
        got = program.Matches(image);
      } catch (const EKuraEngineError& e) {
        got_error = e.Code();
      }
      ASSERT_EQ(got, expected) << "record " << n;
      ASSERT_EQ(got_error, expected_error) << "record " << n;
      records_failing += expected_error != 0;
    }
  }
  // Most expressions bind, most of those compile, and overflows happen.
  EXPECT_GT(compiled, 300);
  EXPECT_GT(native, compiled * 3 / 4);
  EXPECT_GT(records_failing, 0);
}

TEST(RecordSelection, IndexesAgreeWithPerRecordEvaluation) {
  RunRandomTables(0, 11);
}

TEST(RecordSelection, IndexesAgreeUnderLanguageCollation) {
  RunRandomTables(1033, 12);
}

TEST(RecordSelection, ConstantsEqualToEmptyUnderCollationAgreeWithEvaluation) {
  // Control characters are ignored by a language collation, so '\x13' equals
  // the empty string there, while empty and NULL strings sit in the index as
  // the NULL key below every other key.
  for (std::uint16_t language : {std::uint16_t{0}, std::uint16_t{1033}, std::uint16_t{1041}}) {
    ScratchTable t({Field("S", kFieldString, 6)}, language);
    t.AddIndex("ByS", {1});
    t.AddIndex("BySDesc", {1}, true);
    for (const char* s : {"", "a", "\x13", "\x13" "b"})
      t.Insert({TExpValue::Str(kFieldString, s)});
    t.Insert({TExpValue::Null(kFieldString)});
    TTableRecordSource source(t.Table());
    TRecordsBitmap all;
    SelectLiveRecords(source, all);
    for (const char* op : {"=", "<>", "<", "<=", ">", ">="}) {
      for (const char* constant : {"'\x13'", "'\x13\x13'", "'\x01'"}) {
        const std::string text = std::string("S ") + op + " " + constant;
        SCOPED_TRACE(text + " under language " + std::to_string(language));
        const auto filter = t.Filter(text);
        TRecordsBitmap selected;
        selected.CopyFrom(all);
        filter->Select(source, selected);
        TRecordSource& plain = source;
        for (std::int32_t n = 1; n <= plain.RecordLimit(); ++n)
          EXPECT_EQ(selected.Test(n), filter->Matches(plain.ReadRecord(n))) << "record " << n;
      }
    }
  }
}

TEST(RecordSelection, KeyLookupReadsNoRecordsAndEmptyTableSelectsNothing) {
  ScratchTable t({Field("NB", kFieldInteger), Field("PNT", kFieldInteger)});
  TTableRecordSource source(t.Table());
  TRecordsBitmap empty;
  SelectLiveRecords(source, empty);
  t.Filter("NB > 0")->Select(source, empty);
  EXPECT_EQ(empty.Count(), 0);

  t.AddIndex("ByNB", {1});
  for (int i = 0; i < 200; ++i)
    t.Insert({TExpValue::Int(kFieldInteger, i % 10), TExpValue::Int(kFieldInteger, i)});
  TRecordsBitmap by_key, by_reading;
  SelectLiveRecords(source, by_key);
  by_reading.CopyFrom(by_key);
  const auto key_filter = t.Filter("NB = 5"), read_filter = t.Filter("NB + 0 = 5");
  TRecordSelector keyed(source, key_filter->Evaluator()), read(source, read_filter->Evaluator());
  keyed.Select(key_filter->Tree(), by_key);
  read.Select(read_filter->Tree(), by_reading);
  EXPECT_EQ(keyed.RecordsRead(), 0);
  EXPECT_EQ(read.RecordsRead(), 200);
  EXPECT_EQ(by_key.Count(), 20);
  EXPECT_TRUE(by_key == by_reading);
}

}  // namespace
}  // namespace kura::test
