#include "records/data_module.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "db/common/database_error.h"
#include "db/common/undo_on_throw.h"
#include "db/engine/cursor/data_cursor.h"
#include "db/engine/session/data_session.h"
#include "db/storage/coding.h"
#include "db/storage/table/data_table.h"

namespace kirobaku {

namespace {

constexpr const char* kDatabaseName = "kifu";
constexpr const char* kMovesTable = "kifudata";

void SetUpQuery(kura::TKuraQuery& query, std::vector<std::string> design_text) {
  query.SetDatabaseName(kDatabaseName);
  query.SetRequestLive(true);
  query.SetMaxRowCount(-1);
  query.SetCopyOnAppend(false);
  query.SetSQL(std::move(design_text));
}

}  // namespace

TDataModule1::TDataModule1(const std::string& directory)
    : database_(this), KuraQuery1(this), KuraQuery2(this) {
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    std::string message = "The game-record folder ";
    message.append(directory).append(" cannot be created: ").append(ec.message());
    throw kura::EDatabaseError(message);
  }
  database_.SetDatabaseName(kDatabaseName);
  database_.SetDirectory(directory);
  database_.SetKeepConnection(true);
  database_.Open();
  CreateMissingTables();
  SetUpQuery(KuraQuery1, {"select * from kifulist"});
  SetUpQuery(KuraQuery2, {"select * from kifudata", "where NB = :NB"});
  DataSource1.SetDataSet(&KuraQuery1);
  DataSource2.SetDataSet(&KuraQuery2);
}

TDataModule1::~TDataModule1() {
  try {
    KuraQuery1.Close();
    KuraQuery2.Close();
  } catch (...) {
    // Closing cannot be reported from here; the queries go with the module.
  }
}

void TDataModule1::CreateMissingTables() {
  kura::TKuraQuery ddl(this);
  ddl.SetDatabaseName(kDatabaseName);
  ddl.SetParamCheck(false);
  for (const char* statement : {
           "CREATE TABLE IF NOT EXISTS kifulist (NB INTEGER NOT NULL, CMT VARCHAR(250), "
           "PRIMARY KEY (NB))",
           "CREATE TABLE IF NOT EXISTS kifudata (NB INTEGER, MNO INTEGER, CLR INTEGER, "
           "PNT INTEGER)",
           "CREATE INDEX IF NOT EXISTS NB ON kifudata (NB)",
       }) {
    ddl.SetSQL({statement});
    ddl.ExecSQL();
  }
}

void TDataModule1::OpenList(const std::string& where) {
  KuraQuery1.Close();
  KuraQuery1.ClearSQL();
  KuraQuery1.AddSQL("select * from kifulist");
  KuraQuery1.AddSQL(where);
  KuraQuery1.AddSQL("Order by NB");
  list_where_ = where;
  KuraQuery1.Open();
}

// Reopening the moves query for another game closes its statement, and with
// it its use of kifudata. While the query is open, the table is held open
// through the reopen, so that its files are not closed and opened again and
// its caches are kept: the table is open before and after either way, and
// every read of the new query re-synchronises through the change counters.
void TDataModule1::OpenMoves(std::int32_t nb) {
  kura::TDataDirectory* directory = nullptr;
  kura::TSharedTable* held = nullptr;
  if (KuraQuery2.Active()) {
    directory = &database_.DataDirectory();
    if (directory->FindTable(kMovesTable, false))
      held = &directory->OpenTable(kMovesTable, false, false);
  }
  kura::TUndoOnThrow release([&] {
    if (held) directory->CloseTable(*held);
  });
  KuraQuery2.Close();
  KuraQuery2.ClearSQL();
  KuraQuery2.AddSQL("select * from kifudata");
  KuraQuery2.AddSQL("Where NB = :NB");
  KuraQuery2.Params()[0].SetAsInteger(nb);
  KuraQuery2.Open();
  if (held) directory->CloseTable(*held);
}

