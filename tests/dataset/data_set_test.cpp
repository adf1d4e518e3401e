// The framework driven through a small in-memory dataset: a vector of rows
// (NB integer, required; CMT string of 8) in append order, with a cursor
// index where -1 is before the first row and rows.size() after the last.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>

#include "db/common/database_error.h"
#include "db/dataset/data_set.h"
#include "db/dataset/data_source.h"

namespace kura {
namespace {

constexpr int kCmtSize = 8;
// Buffer: row id (4), bookmark flag (1), NB indicator + int32, CMT
// indicator + text, then the calculated part.
constexpr std::size_t kIdAt = 0, kFlagAt = 4, kNbAt = 5, kCmtAt = 10, kCalcAt = 11 + kCmtSize + 1;

struct Row {
  int32_t id = 0;
  std::optional<int32_t> nb;
  std::optional<std::string> cmt;
  bool operator==(const Row&) const = default;
};

class MemDataSet : public TDataSet {
 public:
  std::vector<Row> rows;
  bool read_only = false;

  bool BookmarkValid(const TBookmark& b) override { return Find(Id(b)) >= 0; }
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) override {
    return (Id(a) > Id(b)) - (Id(a) < Id(b));
  }
  bool Locate(const std::string& key_fields, const std::vector<TFieldValue>& values,
              TLocateOptions) override {
    CheckBrowseMode();
    const bool by_nb = SameName(key_fields, "NB");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const bool hit = by_nb ? (rows[i].nb && TFieldValue(int64_t{*rows[i].nb}) == values.at(0))
                             : (rows[i].cmt && TFieldValue(*rows[i].cmt) == values.at(0));
      if (!hit) continue;
      DoBeforeScroll();
      pos_ = static_cast<int>(i);
      Resync();
      DoAfterScroll();
      return true;
    }
    return false;
  }

  bool GetFieldData(const TField& field, std::byte* out) override {
    TRecordBuffer buffer = State() == TDataSetState::dsCalcFields ? CalcBuffer() : ActiveBuffer();
    if (!buffer) return false;
    const std::size_t at = Where(field);
    if (buffer[at] == std::byte{0}) return false;
    std::memcpy(out, buffer + at + 1, field.DataSize());
    return true;
  }
  void SetFieldData(TField& field, const std::byte* in) override {
    const TDataSetState s = State();
    if (s != TDataSetState::dsEdit && s != TDataSetState::dsInsert &&
        s != TDataSetState::dsCalcFields) {
      throw EDatabaseError("Table is not in edit or insert mode.");
    }
    TRecordBuffer buffer = s == TDataSetState::dsCalcFields ? CalcBuffer() : ActiveBuffer();
    const std::size_t at = Where(field);
    buffer[at] = std::byte{in != nullptr};
    if (in)
      std::memcpy(buffer + at + 1, in, field.DataSize());
    else
      std::memset(buffer + at + 1, 0, field.DataSize());
    if (s != TDataSetState::dsCalcFields) NotifyFieldChange(field);
  }

