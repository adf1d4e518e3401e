// TQueryStatement: one prepared SQL text on one database.
//
//   TQueryStatement s(directory);
//   s.SetRequestLive(true);          // before Prepare: the live test reads it
//   s.SetRowLimit(-1);
//   s.Prepare("select * from kifudata where NB = ?");
//   TQueryResult* r = s.Execute({TExpValue::Int(kFieldInteger, 5)});
//   // r: null for statements other than SELECT; otherwise the result
//   // cursor with its columns, live (on the base table) or canned.
//   s.RowsAffected(); s.ExecutionTime();
//
// Prepare parses the first statement of the text and runs the checks that
// need no table. Execute binds the parameters, opens the source tables,
// binds and type-checks the expressions, runs the statement and then every
// further statement of a script (text after a ";"), each parsed only after
// the one before it has run. A prepared statement is executed any number of
// times; each run replaces the result of the one before.
//
// Parameters are "?" in WHERE, JOIN ... ON, INSERT VALUES and UPDATE SET, numbered in
// order of appearance over the whole text. They are bound either from typed values or
// from the dataset layer's 768-byte descriptors and its value buffer:
//
//   ParamDescriptor (768 bytes, zero-filled, one per parameter)
//   | offset | width | meaning                                             |
//   |--------|-------|-----------------------------------------------------|
//   | 0      | 2     | parameter number, 1-based                           |
//   | 2      | 31    | name, length-prefixed, at most 30 characters        |
//   | 84     | 1     | field type of the value                             |
//   | 85     | 1     | sub-type (BLOB kinds, money, auto-increment, fixed) |
//   | 88     | 1     | value size in bytes                                 |
//   | 89     | 1     | scale (4 for BCD)                                   |
//   | 90     | 2     | offset of the value's slot in the value buffer      |
//
// A slot is one indicator byte (1 value, 0 NULL) and the value's bytes in the
// field encoding of field_types.h; a BLOB value (type 3) is a 32-bit length and a
// 32-bit address of the bytes. At most 1023 parameters.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/engine/expression/expression.h"
#include "db/engine/sql/data_query.h"

namespace kura {

class TDataDirectory;
class TQueryResult;

namespace param_descriptor {
inline constexpr std::size_t kSize = 768;
inline constexpr std::size_t kNumber = 0;
inline constexpr std::size_t kName = 2;
inline constexpr std::size_t kNameCapacity = 30;
inline constexpr std::size_t kType = 84;
inline constexpr std::size_t kSubtype = 85;
inline constexpr std::size_t kValueSize = 88;
inline constexpr std::size_t kScale = 89;
inline constexpr std::size_t kSlotOffset = 90;
inline constexpr int kMaxParameters = 1023;
}  // namespace param_descriptor

class TQueryStatement {
 public:
  // Called after each statement is parsed: kind, select-all, requested-live
  // and (after execution) result-is-live of the main query.
  using TPreparedCallback =
      std::function<void(std::uint8_t kind, bool select_all, bool request_live, bool live)>;
  using TProgressCallback = std::function<void(TQueryStatement&, int percent)>;

  explicit TQueryStatement(TDataDirectory& database);
  ~TQueryStatement();
  TQueryStatement(const TQueryStatement&) = delete;
  TQueryStatement& operator=(const TQueryStatement&) = delete;

  // Parses the first statement of `text` (11949 with the detail text when it
  // is malformed; the statement is then unprepared).
  void Prepare(std::string_view text);
  bool Prepared() const { return main_ != nullptr; }

  void SetRequestLive(bool live) { request_live_ = live; }
  bool RequestLive() const { return request_live_; }
  // MaxRowCount: -1 none. Copied into the main query when it is a SELECT.
  void SetRowLimit(std::int32_t limit);
  std::int32_t RowLimit() const { return row_limit_; }
  void SetPreparedCallback(TPreparedCallback cb) { prepared_cb_ = std::move(cb); }
  void SetProgressCallback(TProgressCallback cb) { progress_cb_ = std::move(cb); }
  void Progress(int percent) {
    if (progress_cb_) progress_cb_(*this, percent);
  }

  // The "?" parameters of the first statement, in order of appearance.
  const std::vector<TExpToken*>& Parameters() const { return params_; }

  // Runs the statement (and the rest of a script) with parameters from the
  // dataset layer's descriptors and value buffer; returns the result of the
  // last SELECT or null.
  TQueryResult* Execute(int count, const std::uint8_t* values, const std::uint8_t* descriptors);
  // The same with typed values (a NULL value of type 0 binds as NULL).
  TQueryResult* Execute(const std::vector<TExpValue>& params = {});

  // After Execute.
  std::uint8_t Kind() const { return kind_; }
  std::int32_t RowsAffected() const { return rows_affected_; }
  double ExecutionTime() const { return execution_time_; }
  bool ResultLive() const { return result_live_; }
  bool ResultReadOnly() const { return result_read_only_; }
  bool SelectAll() const { return select_all_; }
  // The result of the last statement (null when it was not a SELECT).
  TQueryResult* Result() { return result_.get(); }
  // Closes the result (a generated result table is deleted).
  void CloseResult();
  // The result of the run before, offered to the next canned SELECT of this
  // statement: a generated result table of the same columns is emptied and
  // refilled instead of created again.
  std::unique_ptr<TQueryResult> TakeSpareResult();
  // Closes the source tables that stay open between runs.
  void CloseSources();

  TDataDirectory& Database() { return database_; }
  TDataQuery& MainQuery() { return *main_; }
  const std::vector<std::unique_ptr<TDataQuery>>& Queries() const { return queries_; }
  // The sub-select of an IN (SELECT ...) node.
  TDataQuery* SubSelect(const TExpToken* node) const;

  // Parser interface: a new query object owned by the statement.
  TDataQuery& NewQuery();
  void SetSubSelect(const TExpToken* node, TDataQuery* query) { sub_selects_[node] = query; }

 private:
  void Reset();
  void DropScriptQueries();

  TDataDirectory& database_;
  bool request_live_ = false;
  std::int32_t row_limit_ = -1;
  TPreparedCallback prepared_cb_;
  TProgressCallback progress_cb_;

  std::string text_;
  std::unique_ptr<TExpressionParser> parser_;
  std::size_t rest_ = std::string::npos;  // where the script's next statement begins
  std::vector<TExpToken*> params_;
  TDataQuery* main_ = nullptr;
  std::vector<std::unique_ptr<TDataQuery>> queries_;
  std::size_t first_queries_ = 0;  // query objects of the first statement
  std::map<const TExpToken*, TDataQuery*> sub_selects_;

  std::uint8_t kind_ = 0;
  std::int32_t rows_affected_ = 0;
  double execution_time_ = 0;
  bool result_live_ = false, result_read_only_ = false, select_all_ = false;
  std::unique_ptr<TQueryResult> result_;
  std::unique_ptr<TQueryResult> spare_;
};

// Parses one statement from the parser's current token into `statement`'s
// query objects and returns its main query; a trailing ";" is consumed.
TDataQuery& ParseStatement(TQueryStatement& statement, TExpressionParser& parser);

}  // namespace kura
