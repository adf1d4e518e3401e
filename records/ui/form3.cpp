#include "records/ui/form3.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTreeWidget>

#include "db/common/database_error.h"

#include <cerrno>

#include "records/duplicates.h"
#include "records/record_file.h"
#include "records/sgf_reader.h"
#include "records/ugf_reader.h"

namespace kirobaku {

namespace {

// Client area below the menu bar, and the window's colours and font.
constexpr int kClientWidth = 724;
constexpr int kClientHeight = 547;
const QColor kFormColour(240, 240, 255);
const QColor kPurple(128, 0, 128);

QFont WindowFont() {
  QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
  font.setPixelSize(12);
  return font;
}

const QString kInstructions = QStringLiteral(
    "右の棋譜ファイルリストで目的のファイルを選択し、\r\n"
    "再度「棋譜取込」ボタンを押してください。\r\n"
    "番号は自動採番、コメントは自動入力されます。");

// The reason a game-record file could not be read, in the window's language.
QString ReadErrorText(const RecordFileError& e) {
  QString reason;
  switch (e.Error()) {
    case 0:
      reason = QStringLiteral("棋譜ファイルとしては大きすぎます。");
      break;
    case ENOENT:
    case ENOTDIR:
      reason = QStringLiteral("ファイルがありません。");
      break;
    case EACCES:
    case EPERM:
      reason = QStringLiteral("読み取りが許可されていません。");
      break;
    case EISDIR:
      reason = QStringLiteral("フォルダーです。");
      break;
    default:
      reason = QStringLiteral("エラー番号 %1").arg(e.Error());
      break;
  }
  return QStringLiteral("棋譜ファイル「%1」を読み込めません。%2")
      .arg(QString::fromStdString(e.Path().string()), reason);
}

const QString kListChanged =
    QStringLiteral("　一覧が他で変更されていたので読み直しました。行を選び直してください。");

}  // namespace

std::int32_t LastGameNumber = 0;

TForm3::TForm3(QWidget* owner, TForm3Services services)
    : QDialog(owner), services_(std::move(services)) {
  setObjectName(QStringLiteral("TForm3"));
  setWindowTitle(QStringLiteral("棋譜処理"));
  setModal(true);
  setFont(WindowFont());
  QPalette colours = palette();
  colours.setColor(QPalette::Window, kFormColour);
  setPalette(colours);
  setAutoFillBackground(true);

  auto* menu = new QMenuBar(this);
  QAction* help = menu->addAction(QStringLiteral("ヘルプ"));
  help->setObjectName(QStringLiteral("Help1"));
  connect(help, &QAction::triggered, this, &TForm3::Help1Click);
  QAction* back = menu->addAction(QStringLiteral("碁盤に戻る"));
  back->setObjectName(QStringLiteral("N1"));
  connect(back, &QAction::triggered, this, &TForm3::N1Click);
  // The second click of the double-click that opened the window must not
  // land on this menu bar, which lies where the main window's menu is.
  menu->installEventFilter(this);
  menuBar_ = menu;
  const int menuHeight = menu->sizeHint().height();
  menu->setGeometry(0, 0, kClientWidth, menuHeight);

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("Client"));
  client->setGeometry(0, menuHeight, kClientWidth, kClientHeight);

  kura::TDataSource* list = services_.data ? &services_.data->DataSource1 : nullptr;
  if (list == nullptr) {
    emptySource_ = std::make_unique<kura::TDataSource>();
    list = emptySource_.get();
  }
  grid_ = new TDBGrid(list, {{0, QStringLiteral("番号"), 50}, {1, QStringLiteral("コメント"), 540}},
                      client);
  grid_->setObjectName(QStringLiteral("DBGrid1"));
  grid_->setGeometry(48, 32, 625, 242);
  grid_->ConfirmDelete = [this] {
    const bool yes = !services_.confirmDelete || services_.confirmDelete();
    if (yes) stored_.reset();  // the list changes under the index
    return yes;
  };
  grid_->Model().ShowError = [this](const QString& text) { ShowError(text); };
  grid_->Model().ListChanged = [this] { SetStatus(kListChanged); };

