// The main window: the drawn board whose 361 points are an image and a label
// each, the command buttons, the mode radio buttons, the captured-stone
// counters, the track bar, the menu and the status bar with its clock. It is
// the screen of the game state (a BoardView); its handlers hand every rule to
// the GameState it owns.
//
// Client coordinates (below the menu bar): the board 536 x 536 at (0, 0); the
// image of point p = 19 x column + row + 1 is 28 x 28 at (2 + 28 column,
// 2 + 28 row), its label 20 x 12 at (7 + 28 column, 11 + 28 row); the status bar
// is the bottom 19 pixels.
#pragma once

#include <sys/types.h>
#include <QAction>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>

#include <array>
#include <ctime>
#include <memory>
#include <string>

#include "app/asker.h"
#include "app/help_window.h"
#include "app/sound_player.h"
#include "board/game_state.h"
#include "records/data_module.h"

namespace kirobaku {

class EngineMenu;

class TForm2 : public QMainWindow, public BoardView {
  // Within a handler, stone images cleared and shown again (a replay clears
  // the whole board first) only change at the end, when the batch applies
  // the clears that still stand; a redraw then touches only what changed.
  class ScreenBatch {
   public:
    explicit ScreenBatch(TForm2* form) : form_(form) {}
    ~ScreenBatch() { form_->applyClears(); }
    ScreenBatch(const ScreenBatch&) = delete;
    ScreenBatch& operator=(const ScreenBatch&) = delete;

   private:
    TForm2* form_;
  };

 public:
  // programDir: where the bitmaps, sounds and help file are, ending in "/".
  // The game-record database is the folder `databaseDir`, by default
  // "kifu" in the program's folder.
  TForm2(const QString& programDir, Asker& asker, QWidget* parent = nullptr,
         const QString& databaseDir = QString());
  ~TForm2() override;

  GameState& Game() { return game_; }
  // The game-record database, opened (and created when missing) in the
  // program's folder "kifu" when the window starts; a failure there is shown
  // and tried again by the next command that needs it.
  TDataModule1& DataModule();
  const QString& ProgramDir() const { return programDir_; }
  // Prints into this PDF file instead of on the default printer (empty: printer).
  void SetPrintFile(const QString& pdfFile) { printFile_ = pdfFile; }
  // The client area: everything below the menu bar, the status bar included.
  QRect ClientArea() const;
  // The image 印刷 prints: the client area as the figure shows it.
  QPixmap FigureImage();

  // --- BoardView --------------------------------------------------------------
  void ShowImage(PointIndex p, StoneColour colour) override;
  void SetLabelCaption(PointIndex p, const std::string& caption) override;
  void SetLabelColour(PointIndex p, std::uint32_t rgb) override;
  void SetEditText(int which, const std::string& text) override;
  void SetStatusText(int panel, const std::string& text) override;
  bool AskYesNo(const std::string& question) override;
  bool AskYesCancel(const std::string& question) override;
  void ShowMessage(const std::string& text) override;
  void SelectModeButton(int mode) override;
  void SetYoseCaption(const std::string& caption) override;
  void PlaySound(int k) override;