 protected:
  void InternalOpen() override {
    auto& defs = MutableFieldDefs();
    defs = {{"NB", TFieldType::ftInteger, 0, true, false, 1},
            {"CMT", TFieldType::ftString, kCmtSize, false, false, 2}};
    CreateFields();
    pos_ = -1;
  }
  void InternalClose() override { DestroyFields(); }
  std::size_t GetRecordSize() override { return kCalcAt + CalcFieldsSize(); }
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool) override {
    const int n = static_cast<int>(rows.size());
    if (mode == TGetMode::gmNext && pos_ < n) ++pos_;
    if (mode == TGetMode::gmPrior && pos_ >= 0) --pos_;
    if (pos_ < 0) return TGetResult::grBOF;
    if (pos_ >= n) return TGetResult::grEOF;
    const Row& row = rows[static_cast<std::size_t>(pos_)];
    std::memset(buffer, 0, GetRecordSize());
    std::memcpy(buffer + kIdAt, &row.id, 4);
    buffer[kFlagAt] = std::byte{static_cast<uint8_t>(TBookmarkFlag::bfCurrent)};
    buffer[kNbAt] = std::byte{row.nb.has_value()};
    if (row.nb) std::memcpy(buffer + kNbAt + 1, &*row.nb, 4);
    buffer[kCmtAt] = std::byte{row.cmt.has_value()};
    if (row.cmt) std::memcpy(buffer + kCmtAt + 1, row.cmt->data(), row.cmt->size());
    GetCalcFields(buffer);
    return TGetResult::grOK;
  }
  void InternalInitRecord(TRecordBuffer buffer) override {
    std::memset(buffer, 0, GetRecordSize());
    const int32_t none = -1;
    std::memcpy(buffer + kIdAt, &none, 4);
    buffer[kFlagAt] = std::byte{static_cast<uint8_t>(TBookmarkFlag::bfInserted)};
  }
  void InternalFirst() override { pos_ = -1; }
  void InternalLast() override { pos_ = static_cast<int>(rows.size()); }
  void InternalPost() override {
    TRecordBuffer buffer = ActiveBuffer();
    Row row;
    if (buffer[kNbAt] != std::byte{0})
      row.nb.emplace(), std::memcpy(&*row.nb, buffer + kNbAt + 1, 4);
    if (buffer[kCmtAt] != std::byte{0})
      row.cmt = reinterpret_cast<const char*>(buffer + kCmtAt + 1);
    if (!row.nb) throw EDatabaseError("Field 'NB' must have a value");
    if (State() == TDataSetState::dsEdit) {
      row.id = rows[static_cast<std::size_t>(pos_)].id;
      rows[static_cast<std::size_t>(pos_)] = row;
    } else {
      row.id = next_id_++;
      rows.push_back(row);
      pos_ = static_cast<int>(rows.size()) - 1;
    }
  }
  void InternalDelete() override { rows.erase(rows.begin() + pos_); }
  void InternalSetToRecord(TRecordBuffer buffer) override { pos_ = Find(IdOf(buffer)); }
  void InternalGotoBookmark(const TBookmark& b) override { pos_ = Find(Id(b)); }
  void InternalRefresh() override {}
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override {
    return static_cast<TBookmarkFlag>(buffer[kFlagAt]);
  }
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override {
    buffer[kFlagAt] = std::byte{static_cast<uint8_t>(flag)};
  }
  TBookmark GetBookmarkData(TRecordBuffer buffer) override { return {buffer, buffer + 4}; }
  void SetBookmarkData(TRecordBuffer buffer, const TBookmark& b) override {
    std::memcpy(buffer, b.data(), 4);
  }
  int GetRecordCount() override { return static_cast<int>(rows.size()); }
  int GetRecNo() override { return ActiveBuffer() ? Find(IdOf(ActiveBuffer())) + 1 : 0; }
  void DoSetRecNo(int value) override {
    CheckBrowseMode();
    DoBeforeScroll();
    pos_ = value - 1;
    Resync();
    DoAfterScroll();
  }
  bool GetCanModify() const override { return !read_only; }

 private:
  static int32_t Id(const TBookmark& b) {
    int32_t id = 0;
    std::memcpy(&id, b.data(), 4);
    return id;
  }
  static int32_t IdOf(TRecordBuffer buffer) { return Id(TBookmark(buffer, buffer + 4)); }
  // Index of the row with this id, else of the first row after it.
  int Find(int32_t id) const {
    int i = 0;
    while (i < static_cast<int>(rows.size()) && rows[static_cast<std::size_t>(i)].id < id)
      ++i;
    return i;
  }
  std::size_t Where(const TField& field) const {
    if (field.FieldKind() == TFieldKind::fkCalculated) return kCalcAt + field.Offset();
    return field.FieldNo() == 1 ? kNbAt : kCmtAt;
  }

  int pos_ = -1;
  int32_t next_id_ = 1;
};

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "(no error)";
}

