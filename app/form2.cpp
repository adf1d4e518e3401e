#include "app/form2.h"

#include <sys/stat.h>
#include <QApplication>
#include <QDateTime>
#include <QKeyEvent>
#include <QLocale>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QDir>
#include <QStatusBar>
#include <QStyleOptionSlider>
#include <algorithm>
#include <chrono>
#include <random>
#include <stdexcept>

#include "app/engine_menu.h"
#include "app/program_files.h"
#include "records/ui/form3.h"
#include "records/ui/printing.h"

namespace kirobaku {

namespace {

const QColor kFormColour(240, 240, 255);
const QColor kBoardColour(254, 231, 182);
constexpr int kClientWidth = 735;
constexpr int kClientHeight = 536;  // above the status bar
constexpr int kStatusHeight = 19;
constexpr int kGridOrigin = 16;
constexpr int kGridStep = 28;
constexpr int kGridLength = 504;
// Marks the 361 point labels, whose presses are the board clicks.
constexpr const char* kPointProperty = "kirobakuPoint";
// The star points: intersections of lines 3, 9 and 15; the last shape repeats one.
constexpr PointIndex kStarPoints[] = {61, 67, 73, 175, 181, 187, 289, 295, 301, 301};

// A drawn rectangle or circle of the board; it never takes the mouse.
class Shape : public QWidget {
 public:
  Shape(QWidget* parent, const QString& name, const QRect& rect, QColor fill, bool circle,
        bool outline)
      : QWidget(parent), fill_(fill), circle_(circle), outline_(outline) {
    setObjectName(name);
    setGeometry(rect);
    setAttribute(Qt::WA_TransparentForMouseEvents);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setPen(outline_ ? QPen(Qt::black) : QPen(Qt::NoPen));
    painter.setBrush(fill_);
    if (circle_) {
      // A solid dot: the full rows and columns, one pixel shorter at each end
      // for the outer ones (a 5 x 5 circle is a square without its corners).
      painter.setPen(Qt::NoPen);
      const int w = width(), h = height();
      painter.drawRect(1, 0, w - 2, h);
      painter.drawRect(0, 1, w, h - 2);
    } else {
      painter.drawRect(outline_ ? rect().adjusted(0, 0, -1, -1) : rect());
    }
  }

 private:
  QColor fill_;
  bool circle_;
  bool outline_;
};

// The track bar, with a tick per unit drawn in one pass under the handle (the
// style would draw 401 ticks one by one on every change).
class TrackBar : public QSlider {
 public:
  explicit TrackBar(QWidget* parent) : QSlider(Qt::Horizontal, parent) {}

 protected:
  void paintEvent(QPaintEvent* event) override {
    {
      QStyleOptionSlider option;
      initStyleOption(&option);
      const int handle = style()->pixelMetric(QStyle::PM_SliderLength, &option, this);
      const int span = width() - handle;
      QList<QLine> ticks;
      ticks.reserve(maximum() - minimum() + 1);
      for (int v = minimum(); v <= maximum(); ++v) {
        const int x = handle / 2 + QStyle::sliderPositionFromValue(minimum(), maximum(), v, span);
        ticks.append(QLine(x, height() - 3, x, height() - 1));
      }
      QPainter painter(this);
      painter.setPen(palette().color(QPalette::WindowText));
      painter.drawLines(ticks);
    }
    QSlider::paintEvent(event);
  }

 public:
  // The x of value v's tick, in the bar's own coordinates.
  int TickX(int v) const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const int handle = style()->pixelMetric(QStyle::PM_SliderLength, &option, this);
    return handle / 2 + QStyle::sliderPositionFromValue(minimum(), maximum(), v, width() - handle);
  }
};

// The scale under the track bar: each of its numbers is centred under its
// tick, moved inwards where it would pass an end of the bar, so the scale
// never reaches beyond the bar. The label's text stays the whole scale.
class TrackScale : public QLabel {
 public:
  TrackScale(const QString& text, const TrackBar& bar, QWidget* parent)
      : QLabel(text, parent), bar_(bar) {
    setGeometry(bar.x(), bar.y() + bar.height(), bar.width(), fontMetrics().height() + 2);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const QFontMetrics metrics = fontMetrics();
    for (const QString& number : text().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
      const int w = metrics.horizontalAdvance(number);
      const int left = std::clamp(bar_.TickX(number.toInt()) - w / 2, 0, width() - w);
      painter.drawText(left, metrics.ascent() + 1, number);
    }
  }

