// libFuzzer target: arbitrary text prepared and executed as SQL against a
// small in-memory database of two tables (rebuilt before every run, so each
// input starts from the same state). The first byte chooses RequestLive and
// the row limit; the rest is the statement text, run with three parameters.
// Every failure must be an engine error; a crash, a hang, a sanitizer
// report or any other exception is a bug.
#include <cstddef>
#include <cstdint>
#include <string>

#include "db/engine/query/query_result.h"
#include "db/engine/session/data_session.h"
#include "db/engine/sql/query_statement.h"
#include "db/storage/engine_error.h"

namespace {

using namespace kura;

constexpr std::size_t kMaxText = 4096;
constexpr int kMaxRowsRead = 2000;

void Run(TDataDirectory& db, const std::string& sql, bool live, std::int32_t limit) {
  TQueryStatement s(db);
  s.SetRequestLive(live);
  s.SetRowLimit(limit);
  s.Prepare(sql);
  TQueryResult* r = s.Execute({TExpValue::Int(kFieldInteger, 3),
                               TExpValue::Str(kFieldString, "ab"), TExpValue::Null()});
  if (!r) return;
  TDataCursor& c = r->Cursor();
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
  c.First();
  for (int n = 0; n < kMaxRowsRead && c.Next(rec.data()) == TDataCursor::kOk; ++n)
    for (int i = 1; i <= r->ColumnCount(); ++i)
      r->Value(i, rec.data());
}

void Setup(TDataDirectory& db) {
  for (const char* sql :
       {"drop table if exists t", "drop table if exists u",
        "create table t (A integer, B varchar(10), C float, D date, primary key (A))",
        "create table u (K integer, V memo)", "create index ByB on t (B)",
        "insert into t values (1, 'ab', 1.5, NULL)", "insert into t values (2, 'b', NULL, NULL)",
        "insert into t values (3, NULL, -2, NULL)", "insert into u values (1, 'x')",
        "insert into u values (3, NULL)"})
    Run(db, sql, false, -1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > kMaxText) return 0;
  static TDataSession session;
  static TDataDirectory& db = session.OpenDirectory("Memory", "");
  try {
    Setup(db);
  } catch (const EKuraEngineError&) {
    __builtin_trap();  // the fixed setup must always work
  }
  const bool live = data[0] & 1;
  const std::int32_t limit = (data[0] >> 1) % 8 == 7 ? -1 : (data[0] >> 1) % 8;
  try {
    Run(db, std::string(reinterpret_cast<const char*>(data + 1), size - 1), live, limit);
  } catch (const EKuraEngineError&) {
  }
  // A transaction the input left open ends here.
  if (db.InTransaction()) db.Rollback();
  return 0;
}
