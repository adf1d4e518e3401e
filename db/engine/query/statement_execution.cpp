#include "db/engine/query/statement_execution.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <optional>

#include "db/common/undo_on_throw.h"
#include "db/engine/cursor/data_cursor.h"
#include "db/engine/expression/record_selection.h"
#include "db/engine/query/execution_support.h"
#include "db/engine/query/select_execution.h"
#include "db/engine/session/data_session.h"
#include "db/engine/sql/query_statement.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_list.h"
#include "db/storage/index/index_file.h"
#include "db/storage/table/data_table.h"

namespace kura {
namespace {

std::string DatabaseName(TDataDirectory& db) {
  return db.Name().empty() ? db.Path() : db.Name();
}

TIndexFile& IndexOf(TDataTable& table) {
  auto* index = dynamic_cast<TIndexFile*>(&table.Index());
  if (!index) RaiseTableError(kErrInvalidIndexName, table.Name());
  return *index;
}

int FieldPosition(const TDataFile& data, const std::string& name) {
  for (int p = 1; p <= data.FieldCount(); ++p)
    if (SameName(data.Field(p).Name(), name)) return p;
  return 0;
}

// What a change statement runs in, so that a statement that fails changes
// none of its rows:
// - COMMIT [INTERVAL n] [FLUSH] outside a transaction: a transaction of its
//   own, committed every n rows (n = 0: at the end only); a failure loses
//   the rows since the last commit.
// - otherwise outside a transaction, a change of more than one row: a
//   transaction of its own, committed at the end (without an OS flush, as a
//   change outside a transaction makes none);
// - inside the user's transaction, and in the in-memory database (which has
//   no transactions): the statement logs what it changed and, failing, puts
//   the records back (last change first), leaving the transaction's earlier
//   work. A record whose BLOB values a change replaced or freed cannot be put
//   back: those changes stay for the transaction's ROLLBACK.
// A change of one record is whole or nothing by itself.
class TStatementScope {
 public:
  TStatementScope(TDataDirectory& db, const TDataQuery& q) : db_(db), q_(q) {}
  ~TStatementScope() {
    if (done_) return;
    try {
      if (own_ && db_.InTransaction())
        db_.Rollback();
      else
        Undo();
    } catch (...) {
      // The statement's own failure is the one reported.
    }
  }
  TStatementScope(const TStatementScope&) = delete;
  TStatementScope& operator=(const TStatementScope&) = delete;

  // Before the first change, `rows` being the number of changes to come.
  void Begin(std::size_t rows) {
    if (db_.InTransaction() || db_.IsMemory()) {
      logging_ = true;
      return;
    }
    own_ = q_.commit_given || rows > 1;
    if (own_) db_.StartTransaction();
  }
  // After each changed row.
  void Row() {
    if (!own_ || !q_.commit_given || q_.commit_interval <= 0) return;
    if (++rows_ % q_.commit_interval != 0) return;
    db_.Commit(q_.commit_flush);
    db_.StartTransaction();
  }
  void Done() {
    if (own_) db_.Commit(q_.commit_given && q_.commit_flush);
    done_ = true;
  }

  // The change log (kept inside the user's transaction only).
  void Inserted(TDataTable& table, std::int32_t record) {
    if (logging_) log_.push_back({&table, kInserted, record, {}});
  }
  void Modified(TDataTable& table, std::int32_t record, const std::vector<std::uint8_t>& before) {
    if (logging_) log_.push_back({&table, kModified, record, before});
  }
  void Deleted(TDataTable& table, std::int32_t record, const std::vector<std::uint8_t>& before) {
    if (logging_) log_.push_back({&table, kDeleted, record, before});
  }

 private:
  enum TChange { kInserted, kModified, kDeleted };
  struct TLogged {
    TDataTable* table;
    TChange change;
    std::int32_t record;
    std::vector<std::uint8_t> before;  // the record image before the change
  };

