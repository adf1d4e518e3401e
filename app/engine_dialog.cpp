#include "app/engine_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>

#include "gtp/channel.h"
#include "gtp/gtp_protocol.h"

namespace kirobaku {

namespace {

template <typename T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

}  // namespace

EngineDialog::EngineDialog(QWidget* parent, const EnginePreferences& p, bool startGame,
                           std::function<void(const QString&)> tell)
    : QDialog(parent), tell_(std::move(tell)) {
  setObjectName(QStringLiteral("EngineDialog"));
  setWindowTitle(startGame ? QStringLiteral("コンピュータと対局") : QStringLiteral("コンピュータの設定"));
  auto* form = new QFormLayout(this);

  auto* colours = new QWidget(this);
  auto* colourRow = new QHBoxLayout(colours);
  colourRow->setContentsMargins(0, 0, 0, 0);
  black_ = Named(new QRadioButton(QStringLiteral("黒（先番）"), colours), "EngineBlack");
  white_ = Named(new QRadioButton(QStringLiteral("白"), colours), "EngineWhite");
  colourRow->addWidget(black_);
  colourRow->addWidget(white_);
  (p.match.user == kWhite ? white_ : black_)->setChecked(true);
  form->addRow(QStringLiteral("あなたの石"), colours);

  handicap_ = Named(new QComboBox(this), "EngineHandicap");
  handicap_->addItem(QStringLiteral("なし"), 0);
  for (int n = 2; n <= 9; ++n)
    handicap_->addItem(QStringLiteral("%1 子").arg(n), n);
  handicap_->setCurrentIndex(std::max(0, handicap_->findData(p.match.handicap)));
  form->addRow(QStringLiteral("置石"), handicap_);
  ownHandicap_ = Named(new QCheckBox(QStringLiteral("置石はこのプログラムが星に置く"), this),
                       "EngineOwnHandicap");
  ownHandicap_->setChecked(!p.match.engineHandicap);
  form->addRow(QString(), ownHandicap_);

  komi_ = Named(new QDoubleSpinBox(this), "EngineKomi");
  komi_->setRange(-100, 100);
  komi_->setDecimals(1);
  komi_->setSingleStep(0.5);
  komi_->setValue(p.engine.komi);
  form->addRow(QStringLiteral("コミ"), komi_);

  level_ = Named(new QSpinBox(this), "EngineLevel");
  level_->setRange(1, 10);
  level_->setValue(p.engine.level);
  form->addRow(QStringLiteral("レベル（1〜10）"), level_);

  name_ = Named(new QLineEdit(QString::fromStdString(p.match.userName), this), "EngineName");
  form->addRow(QStringLiteral("あなたの名前"), name_);

  command_ = Named(new QLineEdit(QString::fromStdString(p.engine.command), this), "EngineCommand");
  command_->setPlaceholderText(QStringLiteral("gnugo --mode gtp --level N"));
  command_->setMinimumWidth(260);
  form->addRow(QStringLiteral("コンピュータのコマンド"), command_);

  timeLimit_ = Named(new QSpinBox(this), "EngineTimeLimit");
  timeLimit_->setRange(1, 3600);
  timeLimit_->setSuffix(QStringLiteral(" 秒"));
  timeLimit_->setValue(static_cast<int>(
      std::chrono::duration_cast<std::chrono::seconds>(p.engine.timeLimit).count()));
  form->addRow(QStringLiteral("1 手の制限時間"), timeLimit_);

  ownCount_ = Named(new QCheckBox(QStringLiteral("終局時にこのプログラムの地の計算も表示する"), this),
                    "EngineOwnCount");
  ownCount_->setChecked(p.match.ownCount);
  form->addRow(QString(), ownCount_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(startGame ? QStringLiteral("開始") : QStringLiteral("OK"));
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("EngineOk"));
  buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("キャンセル"));
  connect(buttons, &QDialogButtonBox::accepted, this, &EngineDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &EngineDialog::reject);
  form->addRow(buttons);
}

EnginePreferences EngineDialog::Preferences() const {
  EnginePreferences p;
  p.match.user = white_->isChecked() ? kWhite : kBlack;
  p.match.handicap = handicap_->currentData().toInt();
  p.match.engineHandicap = !ownHandicap_->isChecked();
  p.match.ownCount = ownCount_->isChecked();
  p.match.userName = name_->text().trimmed().toStdString();
  if (p.match.userName.empty()) p.match.userName = "あなた";
  p.engine.komi = komi_->value();
  p.engine.level = level_->value();
  p.engine.command = command_->text().trimmed().toStdString();
  p.engine.timeLimit = std::chrono::seconds(timeLimit_->value());
  return p;
}

void EngineDialog::accept() {
  const EnginePreferences p = Preferences();
  QString problem;
  try {
    const std::vector<std::string> args = gtp::EngineArguments(p.engine.command, p.engine.level);
    if (gtp::FindProgram(args[0]).empty()) {
      problem = QStringLiteral("コンピュータのプログラム「%1」が見つかりません。")
                    .arg(QString::fromStdString(args[0]));
    }
  } catch (const std::invalid_argument& e) {
    problem = QStringLiteral("コンピュータのコマンドが正しくありません：%1").arg(QString::fromUtf8(e.what()));
  }
  if (!problem.isEmpty()) {
    tell_(problem);
    return;
  }
  QDialog::accept();
}

}  // namespace kirobaku
