// TKuraTable over real tables: a randomized run of navigation and edits held
// against a model (with another cursor changing and locking rows under the
// dataset), Locate through the active index, another index and a filter,
// BLOB reads after another user replaced the value, and the layer's messages.
#include "db/engine/dataset/kura_table.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>

#include "db/common/database_error.h"
#include "db/dataset/messages.h"
#include "db/engine/dataset/dataset_messages.h"
#include "db/storage/blob/blob_buffer.h"
#include "db/storage/coding.h"
#include "db/storage/index/index_file.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using test::CodeOf;
using test::Field;
using test::TempDir;

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "(no error)";
}

// Table `name`: NB integer (required), CMT string of 12, MEMO (memo BLOB)
// when `memo`; a primary index on NB when `primary`, a secondary index
// "ByCmt" on CMT and "NB" on NB when asked.
void MakeTable(const std::string& dir, const std::string& name, bool primary, bool by_cmt,
               bool by_nb, bool memo = false) {
  TDataTable t(dir, name, TStorageSettings{});
  TFieldDefinition nb = Field("NB", kFieldInteger);
  nb.required = true;
  TFieldDefinition cmt = Field("CMT", kFieldString, 12);
  cmt.description = "comment";
  std::vector<TFieldDefinition> fields = {nb, cmt};
  if (memo) fields.push_back(Field("MEMO", kFieldBlob, 0, kSubtypeMemo));
  t.Create(fields, TTableOptions{}, TIndexCreateOptions{false});
  auto& x = dynamic_cast<TIndexFile&>(t.Index());
  if (primary) {
    TIndexDefinition def;
    def.fields = {1};
    def.unique = true;
    x.AddPrimaryIndex(t.Data(), def);
  }
  if (by_cmt) {
    TIndexDefinition def;
    def.name = "ByCmt";
    def.fields = {2};
    x.AddSecondaryIndex(t.Data(), def);
  }
  if (by_nb) {
    TIndexDefinition def;
    def.name = "NB";
    def.fields = {1};
    x.AddSecondaryIndex(t.Data(), def);
  }
  t.Flush();
  t.Close();
}

struct KuraTableTest : ::testing::Test {
  void SetUp() override {
    session.SetLockRetryCount(2);
    session.SetLockWaitTime(5);
    database.SetDatabaseName("db");
    database.SetDirectory(dir.path());
  }
  // A table dataset on `name` of this test's database, not yet open.
  std::unique_ptr<TKuraTable> Table(const std::string& name, const std::string& index = "") {
    auto t = std::make_unique<TKuraTable>();
    t->SetSessionName("tables");
    t->SetDatabaseName("db");
    t->SetTableName(name);
    t->SetIndexName(index);
    return t;
  }
  TDataDirectory& Db() {
    if (!database.Connected()) database.Open();
    return database.DataDirectory();
  }
  void Add(TKuraTable& t, std::int32_t nb, const std::string& cmt) {
    t.Append();
    t.FieldByName("NB").SetAsInteger(nb);
    t.FieldByName("CMT").SetAsString(cmt);
    t.Post();
  }

  TempDir dir;
  TKuraSession session{"tables"};
  TKuraDatabase database{nullptr, "tables"};
};

// What the dataset must show, kept independently: rows by NB (the primary
// index's order), the current row and the end flags.
struct Model {
  std::map<std::int32_t, std::optional<std::string>> rows;
  std::optional<std::int32_t> cur;
  bool bof = true, eof = true;

  void First() {
    cur = rows.empty() ? std::nullopt : std::optional(rows.begin()->first);
    bof = true;
    eof = rows.empty();
  }
  void Last() {
    cur = rows.empty() ? std::nullopt : std::optional(rows.rbegin()->first);
    eof = true;
    bof = rows.empty();
  }
  void Next() {
    if (eof) return;
    bof = false;
    auto it = rows.upper_bound(*cur);
    if (it == rows.end())
      eof = true;
    else
      cur = it->first;
  }
  void Prior() {
    if (bof) return;
    eof = false;
    auto it = rows.lower_bound(*cur);
    if (it == rows.begin())
      bof = true;
    else
      cur = std::prev(it)->first;
  }
  // On row nb, or where it was: the next row, else the last; none when empty.
  void StandAt(std::int32_t nb) {
    auto it = rows.lower_bound(nb);
    if (it == rows.end() && !rows.empty()) it = std::prev(rows.end());
    cur = it == rows.end() ? std::nullopt : std::optional(it->first);
    bof = eof = rows.empty();
  }
  int RecNo() const { return static_cast<int>(std::distance(rows.begin(), rows.find(*cur))) + 1; }
};