  void Undo() {
    for (auto it = log_.rbegin(); it != log_.rend(); ++it) {
      TDataTable& table = *it->table;
      if (it->change != kInserted && table.Blobs()) continue;
      TWriteLockGuard lock(table);
      if (it->change == kInserted) {
        table.DeleteRecord(it->record);
      } else if (it->change == kModified) {
        table.UpdateRecord(it->record, it->before.data());
      } else {
        table.InsertRecord(it->before.data(), AutoIncOf(table.Data(), it->before.data()));
      }
    }
  }
  static std::optional<std::int32_t> AutoIncOf(const TDataFile& data, const std::uint8_t* image) {
    for (int p = 1; p <= data.FieldCount(); ++p) {
      const TFieldDescriptor& f = data.Field(p);
      if (!f.IsAutoInc()) continue;
      const TExpValue v = ReadFieldValue(data, f, image, nullptr);
      if (!v.null) return static_cast<std::int32_t>(v.i);
    }
    return std::nullopt;
  }

  TDataDirectory& db_;
  const TDataQuery& q_;
  bool own_ = false;
  bool logging_ = false;
  bool done_ = false;
  std::int64_t rows_ = 0;
  std::vector<TLogged> log_;
};

// Runs change(i) for each i below `count`. A change refused for a duplicate
// key (9729) waits until the others have run and is tried again, the waiting
// ones in reverse order, for as long as a round changes something: the
// uniqueness of a statement's keys holds for its result, not for the order
// its rows are visited in (SET k = k + 1 over a unique k succeeds in either
// direction). When a round changes nothing the first refusal is raised.
template <typename F>
void ChangeEach(std::size_t count, F&& change) {
  std::vector<std::size_t> pending(count);
  for (std::size_t i = 0; i < count; ++i)
    pending[i] = i;
  while (!pending.empty()) {
    std::vector<std::size_t> waiting;
    std::exception_ptr refusal;
    for (std::size_t i : pending) {
      try {
        change(i);
      } catch (const EKuraEngineError& e) {
        if (e.Code() != kErrDuplicateKey) throw;
        if (!refusal) refusal = std::current_exception();
        waiting.push_back(i);
      }
    }
    if (waiting.size() == pending.size()) std::rethrow_exception(refusal);
    pending.assign(waiting.rbegin(), waiting.rend());
  }
}

// ---- INSERT ----

void Insert(TQueryStatement& s, TDataQuery& q) {
  TDataDirectory& db = s.Database();
  std::vector<TResultRow> rows;
  if (q.insert_select) {
    rows = ProduceRows(s, *q.insert_select, nullptr);
  } else {
    const TExpressionContext context = SqlContext("SQL statement");
    const TColumnResolver none = [](const std::string&, const std::string&) {
      return static_cast<const TFieldDescriptor*>(nullptr);
    };
    TExpressionEvaluator ev(context, nullptr, 0, LastAutoIncOf(db));
    TResultRow row;
    for (auto& v : q.update_values) {
      BindExpression(*v.tree, context, none, false);
      row.push_back(ev.Evaluate(*v.tree, nullptr));
    }
    rows.push_back(std::move(row));
  }
  TStatementScope scope(db, q);
  TSourceSet target(db, q.sources, true);
  TDataTable& table = target.Table(0);
  TDataCursor& cursor = *q.sources[0].cursor;
  const TDataFile& data = table.Data();
  // Many rows outside a transaction, none with its own auto-increment value
  // or a BLOB: one bulk append, a commit of its own through the journal (an
  // empty table's indexes built from their sorted keys).
  const bool bulk = q.insert_select && rows.size() > 1 && !db.InTransaction() && !db.IsMemory() &&
                    !q.commit_given && !q.no_auto_inc && table.Blobs() == nullptr;
  if (!bulk) scope.Begin(rows.size());
  std::vector<int> fields;
  if (q.update_fields.empty()) {
    for (int p = 1; p <= data.FieldCount(); ++p)
      fields.push_back(p);
  } else {
    for (const auto& f : q.update_fields) {
      const int p = FieldPosition(data, f.name);
      if (!p) SqlFail("Invalid column name '" + f.name + "'" + " in INSERT column list");
      fields.push_back(p);
    }
  }
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(cursor.RecordSize()));
  q.rows_affected = 0;
  // Every row of a bulk append is built first, so a value that does not fit
  // changes nothing.
  if (bulk) {
    const std::size_t rs = rec.size();
    std::vector<std::uint8_t> images(rows.size() * rs);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const TResultRow& row = rows[r];
      if (row.size() != fields.size())
        SqlFail("The number of values (" + std::to_string(row.size()) +
                ") does not match the number of columns (" + std::to_string(fields.size()) + ")");
      std::uint8_t* image = images.data() + r * rs;
      cursor.InitRecord(image);
      for (std::size_t i = 0; i < fields.size(); ++i) {
        const TFieldDescriptor& f = data.Field(fields[i]);
        if (!f.IsAutoInc()) StoreFieldValue(table, f, image, row[i]);
      }
    }
    std::vector<TResultRow>().swap(rows);
    table.BulkAppend(images.data(), images.size() / rs, false);
    q.rows_affected = static_cast<std::int32_t>(images.size() / rs);
    scope.Done();
    return;
  }
  for (const auto& row : rows) {
    if (row.size() != fields.size())
      SqlFail("The number of values (" + std::to_string(row.size()) +
              ") does not match the number of columns (" + std::to_string(fields.size()) + ")");
    cursor.InitRecord(rec.data());
    std::optional<std::int32_t> auto_inc;
    {
      TWriteLockGuard lock(table);
      for (std::size_t i = 0; i < fields.size(); ++i) {
        const TFieldDescriptor& f = data.Field(fields[i]);
        if (f.IsAutoInc()) {
          if (q.no_auto_inc && !row[i].null) {
            TExpValue v;
            if (!ConvertValue(row[i], f.Shape(), &v) || v.i <= 0 || v.i > 0x7fffffff)
              SqlFail("Invalid auto-increment value for column '" + f.Name() + "'");
            auto_inc = static_cast<std::int32_t>(v.i);
          }
          continue;
        }
        StoreFieldValue(table, f, rec.data(), row[i]);
      }
    }
    if (auto_inc) {
      TWriteLockGuard lock(table);
      scope.Inserted(table, table.InsertRecord(rec.data(), auto_inc));
    } else {
      cursor.Insert(rec.data());
      scope.Inserted(table, cursor.PhysicalRecord());
    }
    ++q.rows_affected;
    scope.Row();
  }
  scope.Done();
}

