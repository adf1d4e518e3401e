// TKuraQuery: a dataset over the result of one SQL statement of a database.
//
// SQL is a list of lines joined with line breaks. When the text changes the
// query closes, its prepared statement goes, and (with ParamCheck) Params is
// rebuilt from the text: every ":name" outside quotes becomes "?" and a
// parameter, in order of appearance; parameters whose names existed before
// keep their values. Open prepares the engine text once (RequestLive and
// MaxRowCount go to the statement), gives unbound parameters the values of
// the master DataSource's fields of the same names, binds every parameter
// through its 768-byte descriptor and value slot, and executes; the result
// cursor (live on the base table, or canned) becomes the dataset's cursor.
// ReadOnly turns true after an open whose result cannot be changed.
//
// Parameter descriptors (host type -> engine type, size; see query_statement.h
// for the descriptor layout):
//   ftString                 1 string (3 BLOB, size 8, past 250 characters)
//   ftFixedChar, ftWideString 1 string            ftSmallint 5 (2)
//   ftInteger, ftAutoInc     6 (4)                ftWord 12 (2)
//   ftBoolean                4 (2)                ftFloat, ftCurrency 7 (8)
//   ftBCD                    8 (34, scale 4)      ftDate 2 (4)   ftTime 10 (4)
//   ftDateTime               11 (8)               ftBytes 9, ftVarBytes 15
//   ftBlob..ftTypedBinary    3 (8: length and address)
//   ftOraBlob, ftOraClob     3                    ftLargeint 18 (8)
//   ftUnknown                "No value for parameter '%s'"
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/dataset/param.h"
#include "db/engine/dataset/kura_db_data_set.h"

namespace kura {

class TDataSource;
class TQueryStatement;

class TKuraQuery : public TKuraDBDataSet {
 public:
  explicit TKuraQuery(const void* owner = nullptr);
  ~TKuraQuery() override;

  // The statement's lines; every change goes through these.
  const std::vector<std::string>& SQL() const { return sql_; }
  void SetSQL(std::vector<std::string> lines);
  void ClearSQL() { SetSQL({}); }
  void AddSQL(const std::string& line);
  // The text as the engine receives it (markers replaced by "?").
  const std::string& Text() const { return text_; }

  TParams& Params() { return params_; }
  TParam& ParamByName(const std::string& name) { return params_.ParamByName(name); }
  bool ParamCheck() const { return param_check_; }
  void SetParamCheck(bool value) { param_check_ = value; }
  bool RequestLive() const { return request_live_; }
  void SetRequestLive(bool value);
  std::int32_t MaxRowCount() const { return max_row_count_; }
  void SetMaxRowCount(std::int32_t value);
  TDataSource* DataSource() const { return data_source_; }
  void SetDataSource(TDataSource* source) { data_source_ = source; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  std::string EngineVersion() const { return "3.30"; }
  void SetEngineVersion(const std::string&) {}

  // Prepares the text now (Open does it when needed); UnPrepare drops it.
  void Prepare();
  void UnPrepare();
  bool Prepared() const { return statement_ != nullptr; }
  // Runs a statement that gives no rows (INSERT, UPDATE, DELETE, DDL).
  void ExecSQL();
  std::int32_t RowsAffected() const { return rows_affected_; }
  double ExecutionTime() const { return execution_time_; }

 protected:
  TDataCursor* CreateHandle() override;
  void DestroyHandle() override;
  bool ReadOnlyDataSet() const override { return read_only_; }
  void CloseCursor() override;
  // A live result shows its select list: table fields under their column
  // names and computed columns; a canned result's table holds the columns.
  std::vector<TShownColumn> ShownColumns() override;

 private:
  void SqlChanged();
  void BindMasterValues();
  // Binds the parameters and executes; the result cursor, or null.
  TDataCursor* Execute();

  std::vector<std::string> sql_;
  std::string text_;
  TParams params_;
  bool param_check_ = true;
  bool request_live_ = false;
  std::int32_t max_row_count_ = -1;
  TDataSource* data_source_ = nullptr;
  bool read_only_ = false;
  std::unique_ptr<TQueryStatement> statement_;
  std::int32_t rows_affected_ = 0;
  double execution_time_ = 0;
};

}  // namespace kura
