// Pieces shared by the executions of the statement kinds: opening the
// source tables of a query, resolving column names over them, the row
// layout that joins records of several tables into one image that the
// expression evaluator reads, and reading and storing column values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/engine/expression/expression.h"
#include "db/engine/sql/data_query.h"

namespace kura {

class TBlobFile;
class TDataDirectory;
class TDataTable;
class TQueryStatement;

// Context of SQL errors: code 11949, the clause named in messages.
TExpressionContext SqlContext(const char* clause);
[[noreturn]] void SqlFail(const std::string& detail);

bool SameName(std::string_view a, std::string_view b);

// The open source tables of one query, opened in FROM order. They stay open
// in the query's TSourceTable entries for the next run of the prepared
// statement (a point query run many times opens its table once) until
// CloseSources, which the statement calls when it is re-prepared, destroyed,
// or runs DDL.
class TSourceSet {
 public:
  // `target_only`: only the first source (an UPDATE or DELETE target) is
  // opened writable.
  TSourceSet(TDataDirectory& database, std::vector<TSourceTable>& sources, bool writable,
             bool target_only = false);
  TSourceSet(const TSourceSet&) = delete;
  TSourceSet& operator=(const TSourceSet&) = delete;

  std::size_t Count() const { return sources_.size(); }
  TSourceTable& Source(std::size_t i) { return sources_[i]; }
  TDataTable& Table(std::size_t i);
  TDataDirectory& Directory(std::size_t i) { return *sources_[i].directory; }
  // Hands source i (its shared table and cursor) over to a result.
  void Release(std::size_t i);
  // The locale of string comparisons: that of the first source.
  std::uint32_t Locale();

 private:
  std::vector<TSourceTable>& sources_;
};

// Closes a source's cursor, its shared table and a directory opened for it.
void CloseSource(TSourceTable& source);
void CloseSources(TDataQuery& query);

// Where a column of the row layout comes from.
struct TLayoutColumn {
  std::size_t source = 0;
  int field = 0;  // field number in the source table
};

// One row of a query over its sources. With one source the row is the
// source's record image itself; with several, Combine copies each source's
// field slots into an image of an in-memory table holding every field of
// every source (auto-increment values become plain integers, a missing
// outer-join row is all NULL).
class TRowLayout {
 public:
  TRowLayout(TSourceSet& sources);
  ~TRowLayout();
  TRowLayout(const TRowLayout&) = delete;
  TRowLayout& operator=(const TRowLayout&) = delete;

  bool Single() const { return !combined_; }
  const TDataFile& Data() const;
  int RecordSize() const;
  // The descriptor of a column, or null when unknown; 11949 when a name
  // without correlation is in more than one source.
  const TFieldDescriptor* Resolve(const std::string& correlation, const std::string& name,
                                  const char* clause) const;
  // Which source a descriptor of the layout belongs to, and its field there.
  TLayoutColumn Origin(const TFieldDescriptor* f) const;
  // The descriptors of every field of source i (in the layout).
  std::vector<const TFieldDescriptor*> SourceFields(std::size_t i) const;
  // Which sources a bound tree refers to (bit i for source i).
  std::uint64_t SourcesOf(const TExpToken& tree) const;
  // Builds the joined image from one record per source (null: all NULL).
  void Combine(const std::vector<const std::uint8_t*>& records, std::uint8_t* out) const;
  // A resolver for BindExpression.
  TColumnResolver Resolver(const char* clause) const;

 private:
  TSourceSet& sources_;
  std::unique_ptr<TDataTable> combined_;
  std::vector<std::size_t> first_;  // first layout field of each source (1-based)
  struct TCopy {
    std::size_t from, to, size;  // bytes of the source record, of the image
    bool auto_inc;               // to: a slot whose has-value byte is set
  };
  std::vector<std::vector<TCopy>> copies_;  // per source, what Combine copies
};

// A value of a field of a record image; BLOB and memo values are loaded
// from `blobs` when given (else a non-NULL BLOB has no bytes).
// LASTAUTOINC('t') and IDENT_CURRENT('t') of a statement: the last
// auto-increment value of table t of the database, as its header holds it
// now (the table is opened for the look-up when it is not open already).
TLastAutoIncLookup LastAutoIncOf(TDataDirectory& db);

TExpValue ReadFieldValue(const TDataFile& data, const TFieldDescriptor& f,
                         const std::uint8_t* record, TBlobFile* blobs);
// Stores a value into a field of a record image under the field's rules;
// 11949 naming the column when it does not convert.
void StoreFieldValue(TDataTable& table, const TFieldDescriptor& f, std::uint8_t* record,
                     const TExpValue& value);
// The value converted to a type (numbers between widths, anything to a
// string as its text); nullopt when there is no conversion.
bool ConvertValue(const TExpValue& v, const TValueShape& shape, TExpValue* out);

}  // namespace kura