 private:
  const TrackBar& bar_;
};

QFont WindowFont() {
  QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
  font.setPixelSize(12);
  return font;
}

QString Clock() {
  return QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("MM/dd  hh:mm AP"));
}

QString Text(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

}  // namespace

TForm2::TForm2(const QString& programDir, Asker& asker, QWidget* parent,
               const QString& databaseDir)
    : QMainWindow(parent),
      programDir_(programDir),
      databaseDir_(databaseDir.isEmpty() ? QDir(programDir).filePath(QStringLiteral("kifu"))
                                         : databaseDir),
      asker_(asker) {
  setObjectName(QStringLiteral("TForm2"));
  setWindowTitle(QStringLiteral("Kirobaku"));
  setFont(WindowFont());
  QPalette colours = palette();
  colours.setColor(QPalette::Window, kFormColour);
  setPalette(colours);

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("Client"));
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);
  createBoard(client);
  createPoints(client);
  createPanel(client);
  createMenu();
  createStatusBar();
  setFixedSize(kClientWidth, menuBar()->sizeHint().height() + kClientHeight + kStatusHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  qApp->installEventFilter(this);
  // The game-record database is opened with the window (and created when it
  // is missing); when that fails the program still plays, and the commands
  // that need the database try again.
  try {
    DataModule();
  } catch (const std::exception& e) {
    asker_.Error(QString::fromUtf8(e.what()));
  }
  FormCreate();
  engine_ = std::make_unique<EngineMenu>(*this);
}

TForm2::~TForm2() {
  qApp->removeEventFilter(this);
}

QRect TForm2::ClientArea() const {
  const int top = menuBar()->height();
  return QRect(0, top, width(), height() - top);
}

void TForm2::createBoard(QWidget* client) {
  new Shape(client, QStringLiteral("Shape1"), QRect(0, 0, 536, 536), kBoardColour, false, true);
  for (int k = 0; k < kBoardSize; ++k) {
    const int at = kGridOrigin + kGridStep * k;
    const int thickness = (k == 0 || k == kBoardSize - 1) ? 2 : 1;
    // The edge lines are 2 px; every line runs on by the edge's width so the
    // corners close.
    new Shape(client, QStringLiteral("Shape%1").arg(2 + k),
              QRect(kGridOrigin, at, kGridLength + 2, thickness), Qt::black, false, false);
    new Shape(client, QStringLiteral("Shape%1").arg(21 + k),
              QRect(at, kGridOrigin, thickness, kGridLength + 2), Qt::black, false, false);
  }
  int shape = 40;
  for (PointIndex p : kStarPoints) {
    const int x = kGridOrigin + kGridStep * ColumnOf(p);
    const int y = kGridOrigin + kGridStep * RowOf(p);
    new Shape(client, QStringLiteral("Shape%1").arg(shape++), QRect(x - 2, y - 2, 5, 5), Qt::black,
              true, false);
  }
}

void TForm2::createPoints(QWidget* client) {
  for (PointIndex p = 1; p <= kPointCount; ++p) {
    auto* image = new QLabel(client);
    image->setObjectName(QStringLiteral("Image%1").arg(p));
    image->setGeometry(2 + kGridStep * ColumnOf(p), 2 + kGridStep * RowOf(p), 28, 28);
    image->setScaledContents(true);
    image->setAttribute(Qt::WA_TransparentForMouseEvents);
    images_[p] = image;
  }
  // Labels after images, so that they lie on top and take the clicks.
  for (PointIndex p = 1; p <= kPointCount; ++p) {
    auto* label = new QLabel(client);
    label->setObjectName(QStringLiteral("Label%1").arg(p));
    label->setGeometry(7 + kGridStep * ColumnOf(p), 11 + kGridStep * RowOf(p), 20, 12);
    label->setAlignment(Qt::AlignCenter);
    label->setProperty(kPointProperty, p);
    label->installEventFilter(this);
    labels_[p] = label;
  }
}