// The first k whose row (in NB order) does not hold k, or the row count + 1:
// what walking the list from its first row finds, found by halving instead.
// The listed numbers are distinct (the primary index on NB) and positive, so
// row k holds at least k, and exactly k for every row before the first
// missing number; a game store on years of games then reads a dozen rows
// rather than all of them. When the last row holds the row count no number
// is missing, which is the usual case, and one row is read.
std::int32_t TDataModule1::NextFreeGameNumber() {
  std::int32_t low = 1, high = KuraQuery1.RecordCount();
  if (high == 0) return 1;
  KuraQuery1.Last();
  if (KuraQuery1.Fields()[0].AsInteger() == high) return high + 1;
  while (low <= high) {
    const std::int32_t k = low + (high - low) / 2;
    KuraQuery1.SetRecNo(k);
    if (!KuraQuery1.Eof() && KuraQuery1.Fields()[0].AsInteger() == k)
      low = k + 1;
    else
      high = k - 1;
  }
  return low;
}

template <typename F>
void TDataModule1::InTransaction(F&& body) {
  database_.StartTransaction();
  try {
    body();
    // The list is closed when the adjourned game is saved before the game
    // record window was ever opened.
    if (KuraQuery1.Active()) KuraQuery1.Post();
    if (KuraQuery2.Active()) KuraQuery2.Post();
    database_.Commit(true);
  } catch (...) {
    RollBack();
    throw;
  }
}

// What the operation wrote goes; the queries are read again, so that neither
// shows rows that are no longer stored.
void TDataModule1::RollBack() {
  if (KuraQuery1.Active()) KuraQuery1.Cancel();
  if (KuraQuery2.Active()) KuraQuery2.Cancel();
  if (database_.InTransaction()) database_.Rollback();
  KuraQuery2.Close();
  if (KuraQuery1.Active()) KuraQuery1.Refresh();
}

void TDataModule1::AppendEntries(std::int32_t nb, const Record& entries, std::int32_t limit) {
  for (std::int32_t i = 1; i <= kRecordSize && entries[static_cast<std::size_t>(i)].colour > 0 &&
                           (limit < 0 || i <= limit);
       ++i) {
    const MoveEntry& e = entries[static_cast<std::size_t>(i)];
    KuraQuery2.Append();
    KuraQuery2.Fields()[0].SetAsInteger(nb);
    KuraQuery2.Fields()[1].SetAsInteger(e.move);
    KuraQuery2.Fields()[2].SetAsInteger(e.colour);
    KuraQuery2.Fields()[3].SetAsInteger(e.point);
  }
  KuraQuery2.Post();
}

void TDataModule1::DeleteCurrentRows(kura::TKuraQuery& query) {
  query.First();
  while (!query.Eof())
    query.Delete();
}

void TDataModule1::StoreGameRows(std::int32_t n, const std::string& comment,
                                 const Record& entries) {
  KuraQuery1.Append();
  KuraQuery1.Fields()[0].SetAsInteger(n);
  KuraQuery1.Fields()[1].SetAsString(comment);
  KuraQuery1.Post();
  // Rows under a number no game lists are left over from the grid's own
  // delete (which keeps them) or from a store cut short before commits went
  // through the journal: they go, so that the new game does not take them
  // over.
  OpenMoves(n);
  if (!KuraQuery2.IsEmpty()) DeleteCurrentRows(KuraQuery2);
  AppendEntries(n, entries, -1);
}

std::int32_t TDataModule1::StoreImportedGame(const std::string& comment, const Record& entries) {
  if (!KuraQuery1.Active()) OpenList(kListedGames);
  const std::int32_t n = NextFreeGameNumber();
  InTransaction([&] { StoreGameRows(n, comment, entries); });
  return n;
}

TGameImport::TGameImport(TDataModule1& data) : data_(data), stones_(&data) {
  if (!data_.KuraQuery1.Active()) data_.OpenList(TDataModule1::kListedGames);
  stones_.SetDatabaseName(kDatabaseName);
  stones_.SetTableName(kMovesTable);
  stones_.Open();
}

TGameImport::~TGameImport() {
  if (pending_ == 0) return;
  try {
    stones_.Cancel();
    data_.RollBack();
  } catch (...) {
    // Nothing of the open transaction was committed; it cannot be reported here.
  }
}