// The value rules of a string field of 12: cut to 12 characters, trailing
// blanks dropped, nothing left is NULL.
std::optional<std::string> Stored(std::string text) {
  text = text.substr(0, 12);
  while (!text.empty() && text.back() == ' ')
    text.pop_back();
  if (text.empty()) return std::nullopt;
  return text;
}

void ExpectShows(TKuraTable& t, const Model& m, int step) {
  SCOPED_TRACE("step " + std::to_string(step));
  ASSERT_EQ(t.IsEmpty(), m.rows.empty());
  EXPECT_EQ(t.Bof(), m.bof);
  EXPECT_EQ(t.Eof(), m.eof);
  EXPECT_EQ(t.RecordCount(), static_cast<int>(m.rows.size()));
  if (m.rows.empty()) return;
  ASSERT_TRUE(m.cur);
  ASSERT_EQ(t.FieldByName("NB").AsInteger(), *m.cur);
  const std::optional<std::string>& cmt = m.rows.at(*m.cur);
  EXPECT_EQ(t.FieldByName("CMT").IsNull(), !cmt);
  if (cmt) {
    EXPECT_EQ(t.FieldByName("CMT").AsString(), *cmt);
  }
  EXPECT_EQ(t.RecNo(), m.RecNo());
}

// Random navigation and edits through the dataset, with another cursor of
// the same database changing rows under it, locking the row it shows, and
// deleting rows, checked against the model after every step.
TEST_F(KuraTableTest, RandomNavigationAndEditsMatchAModel) {
  MakeTable(dir.path(), "list", true, true, false);
  auto t = Table("list");
  t->Open();
  TDataCursor other(Db(), "list");
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(other.RecordSize()));
  auto other_find = [&](std::int32_t nb) {
    other.SetActiveIndex(0);
    other.First();
    while (other.Next(rec.data()) == 0) {
      std::uint8_t b[4];
      other.GetField(1, rec.data(), b);
      if (static_cast<std::int32_t>(DecodeFixed32(b)) == nb) return true;
    }
    return false;
  };
  Model m;
  m.First();
  std::mt19937 random(20261209);
  const std::vector<std::string> texts = {"a", "b  ", "   ", "", "long text over eleven", "Zz"};
  for (int step = 0; step < 1500; ++step) {
    const int op = static_cast<int>(random() % 12);
    const std::int32_t nb = static_cast<std::int32_t>(random() % 60);
    const std::string& text = texts[random() % texts.size()];
    switch (op) {
      case 0:
        t->First();
        m.First();
        break;
      case 1:
      case 2:
        t->Next();
        m.Next();
        break;
      case 3:
        t->Prior();
        m.Prior();
        break;
      case 4:
        t->Last();
        m.Last();
        break;
      case 5: {  // append; a number in use fails with 9729 and changes nothing
        t->Append();
        t->FieldByName("NB").SetAsInteger(nb);
        t->FieldByName("CMT").SetAsString(text);
        if (m.rows.count(nb)) {
          EXPECT_EQ(CodeOf([&] { t->Post(); }), kErrDuplicateKey);
          // The cancelled row was appended at the end: the last row shows.
          t->Cancel();
          m.cur = m.rows.rbegin()->first;
          m.bof = m.eof = false;
        } else {
          t->Post();
          m.rows[nb] = Stored(text);
          m.cur = nb;
          m.bof = m.eof = false;
        }
        break;
      }
      case 6: {  // edit the comment, or cancel the edit
        if (m.rows.empty()) break;
        t->Edit();
        t->FieldByName("CMT").SetAsString(text);
        if (random() % 4 == 0) {
          t->Cancel();
        } else {
          t->Post();
          m.rows[*m.cur] = Stored(text);
        }
        m.bof = m.eof = false;
        break;
      }
      case 7: {  // delete
        if (m.rows.empty()) {
          EXPECT_EQ(MessageOf([&] { t->Delete(); }), kDataSetEmpty);
          break;
        }
        t->Delete();
        const std::int32_t gone = *m.cur;
        m.rows.erase(gone);
        m.StandAt(gone);
        break;
      }
      case 8: {  // locate by the primary key: found, or nothing moves
        const bool found = t->Locate("NB", {TFieldValue(int64_t{nb})}, {});
        EXPECT_EQ(found, m.rows.count(nb) == 1);
        if (found) {
          m.cur = nb;
          m.bof = m.eof = false;
        }
        break;
      }
      case 9: {  // locate by the comment, through the secondary index
        const std::string wanted = Stored(text).value_or("a");
        const bool found = t->Locate("CMT", {TFieldValue(wanted)}, {});
        std::optional<std::int32_t> first;
        for (const auto& [k, v] : m.rows)
          if (v == wanted && !first) first = k;
        EXPECT_EQ(found, first.has_value());
        // The dataset's order is NB: the first match in it.
        if (found) {
          EXPECT_EQ(t->FieldByName("NB").AsInteger(), *first);
          m.cur = *first;
          m.bof = m.eof = false;
        }
        break;
      }
      case 10: {  // another cursor changes the row shown: Edit fails, Refresh shows it
        if (m.rows.empty() || !other_find(*m.cur)) break;
        ASSERT_EQ(other.Current(rec.data(), true), 0);
        const std::string changed = "o" + std::to_string(step);  // always a new value
        other.SetFieldText(2, rec.data(), changed);
        other.Modify(rec.data());
        m.rows[*m.cur] = changed;
        EXPECT_EQ(CodeOf([&] { t->Edit(); }), kErrRecordChanged);
        EXPECT_EQ(t->State(), TDataSetState::dsBrowse);
        t->Refresh();
        m.bof = m.eof = false;
        break;
      }
      case 11: {  // another cursor holds the row shown, or deletes a row
        if (m.rows.empty()) break;
        if (random() % 2 == 0) {
          if (!other_find(*m.cur)) break;
          ASSERT_EQ(other.Current(rec.data(), true), 0);
          EXPECT_EQ(CodeOf([&] { t->Edit(); }), kErrRecordInUse);
          EXPECT_EQ(t->State(), TDataSetState::dsBrowse);
          other.CancelEdit();
        } else {
          auto it = m.rows.begin();
          std::advance(it, random() % m.rows.size());
          const std::int32_t gone = it->first;
          if (!other_find(gone)) break;
          other.Delete();
          m.rows.erase(gone);
          t->Refresh();
          if (m.cur) m.StandAt(*m.cur);
        }
        break;
      }
    }
    ExpectShows(*t, m, step);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST_F(KuraTableTest, LocateThroughEveryPath) {
  MakeTable(dir.path(), "moves", false, false, true);
  {
    auto t = Table("moves");  // natural order, index "NB" beside it
    t->Open();
    for (std::int32_t g : {3, 1, 2, 1, 3})
      Add(*t, g, "g" + std::to_string(g) + (g == 1 ? "x" : ""));
    t->First();
    t->Next();
    // Another index: the first row of game 3 in the dataset's (natural) order.
    ASSERT_TRUE(t->Locate("NB", {TFieldValue(int64_t{3})}, {}));
    EXPECT_EQ(t->RecNo(), 1);
    ASSERT_TRUE(t->Locate("NB", {TFieldValue(int64_t{2})}, {}));
    EXPECT_EQ(t->RecNo(), 3);
    // Not found: the row shown stays.
    EXPECT_FALSE(t->Locate("NB", {TFieldValue(int64_t{9})}, {}));
    EXPECT_EQ(t->FieldByName("NB").AsInteger(), 2);
    t->Next();
    EXPECT_EQ(t->RecNo(), 4);
    // No index on CMT: a filter of field = value conditions, with the options.
    ASSERT_TRUE(t->Locate("CMT", {TFieldValue(std::string("G1"))}, {true, true}));
    EXPECT_EQ(t->RecNo(), 2);
    EXPECT_FALSE(t->Locate("CMT", {TFieldValue(std::string("G1"))}, {}));
    ASSERT_TRUE(t->Locate("NB;CMT", {TFieldValue(int64_t{3}), TFieldValue(std::string("g3"))}, {}));
    EXPECT_EQ(t->RecNo(), 1);
    EXPECT_EQ(t->RecordCount(), 5);
    EXPECT_EQ(MessageOf([&] {
                t->Locate("NB;XX", {int64_t{1}, int64_t{1}}, {});
              }),
              "Field 'XX' not found");
  }
  // The active index: "NB" with its equal keys in insertion order.
  auto t = Table("moves", "NB");
  t->Open();
  ASSERT_TRUE(t->Locate("NB", {TFieldValue(int64_t{3})}, {}));
  EXPECT_EQ(t->RecNo(), 4);
  EXPECT_EQ(t->FieldByName("CMT").AsString(), "g3");
  EXPECT_FALSE(t->Locate("NB", {TFieldValue(int64_t{0})}, {}));
  EXPECT_EQ(t->RecNo(), 4);
  // A filtered dataset finds only rows it shows.
  t->SetFilter("CMT <> 'g1x'");
  t->SetFiltered(true);
  EXPECT_EQ(t->RecordCount(), 3);
  EXPECT_FALSE(t->Locate("NB", {TFieldValue(int64_t{1})}, {}));
  // Changing the index while open keeps the row.
  ASSERT_TRUE(t->Locate("NB", {TFieldValue(int64_t{2})}, {}));
  t->SetIndexName("");
  EXPECT_EQ(t->FieldByName("NB").AsInteger(), 2);
  EXPECT_EQ(t->RecNo(), 2);
  EXPECT_EQ(CodeOf([&] { t->SetIndexName("nope"); }), kErrInvalidIndexName);
}

TEST_F(KuraTableTest, FieldRulesAndMessages) {
  MakeTable(dir.path(), "list", true, true, false);
  auto t = Table("list");
  t->Open();
  EXPECT_EQ(MessageOf([&] { t->FieldByName("CMT").SetAsString("x"); }), kNotEditing);
  Add(*t, 1, "abc   ");
  EXPECT_EQ(t->FieldByName("CMT").AsString(), "abc");
  t->Edit();
  t->FieldByName("CMT").SetAsString("    ");
  t->Post();
  EXPECT_TRUE(t->FieldByName("CMT").IsNull());
  // A required field left NULL: the engine's 9732, the row stays pending.
  t->Append();
  EXPECT_EQ(CodeOf([&] { t->Post(); }), kErrValueRequired);
  EXPECT_EQ(t->State(), TDataSetState::dsInsert);
  t->Cancel();
  EXPECT_EQ(t->RecordCount(), 1);
  t->Close();

  // Calculated fields beside the engine record, labels from the table, a
  // new row as a copy of the current one, and a row filter event.
  TField& twice = t->AddCalculatedField("TWICE", TFieldType::ftInteger, 0);
  t->OnCalcFields = [](TDataSet& d) {
    d.FieldByName("TWICE").SetAsInteger(d.FieldByName("NB").AsInteger() * 2);
  };
  t->SetAutoDisplayLabels(true);
  t->SetCopyOnAppend(true);
  t->Open();
  EXPECT_EQ(t->FieldByName("CMT").DisplayLabel(), "comment");
  EXPECT_EQ(t->FieldByName("NB").Origin(), "list.NB");
  EXPECT_EQ(twice.AsInteger(), 2);
  t->Edit();
  t->FieldByName("CMT").SetAsString("kept");
  t->Post();
  t->Append();
  EXPECT_EQ(t->FieldByName("CMT").AsString(), "kept");
  t->FieldByName("NB").SetAsInteger(5);
  t->Post();
  EXPECT_EQ(twice.AsInteger(), 10);
  t->SetOnFilterRecord(
      [](TDataSet& d, bool& accept) { accept = d.FieldByName("NB").AsInteger() > 1; });
  t->SetFiltered(true);
  EXPECT_EQ(t->RecordCount(), 1);
  EXPECT_EQ(t->FieldByName("NB").AsInteger(), 5);
  t->SetFiltered(false);
  EXPECT_EQ(t->RecordCount(), 2);
  t->SetOnFilterRecord({});
  // A filter text, case-sensitive and not (CMT has an index, whose keys keep
  // case); changing the option while filtered applies it at once.
  t->SetFilterText("CMT = 'KEPT' or CMT < 'a'");
  t->SetFiltered(true);
  EXPECT_EQ(t->RecordCount(), 0);
  t->SetFilterOptions({true, false});
  EXPECT_EQ(t->RecordCount(), 2);
  t->Edit();
  t->FieldByName("CMT").SetAsString("Kept");  // still passes the filter
  t->Post();
  EXPECT_EQ(t->RecordCount(), 2);
  t->SetFilterOptions({});
  EXPECT_EQ(t->RecordCount(), 1);  // "Kept" < "a"
  t->SetFiltered(false);
  t->SetFilterText("");
  t->Close();
  t->SetCopyOnAppend(false);

  // Read-only: no edits; closed settings only while inactive.
  t->SetReadOnly(true);
  t->Open();
  EXPECT_FALSE(t->CanModify());
  EXPECT_EQ(MessageOf([&] { t->Edit(); }), "Cannot modify a read-only dataset");
  EXPECT_EQ(MessageOf([&] { t->SetTableName("x"); }),
            "Cannot perform this operation on an open dataset");
  t->Close();
  auto missing = Table("");
  EXPECT_EQ(MessageOf([&] { missing->Open(); }), kErrorCreatingHandle);
  auto nothing = Table("nothing");
  EXPECT_EQ(CodeOf([&] { nothing->Open(); }), kErrTableMissing);
  EXPECT_FALSE(nothing->Active());
  // Exclusive next to another user of the table.
  t->SetReadOnly(false);
  t->Open();
  auto second = Table("list");
  second->SetExclusive(true);
  EXPECT_EQ(CodeOf([&] { second->Open(); }), kErrAccessDenied);
  // An unknown session.
  auto lost = Table("list");
  lost->SetSessionName("no such session");
  EXPECT_EQ(MessageOf([&] { lost->Open(); }), "Session name no such session is not valid.");
}

TEST_F(KuraTableTest, BlobValueIsReadAgainAfterAnotherUserReplacedIt) {
  MakeTable(dir.path(), "memos", true, false, false, true);
  auto write_memo = [&](TDataTable& table, std::int32_t nb, const std::string& text, bool insert) {
    TWriteLockGuard lock(table);
    TDataFile& data = table.Data();
    std::vector<std::uint8_t> image = table.BlankRecord();
    std::int32_t n = 0;
    if (!insert) {
      for (n = 1; n < data.NextRecordNumber(); ++n) {
        TRecordPin r = data.GetRecord(n);
        if (r->Deleted()) continue;
        std::memcpy(image.data(), r->Data(), image.size());
        break;
      }
    }
    std::uint8_t b[4];
    EncodeFixed32(b, static_cast<std::uint32_t>(nb));
    data.PutField(image.data(), *data.FieldByName("NB"), b);
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    WriteBlobField(*table.Blobs(), data, image.data(), *data.FieldByName("MEMO"), bytes);
    if (insert)
      table.InsertRecord(image.data());
    else
      table.UpdateRecord(n, image.data());
  };
  auto t = Table("memos");
  t->Open();
  TSharedTable& shared = Db().OpenTable("memos", false, false);
  write_memo(shared.Table(), 1, std::string(700, 'a'), true);
  t->Refresh();
  ASSERT_FALSE(t->IsEmpty());
  EXPECT_EQ(t->FieldByName("MEMO").AsString(), std::string(700, 'a'));
  // The row shown still refers to the old blocks, now freed.
  write_memo(shared.Table(), 1, "second value", false);
  EXPECT_EQ(t->FieldByName("MEMO").AsString(), "second value");
  // A copied row does not share the value's blocks.
  t->SetCopyOnAppend(true);
  t->Append();
  EXPECT_TRUE(t->FieldByName("MEMO").IsNull());
  t->FieldByName("NB").SetAsInteger(2);
  t->Post();
  t->SetCopyOnAppend(false);
  t->First();
  EXPECT_EQ(MessageOf([&] {
              t->Edit();
              t->FieldByName("MEMO").SetAsString("x");
            }),
            "Field 'MEMO' has no BLOB stream");
  t->Cancel();
  t->Close();
  Db().CloseTable(shared);
}

}  // namespace
}  // namespace kura