QPushButton* TForm2::createButton(QWidget* parent, const char* name, const char* caption, int x,
                                  int y, void (TForm2::*handler)(), int width) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(x, y, width, 25);
  connect(button, &QPushButton::clicked, this, handler);
  return button;
}

QRadioButton* TForm2::createRadio(QGroupBox* group, int mode, const char* caption, int x, int y,
                                  void (TForm2::*handler)()) {
  auto* radio = new QRadioButton(QString::fromUtf8(caption), group);
  radio->setObjectName(QStringLiteral("RadioButton%1").arg(mode));
  radio->setGeometry(x, y, 60, 17);
  connect(radio, &QRadioButton::clicked, this,
          [this, mode, handler] { modeButtonClicked(mode, handler); });
  radios_[mode] = radio;
  return radio;
}

void TForm2::createPanel(QWidget* client) {
  groupBox1_ = new QGroupBox(QStringLiteral("モード選択"), client);
  groupBox1_->setObjectName(QStringLiteral("GroupBox1"));
  groupBox1_->setGeometry(560, 24, 149, 73);
  createRadio(groupBox1_, 1, "対局", 16, 24, &TForm2::RadioButton1Click);
  createRadio(groupBox1_, 2, "自由", 80, 24, &TForm2::RadioButton2Click);
  createRadio(groupBox1_, 3, "終局", 16, 48, &TForm2::RadioButton3Click);
  createRadio(groupBox1_, 4, "五目", 80, 48, &TForm2::RadioButton4Click);

  createButton(client, "Button2", "1手戻す", 552, 120, &TForm2::Button2Click);
  createButton(client, "Button1", "1手進む", 640, 120, &TForm2::Button1Click);
  createButton(client, "Button4", "初手に戻す", 552, 160, &TForm2::Button4Click);
  createButton(client, "Button3", "全手表示", 640, 160, &TForm2::Button3Click);
  createButton(client, "Button6", "元に戻す", 552, 200, &TForm2::Button6Click);
  createButton(client, "Button5", "変化検討", 640, 200, &TForm2::Button5Click);
  createButton(client, "Button11", "キャンセル", 552, 240, &TForm2::Button11Click, 73);
  button10_ = createButton(client, "Button10", "出入計算", 640, 240, &TForm2::Button10Click);
  createButton(client, "Button8", "クリア", 640, 280, &TForm2::Button8Click);
  // 送信 and 受信情報 have no function and stay hidden.
  auto* send = new QPushButton(QStringLiteral("送信"), client);
  send->setObjectName(QStringLiteral("Button9"));
  send->setGeometry(552, 280, 75, 25);
  auto* received = new QLabel(QStringLiteral("受信情報"), client);
  received->setObjectName(QStringLiteral("Label366"));
  received->move(560, 320);

  auto* caption = new QLabel(QStringLiteral("任意局面表示"), client);
  caption->setObjectName(QStringLiteral("Label362"));
  caption->move(600, 344);
  auto* bar = new TrackBar(client);
  trackBar1_ = bar;
  trackBar1_->setObjectName(QStringLiteral("TrackBar1"));
  trackBar1_->setGeometry(540, 360, 183, 20);
  trackBar1_->setRange(0, kRecordSize);
  trackBar1_->setValue(1);
  trackBar1_->setTickInterval(1);
  connect(trackBar1_, &QSlider::valueChanged, this, &TForm2::TrackBar1Change);
  scale_ = new TrackScale(QStringLiteral("0     80    160    240    320   400"), *bar, client);
  scale_->setObjectName(QStringLiteral("Label363"));

  memo1_ = new QPlainTextEdit(client);
  memo1_->setObjectName(QStringLiteral("Memo1"));
  memo1_->setGeometry(544, 416, 175, 17);
  memo2_ = new QPlainTextEdit(client);
  memo2_->setObjectName(QStringLiteral("Memo2"));
  memo2_->setGeometry(544, 440, 175, 17);
  memo2_->setLineWrapMode(QPlainTextEdit::NoWrap);

  auto* blackSide = new QLabel(QStringLiteral("黒側あげ石"), client);
  blackSide->setObjectName(QStringLiteral("Label364"));
  blackSide->move(560, 468);
  auto* whiteSide = new QLabel(QStringLiteral("白側あげ石"), client);
  whiteSide->setObjectName(QStringLiteral("Label365"));
  whiteSide->move(560, 494);
  edit1_ = new QLineEdit(QStringLiteral("0"), client);
  edit1_->setObjectName(QStringLiteral("Edit1"));
  edit1_->setGeometry(640, 464, 33, 20);
  edit1_->setReadOnly(true);
  edit2_ = new QLineEdit(QStringLiteral("0"), client);
  edit2_->setObjectName(QStringLiteral("Edit2"));
  edit2_->setGeometry(640, 490, 33, 20);
  edit2_->setReadOnly(true);

  timer1_ = new QTimer(this);
  timer1_->setObjectName(QStringLiteral("Timer1"));
  timer1_->setInterval(1000);
  connect(timer1_, &QTimer::timeout, this, &TForm2::Timer1Timer);
}