// ---- UPDATE and DELETE ----

// The bookmarks of the target's records that satisfy WHERE, collected
// before anything changes (a change never moves a record into or out of
// the set being worked on).
std::vector<std::vector<std::uint8_t>> Targets(TDataQuery& q, const TExpressionEvaluator& ev) {
  TDataCursor& cursor = *q.sources[0].cursor;
  TDataCursor::TFilter* filter = nullptr;
  if (q.where) {
    const TExpToken* where = q.where.get();
    filter = cursor.AddFilter(
        [where, &ev](const std::uint8_t* rec) { return ev.Evaluate(*where, rec).IsTrue(); },
        [where, &ev](TRecordSource& source, TRecordsBitmap& bitmap) {
          TRecordSelector(source, ev).Select(*where, bitmap);
        });
  }
  std::vector<std::vector<std::uint8_t>> marks;
  cursor.First();
  while (cursor.Next(nullptr) == TDataCursor::kOk)
    marks.push_back(cursor.Bookmark());
  if (filter) cursor.RemoveFilter(filter);
  return marks;
}

// The field positions of the SET columns, in the order of the SET list.
std::vector<int> SetFieldPositions(const TDataFile& data, const TDataQuery& q) {
  std::vector<int> fields;
  for (const auto& f : q.update_fields) {
    const int p = FieldPosition(data, f.name);
    if (!p) SqlFail("Invalid column name '" + f.name + "'" + " in SET clause");
    fields.push_back(p);
  }
  return fields;
}