  label4_ = new QLabel(QStringLiteral("操作方法"), client);
  label4_->setObjectName(QStringLiteral("Label4"));
  label4_->move(56, 296);
  QPalette purple = label4_->palette();
  purple.setColor(QPalette::WindowText, kPurple);
  label4_->setPalette(purple);

  // The folder list shows the way from the root to the current folder, one
  // step deeper per line, and below it the current folder's own folders; a
  // click on a line makes that folder current.
  directoryListBox1_ = new QTreeWidget(client);
  directoryListBox1_->setObjectName(QStringLiteral("DirectoryListBox1"));
  directoryListBox1_->setGeometry(408, 296, 121, 217);
  directoryListBox1_->setHeaderHidden(true);
  directoryListBox1_->setIndentation(6);
  directoryListBox1_->setRootIsDecorated(false);
  directoryListBox1_->setItemsExpandable(false);
  connect(directoryListBox1_, &QTreeWidget::itemClicked, this,
          [this](QTreeWidgetItem* item) { ChangeFolder(item->data(0, Qt::UserRole).toString()); });

  fileListBox1_ = new QListWidget(client);
  fileListBox1_->setObjectName(QStringLiteral("FileListBox1"));
  fileListBox1_->setGeometry(552, 296, 121, 217);
  fileListBox1_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  connect(fileListBox1_, &QListWidget::itemClicked, this, &TForm3::FileListBox1Click);
  // A click where no file is arms the import with no file, too.
  fileListBox1_->viewport()->installEventFilter(this);

  struct ButtonPlace {
    const char* name;
    const char* caption;
    int x, y;
    void (TForm3::*handler)();
  };
  const ButtonPlace buttons[] = {
      {"Button1", "棋譜読込", 48, 392, &TForm3::Button1Click},
      {"Button2", "登録・更新", 144, 392, &TForm3::Button2Click},
      {"Button7", "棋譜取込", 48, 440, &TForm3::Button7Click},
      {"Button8", "棋譜削除", 144, 440, &TForm3::Button8Click},
      {"Button9", "180°回転", 48, 488, &TForm3::Button9Click},
      {"Button5", "キャンセル", 144, 488, &TForm3::Button5Click},
  };
  for (const ButtonPlace& place : buttons) {
    auto* button = new QPushButton(QString::fromUtf8(place.caption), client);
    button->setObjectName(QString::fromLatin1(place.name));
    button->setGeometry(place.x, place.y, 75, 25);
    // Enter in the grid or an editor must not press a button.
    button->setAutoDefault(false);
    button->setDefault(false);
    connect(button, &QPushButton::clicked, this, place.handler);
  }

  progressBar1_ = new QProgressBar(client);
  progressBar1_->setObjectName(QStringLiteral("ProgressBar1"));
  progressBar1_->setGeometry(240, 492, 168, 18);
  progressBar1_->hide();

  statusBar1_ = new QStatusBar(client);
  statusBar1_->setObjectName(QStringLiteral("StatusBar1"));
  statusBar1_->setSizeGripEnabled(false);
  const int statusHeight = statusBar1_->sizeHint().height();
  statusBar1_->setGeometry(0, kClientHeight - statusHeight, kClientWidth, statusHeight);

  setFixedSize(kClientWidth, menuHeight + kClientHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }

  FormCreate();
}

void TForm3::FormCreate() {
  fileChosen_ = false;
  ShowImport(false);
  if (services_.data == nullptr) return;
  services_.data->OpenList(TDataModule1::kListedGames);
  if (LastGameNumber > 0) {
    services_.data->KuraQuery1.Locate("NB", {kura::TFieldValue(int64_t{LastGameNumber})}, {});
  }
  grid_->Model().Reload();
}

void TForm3::closeEvent(QCloseEvent* event) {
  if (importing_) {
    cancelRequested_ = true;  // the import stops; the window stays open
    event->ignore();
    return;
  }
  if (!grid_->FinishEditing()) {
    event->ignore();
    return;
  }
  if (services_.data != nullptr) services_.data->KuraQuery2.Close();
  QDialog::closeEvent(event);
}

void TForm3::done(int result) {
  if (importing_) {
    cancelRequested_ = true;
    return;
  }
  if (!grid_->FinishEditing()) return;
  QDialog::done(result);
}

void TForm3::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    // Only a button the user moved the focus to.
    if (auto* button = qobject_cast<QPushButton*>(focusWidget());
        button != nullptr && isAncestorOf(button)) {
      button->click();
    }
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TForm3::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  shown_.start();
}