QAction* TForm2::createAction(QWidget* menu, const char* name, const char* caption,
                              void (TForm2::*handler)()) {
  auto* action = new QAction(QString::fromUtf8(caption), menu);
  action->setObjectName(QString::fromLatin1(name));
  connect(action, &QAction::triggered, this, handler);
  menu->addAction(action);
  return action;
}

void TForm2::createMenu() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu1"));
  createAction(bar, "KFShori", "棋譜処理", &TForm2::KFShoriClick);
  auto submenu = [bar](const char* name, const char* caption) {
    QMenu* menu = bar->addMenu(QString::fromUtf8(caption));
    menu->setObjectName(QString::fromLatin1(name));
    menu->menuAction()->setObjectName(QString::fromLatin1(name));
    return menu;
  };
  QMenu* adjourn = submenu("N1", "打掛け");
  createAction(adjourn, "UKSave", "保存", &TForm2::UKSaveClick);
  createAction(adjourn, "UKLoad", "復元", &TForm2::UKLoadClick);
  QMenu* print = submenu("N2", "棋譜印刷");
  createAction(print, "PRJunbi", "準備", &TForm2::PRJunbiClick);
  createAction(print, "Insatsu", "印刷", &TForm2::InsatsuClick);
  createAction(print, "PRCancel", "キャンセル", &TForm2::PRCancelClick);
  QMenu* other = submenu("N5", "その他");
  createAction(other, "NGBlack", "握り（黒石丁半）", &TForm2::NGBlackClick);
  createAction(other, "NGWhite", "握り（白石表示）", &TForm2::NGWhiteClick);
  createAction(other, "JKeisan", "地の計算", &TForm2::JKeisanClick);
  createAction(other, "CLBack", "元に戻す", &TForm2::CLBackClick);
  QMenu* help = submenu("N6", "ヘルプ");
  createAction(help, "ALLHelp", "オンラインヘルプ", &TForm2::ALLHelpClick);
  createAction(help, "VInfo", "バージョン情報", &TForm2::VInfoClick);
  createAction(bar, "APEnd", "終了", &TForm2::APEndClick);
}