// Stores the SET values into a record image, under the table's write lock
// (a BLOB value is written to the BLOB file as it is stored).
void StoreSetValues(TDataTable& table, const std::vector<int>& fields, std::uint8_t* record,
                    const std::vector<TExpValue>& values) {
  TWriteLockGuard lock(table);
  for (std::size_t i = 0; i < fields.size(); ++i)
    StoreFieldValue(table, table.Data().Field(fields[i]), record, values[i]);
}

// Deletes the bookmarked record, or modifies it with the values `set`
// stores into `rec` (a copy of the record, which `before` holds); logs the
// change. False when the record is gone.
template <typename F>
bool ChangeTarget(TDataCursor& cursor, const std::vector<std::uint8_t>& mark, bool erase,
                  std::vector<std::uint8_t>& before, std::vector<std::uint8_t>& rec,
                  TStatementScope& scope, F&& set) {
  if (!cursor.GotoBookmark(mark, false)) return false;
  if (cursor.Current(before.data(), true) != TDataCursor::kOk) return false;
  const std::int32_t record = cursor.PhysicalRecord();
  TUndoOnThrow cancel([&] { cursor.CancelEdit(); });
  if (erase) {
    cursor.Delete();
    scope.Deleted(cursor.Table(), record, before);
  } else {
    rec = before;
    set();
    cursor.Modify(rec.data());
    scope.Modified(cursor.Table(), record, before);
  }
  return true;
}

// UPDATE ... FROM and DELETE with joins: the target (the first source) is
// joined with the others; every target record that some joined row passing
// the ON conditions and WHERE contains is changed once, its SET values taken
// from the first such row (values read before anything changes).
void UpdateOrDeleteJoined(TQueryStatement& s, TDataQuery& q) {
  TDataDirectory& db = s.Database();
  std::vector<TExpToken*> values;
  for (auto& v : q.update_values)
    values.push_back(v.tree.get());
  TStatementScope scope(db, q);
  const auto targets = JoinedTargets(s, q, values);
  TDataTable& table = q.sources[0].cursor->Table();
  TDataCursor& cursor = *q.sources[0].cursor;
  cursor.SetActiveIndex(TDataCursor::kNaturalOrder);
  const std::vector<int> fields = SetFieldPositions(table.Data(), q);
  std::vector<std::pair<std::vector<std::uint8_t>, const std::vector<TExpValue>*>> marks;
  cursor.First();
  while (!targets.empty() && cursor.Next(nullptr) == TDataCursor::kOk) {
    auto it = targets.find(cursor.PhysicalRecord());
    if (it != targets.end()) marks.emplace_back(cursor.Bookmark(), &it->second);
  }
  std::vector<std::uint8_t> before(static_cast<std::size_t>(cursor.RecordSize()));
  std::vector<std::uint8_t> rec(before.size());
  q.rows_affected = 0;
  scope.Begin(marks.size());
  ChangeEach(marks.size(), [&](std::size_t m) {
    if (!ChangeTarget(cursor, marks[m].first, q.kind == kStmtDelete, before, rec, scope, [&] {
          StoreSetValues(table, fields, rec.data(), *marks[m].second);
        }))
      return;
    ++q.rows_affected;
    scope.Row();
  });
  scope.Done();
}

