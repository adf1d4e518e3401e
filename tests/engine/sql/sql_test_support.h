// Helpers of the SQL tests: a session on a scratch database directory,
// statements run there, and results read back as rows of text.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "db/engine/query/query_result.h"
#include "db/engine/session/data_session.h"
#include "db/engine/sql/query_statement.h"
#include "db/storage/engine_error.h"
#include "tests/storage/storage_test_support.h"

namespace kura::test {

// The text of a value as the tests compare it ("NULL" for NULL).
inline std::string ValueString(const TExpValue& v) {
  if (v.null) return "NULL";
  if (IsIntegerType(v.type) || v.type == kFieldBoolean || v.type == kFieldDate ||
      v.type == kFieldTime)
    return std::to_string(v.i);
  if (IsFloatType(v.type) || v.type == kFieldTimestamp) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15Lg", v.f);
    return buf;
  }
  return v.s;
}

class SqlDatabase {
 public:
  SqlDatabase() : session_(TSessionSettings{}), db_(&session_.OpenDirectory("db", dir_.path())) {}

  TDataDirectory& Db() { return *db_; }
  TDataSession& Session() { return session_; }
  const std::string& Path() const { return dir_.path(); }

  // Runs `sql` (a script is allowed); returns the rows of its result
  // (columns joined by "|"), empty for other statements.
  std::vector<std::string> Rows(const std::string& sql, const std::vector<TExpValue>& params = {},
                                bool live = false, std::int32_t* affected = nullptr) {
    TQueryStatement s(*db_);
    s.SetRequestLive(live);
    s.Prepare(sql);
    TQueryResult* r = s.Execute(params);
    if (affected) *affected = s.RowsAffected();
    return r ? Read(*r) : std::vector<std::string>{};
  }
  void Run(const std::string& sql) { Rows(sql); }

  static std::vector<std::string> Read(TQueryResult& r) {
    std::vector<std::string> out;
    TDataCursor& c = r.Cursor();
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
    c.First();
    while (c.Next(rec.data()) == TDataCursor::kOk) {
      std::string line;
      for (int i = 1; i <= r.ColumnCount(); ++i)
        line += (i > 1 ? "|" : "") + ValueString(r.Value(i, rec.data()));
      out.push_back(line);
    }
    return out;
  }

 private:
  TempDir dir_;
  TDataSession session_;
  TDataDirectory* db_;
};

// The detail text of the engine error that f raises ("" when none).
inline std::string SqlDetail(const std::function<void()>& f, std::uint16_t* code = nullptr) {
  try {
    f();
  } catch (const EKuraEngineError& e) {
    if (code) *code = e.Code();
    return e.Context().extra_message;
  }
  if (code) *code = 0;
  return "";
}

}  // namespace kura::test