void TForm2::createStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("StatusBar1"));
  bar->setFixedHeight(kStatusHeight);
  bar->setSizeGripEnabled(false);
  QFont font = WindowFont();
  font.setBold(true);
  const int widths[] = {450, 140, 50};
  for (int i = 0; i < 3; ++i) {
    auto* panel = new QLabel(bar);
    panel->setObjectName(QStringLiteral("Panel%1").arg(i));
    // The last panel takes the rest of the bar, as the clock needs more than its 50 px.
    if (i < 2) {
      panel->setFixedWidth(widths[i]);
    } else {
      panel->setMinimumWidth(widths[i]);
    }
    panel->setFont(font);
    QPalette colours = panel->palette();
    colours.setColor(QPalette::WindowText, QColor(0, 0, 128));
    panel->setPalette(colours);
    panel->setAlignment(i == 2 ? Qt::AlignCenter : (Qt::AlignLeft | Qt::AlignVCenter));
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    bar->addWidget(panel, i == 2 ? 1 : 0);
    panels_[i] = panel;
  }
}

void TForm2::FormCreate() {
  game_.ResetGame();
  SelectModeButton(kModeGame);
  game_.Mode = kModeGame;
  findChild<QWidget*>(QStringLiteral("Button9"))->hide();
  findChild<QWidget*>(QStringLiteral("Label366"))->hide();
  memo1_->hide();
  memo2_->hide();
  panels_[2]->setText(Clock());
  SetStatusText(0, " 始めてください");
  timer1_->start();
}

void TForm2::Timer1Timer() {
  panels_[2]->setText(Clock());
}

// --- The board view -------------------------------------------------------------

