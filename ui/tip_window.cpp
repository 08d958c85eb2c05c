#include "ui/tip_window.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QShowEvent>
#include <QStringDecoder>
#include <QToolButton>
#include <QVBoxLayout>

#include "logging/log_categories.h"
#include "ui/error_box.h"
#include "ui/pictures.h"
#include "ui/tips.h"

namespace vantelo::ui {
namespace {

const QColor kPaleYellow(251, 254, 224);

QToolButton* SpeedButton(const QString& caption, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setText(caption);
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  button->setFocusPolicy(Qt::NoFocus);
  button->setMinimumSize(81, 19);
  return button;
}

std::uint32_t UtcTimeOfDayMs() {
  const QTime now = QDateTime::currentDateTimeUtc().time();
  return TimeOfDaySeed(now.hour(), now.minute(), now.second(), now.msec());
}

}  // namespace

QString TipText(const std::string& bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

TFtip::TFtip(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      TimeOfDayMs(UtcTimeOfDayMs) {
  BuildWindow();
}

void TFtip::BuildWindow() {
  setWindowTitle(QStringLiteral("Tip of the day"));

  auto* panel = new QFrame(this);
  panel->setAutoFillBackground(true);
  QPalette yellow = panel->palette();
  yellow.setColor(QPalette::Window, kPaleYellow);
  yellow.setColor(QPalette::WindowText, Qt::black);
  panel->setPalette(yellow);

  auto* image = new QLabel(panel);
  image->setPixmap(BulbPicture());
  image->setFixedSize(41, 49);
  image->setAlignment(Qt::AlignCenter);
  auto* heading = new QLabel(QStringLiteral("Did You know ?"), panel);
  QFont bold = heading->font();
  bold.setBold(true);
  bold.setPointSize(12);
  heading->setFont(bold);
  Label2 = new QLabel(panel);
  Label2->setTextFormat(Qt::PlainText);
  Label2->setWordWrap(true);
  Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // A fixed box: a long tip is cut, it never moves Next or Close away.
  Label2->setFixedSize(300, 129);
  SpeedButton2 = SpeedButton(QStringLiteral("<< Previous tip"), panel);
  SpeedButton1 = SpeedButton(QStringLiteral("Next tip      >>"), panel);

  auto* head = new QHBoxLayout();
  head->addWidget(image, 0, Qt::AlignTop);
  head->addSpacing(9);
  head->addWidget(heading, 1, Qt::AlignVCenter);
  auto* text = new QHBoxLayout();
  text->addSpacing(53);
  text->addWidget(Label2, 1);
  auto* steps = new QHBoxLayout();
  steps->addStretch(1);
  steps->addWidget(SpeedButton2);
  steps->addSpacing(12);
  steps->addWidget(SpeedButton1);
  auto* inside = new QVBoxLayout(panel);
  inside->setContentsMargins(4, 5, 8, 6);
  inside->addLayout(head);
  inside->addLayout(text, 1);
  inside->addLayout(steps);

  CheckBox1 = new QCheckBox(QStringLiteral("Show Tip of the day on startup"), this);
  SpeedButton3 = SpeedButton(QStringLiteral("Close"), this);
  SpeedButton3->setMinimumHeight(23);
  auto* bottom = new QHBoxLayout();
  bottom->addWidget(CheckBox1);
  bottom->addStretch(1);
  bottom->addWidget(SpeedButton3);
  auto* window = new QVBoxLayout(this);
  window->setContentsMargins(8, 8, 8, 6);
  window->addWidget(panel, 1);
  window->addLayout(bottom);
  // Not resizable, but as large as the captions need at the desktop's font.
  window->setSizeConstraint(QLayout::SetFixedSize);
  panel->setMinimumSize(369, 209);

  connect(SpeedButton1, &QToolButton::clicked, this, &TFtip::SpeedButton1Click);
  connect(SpeedButton2, &QToolButton::clicked, this, &TFtip::SpeedButton2Click);
  connect(SpeedButton3, &QToolButton::clicked, this, &TFtip::SpeedButton3Click);
}

void TFtip::FormCreate() { loadtip(); }

void TFtip::loadtip() {
  try {
    tips_ = ReadTipsFile(kTipsPath, kTipsName);
  } catch (const ETipsFileError& e) {
    // The box keeps its few words; the log says why.
    qCWarning(lcApp, "cannot read the tips in %s: %s", kTipsPath, e.Reason().c_str());
    throw;
  }
  last_ = tips_.empty() ? 0 : static_cast<int>(tips_.size()) - 1;
}

void TFtip::ShowTip() {
  if (isVisible()) {
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
      raise();
      activateWindow();
    }
    return;
  }
  show();
}

void TFtip::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (event->spontaneous()) return;
  // Centred on the desktop at every showing.
  adjustSize();
  move(screen()->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  FormShow();
}

void TFtip::FormShow() {
  current_ = FirstTip(TimeOfDayMs(), last_);
  ShowCurrent();
}

void TFtip::ShowCurrent() {
  const bool exists = current_ >= 0 && current_ < static_cast<int>(tips_.size());
  Label2->setText(exists ? TipText(tips_[static_cast<std::size_t>(current_)]) : QString());
}

void TFtip::SpeedButton1Click() {
  current_ = current_ < last_ ? current_ + 1 : 0;
  ShowCurrent();
}

void TFtip::SpeedButton2Click() {
  current_ = current_ <= 0 ? last_ : current_ - 1;
  ShowCurrent();
}

void TFtip::SpeedButton3Click() {
  // A save that fails is shown, and the window stays for another try.
  bool saved = false;
  WithErrorBox([this, &saved] {
    if (savecfg) savecfg();
    saved = true;
  });
  if (saved) hide();
}

}  // namespace vantelo::ui