void UpdateOrDelete(TQueryStatement& s, TDataQuery& q) {
  if (q.sources.size() > 1) return UpdateOrDeleteJoined(s, q);
  TDataDirectory& db = s.Database();
  TStatementScope scope(db, q);
  TSourceSet target(db, q.sources, true);
  TDataTable& table = target.Table(0);
  TDataCursor& cursor = *q.sources[0].cursor;
  cursor.SetActiveIndex(TDataCursor::kNaturalOrder);
  TRowLayout layout(target);
  PrepareSubSelects(s, q.where.get(), &layout);
  TExpressionEvaluator ev(SqlContext("WHERE clause"), &table.Data(), target.Locale(),
                          LastAutoIncOf(db));
  const TExpressionEvaluator set_ev(SqlContext("SQL statement"), &table.Data(), target.Locale(),
                                    LastAutoIncOf(db));
  if (q.where)
    BindExpression(*q.where, SqlContext("WHERE clause"), layout.Resolver("WHERE clause"), true);
  const std::vector<int> fields = SetFieldPositions(table.Data(), q);
  for (auto& v : q.update_values)
    BindExpression(*v.tree, SqlContext("SQL statement"), layout.Resolver("SQL statement"), false);
  const auto marks = Targets(q, ev);
  std::vector<std::uint8_t> before(static_cast<std::size_t>(cursor.RecordSize()));
  std::vector<std::uint8_t> rec(before.size());
  q.rows_affected = 0;
  const std::size_t total = marks.size();
  scope.Begin(total);
  std::size_t done = 0;
  ChangeEach(total, [&](std::size_t m) {
    if (!ChangeTarget(cursor, marks[m], q.kind == kStmtDelete, before, rec, scope, [&] {
          std::vector<TExpValue> values;
          for (std::size_t i = 0; i < fields.size(); ++i)
            values.push_back(set_ev.Evaluate(*q.update_values[i].tree, before.data()));
          StoreSetValues(table, fields, rec.data(), values);
        }))
      return;
    ++q.rows_affected;
    scope.Row();
    if (total > 1000 && ++done % (total / 20) == 0)
      s.Progress(static_cast<int>(done * 100 / total));
  });
  scope.Done();
}

// ---- DDL ----

std::string TableDirectory(TDataDirectory& db, bool memory) {
  return memory || db.IsMemory() ? std::string() : db.Path();
}

void RequireNotOpen(TDataDirectory& db, const std::string& name, bool memory) {
  if (db.FindTable(name, memory)) RaiseTableError(kErrTableInUse, name);
}

TFieldDefinition Definition(const TCreateField& f) {
  TFieldDefinition d;
  d.name = f.name;
  d.type = f.type;
  d.subtype = f.subtype;
  d.required = f.not_null;
  d.char_case = f.char_case;
  d.description = f.description;
  if (f.default_value) d.default_value = *f.default_value;
  if (f.minimum) d.minimum = *f.minimum;
  if (f.maximum) d.maximum = *f.maximum;
  if (HasDeclaredLength(f.type)) {
    d.length = f.length ? f.length : 1;
  } else if (f.type == kFieldBcd) {
    d.scale = f.length ? f.scale : 4;
  }
  return d;
}

TIndexDefinition IndexDefinition(const TCreateIndex& c, const TDataFile& data) {
  TIndexDefinition def;
  def.name = c.name;
  def.unique = c.unique || c.name.empty();
  def.case_insensitive = c.nocase;
  def.descending = c.descending;
  def.compression = c.compression;
  for (const auto& f : c.fields) {
    const int p = FieldPosition(data, f.name);
    if (!p) {
      TErrorContext ctx;
      ctx.table_name = c.table;
      ctx.field_name = f.name;
      RaiseEngineError(kErrInvalidField, ctx);
    }
    def.fields.push_back(p);
    def.field_descending.push_back(f.descending || c.descending);
  }
  return def;
}

void CreateTable(TQueryStatement& s, TDataQuery& q) {
  TDataDirectory& db = s.Database();
  const bool memory = q.table_in_memory || db.IsMemory();
  TDataTable table(TableDirectory(db, memory), q.table_name, db.Session().StorageSettings(),
                   memory);
  if (table.Exists()) {
    if (q.if_not_exists) return;
    RaiseTableError(kErrTableExists, q.table_name);
  }
  std::vector<TFieldDefinition> defs;
  for (const auto& f : q.create_fields)
    defs.push_back(Definition(f));
  TTableOptions options;
  options.description = q.table_description;
  options.locale_language = q.table_language;
  options.locale_sort = q.table_sort;
  options.blob_block_size = q.blob_block_size;
  if (!q.table_password.empty()) {
    options.encrypted = true;
    options.password = q.table_password;
  }
  const bool keyed = !q.create_indexes.empty();
  table.Create(defs, options, TIndexCreateOptions{!keyed});
  try {
    if (keyed) {
      TCreateIndex key = q.create_indexes[0];
      key.table = q.table_name;
      IndexOf(table).AddPrimaryIndex(table.Data(), IndexDefinition(key, table.Data()));
    }
    table.Close();
  } catch (...) {
    try {
      table.Close(true);
      table.Delete();
    } catch (...) {
    }
    throw;
  }
}

