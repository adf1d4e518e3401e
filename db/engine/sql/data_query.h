// The parsed form of SQL text: one TDataQuery per statement or query block,
// with its source tables, result columns, ordering, grouping and the parts of
// the other statement kinds. The parser (sql_parser.h) fills these; execution
// (db/engine/query/) reads them and fills the result fields.
//
// Statement kinds, stored in one byte and named in messages:
//   1 SELECT  2 INSERT  3 UPDATE  4 DELETE  5 CREATE TABLE  6 ALTER TABLE
//   7 DROP TABLE  8 CREATE INDEX  9 DROP INDEX  10 START TRANSACTION
//   11 ROLLBACK  12 COMMIT; any other value is "UNKNOWN".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/engine/cursor/data_cursor.h"
#include "db/engine/expression/expression.h"

namespace kura {

class TDataDirectory;
class TSharedTable;

enum TStatementKind : std::uint8_t {
  kStmtSelect = 1,
  kStmtInsert = 2,
  kStmtUpdate = 3,
  kStmtDelete = 4,
  kStmtCreateTable = 5,
  kStmtAlterTable = 6,
  kStmtDropTable = 7,
  kStmtCreateIndex = 8,
  kStmtDropIndex = 9,
  kStmtStartTransaction = 10,
  kStmtRollback = 11,
  kStmtCommit = 12,
};

// "SELECT", "CREATE TABLE", ... or "UNKNOWN".
std::string StatementKindName(std::uint8_t kind);

// Aggregate kinds of a result column.
enum TAggregateKind : std::uint8_t {
  kAggNone = 0,
  kAggKindSum = 1,
  kAggKindRunSum = 2,
  kAggKindMin = 3,
  kAggKindMax = 4,
  kAggKindAvg = 5,
  kAggKindCount = 6,
};

// How a source table joins the sources before it.
enum TJoinKind : std::uint8_t {
  kJoinNone = 0,   // the first source, or a comma in FROM (cross product)
  kJoinInner = 1,  // [INNER] JOIN ... ON
  kJoinLeft = 2,   // LEFT [OUTER] JOIN ... ON
  kJoinRight = 3,  // RIGHT [OUTER] JOIN ... ON
};

struct TJoin {
  std::uint8_t kind = kJoinNone;
  std::unique_ptr<TExpToken> condition;  // the ON condition
};

struct TSourceTable {
  std::string name;      // table name as written (may be database\table or a path)
  std::string database;  // the database part of database\table, else empty
  bool in_memory = false;
  std::string correlation;  // defaults to the name without path and extension
  int position = 0;         // 1, 2, ... in FROM order
  TJoin join;
  // Execution: the database, the shared open table and its cursor (kept
  // open between runs of the prepared statement).
  TDataDirectory* directory = nullptr;
  bool own_directory = false;  // opened for the database part of the name
  TSharedTable* shared = nullptr;
  std::unique_ptr<TDataCursor> cursor;
};

struct TResultField {
  std::unique_ptr<TExpToken> tree;
  std::string text;  // the expression as written
  std::string name;  // column name (AS name, or the column's own name)
  std::string correlation;
  bool is_expression = false;  // anything but a plain column reference
  bool all_columns = false;    // "*" or correlation.*
  std::uint8_t aggregate = kAggNone;
  bool aggregate_distinct = false;
};

struct TOrderByField {
  std::string name;
  std::string correlation;
  int number = 0;  // 1-based select-list position, 0 when named
  bool descending = false;
};

struct TGroupByField {
  std::string name;
  std::string correlation;
  int number = 0;
};

// A column of an INSERT column list or an UPDATE SET target.
struct TUpdateField {
  std::string name;
};

// A value of INSERT VALUES or of UPDATE SET.
struct TUpdateValue {
  std::unique_ptr<TExpToken> tree;
  std::string text;
};

// A column of CREATE TABLE or of ALTER TABLE ADD/REDEFINE.
struct TCreateField {
  std::string name;
  std::string type_name;  // the type keyword as written
  std::uint8_t type = 0;
  std::uint8_t subtype = 0;
  int length = 0;
  int scale = 0;
  bool not_null = false;
  std::optional<std::string> default_value, minimum, maximum;
  std::uint8_t char_case = 0;  // 0 unchanged, 1 lower, 2 upper
  std::string description;
  std::string at_column;  // ADD ... AT position column (empty: at the end)
};

struct TCreateIndexField {
  std::string name;
  bool descending = false;
};

// CREATE INDEX, or the PRIMARY KEY of CREATE TABLE (empty name).
struct TCreateIndex {
  std::string name;
  std::string table;
  bool unique = false;
  bool nocase = false;
  bool descending = false;
  std::vector<TCreateIndexField> fields;
  std::uint8_t compression = 0;  // kCompressNone ... kCompressFull
};

// One change of ALTER TABLE.
struct TAlterAction {
  enum Kind : std::uint8_t { kAdd, kDrop, kRedefine } kind = kAdd;
  std::string column;  // DROP and REDEFINE: the column changed
  TCreateField field;  // ADD and REDEFINE
};

struct TDataQuery {
  std::uint8_t kind = kStmtSelect;

  // Flags recorded while parsing (the live test reads them).
  bool is_sub_select = false;
  bool began_with_paren = false;
  bool distinct = false;
  bool has_where = false;
  bool multiple_tables = false;
  bool grouped = false;  // GROUP BY or an aggregate column
  bool has_having = false;
  bool has_order_by = false;
  bool order_nocase = false;
  bool order_by_expression = false;
  int order_index = -1;  // the index that matches the ORDER BY (live test), -1 none
  bool has_union = false;
  bool union_all = false;
  bool has_expressions = false;
  bool with_locks = false;
  bool no_join_optimize = false;
  bool select_all = false;

  bool request_live = true;
  std::int32_t row_limit = -1;
  std::int32_t top = -1;

  // INTO target of a SELECT.
  bool has_into = false;
  bool into_memory = false;
  std::string into_name;
  std::optional<std::uint32_t> into_locale;  // LANGUAGE/SORT of the query
  std::string encrypted_password;

  std::vector<TSourceTable> sources;
  std::vector<TResultField> columns;
  std::vector<TOrderByField> order_by;
  std::vector<TGroupByField> group_by;
  std::vector<TUpdateField> update_fields;
  std::vector<TUpdateValue> update_values;
  std::vector<TCreateField> create_fields;
  std::vector<TCreateIndex> create_indexes;
  std::vector<TAlterAction> alter_actions;
  std::unique_ptr<TExpToken> where, having;

  TDataQuery* union_next = nullptr;     // the next UNION part (owned by the statement)
  TDataQuery* insert_select = nullptr;  // INSERT ... SELECT (owned by the statement)

  // INSERT/UPDATE/DELETE options.
  bool no_auto_inc = false;
  bool commit_given = false;
  std::int32_t commit_interval = 0;
  bool commit_flush = false;

  // DDL options.
  bool if_exists = false;      // DROP ... IF EXISTS
  bool if_not_exists = false;  // CREATE ... IF NOT EXISTS
  std::string table_name;      // the table of DDL, INSERT, UPDATE, DELETE targets
  bool table_in_memory = false;
  std::string index_name;  // DROP INDEX table.name
  std::string table_description;
  std::uint16_t table_language = 0, table_sort = 0;
  bool table_locale_given = false;
  std::string table_password;
  std::int32_t blob_block_size = 0;

  // Execution results of this query.
  std::int32_t rows_affected = 0;
  double execution_time = 0;
};

}  // namespace kura