// The behaviour the dataset must show, kept independently of it.
struct Model {
  std::vector<Row> rows;  // ids ignored
  int cur = -1;           // current row, -1 none
  bool bof = true, eof = true;
  TDataSetState state = TDataSetState::dsBrowse;
  Row pending;
  bool modified = false;
  int before = 0, after = 0, state_changes = 0;

  int n() const { return static_cast<int>(rows.size()); }
  void SetState(TDataSetState s) {
    if (s != state) ++state_changes;
    state = s;
  }
  void Land(int row) {  // after a resync: row -1 leaves the set empty
    cur = row;
    bof = eof = row < 0;
  }
  void BrowseMode() {  // throws when the pending row cannot be posted
    if (state == TDataSetState::dsBrowse) return;
    modified ? Post() : Cancel();
  }
  void Post() {
    if (state == TDataSetState::dsBrowse) return;
    if (!pending.nb) throw EDatabaseError("Field 'NB' must have a value");
    if (state == TDataSetState::dsEdit) {
      rows[static_cast<std::size_t>(cur)] = pending;
      Land(cur);
    } else {
      rows.push_back(pending);
      Land(n() - 1);
    }
    SetState(TDataSetState::dsBrowse);
  }
  void Cancel() {
    if (state == TDataSetState::dsEdit) {
      SetState(TDataSetState::dsBrowse);
      Land(cur);
    } else if (state == TDataSetState::dsInsert) {
      ++before;
      SetState(TDataSetState::dsBrowse);
      Land(n() - 1);
      ++after;
    }
  }
  void First() {
    BrowseMode();
    ++before;
    Land(n() > 0 ? 0 : -1);
    bof = true;
    ++after;
  }
  void Last() {
    BrowseMode();
    ++before;
    Land(n() - 1);
    eof = true;
    ++after;
  }
  void Move(int step) {
    BrowseMode();
    ++before;
    if (step > 0 ? eof : bof) return;
    bof = eof = false;
    const int to = cur + step;
    if (to < 0)
      bof = true;
    else if (to >= n())
      eof = true;
    else
      cur = to;
    ++after;
  }
  void Append() {
    BrowseMode();
    ++before;
    SetState(TDataSetState::dsInsert);
    pending = Row{};
    modified = false;
    bof = false;
    eof = true;
    ++after;
  }
  void Edit() {
    if (state != TDataSetState::dsBrowse) return;
    if (cur < 0) return Append();
    SetState(TDataSetState::dsEdit);
    pending = rows[static_cast<std::size_t>(cur)];
    modified = false;
  }
  void Delete() {
    if (state == TDataSetState::dsInsert) return Cancel();
    if (cur < 0) throw EDatabaseError("空のデータセットには, この操作は実行できません");
    ++before;
    rows.erase(rows.begin() + cur);
    SetState(TDataSetState::dsBrowse);
    Land(cur < n() ? cur : n() - 1);
    ++after;
  }
  void SetNb(std::optional<int32_t> nb) {
    if (state == TDataSetState::dsBrowse)
      throw EDatabaseError("Table is not in edit or insert mode.");
    pending.nb = nb;
    modified = true;
  }
};

