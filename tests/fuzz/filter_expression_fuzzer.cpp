// libFuzzer target: filter expressions over arbitrary text. The input is the
// text of a filter; it is parsed, bound and type-checked against two small
// tables (built-in ordering, and the Japanese collation) with fields of the
// main types, NULLs, deleted records and indexes (compound, descending,
// case-insensitive), then evaluated for every record. When it compiles, the
// selection through the indexes must agree with evaluating every record.
// Engine errors are the expected outcome of bad text; a crash, a sanitizer
// report, any other exception or a disagreement is a finding.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "tests/engine/engine_test_support.h"

namespace {

using kura::TExpValue;
using kura::test::Field;
using kura::test::ScratchTable;

enum Col { kI = 1, kS, kF, kD, kW, kB, kL, kU, kM, kT, kN };

std::unique_ptr<ScratchTable> MakeTable(std::uint16_t language) {
  auto t = std::make_unique<ScratchTable>(
      std::vector<kura::TFieldDefinition>{
          Field("I", kura::kFieldInteger), Field("S", kura::kFieldString, 8),
          Field("F", kura::kFieldFloat), Field("D", kura::kFieldDate),
          Field("W", kura::kFieldSmallInt), Field("B", kura::kFieldBoolean),
          Field("L", kura::kFieldLargeInt), Field("U", kura::kFieldString, 8),
          Field("M", kura::kFieldWord), Field("T", kura::kFieldTimestamp),
          Field("N", kura::kFieldBcd)},
      language);
  t->AddIndex("ByI", {kI});
  t->AddIndex("ByS", {kS}, true);
  t->AddIndex("ByU", {kU}, false, true);
  t->AddIndex("ByDI", {kD, kI}, false, false, {false, true});
  t->AddIndex("ByF", {kF});
  t->AddIndex("ByT", {kT});
  const char* texts[] = {"", "a", "AB", "b-c", "z z", "\x82\xa0", "ab'", "Ab"};
  for (int i = 0; i < 24; ++i) {
    auto maybe = [&](TExpValue v) { return i % 7 == 3 ? TExpValue::Null(v.type) : v; };
    t->Insert({maybe(TExpValue::Int(kura::kFieldInteger, i * 37 % 21 - 10)),
               maybe(TExpValue::Str(kura::kFieldString, texts[i % 8])),
               maybe(TExpValue::Float(kura::kFieldFloat, (i % 9 - 4) * 0.75)),
               maybe(TExpValue::Int(kura::kFieldDate, kura::DayNumber(2020, 1 + i % 12, 1 + i))),
               maybe(TExpValue::Int(kura::kFieldSmallInt, i % 5 - 2)),
               maybe(TExpValue::Bool(i % 3 == 0)),
               maybe(TExpValue::Int(kura::kFieldLargeInt, (std::int64_t{1} << 40) * (i % 5 - 2))),
               maybe(TExpValue::Str(kura::kFieldString, texts[(i * 5) % 8])),
               maybe(TExpValue::Int(kura::kFieldWord, i * 1000)),
               maybe(TExpValue::Float(kura::kFieldTimestamp,
                                      (kura::DayNumber(2020, 1, 1) - 1) * 86400000.0 + i * 1000.0)),
               i % 4 == 0 ? TExpValue::Null(kura::kFieldBcd)
                          : TExpValue::Float(kura::kFieldBcd, i * 1.25L)});
  }
  t->Table().DeleteRecord(5);
  t->Table().DeleteRecord(17);
  return t;
}

[[noreturn]] void Finding(const std::string& text, const std::string& what) {
  std::fprintf(stderr, "finding for filter \"%s\": %s\n", text.c_str(), what.c_str());
  std::abort();
}

void Exercise(ScratchTable& t, const std::string& text) {
  const std::string table = t.Table().Data().LocaleLanguage() == 0 ? "plain" : "japanese";
  kura::TTableRecordSource source(t.Table());
  std::unique_ptr<kura::TFilterExpression> filter;
  try {
    filter = t.Filter(text, [&](const std::string& name) { return source.LastAutoInc(name); });
  } catch (const kura::EKuraEngineError&) {
    return;
  }
  kura::TRecordSource& plain = source;
  kura::TRecordsBitmap expected;
  bool evaluated = true;
  for (std::int32_t n = 1; n <= plain.RecordLimit(); ++n) {
    try {
      const std::uint8_t* image = plain.ReadRecord(n);
      if (image && filter->Matches(image)) expected.Set(n);
    } catch (const kura::EKuraEngineError&) {
      evaluated = false;  // an error at run time (e.g. a bad CAST) ends the comparison
    }
  }
  kura::TRecordsBitmap selected;
  kura::SelectLiveRecords(source, selected);
  try {
    filter->Select(source, selected);
  } catch (const kura::EKuraEngineError&) {
    return;
  }
  if (!evaluated) return;
  for (std::int32_t n = 1; n <= plain.RecordLimit(); ++n) {
    if (selected.Test(n) != expected.Test(n))
      Finding(text, "on the " + table + " table the index selection says " +
                        (selected.Test(n) ? "yes" : "no") + " at record " + std::to_string(n) +
                        ", evaluation the opposite");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::unique_ptr<ScratchTable> plain = MakeTable(0);
  static const std::unique_ptr<ScratchTable> japanese = MakeTable(1041);
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    Exercise(*plain, text);
    Exercise(*japanese, text);
  } catch (const std::exception& e) {
    Finding(text, std::string("exception ") + e.what());
  }
  return 0;
}
