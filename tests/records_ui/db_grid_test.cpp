// The grid over a dataset: edits reach the dataset's rows only by its rules
// (edit, post on leaving the row, append below the last row, cancel, delete
// after confirmation), and text the code page cannot hold is refused.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include "db/common/code_page.h"
#include "db/common/database_error.h"
#include "records/ui/db_grid.h"
#include "tests/support/mem_data_set.h"

namespace kirobaku {
namespace {

using kura::test::MemDataSet;
using kura::test::Row;

struct GridFixture : ::testing::Test {
  MemDataSet ds;
  kura::TDataSource source;
  std::unique_ptr<TDBGrid> grid;
  bool confirm = false;
  int asked = 0;

  void SetUp() override {
    ds.rows = {{1, 1, "a"}, {2, 2, kura::Utf8ToCp932("碁")}};
    ds.Open();
    source.SetDataSet(&ds);
    grid = std::make_unique<TDBGrid>(
        &source, std::vector<TGridColumn>{{0, "NB", 50}, {1, "CMT", 100}}, nullptr);
    grid->ConfirmDelete = [this] {
      ++asked;
      return confirm;
    };
    grid->resize(300, 200);
    grid->show();
  }

  // Runs the queued reloads and deletes the closed editors.
  static void Settle() {
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  QString Cell(int row, int column) { return grid->model()->index(row, column).data().toString(); }

  // Types `text` into the cell's editor and commits it with Enter.
  void Type(int row, int column, const QString& text) {
    const QModelIndex index = grid->model()->index(row, column);
    grid->setCurrentIndex(index);
    grid->edit(index);
    auto* editor = grid->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    editor->setText(text);  // typed Japanese comes through the input method
    QTest::keyClick(editor, Qt::Key_Return);
    Settle();
  }
  void Key(Qt::Key key) {
    QTest::keyClick(grid.get(), key);
    Settle();
  }
};

TEST_F(GridFixture, EditsReachTheDataSetByItsRules) {
  ASSERT_EQ(grid->model()->rowCount(), 2);
  EXPECT_EQ(Cell(1, 1), QStringLiteral("碁"));

  // An edited cell puts the row in edit; leaving the row posts it.
  Type(0, 1, QStringLiteral("囲碁"));
  EXPECT_EQ(ds.State(), kura::TDataSetState::dsEdit);
  EXPECT_EQ(ds.rows[0].cmt, std::optional<std::string>("a"));
  EXPECT_EQ(Cell(0, 1), QStringLiteral("囲碁"));
  Key(Qt::Key_Down);
  EXPECT_EQ(ds.State(), kura::TDataSetState::dsBrowse);
  EXPECT_EQ(ds.rows[0].cmt, std::optional<std::string>(kura::Utf8ToCp932("囲碁")));
  EXPECT_EQ(grid->currentIndex().row(), 1);

  // Down on the last row appends; Escape cancels the new row.
  Key(Qt::Key_Down);
  EXPECT_EQ(ds.State(), kura::TDataSetState::dsInsert);
  EXPECT_EQ(grid->model()->rowCount(), 3);
  Type(2, 0, QStringLiteral("5"));
  Key(Qt::Key_Escape);
  EXPECT_EQ(ds.rows.size(), 2u);
  EXPECT_EQ(grid->model()->rowCount(), 2);

  // An appended row is posted when the user leaves it.
  grid->setCurrentIndex(grid->model()->index(1, 0));
  Key(Qt::Key_Down);
  Type(2, 0, QStringLiteral("7"));
  Type(2, 1, QStringLiteral("布石"));
  Key(Qt::Key_Up);
  ASSERT_EQ(ds.rows.size(), 3u);
  EXPECT_EQ(ds.rows[2].nb, std::optional<int32_t>(7));
  EXPECT_EQ(ds.rows[2].cmt, std::optional<std::string>(kura::Utf8ToCp932("布石")));
  EXPECT_EQ(Cell(2, 1), QStringLiteral("布石"));

  // A character the code page lacks is refused, naming it; nothing changes.
  const QModelIndex cmt = grid->model()->index(1, 1);
  try {
    grid->model()->setData(cmt, QStringLiteral("碁😀"), Qt::EditRole);
    ADD_FAILURE() << "no error";
  } catch (const kura::EDatabaseError& e) {
    EXPECT_NE(QString::fromUtf8(e.what()).indexOf(QStringLiteral("😀")), -1) << e.what();
  }
  ds.Cancel();
  QApplication::processEvents();
  EXPECT_EQ(ds.rows[1].cmt, std::optional<std::string>(kura::Utf8ToCp932("碁")));
  EXPECT_EQ(Cell(1, 1), QStringLiteral("碁"));

  // Delete asks first; No keeps the row, Yes deletes it.
  grid->setCurrentIndex(grid->model()->index(0, 0));
  Key(Qt::Key_Delete);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(ds.rows.size(), 3u);
  confirm = true;
  Key(Qt::Key_Delete);
  ASSERT_EQ(ds.rows.size(), 2u);
  EXPECT_EQ(ds.rows[0].nb, std::optional<int32_t>(2));
  EXPECT_EQ(grid->model()->rowCount(), 2);
  EXPECT_EQ(Cell(0, 0), QStringLiteral("2"));
}

// The grid never walks the whole dataset: moving between rows only changes
// the current row, a posted comment keeps its row's place, and a posted key
// reads again only the rows shown, which then match the dataset row by row.
TEST_F(GridFixture, MovingReadsNoRowsButPostingReadsThemAgain) {
  for (int32_t n = 3; n <= 40; ++n)
    ds.rows.push_back({n, n, "x"});
  ds.Close();
  ds.Open();
  Settle();
  ASSERT_EQ(grid->model()->rowCount(), 40);
  const int walks = ds.walks;
  for (int row : {5, 39, 0, 17}) {
    grid->setCurrentIndex(grid->model()->index(row, 1));
    Settle();
    EXPECT_EQ(ds.RecNo(), row + 1);
    EXPECT_EQ(grid->Model().CurrentRow(), row);
  }
  Key(Qt::Key_Down);
  EXPECT_EQ(ds.RecNo(), 19);
  EXPECT_EQ(ds.walks, walks);

  Type(18, 1, QStringLiteral("手合"));
  Key(Qt::Key_Up);
  EXPECT_EQ(ds.walks, walks);
  EXPECT_EQ(ds.rows[18].cmt, std::optional<std::string>(kura::Utf8ToCp932("手合")));
  EXPECT_EQ(Cell(18, 1), QStringLiteral("手合"));
  EXPECT_EQ(grid->Model().CurrentRow(), 17);
  Type(17, 0, QStringLiteral("99"));
  Key(Qt::Key_Down);
  EXPECT_EQ(ds.walks, walks);
  EXPECT_EQ(ds.rows[17].nb, std::optional<int32_t>(99));
  ASSERT_EQ(grid->model()->rowCount(), 40);
  for (int r = 0; r < 40; ++r) {
    EXPECT_EQ(Cell(r, 0), QString::number(*ds.rows[std::size_t(r)].nb)) << r;
    EXPECT_EQ(Cell(r, 1).toStdString(), kura::Cp932ToUtf8(ds.rows[std::size_t(r)].cmt.value_or("")))
        << r;
  }
}

TEST_F(GridFixture, ChangesMadeOutsideTheGridAreShown) {
  ds.Last();
  ds.Append();
  ds.Fields()[0].SetAsInteger(9);
  ds.Post();
  Settle();
  ASSERT_EQ(grid->model()->rowCount(), 3);
  EXPECT_EQ(Cell(2, 0), QStringLiteral("9"));
  EXPECT_EQ(grid->Model().CurrentRow(), 2);
  EXPECT_EQ(grid->currentIndex().row(), 2);
  ds.Close();
  QApplication::processEvents();
  EXPECT_EQ(grid->model()->rowCount(), 0);
}

}  // namespace
}  // namespace kirobaku