bool TForm3::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  const bool press = type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
                     type == QEvent::MouseButtonDblClick;
  if (press && watched == menuBar_ && shown_.isValid() &&
      shown_.elapsed() < QApplication::doubleClickInterval()) {
    return true;
  }
  if (type == QEvent::MouseButtonRelease && watched == fileListBox1_->viewport()) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (fileListBox1_->itemAt(mouse->position().toPoint()) == nullptr) {
      fileListBox1_->clearSelection();
      fileListBox1_->setCurrentItem(nullptr);
      FileListBox1Click();
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TForm3::ShowError(const QString& text) {
  if (services_.showError) {
    services_.showError(text);
  } else if (services_.main != nullptr) {
    services_.main->ShowMessage(text.toStdString());
  } else {
    throw kura::EDatabaseError(text.toStdString());
  }
}

std::optional<std::int32_t> TForm3::SelectedNumber() {
  TDataSetGridModel& model = grid_->Model();
  if (model.rowCount() == 0) {
    LastGameNumber = 0;
    return 0;
  }
  const std::vector<QString> seen = model.Chosen();
  bool ok = false;
  const std::int32_t n = seen.empty() ? 0 : seen[0].toInt(&ok);
  // The game as stored now (a pending row of the grid is posted first).
  if (!ok || !services_.data->KuraQuery1.Locate("NB", {kura::TFieldValue(int64_t{n})}, {}) ||
      model.CurrentTexts() != seen) {
    model.Reload();
    SetStatus(kListChanged);
    return std::nullopt;
  }
  LastGameNumber = n;
  return n;
}

bool TForm3::Ask(std::int32_t n, const char* question) {
  return services_.main == nullptr || services_.main->AskYesNo(std::to_string(n) + question);
}

void TForm3::SetStatus(const QString& text) {
  statusBar1_->showMessage(text);
}

void TForm3::Button1Click() {
  if (services_.data == nullptr || services_.game == nullptr) return;
  GameState& game = *services_.game;
  const std::optional<std::int32_t> n = SelectedNumber();
  if (!n) return;
  game.ResetGame();
  services_.data->LoadGame(*n, game.MoveRecord);
  game.ReplayTo(1, 1);
  if (services_.main != nullptr) services_.main->SetStatusText(0, "　始めてください。");
  close();
}

void TForm3::Button2Click() {
  if (services_.data == nullptr || services_.game == nullptr) return;
  const std::optional<std::int32_t> n = SelectedNumber();
  if (!n || !Ask(*n, "　番の登録／更新を行っていいですか？")) return;
  stored_.reset();
  services_.data->ReplaceMoves(*n, services_.game->MoveRecord, services_.game->Position);
  SetStatus(QStringLiteral("　登録／更新しました。"));
  if (services_.main != nullptr) services_.main->PlaySound(0);
}

void TForm3::Button9Click() {
  if (services_.data == nullptr) return;
  const std::optional<std::int32_t> n = SelectedNumber();
  if (!n || !Ask(*n, "　番を180°回転していいですか？")) return;
  stored_.reset();
  services_.data->RotateGame(*n);
  SetStatus(QStringLiteral("180°回転しました。"));
  if (services_.main != nullptr) services_.main->PlaySound(0);
}

void TForm3::Button8Click() {
  if (services_.data == nullptr) return;
  const std::optional<std::int32_t> n = SelectedNumber();
  if (!n || !Ask(*n, "　番を削除していいですか？")) return;
  stored_.reset();
  if (services_.data->DeleteGame(*n)) {
    SetStatus(QStringLiteral("　削除しました。"));
    if (services_.main != nullptr) services_.main->PlaySound(0);
  }
}

bool TForm3::Choosing() const {
  return !label4_->isHidden();
}

void TForm3::ShowImport(bool shown) {
  label4_->setVisible(shown);
  directoryListBox1_->setVisible(shown);
  fileListBox1_->setVisible(shown);
}

void TForm3::ChangeFolder(const QString& folder) {
  QDir::setCurrent(folder);
  FillFolderList();
  FillFileList();
}

void TForm3::FillFolderList() {
  directoryListBox1_->clear();
  const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
  const QIcon closed = style()->standardIcon(QStyle::SP_DirIcon);
  const auto line = [&](QTreeWidgetItem* parent, const QString& name, const QString& path,
                        const QIcon& icon) {
    auto* item =
        parent != nullptr ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(directoryListBox1_);
    item->setText(0, name);
    item->setIcon(0, icon);
    item->setToolTip(0, QDir::toNativeSeparators(path));
    item->setData(0, Qt::UserRole, path);
    return item;
  };
  // The folders from the root down to the current one.
  QDir dir = QDir::current();
  QStringList way;
  do {
    way.prepend(dir.absolutePath());
  } while (dir.cdUp());
  QTreeWidgetItem* current = nullptr;
  for (const QString& path : way) {
    const QString name = QFileInfo(path).fileName();
    current = line(current, name.isEmpty() ? QDir::toNativeSeparators(path) : name, path, open);
    current->setExpanded(true);
  }
  const QDir here = QDir::current();
  for (const QString& name :
       here.entryList(QDir::AllDirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase)) {
    line(current, name, here.absoluteFilePath(name), closed);
  }
  directoryListBox1_->expandAll();
  directoryListBox1_->setCurrentItem(current);
  directoryListBox1_->scrollToItem(current, QAbstractItemView::PositionAtCenter);
}

void TForm3::FillFileList() {
  fileListBox1_->clear();
  const QStringList names =
      QDir::current().entryList({QStringLiteral("*.ugf"), QStringLiteral("*.sgf")}, QDir::Files,
                                QDir::Name | QDir::IgnoreCase);
  fileListBox1_->addItems(names);
}

void TForm3::Button7Click() {
  if (!fileChosen_) {
    label4_->setText(kInstructions);
    label4_->adjustSize();
    ChangeFolder(QDir::currentPath());
    ShowImport(true);
    return;
  }
  Import();
}

void TForm3::Import() {
  if (services_.game != nullptr) services_.game->MoveRecord.fill(MoveEntry{});
  if (!services_.programDir.isEmpty()) ChangeFolder(services_.programDir);
  QStringList files;
  for (const QString& file : chosenFiles_.isEmpty() ? QStringList{chosenFile_} : chosenFiles_) {
    const QString kind = file.right(3).toUpper();
    if (kind == QStringLiteral("SGF") || kind == QStringLiteral("UGF")) files << file;
  }
  if (files.isEmpty()) {
    if (services_.main != nullptr)
      services_.main->ShowMessage("棋譜ファイルリストを選んでください。");
    return;
  }
  if (services_.game == nullptr || services_.data == nullptr) return;
  if (!grid_->FinishEditing()) return;
  ImportFiles(files);
}

// The chosen files go in through one bulk import: many games to a commit,
// the progress bar moving, キャンセル (the only control left enabled) ending
// it after the file being read; what was stored stays. A game whose moves
// equal a stored game's is stored only when the user says so.
void TForm3::ImportFiles(const QStringList& files) {
  Record& record = services_.game->MoveRecord;
  TDataModule1& data = *services_.data;
  if (!stored_) {
    // Reading the stored games' key moves takes a few seconds on a
    // collection of 100,000 games: the user is told what is going on.
    SetStatus(QStringLiteral("　登録済みの棋譜と照合しています…"));
    statusBar1_->repaint();
    stored_.emplace(data);
  }
  struct Outcome {
    int stored = 0, skipped = 0, unreadable = 0;
    std::int32_t last = 0;
    std::string unkept;
  } outcome;
  SetImporting(true, static_cast<int>(files.size()));
  const struct Restore {
    TForm3* form;
    ~Restore() { form->SetImporting(false, 0); }
  } restore{this};
  TGameImport bulk(data);
  QElapsedTimer sinceEvents;
  sinceEvents.start();
  for (int i = 0; i < files.size() && !cancelRequested_; ++i) {
    const std::filesystem::path path = files[i].toStdString();
    record.fill(MoveEntry{});
    std::string comment, unkept;
    try {
      comment = ReadGameRecord(path, record, &unkept);
    } catch (const RecordFileError& e) {
      if (files.size() == 1) {
        // Nothing is stored, and the window stays in the import state.
        ShowError(ReadErrorText(e));
        return;
      }
      ++outcome.unreadable;
      continue;
    }
    if (const std::int32_t same = stored_->Find(record);
        same != 0 &&
        !(services_.main != nullptr &&
          services_.main->AskYesNo(QStringLiteral("「%1」は %2 番と同じ棋譜です。取り込みますか？")
                                       .arg(QFileInfo(files[i]).fileName())
                                       .arg(same)
                                       .toStdString()))) {
      ++outcome.skipped;
    } else {
      outcome.last = bulk.Store(comment, record);
      stored_->Add(outcome.last, record);
      bulk.CommitWhenFull();
      ++outcome.stored;
      for (const char32_t c : QString::fromStdString(unkept).toUcs4()) {
        const std::string one = QString::fromUcs4(&c, 1).toStdString();
        if (outcome.unkept.find(one) == std::string::npos) outcome.unkept += one;
      }
    }
    progressBar1_->setValue(i + 1);
    // The window is kept alive (and キャンセル heard) every 50 ms.
    if (i == 0 || sinceEvents.elapsed() >= 50) {
      QCoreApplication::processEvents();
      sinceEvents.restart();
    }
  }
  bulk.Commit();
  ReportImport(outcome.stored, outcome.skipped, outcome.unreadable, files.size() > 1,
               outcome.unkept);
  if (outcome.stored > 0) {
    data.KuraQuery1.Locate("NB", {kura::TFieldValue(int64_t{outcome.last})}, {});
    if (services_.main != nullptr) services_.main->PlaySound(0);
  }
  ShowImport(false);
  fileChosen_ = false;
  chosenFiles_.clear();
}

void TForm3::ReportImport(int stored, int skipped, int unreadable, bool many,
                          const std::string& unkept) {
  QString text;
  if (cancelRequested_) {
    text = QStringLiteral("　取込みを中止しました。%1 局を取込みました。").arg(stored);
  } else if (!many && stored == 1) {
    text = QStringLiteral("　取込みました。");
  } else {
    text = QStringLiteral("　%1 局を取込みました。").arg(stored);
  }
  if (skipped > 0) text += QStringLiteral("同じ棋譜 %1 局は取込みませんでした。").arg(skipped);
  if (unreadable > 0) text += QStringLiteral("読めないファイルが %1 ありました。").arg(unreadable);
  if (!unkept.empty()) {
    text += QStringLiteral("シフト JIS にない文字「%1」は「?」になりました。")
                .arg(QString::fromStdString(unkept));
  }
  SetStatus(text);
}

void TForm3::SetImporting(bool importing, int files) {
  importing_ = importing;
  cancelRequested_ = false;
  for (QPushButton* button : findChildren<QPushButton*>()) {
    if (button->objectName() != QStringLiteral("Button5")) button->setEnabled(!importing);
  }
  grid_->setEnabled(!importing);
  directoryListBox1_->setEnabled(!importing);
  fileListBox1_->setEnabled(!importing);
  grid_->SetFrozen(importing);
  progressBar1_->setRange(0, std::max(files, 1));
  progressBar1_->setValue(0);
  progressBar1_->setVisible(importing && files > 1);
}

void TForm3::FileListBox1Click() {
  const QListWidgetItem* item = fileListBox1_->currentItem();
  chosenFile_ = item != nullptr && item->isSelected()
                    ? QDir::current().absoluteFilePath(item->text())
                    : QString();
  // Several files chosen (Shift or Ctrl with the click) are imported together.
  chosenFiles_.clear();
  const QList<QListWidgetItem*> selected = fileListBox1_->selectedItems();
  if (selected.size() > 1) {
    for (int i = 0; i < fileListBox1_->count(); ++i) {
      if (fileListBox1_->item(i)->isSelected())
        chosenFiles_ << QDir::current().absoluteFilePath(fileListBox1_->item(i)->text());
    }
  }
  fileChosen_ = true;
}

void TForm3::Button5Click() {
  if (importing_) {
    cancelRequested_ = true;
    return;
  }
  if (services_.data != nullptr) {
    services_.data->OpenList(TDataModule1::kListedGames);
    grid_->Model().Reload();
  }
  ShowImport(false);
  fileChosen_ = false;
}

void TForm3::Help1Click() {
  if (services_.help) services_.help();
}

}  // namespace kirobaku