// Rows left over under n go first, as StoreImportedGame removes them.
void TGameImport::StoreStones(std::int32_t n, const Record& entries) {
  while (stones_.Locate("NB", {kura::TFieldValue(int64_t{n})}, {}))
    stones_.Delete();
  // The rows go into the table in one append (its keys added as runs inside
  // the open transaction), not one by one through the dataset.
  kura::TDataTable& table = stones_.Cursor()->Table();
  kura::TDataFile& data = table.Data();
  const std::size_t rs = static_cast<std::size_t>(data.RecordSize());
  std::vector<std::uint8_t>& images = stone_images_;
  images.clear();
  for (std::size_t i = 1; i <= kRecordSize && entries[i].colour > 0; ++i) {
    images.resize(images.size() + rs, 0);
    std::uint8_t* row = &images[images.size() - rs];
    const std::int32_t values[4] = {n, entries[i].move, entries[i].colour, entries[i].point};
    for (int f = 0; f < 4; ++f) {
      std::uint8_t bytes[4];
      kura::EncodeFixed32(bytes, static_cast<std::uint32_t>(values[f]));
      data.PutField(row, data.Field(f + 1), bytes);
    }
  }
  if (images.empty()) return;
  kura::TWriteLockGuard lock(table);
  table.AppendRecords(images.data(), images.size() / rs);
}

std::int32_t TGameImport::Store(const std::string& comment, const Record& entries) {
  if (pending_ == 0) data_.database_.StartTransaction();
  ++pending_;
  try {
    kura::TKuraQuery& list = data_.KuraQuery1;
    const std::int32_t n = data_.NextFreeGameNumber();
    list.Append();
    list.Fields()[0].SetAsInteger(n);
    list.Fields()[1].SetAsString(comment);
    list.Post();
    StoreStones(n, entries);
    return n;
  } catch (...) {
    pending_ = 0;
    stones_.Cancel();
    data_.RollBack();
    throw;
  }
}

void TGameImport::CommitWhenFull() {
  if (pending_ >= kGamesPerCommit) Commit();
}

void TGameImport::Commit() {
  if (pending_ == 0) return;
  try {
    data_.KuraQuery1.Post();
    stones_.Post();
    data_.database_.Commit(true);
  } catch (...) {
    pending_ = 0;
    stones_.Cancel();
    data_.RollBack();
    throw;
  }
  committed_ += static_cast<std::size_t>(pending_);
  pending_ = 0;
  if (AfterCommit) AfterCommit(committed_);
}

std::int32_t TDataModule1::LoadGame(std::int32_t nb, Record& record) {
  OpenMoves(nb);
  KuraQuery2.First();
  std::size_t i = 1;
  for (; i <= kRecordSize && !KuraQuery2.Eof(); ++i) {
    record[i].move = KuraQuery2.Fields()[1].AsInteger();
    record[i].colour = KuraQuery2.Fields()[2].AsInteger();
    record[i].point = KuraQuery2.Fields()[3].AsInteger();
    KuraQuery2.Next();
  }
  return static_cast<std::int32_t>(i - 1);
}

void TDataModule1::ReplaceMoves(std::int32_t nb, const Record& entries, std::int32_t limit) {
  InTransaction([&] {
    OpenMoves(nb);
    DeleteCurrentRows(KuraQuery2);
    AppendEntries(nb, entries, limit);
  });
}

void TDataModule1::RotateGame(std::int32_t nb) {
  InTransaction([&] {
    OpenMoves(nb);
    KuraQuery2.First();
    while (!KuraQuery2.Eof()) {
      const std::int32_t p = KuraQuery2.Fields()[3].AsInteger();
      const std::int32_t column = (p - 1) / kBoardSize + 1;
      const std::int32_t row = p - (column - 1) * kBoardSize;
      KuraQuery2.Edit();
      KuraQuery2.Fields()[3].SetAsInteger((20 - column - 1) * kBoardSize + (20 - row));
      KuraQuery2.Next();
    }
  });
}

bool TDataModule1::DeleteGame(std::int32_t nb) {
  bool had_rows = false;
  InTransaction([&] {
    KuraQuery1.Delete();
    OpenMoves(nb);
    had_rows = !KuraQuery2.IsEmpty();
    if (had_rows) DeleteCurrentRows(KuraQuery2);
  });
  return had_rows;
}

}  // namespace kirobaku