// Runs `change` on the table's indexes with the table open exclusively (and
// not open in this database), closing it again whatever happens.
template <typename F>
void ChangeIndexes(TDataDirectory& db, const TDataQuery& q, bool memory, F&& change) {
  RequireNotOpen(db, q.table_name, memory);
  TDataTable table(TableDirectory(db, memory), q.table_name, db.Session().StorageSettings(),
                   memory);
  table.Open(true);
  TUndoOnThrow close([&] { table.Close(); });
  change(table, IndexOf(table));
  table.Close();
}

// Whether the index is there already, read without exclusive use of the
// table (which another program, or this one, may be using).
bool HasIndex(TDataDirectory& db, const TDataQuery& q, bool memory, const std::string& name) {
  if (TSharedTable* open = db.FindTable(q.table_name, memory))
    return IndexOf(open->Table()).SlotOf(name) >= 0;
  TDataTable table(TableDirectory(db, memory), q.table_name, db.Session().StorageSettings(),
                   memory);
  table.Open(false, true);
  TUndoOnThrow close([&] { table.Close(); });
  const bool present = IndexOf(table).SlotOf(name) >= 0;
  table.Close();
  return present;
}

void CreateIndex(TQueryStatement& s, TDataQuery& q) {
  TDataDirectory& db = s.Database();
  const bool memory = q.table_in_memory || db.IsMemory();
  const TCreateIndex& c = q.create_indexes[0];
  if (q.if_not_exists && HasIndex(db, q, memory, c.name)) return;
  ChangeIndexes(db, q, memory, [&](TDataTable& table, TIndexFile& index) {
    if (!(q.if_not_exists && index.SlotOf(c.name) >= 0))
      index.AddSecondaryIndex(table.Data(), IndexDefinition(c, table.Data()));
  });
}

void DropTable(TQueryStatement& s, TDataQuery& q) {
  TDataDirectory& db = s.Database();
  const bool memory = q.table_in_memory || db.IsMemory();
  RequireNotOpen(db, q.table_name, memory);
  TDataTable table(TableDirectory(db, memory), q.table_name, db.Session().StorageSettings(),
                   memory);
  if (!table.Exists() && q.if_exists) return;
  table.Delete();
}

void DropIndex(TQueryStatement& s, TDataQuery& q) {
  TDataDirectory& db = s.Database();
  const bool memory = q.table_in_memory || db.IsMemory();
  ChangeIndexes(db, q, memory, [&](TDataTable&, TIndexFile& index) {
    const int slot = index.SlotOf(q.index_name);
    if (slot <= 0) {
      TErrorContext ctx;
      ctx.table_name = q.table_name;
      ctx.index_name = q.index_name;
      RaiseEngineError(kErrInvalidIndexName, ctx);
    }
    index.DeleteIndex(slot);
  });
}