TEST(DataSetTest, RandomSequencesFollowTheModel) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 40; ++round) {
    MemDataSet data;
    Model model;
    for (int i = 0; i < round % 5; ++i)
      data.rows.push_back({-10 + i, i, "r"});
    for (const Row& r : data.rows)
      model.rows.push_back({0, r.nb, r.cmt});
    int state_changes = -2;  // SetDataSet and Open each report once
    TDataSource source;
    source.OnStateChange = [&](TDataSource&) { ++state_changes; };
    source.SetDataSet(&data);
    int before = 0, after = 0;
    data.BeforeScroll = [&](TDataSet&) { ++before; };
    data.AfterScroll = [&](TDataSet&) { ++after; };
    data.Open();
    model.Land(model.n() > 0 ? 0 : -1);
    model.bof = true;
    model.after = 1;

    for (int step = 0; step < 300; ++step) {
      const int op = std::uniform_int_distribution<int>(0, 9)(random);
      const int32_t value = std::uniform_int_distribution<int>(-3, 99)(random);
      std::string expected_error, error;
      auto run = [&](auto&& on_model, auto&& on_data) {
        try {
          on_model();
        } catch (const EDatabaseError& e) {
          expected_error = e.what();
        }
        error = ErrorOf(on_data);
        if (expected_error.empty()) expected_error = "(no error)";
      };
      switch (op) {
        case 0:
          run([&] { model.First(); }, [&] { data.First(); });
          break;
        case 1:
          run([&] { model.Last(); }, [&] { data.Last(); });
          break;
        case 2:
        case 3:
          run([&] { model.Move(1); }, [&] { data.Next(); });
          break;
        case 4:
          run([&] { model.Move(-1); }, [&] { data.Prior(); });
          break;
        case 5:
          run([&] { model.Append(); }, [&] { data.Append(); });
          break;
        case 6:
          run([&] { model.Edit(); }, [&] { data.Edit(); });
          break;
        case 7: {
          const std::optional<int32_t> nb = value < 0 ? std::nullopt : std::optional(value);
          run([&] { model.SetNb(nb); },
              [&] { nb ? data.Fields()[0].SetAsInteger(*nb) : data.Fields()[0].Clear(); });
          break;
        }
        case 8:
          run([&] { model.Post(); }, [&] { data.Post(); });
          break;
        default:
          if (value % 2)
            run([&] { model.Cancel(); }, [&] { data.Cancel(); });
          else
            run([&] { model.Delete(); }, [&] { data.Delete(); });
          break;
      }
      SCOPED_TRACE(testing::Message() << "round " << round << " step " << step << " op " << op);
      ASSERT_EQ(error, expected_error);
      ASSERT_EQ(data.State(), model.state);
      ASSERT_EQ(data.Bof(), model.bof);
      ASSERT_EQ(data.Eof(), model.eof);
      ASSERT_EQ(data.IsEmpty(), model.bof && model.eof);
      ASSERT_EQ(data.RecordCount(), model.n());
      ASSERT_EQ(data.Modified(), model.state != TDataSetState::dsBrowse && model.modified);
      ASSERT_EQ(before, model.before);
      ASSERT_EQ(after, model.after);
      ASSERT_EQ(state_changes, model.state_changes);
      ASSERT_EQ(data.rows.size(), model.rows.size());
      for (std::size_t i = 0; i < model.rows.size(); ++i) {
        ASSERT_EQ(data.rows[i].nb, model.rows[i].nb);
        ASSERT_EQ(data.rows[i].cmt, model.rows[i].cmt);
      }
      std::optional<int32_t> shown;
      if (model.state != TDataSetState::dsBrowse)
        shown = model.pending.nb;
      else if (model.cur >= 0)
        shown = model.rows[static_cast<std::size_t>(model.cur)].nb;
      ASSERT_EQ(data.Fields()[0].IsNull(), !shown.has_value());
      if (shown) {
        ASSERT_EQ(data.Fields()[0].AsInteger(), *shown);
      }
      if (model.state == TDataSetState::dsBrowse) {
        ASSERT_EQ(data.RecNo(), model.cur + 1);
      }
    }
    data.Close();
    EXPECT_EQ(data.State(), TDataSetState::dsInactive);
  }
}

