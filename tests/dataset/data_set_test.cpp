// The framework driven through a small in-memory dataset (tests/support/
// mem_data_set.h) and held against an independent model of its rules.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>

#include "db/common/database_error.h"
#include "db/dataset/data_set.h"
#include "db/dataset/data_source.h"
#include "tests/support/mem_data_set.h"

namespace kura {
namespace {

using test::MemDataSet;
using test::Row;

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
  // Cut at a character boundary: the third double-byte character would
  // leave only its first byte in the eighth place.
  data.Edit();
  cmt.SetAsString("abc\x88\xea\x93\xf1\x8e\x4f");  // "abc" and three kanji, 9 bytes
  data.Post();
  EXPECT_EQ(data.rows[0].cmt, "abc\x88\xea\x93\xf1");
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