// ALTER TABLE: the new structure is built as a new table beside the old one,
// the rows are copied with their values converted, the indexes whose fields
// remain are rebuilt; only then does the new table take the old one's name
// (the old files are kept as backups until the new ones are in place).
void AlterTable(TQueryStatement& s, TDataQuery& q) {
  TDataDirectory& db = s.Database();
  const bool memory = q.table_in_memory || db.IsMemory();
  RequireNotOpen(db, q.table_name, memory);
  const std::string dir = TableDirectory(db, memory);
  const TStorageSettings settings = db.Session().StorageSettings();
  TDataTable old(dir, q.table_name, settings, memory);
  old.Open(true);
  struct TCloser {
    TDataTable& t;
    ~TCloser() {
      try {
        if (t.IsOpen()) t.Close();
      } catch (...) {
      }
    }
  } close_old{old};
  const TDataFile& od = old.Data();
  // New fields with their source field (0: added).
  std::vector<TFieldDefinition> defs;
  std::vector<int> origin;
  for (int p = 1; p <= od.FieldCount(); ++p) {
    const TFieldDescriptor& f = od.Field(p);
    TFieldDefinition d;
    d.name = f.Name();
    d.type = f.Type();
    d.subtype = f.Subtype();
    d.length = HasDeclaredLength(f.Type()) ? f.Length() : 0;
    d.scale = f.Type() == kFieldBcd ? f.Scale() : 0;
    d.required = f.Required();
    d.char_case = f.CharCase();
    d.description = f.Description();
    defs.push_back(d);
    origin.push_back(p);
  }
  auto find = [&](const std::string& name) {
    for (std::size_t i = 0; i < defs.size(); ++i)
      if (SameName(defs[i].name, name)) return static_cast<int>(i);
    SqlFail("Invalid column name '" + name + "'" + " in ALTER TABLE statement");
  };
  for (const auto& a : q.alter_actions) {
    if (a.kind == TAlterAction::kDrop) {
      const int i = find(a.column);
      defs.erase(defs.begin() + i);
      origin.erase(origin.begin() + i);
    } else if (a.kind == TAlterAction::kRedefine) {
      const int i = find(a.column);
      defs[static_cast<std::size_t>(i)] = Definition(a.field);
    } else {
      std::size_t at = defs.size();
      if (!a.field.at_column.empty())
        at = std::min(defs.size(),
                      static_cast<std::size_t>(std::max(1, std::stoi(a.field.at_column)) - 1));
      defs.insert(defs.begin() + static_cast<std::ptrdiff_t>(at), Definition(a.field));
      origin.insert(origin.begin() + static_cast<std::ptrdiff_t>(at), 0);
    }
  }
  if (defs.empty()) SqlFail("A table must keep at least one column");
  TIndexFile& oi = IndexOf(old);
  const std::string temp = "~alter" + std::to_string(TickCount());
  TDataTable fresh(dir, temp, settings, memory);
  TTableOptions options;
  options.locale_language = od.LocaleLanguage();
  options.locale_sort = od.LocaleSort();
  options.description = od.Description();
  options.encrypted = od.Encrypted();
  options.password = od.Password();
  options.blob_block_size = od.BlobBlockSize();
  options.user_major = od.UserMajor();
  options.user_minor = od.UserMinor();
  // Indexes whose fields all remain, with their new field numbers.
  auto remap = [&](TIndexDefinition def) -> std::optional<TIndexDefinition> {
    for (int& f : def.fields) {
      auto it = std::find(origin.begin(), origin.end(), f);
      if (it == origin.end()) return std::nullopt;
      f = static_cast<int>(it - origin.begin()) + 1;
    }
    return def;
  };
  std::optional<TIndexDefinition> primary;
  if (!oi.NoPrimaryKey()) primary = remap(oi.Definition(0));
  fresh.Create(defs, options, TIndexCreateOptions{!primary});
  try {
    if (primary) IndexOf(fresh).AddPrimaryIndex(fresh.Data(), *primary);
    TDataFile& nd = fresh.Data();
    std::vector<std::uint8_t> rec = fresh.BlankRecord();
    const int auto_field = [&] {
      for (std::size_t i = 0; i < origin.size(); ++i)
        if (origin[i] && od.Field(origin[i]).IsAutoInc() &&
            nd.Field(static_cast<int>(i) + 1).IsAutoInc())
          return static_cast<int>(i);
      return -1;
    }();
    for (std::int32_t n = 1; n < od.NextRecordNumber(); ++n) {
      TRecordPin pin = old.Data().GetRecord(n);
      if (pin->Deleted()) continue;
      const std::uint8_t* orec = pin->Data();
      std::fill(rec.begin(), rec.end(), 0);
      for (std::size_t i = 0; i < origin.size(); ++i) {
        const TFieldDescriptor& to = nd.Field(static_cast<int>(i) + 1);
        if (!origin[i]) {
          if (!to.IsAutoInc()) nd.PutNull(rec.data(), to);
          continue;
        }
        if (to.IsAutoInc()) continue;
        StoreFieldValue(fresh, to, rec.data(),
                        ReadFieldValue(od, od.Field(origin[i]), orec, old.Blobs()));
      }
      std::optional<std::int32_t> ai;
      if (auto_field >= 0) ai = pin->AutoInc();
      fresh.InsertRecord(rec.data(), ai);
    }
    for (int slot = 1; slot <= oi.SecondaryCount(); ++slot) {
      if (!oi.SlotInUse(slot)) continue;
      if (auto def = remap(oi.Definition(slot))) IndexOf(fresh).AddSecondaryIndex(nd, *def);
    }
    fresh.Close();
  } catch (...) {
    try {
      fresh.Close(true);
      fresh.Delete();
    } catch (...) {
    }
    throw;
  }
  // The old files become backups until the new table has their name; then
  // they go.
  const std::string data_name = old.DataFileName();
  old.Close();
  old.RenameToBackup();
  fresh.Rename(q.table_name);
  TFileList& files = TFileList::Global();
  const TFileKind kind = memory ? TFileKind::kMemory : TFileKind::kPhysical;
  const std::string stem = data_name.substr(0, data_name.size() - 4);
  for (const char* ext : {".DBK", ".IBK", ".BBK"})
    if (files.Exists(stem + ext, kind)) files.Delete(stem + ext, kind);
}

