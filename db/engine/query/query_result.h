// TQueryResult: the result of a SELECT, read by column position.
//
// Live: the cursor is the source table's own cursor (writable), in the
// order of the chosen index, with the WHERE condition as a filter; a plain
// column reads its table field, an expression column is computed from the
// current record. Edits, inserts and deletes through the cursor reach the
// table.
//
// Canned: the cursor walks a result table holding a copy of the rows, one
// field per column, in the result's order. Edits change only that table. A
// generated result table (in memory or in the session's private directory)
// is deleted when the result is closed; a table named by INTO stays.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/engine/cursor/data_cursor.h"
#include "db/engine/expression/expression.h"

namespace kura {

class TDataDirectory;
class TSharedTable;

struct TResultColumn {
  std::string name;
  TValueShape shape;  // type, subtype, length, scale of the values
  int field = 0;      // field number in the cursor's table; 0 for a computed column
  const TExpToken* expression = nullptr;  // a computed column's bound tree
};

class TQueryResult {
 public:
  ~TQueryResult();
  TQueryResult(const TQueryResult&) = delete;
  TQueryResult& operator=(const TQueryResult&) = delete;

  bool Live() const { return live_; }
  bool ReadOnly() const { return read_only_; }
  TDataCursor& Cursor() { return *cursor_; }
  TDataTable& Table() { return cursor_->Table(); }
  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  // Column by position 1..ColumnCount().
  const TResultColumn& Column(int position) const { return columns_.at(position - 1); }
  // The column's value for a record image of the cursor's table; a BLOB or
  // memo value is loaded whole.
  TExpValue Value(int position, const std::uint8_t* record) const;
  // The result table (canned) or the source table (live).
  std::string TableName() const;
  // Whether the result table is deleted on close.
  bool Generated() const { return generated_; }

 private:
  friend class TSelectExecution;
  TQueryResult() = default;

  bool live_ = false;
  bool read_only_ = false;
  bool generated_ = false;
  std::vector<TResultColumn> columns_;
  // Live: the shared source table; canned: the result table owned here.
  TDataDirectory* directory_ = nullptr;
  TSharedTable* shared_ = nullptr;
  std::unique_ptr<TDataTable> own_table_;
  std::unique_ptr<TDataCursor> cursor_;
  std::unique_ptr<TExpressionEvaluator> evaluator_;  // computed columns
};

}  // namespace kura