  // --- Handlers -------------------------------------------------------------------
  void FormCreate();
  void Label1MouseDown(QLabel* label, Qt::MouseButton button, Qt::KeyboardModifiers modifiers,
                       bool doubleClick);
  void Timer1Timer();
  void Button1Click() {
    ScreenBatch batch(this);
    game_.StepForward();
  }
  void Button2Click() {
    ScreenBatch batch(this);
    game_.StepBackward();
  }
  void Button3Click() {
    ScreenBatch batch(this);
    game_.ShowAllMoves();
  }
  void Button4Click() {
    ScreenBatch batch(this);
    game_.ShowFirstMove();
  }
  void Button5Click() {
    ScreenBatch batch(this);
    game_.StartVariation();
  }
  void Button6Click() {
    ScreenBatch batch(this);
    game_.ReturnFromVariation();
  }
  void Button8Click() {
    ScreenBatch batch(this);
    game_.ClearGame();
  }
  void Button10Click() {
    ScreenBatch batch(this);
    game_.AdvanceYose();
  }
  void Button11Click() {
    ScreenBatch batch(this);
    game_.CancelCount();
  }
  void TrackBar1Change(int position) {
    ScreenBatch batch(this);
    game_.ReplayTo(position, 1);
  }
  void RadioButton1Click() {
    ScreenBatch batch(this);
    game_.SelectGameOrFree(kModeGame);
  }
  void RadioButton2Click() {
    ScreenBatch batch(this);
    game_.SelectGameOrFree(kModeFree);
  }
  void RadioButton3Click() {
    ScreenBatch batch(this);
    game_.SelectEndMode();
  }
  void RadioButton4Click() {
    ScreenBatch batch(this);
    game_.SelectGomoku();
  }
  void KFShoriClick();
  void UKSaveClick();
  void UKLoadClick();
  void PRJunbiClick();
  void InsatsuClick();
  void PRCancelClick();
  void NGBlackClick() {
    ScreenBatch batch(this);
    game_.NigiriGuessBlack();
  }
  void NGWhiteClick();
  void JKeisanClick() {
    ScreenBatch batch(this);
    game_.CountTerritory();
  }
  void CLBackClick() {
    ScreenBatch batch(this);
    game_.BringBackSaved();
  }
  void ALLHelpClick();
  void VInfoClick();
  void APEndClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void createBoard(QWidget* client);
  void createPoints(QWidget* client);
  void createPanel(QWidget* client);
  void createMenu();
  void createStatusBar();
  QPushButton* createButton(QWidget* parent, const char* name, const char* caption, int x, int y,
                            void (TForm2::*handler)(), int width = 75);
  QRadioButton* createRadio(QGroupBox* group, int mode, const char* caption, int x, int y,
                            void (TForm2::*handler)());
  QAction* createAction(QWidget* menu, const char* name, const char* caption,
                        void (TForm2::*handler)());
  // Arrow keys, Home and End step through the record wherever the focus is
  // (except in the figure's text boxes, where they move the cursor).
  bool handleNavigationKey(QObject* watched, int key);
  // A click on a mode button runs its action only when it changes the selection.
  void modeButtonClicked(int mode, void (TForm2::*handler)());
  // Hides the figure's text boxes, shows the mode box, and puts the board back.
  void endFigure();

  QString programDir_;
  QString databaseDir_;
  Asker& asker_;
  QElapsedTimer recordsClosed_;  // since the game-record window last closed
  GameState game_{*this};
  QString printFile_;
  SoundPlayer sound_{this};
  QPointer<HelpWindow> help_;
  std::unique_ptr<TDataModule1> data_;

  // Loads the stone picture of a colour; the file is looked at on every call
  // (a missing file is an error at once), decoded again only when it changed.
  const QPixmap& stonePixmap(StoneColour colour);

  std::array<QLabel*, kPointCount + 1> images_{};
  std::array<QLabel*, kPointCount + 1> labels_{};
  // Clears the images whose stone was taken away and not shown again.
  void applyClears();

  // What each point should show, and the images whose clearing is pending
  // (applied at the end of the handler, or by a zero timer after a model call
  // from outside a handler).
  std::array<StoneColour, kPointCount + 1> shownStone_{};
  std::array<bool, kPointCount + 1> clearPending_{};
  bool clearScheduled_ = false;
  std::array<std::uint32_t, kPointCount + 1> labelColour_{};
  struct StonePicture {
    std::string path;
    timespec modified{};
    off_t size = -1;
    QPixmap pixmap;
  };
  std::array<StonePicture, 3> stones_{};   // [1] black, [2] white
  std::array<QRadioButton*, 5> radios_{};  // [1..4] by mode
  int selectedMode_ = kModeGame;           // the mode button selected last
  std::array<QLabel*, 3> panels_{};
  QGroupBox* groupBox1_ = nullptr;
  QPushButton* button10_ = nullptr;
  QLineEdit* edit1_ = nullptr;
  QLineEdit* edit2_ = nullptr;
  QPlainTextEdit* memo1_ = nullptr;
  QPlainTextEdit* memo2_ = nullptr;
  QSlider* trackBar1_ = nullptr;
  QLabel* scale_ = nullptr;  // Label363, the track bar's scale
  QTimer* timer1_ = nullptr;
  std::unique_ptr<EngineMenu> engine_;  // the menu コンピュータ; goes first
};

}  // namespace kirobaku