// ---- transactions ----

void StartTransaction(TQueryStatement& s) {
  TDataDirectory& db = s.Database();
  if (db.InTransaction() || !db.StartTransaction())
    SqlFail("Transaction already in progress for database '" + DatabaseName(db) + "'");
}

void EndTransaction(TQueryStatement& s, const TDataQuery& q) {
  TDataDirectory& db = s.Database();
  if (!db.InTransaction())
    SqlFail("Transaction not in progress for database '" + DatabaseName(db) + "'");
  if (q.kind == kStmtCommit)
    db.Commit(q.commit_flush);
  else
    db.Rollback();
}

}  // namespace

std::uint32_t TickCount() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void ExecuteQuery(TQueryStatement& s, TDataQuery& q, std::unique_ptr<TQueryResult>* result) {
  const std::uint32_t start = TickCount();
  q.rows_affected = 0;
  // DDL needs the tables that earlier statements of this text keep open.
  if (q.kind >= kStmtCreateTable && q.kind <= kStmtDropIndex) {
    result->reset();
    s.CloseSources();
  }
  switch (q.kind) {
    case kStmtSelect:
      *result = ExecuteSelect(s, q);
      break;
    case kStmtInsert:
    case kStmtUpdate:
    case kStmtDelete:
      try {
        if (q.kind == kStmtInsert)
          Insert(s, q);
        else
          UpdateOrDelete(s, q);
      } catch (const EKuraEngineError& e) {
        // The primary index has no name of its own: say which it is.
        if (e.Code() != kErrDuplicateKey || !e.Context().index_name.empty()) throw;
        TErrorContext named = e.Context();
        named.index_name = "primary key";
        RaiseEngineError(e.Code(), named);
      }
      break;
    case kStmtCreateTable:
      CreateTable(s, q);
      break;
    case kStmtAlterTable:
      AlterTable(s, q);
      break;
    case kStmtDropTable:
      DropTable(s, q);
      break;
    case kStmtCreateIndex:
      CreateIndex(s, q);
      break;
    case kStmtDropIndex:
      DropIndex(s, q);
      break;
    case kStmtStartTransaction:
      StartTransaction(s);
      break;
    case kStmtRollback:
    case kStmtCommit:
      EndTransaction(s, q);
      break;
    default:
      SqlFail("Unknown statement kind " + std::to_string(q.kind));
  }
  const std::uint32_t end = TickCount();
  // A counter that wrapped during the run gives no time.
  q.execution_time = end >= start ? (end - start) / 1000.0 : 0.0;
}

}  // namespace kura