TEST(DataSetTest, FieldsConvertValuesAndReportMisuse) {
  MemDataSet data;
  data.rows = {{1, 7, "seven"}};
  EXPECT_EQ(ErrorOf([&] { data.First(); }), "Cannot perform this operation on a closed dataset");
  data.Open();
  TField& nb = data.FieldByName("nb");
  TField& cmt = data.Fields()[1];
  EXPECT_EQ(nb.AsString(), "7");
  EXPECT_EQ(cmt.AsString(), "seven");
  EXPECT_EQ(ErrorOf([&] { cmt.AsInteger(); }), "'seven' is not a valid integer value");
  EXPECT_EQ(ErrorOf([&] { data.Fields()[2]; }), "List index out of bounds (2)");
  EXPECT_EQ(ErrorOf([&] { data.FieldByName("PNT"); }), "Field 'PNT' not found");
  EXPECT_EQ(ErrorOf([&] { nb.SetAsInteger(1); }), "Table is not in edit or insert mode.");

  data.Edit();
  nb.SetAsString(" 42 ");
  cmt.SetAsString("a longer comment");  // cut to the field's 8 characters
  EXPECT_EQ(ErrorOf([&] { nb.SetAsString("4x"); }), "'4x' is not a valid integer value");
  EXPECT_EQ(ErrorOf([&] { nb.SetAsBoolean(true); }), "Cannot access field 'NB' as type Boolean");
  data.Post();
  EXPECT_EQ(data.rows[0].nb, 42);
  EXPECT_EQ(data.rows[0].cmt, "a longer");
  data.Edit();
  nb.SetAsString("");
  EXPECT_TRUE(nb.IsNull());
  EXPECT_EQ(ErrorOf([&] { data.Post(); }), "Field 'NB' must have a value");
  EXPECT_EQ(data.State(), TDataSetState::dsEdit);  // a failed post keeps the edit
  data.Cancel();
  EXPECT_EQ(nb.AsInteger(), 42);
  data.Edit();
  data.FieldByName("NB").SetAsInteger(9);
  data.Close();  // closing while editing cancels the edit
  EXPECT_EQ(data.rows[0].nb, 42);

  data.Open();
  data.Delete();
  EXPECT_EQ(ErrorOf([&] { data.Delete(); }), "空のデータセットには, この操作は実行できません");
  data.Close();
  data.read_only = true;
  data.Open();
  EXPECT_EQ(ErrorOf([&] { data.Append(); }), "Cannot modify a read-only dataset");
  EXPECT_EQ(ErrorOf([&] { data.Edit(); }), "Cannot modify a read-only dataset");
}

TEST(DataSetTest, CalculatedFieldsLocateAndLookup) {
  MemDataSet data;
  for (int32_t i = 1; i <= 4; ++i)
    data.rows.push_back({i, i * 10, "c" + std::to_string(i)});
  TField& twice = data.AddCalculatedField("TWICE", TFieldType::ftInteger, 0);
  std::vector<TDataSetState> seen;
  data.OnCalcFields = [&](TDataSet& d) {
    seen.push_back(d.State());
    d.FieldByName("TWICE").SetAsInteger(d.Fields()[0].AsInteger() * 2);
  };
  data.Open();
  ASSERT_EQ(data.FieldCount(), 3);
  EXPECT_EQ(twice.Index(), 2);
  EXPECT_EQ(twice.AsInteger(), 20);
  data.Next();
  EXPECT_EQ(twice.AsInteger(), 40);
  EXPECT_EQ(seen.front(), TDataSetState::dsCalcFields);
  EXPECT_EQ(data.State(), TDataSetState::dsBrowse);
  EXPECT_FALSE(data.Modified());

  int scrolls = 0;
  data.AfterScroll = [&](TDataSet&) { ++scrolls; };
  EXPECT_TRUE(data.Locate("NB", {int64_t{30}}, {}));
  EXPECT_EQ(data.RecNo(), 3);
  EXPECT_FALSE(data.Locate("NB", {int64_t{35}}, {}));
  EXPECT_EQ(data.RecNo(), 3);  // not found: the current row stays
  EXPECT_EQ(scrolls, 1);
  EXPECT_EQ(data.Lookup("NB", {int64_t{10}}, "CMT"), TFieldValue(std::string("c1")));
  EXPECT_EQ(data.RecNo(), 3);  // Lookup returns to the row it started from
  const TBookmark mark = data.GetBookmark();
  data.SetRecNo(4);
  EXPECT_EQ(data.Fields()[1].AsString(), "c4");
  data.GotoBookmark(mark);
  EXPECT_EQ(data.Fields()[1].AsString(), "c3");

  data.Close();
  data.Open();  // calculated fields survive a reopen, data fields are made again
  EXPECT_EQ(data.FieldCount(), 3);
  EXPECT_EQ(data.Fields()[2].AsInteger(), 20);
}

}  // namespace
}  // namespace kura