const QPixmap& TForm2::stonePixmap(StoneColour colour) {
  StonePicture& picture = stones_[colour == kBlack ? kBlack : kWhite];
  if (picture.path.empty()) {
    picture.path = (programDir_ + (colour == kBlack ? kBlackStoneFile : kWhiteStoneFile))
                       .toLocal8Bit()
                       .toStdString();
  }
  struct stat file {};
  if (::stat(picture.path.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) {
    picture.pixmap = QPixmap();
    throw std::runtime_error("画像ファイル「" + picture.path + "」が見つかりません。");
  }
  const bool changed = file.st_mtim.tv_sec != picture.modified.tv_sec ||
                       file.st_mtim.tv_nsec != picture.modified.tv_nsec ||
                       file.st_size != picture.size;
  if (picture.pixmap.isNull() || changed) {
    picture.pixmap =
        QPixmap::fromImage(LoadTransparentBitmap(QString::fromLocal8Bit(picture.path.c_str())));
    picture.modified = file.st_mtim;
    picture.size = file.st_size;
  }
  return picture.pixmap;
}

void TForm2::ShowImage(PointIndex p, StoneColour colour) {
  if (!IsPoint(p)) return;
  if (colour == kEmpty) {
    shownStone_[p] = kEmpty;
    clearPending_[p] = true;
    if (!clearScheduled_) {
      clearScheduled_ = true;
      QTimer::singleShot(0, this, &TForm2::applyClears);
    }
    return;
  }
  const QPixmap& pixmap = stonePixmap(colour);
  if (images_[p]->pixmap().cacheKey() != pixmap.cacheKey()) images_[p]->setPixmap(pixmap);
  shownStone_[p] = colour;
  clearPending_[p] = false;
}

void TForm2::applyClears() {
  clearScheduled_ = false;
  for (PointIndex p = 1; p <= kPointCount; ++p) {
    if (!clearPending_[p]) continue;
    clearPending_[p] = false;
    if (shownStone_[p] == kEmpty && !images_[p]->pixmap().isNull()) images_[p]->clear();
  }
}

void TForm2::SetLabelCaption(PointIndex p, const std::string& caption) {
  if (!IsPoint(p)) return;
  const QString text = Text(caption);
  if (labels_[p]->text() != text) labels_[p]->setText(text);
}

void TForm2::SetLabelColour(PointIndex p, std::uint32_t rgb) {
  if (!IsPoint(p) || labelColour_[p] == rgb) return;
  labelColour_[p] = rgb;
  QPalette colours = labels_[p]->palette();
  colours.setColor(QPalette::WindowText, QColor::fromRgb(rgb));
  labels_[p]->setPalette(colours);
}

void TForm2::SetEditText(int which, const std::string& text) {
  (which == 1 ? edit1_ : edit2_)->setText(Text(text));
}

void TForm2::SetStatusText(int panel, const std::string& text) {
  // A panel is one line: a line break in a prompt is left out.
  panels_.at(panel)->setText(Text(text).remove(QStringLiteral("\r\n")));
}

bool TForm2::AskYesNo(const std::string& question) {
  return asker_.YesNo(Text(question));
}

bool TForm2::AskYesCancel(const std::string& question) {
  return asker_.YesCancel(Text(question));
}

void TForm2::ShowMessage(const std::string& text) {
  asker_.Inform(Text(text));
}

void TForm2::SelectModeButton(int mode) {
  if (mode < 1 || mode > 4) return;
  radios_[mode]->setChecked(true);
  selectedMode_ = mode;
}

void TForm2::SetYoseCaption(const std::string& caption) {
  button10_->setText(Text(caption));
}

void TForm2::PlaySound(int k) {
  sound_.Play(programDir_ + (k == kSoundRefusal ? kRefusalSoundFile : kClickSoundFile));
}

// --- Handlers ---------------------------------------------------------------------

void TForm2::Label1MouseDown(QLabel* label, Qt::MouseButton button, Qt::KeyboardModifiers modifiers,
                             bool doubleClick) {
  const int column = (label->x() - 7) / kGridStep;
  const int row = (label->y() - 11) / kGridStep;
  PointerState state;
  state.button = button == Qt::LeftButton    ? MouseButton::kLeft
                 : button == Qt::RightButton ? MouseButton::kRight
                                             : MouseButton::kMiddle;
  state.shift = modifiers.testFlag(Qt::ShiftModifier);
  state.ctrl = modifiers.testFlag(Qt::ControlModifier);
  state.alt = modifiers.testFlag(Qt::AltModifier);
  state.doubleClick = doubleClick;
  ScreenBatch batch(this);
  game_.ClickPoint(PointAt(column, row), state);
}

void TForm2::modeButtonClicked(int mode, void (TForm2::*handler)()) {
  if (mode == selectedMode_) return;
  selectedMode_ = mode;
  (this->*handler)();
}

TDataModule1& TForm2::DataModule() {
  if (data_ == nullptr) data_ = std::make_unique<TDataModule1>(databaseDir_.toStdString());
  return *data_;
}

void TForm2::KFShoriClick() {
  ScreenBatch batch(this);
  {
    TForm3Services services;
    services.data = &DataModule();
    services.game = &game_;
    services.main = this;
    services.programDir = programDir_;
    services.confirmDelete = [this] {
      return asker_.YesNo(QStringLiteral("レコードを削除しますか?"));
    };
    services.help = [this] { ALLHelpClick(); };
    services.showError = [this](const QString& text) { asker_.Error(text); };
    TForm3 form(this, services);
    form.exec();
  }
  recordsClosed_.start();
  radios_[kModeGame]->setChecked(true);
  modeButtonClicked(kModeGame, &TForm2::RadioButton1Click);
  game_.Mode = kModeGame;
}

void TForm2::PRJunbiClick() {
  ScreenBatch batch(this);
  memo1_->setGeometry(544, 16, 175, 34);
  memo2_->setGeometry(544, 58, 175, 466);
  // The boxes lie over the controls below them; the track bar and its scale,
  // wider than the boxes, are hidden so the figure shows only the boxes.
  memo1_->raise();
  memo2_->raise();
  memo1_->show();
  memo2_->show();
  groupBox1_->hide();
  trackBar1_->hide();
  scale_->hide();
  SetStatusText(0,
                "上側のボックスにタイトルやコメントを入力し、メニューの「印刷」をクリックしてくだ"
                "さい。");
  for (const std::string& line : game_.PrepareFigure())
    memo2_->appendPlainText(Text(line));
}

void TForm2::InsatsuClick() {
  ScreenBatch batch(this);
  applyClears();  // the printed image shows the figure as it is
  const std::unique_ptr<QPrinter> printer = OpenPrinter(printFile_);
  PrintImage(FigureImage(), *printer);
  endFigure();
}

QPixmap TForm2::FigureImage() {
  // The image shows what the figure means: no text cursor, no focus frame.
  QWidget* focused = QApplication::focusWidget();
  if (focused != nullptr) focused->clearFocus();
  const int cursor1 = memo1_->cursorWidth(), cursor2 = memo2_->cursorWidth();
  memo1_->setCursorWidth(0);
  memo2_->setCursorWidth(0);
  const QPixmap image = grab(ClientArea());
  memo1_->setCursorWidth(cursor1);
  memo2_->setCursorWidth(cursor2);
  if (focused != nullptr) focused->setFocus();
  return image;
}

void TForm2::PRCancelClick() {
  ScreenBatch batch(this);
  endFigure();
}

void TForm2::endFigure() {
  memo1_->hide();
  memo2_->hide();
  groupBox1_->show();
  trackBar1_->show();
  scale_->show();
  game_.EndFigure();
}

void TForm2::NGWhiteClick() {
  ScreenBatch batch(this);
  std::mt19937 random(
      static_cast<std::uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  game_.NigiriShowWhite(20 + static_cast<std::int32_t>(random() % 20));
}

void TForm2::UKSaveClick() {
  ScreenBatch batch(this);
  DataModule().ReplaceMoves(TDataModule1::kAdjournedGame, game_.MoveRecord, -1);
  SetStatusText(0, "　保存しました。");
  PlaySound(kSoundClick);
}

void TForm2::UKLoadClick() {
  ScreenBatch batch(this);
  TDataModule1& data = DataModule();
  game_.ResetGame();
  const std::int32_t k = data.LoadGame(TDataModule1::kAdjournedGame, game_.MoveRecord);
  game_.ReplayTo(game_.MoveRecord[static_cast<std::size_t>(k)].move, 1);
  SetStatusText(0, "　復元しました。");
  PlaySound(kSoundClick);
}

void TForm2::ALLHelpClick() {
  if (help_ == nullptr) help_ = new HelpWindow(this);
  help_->ShowContents(programDir_ + kHelpFile);
}

void TForm2::VInfoClick() {
  asker_.Inform(
      QStringLiteral("Kirobaku\r\nVersion 3.10\r\n\r\nCopyright (C) 2026 The Kirobaku Developers"));
}

void TForm2::APEndClick() {
  if (!asker_.YesNo(QStringLiteral("「Kirobaku」を終了していいですか？"))) return;
  close();
  QCoreApplication::quit();
}

// --- Events -------------------------------------------------------------------------

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
    auto* label = qobject_cast<QLabel*>(watched);
    if (label != nullptr && label->property(kPointProperty).isValid()) {
      // The second click of a double-click that closed the game-record
      // window (棋譜読込) lands here; it is no move.
      if (recordsClosed_.isValid() &&
          recordsClosed_.elapsed() < QApplication::doubleClickInterval()) {
        return true;
      }
      const auto* mouse = static_cast<QMouseEvent*>(event);
      Label1MouseDown(label, mouse->button(), mouse->modifiers(),
                      type == QEvent::MouseButtonDblClick);
      return true;
    }
  }
  if (type == QEvent::KeyPress) {
    return handleNavigationKey(watched, static_cast<QKeyEvent*>(event)->key());
  }
  return QMainWindow::eventFilter(watched, event);
}

bool TForm2::handleNavigationKey(QObject* watched, int key) {
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || (widget != this && !isAncestorOf(widget))) return false;
  if (widget == memo1_ || widget == memo2_ || memo1_->isAncestorOf(widget) ||
      memo2_->isAncestorOf(widget)) {
    return false;
  }
  switch (key) {
    case Qt::Key_Left:
      Button2Click();
      return true;
    case Qt::Key_Right:
      Button1Click();
      return true;
    case Qt::Key_Home:
      Button4Click();
      return true;
    case Qt::Key_End:
      Button3Click();
      return true;
    default:
      return false;
  }
}

}  // namespace kirobaku
