#include "ui/config_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

#include "dialup/dial_up.h"
#include "routing/route_store.h"
#include "ui/error_box.h"
#include "logging/log_categories.h"

namespace vantelo::ui {

namespace {

const QColor kTeal(0, 128, 128);

QLabel* Caption(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);  // the captions' blanks are kept as written
  return label;
}

// A field announced by the label beside it and, where the same caption
// stands in both groups, by the route it belongs to.
void Describe(QWidget* field, QLabel* label, const QString& route) {
  label->setBuddy(field);
  field->setAccessibleName(label->text());
  field->setAccessibleDescription(route);
}

// An edit field that takes any text: no length limit, no filter.
QLineEdit* Field(int minimumWidth, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setMaxLength(std::numeric_limits<int>::max());
  edit->setMinimumWidth(minimumWidth);
  return edit;
}

// A short field for a port: room for five digits and a little more.
QLineEdit* PortField(QWidget* parent) {
  QLineEdit* edit = Field(48, parent);
  edit->setFixedWidth(
      std::max(48, edit->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 8));
  return edit;
}

// A speed button: worked by the mouse only, never the default of the dialog.
QToolButton* SpeedButton(const QString& caption, int minimumWidth, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setText(caption);
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  button->setFocusPolicy(Qt::NoFocus);
  button->setMinimumSize(minimumWidth, 22);
  return button;
}

}  // namespace

TFconfig::TFconfig(TConfigLinks links, QCheckBox* tipCheckBox, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      links_(std::move(links)),
      tipCheckBox_(tipCheckBox),
      ADOQuery1(links_.store.ADOConnection1) {
  BuildWindow();
  connect(this, &QDialog::finished, this, &TFconfig::FormClose);
}

TFconfig::~TFconfig() = default;

void TFconfig::BuildWindow() {
  setWindowTitle(QStringLiteral("Configuration"));
  setModal(true);

  GroupBox1 = new QGroupBox(QStringLiteral(" SMTP server setting  "), this);
  auto* route = new QGridLayout(GroupBox1);
  route->setHorizontalSpacing(12);
  ComboBox1 = new QComboBox(GroupBox1);
  ComboBox1->setEditable(false);
  ComboBox1->setMinimumWidth(145);
  ComboBox1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  SpeedButton1 = SpeedButton(QStringLiteral("reload entry"), 75, GroupBox1);
  Edit2 = Field(160, GroupBox1);
  Edit1 = PortField(GroupBox1);
  const QString entryRoute = QStringLiteral("route of the selected entry");
  QLabel* Label1 = Caption(QStringLiteral("entry name :"), GroupBox1);
  QLabel* Label3 = Caption(QStringLiteral("SMTP server :"), GroupBox1);
  QLabel* Label2 = Caption(QStringLiteral("port :"), GroupBox1);
  Describe(ComboBox1, Label1, entryRoute);
  Describe(Edit2, Label3, entryRoute);
  Describe(Edit1, Label2, entryRoute);
  route->addWidget(Label1, 0, 0);
  route->addWidget(ComboBox1, 0, 1);
  route->addWidget(SpeedButton1, 0, 2, Qt::AlignLeft);
  route->addWidget(Label3, 1, 0);
  route->addWidget(Edit2, 1, 1);
  route->addWidget(Label2, 2, 0);
  route->addWidget(Edit1, 2, 1, Qt::AlignLeft);
  route->setColumnStretch(3, 1);

  GroupBox2 = new QGroupBox(QStringLiteral("Default SMTP server"), this);
  auto* fallback = new QGridLayout(GroupBox2);
  fallback->setHorizontalSpacing(12);
  Edit4 = Field(160, GroupBox2);
  Edit5 = PortField(GroupBox2);
  const QString defaultRoute = QStringLiteral("default route");
  QLabel* Label4 = Caption(QStringLiteral("SMTP server :"), GroupBox2);
  QLabel* Label5 = Caption(QStringLiteral("port :"), GroupBox2);
  Describe(Edit4, Label4, defaultRoute);
  Describe(Edit5, Label5, defaultRoute);
  fallback->addWidget(Label4, 0, 0);
  fallback->addWidget(Edit4, 0, 1);
  fallback->addWidget(Label5, 1, 0);
  fallback->addWidget(Edit5, 1, 1, Qt::AlignLeft);
  auto* hint1 =
      Caption(QStringLiteral("* Use this setting to route your  mail to a  spesific SMTP server  "),
              GroupBox2);
  auto* hint2 = Caption(
      QStringLiteral("when no dial-up entry is online  ( eg : your LAN SMTP server)"), GroupBox2);
  for (QLabel* hint : {hint1, hint2}) {
    QPalette palette = hint->palette();
    palette.setColor(QPalette::WindowText, kTeal);
    hint->setPalette(palette);
  }
  hint2->setIndent(8);
  fallback->addWidget(hint1, 2, 0, 1, 3);
  fallback->addWidget(hint2, 3, 0, 1, 3);
  fallback->setVerticalSpacing(4);
  fallback->setColumnStretch(2, 1);

  Edit3 = PortField(this);
  auto* portRow = new QHBoxLayout();
  QLabel* Label42 = Caption(QStringLiteral("Incoming SMTP port :"), this);
  Describe(Edit3, Label42, QStringLiteral("the port mail programs send to on this computer"));
  portRow->addWidget(Label42);
  portRow->addWidget(Edit3);
  portRow->addWidget(Caption(QStringLiteral("default: 25"), this));
  portRow->addStretch(1);

  CheckBox1 = new QCheckBox(QStringLiteral("Start with windows"), this);
  CheckBox2 = new QCheckBox(QStringLiteral("minimized on startup"), this);
  SpeedButton2 = SpeedButton(QStringLiteral("save "), 57, this);
  SpeedButton3 = SpeedButton(QStringLiteral("close"), 57, this);
  auto* lastRow = new QHBoxLayout();
  lastRow->addWidget(CheckBox2);
  lastRow->addStretch(1);
  lastRow->addWidget(SpeedButton2);
  lastRow->addSpacing(8);
  lastRow->addWidget(SpeedButton3);

  auto* dialog = new QVBoxLayout(this);
  dialog->setContentsMargins(12, 11, 12, 12);
  dialog->setSpacing(8);
  dialog->addWidget(GroupBox1);
  dialog->addWidget(GroupBox2);
  dialog->addLayout(portRow);
  dialog->addWidget(CheckBox1);
  dialog->addLayout(lastRow);
  // Not resizable, but as large as the captions need at the desktop's font.
  dialog->setSizeConstraint(QLayout::SetFixedSize);
  GroupBox1->setMinimumWidth(381);
  GroupBox2->setMinimumWidth(381);

  // Keyboard order: CheckBox1, the entry's route (port, entry, server),
  // CheckBox2, the listening port, the default route.
  QWidget* order[] = {CheckBox1, Edit1, ComboBox1, Edit2, CheckBox2, Edit3, Edit4, Edit5};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  connect(SpeedButton1, &QToolButton::clicked, this, &TFconfig::SpeedButton1Click);
  connect(ComboBox1, &QComboBox::activated, this, &TFconfig::ComboBox1Click);
  connect(SpeedButton2, &QToolButton::clicked, this, &TFconfig::SpeedButton2Click);
  connect(SpeedButton3, &QToolButton::clicked, this, &TFconfig::SpeedButton3Click);
}

void TFconfig::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  // Centred over the main window at every showing.
  adjustSize();
  const QWidget* over = parentWidget() && parentWidget()->isVisible() ? parentWidget() : nullptr;
  QRect area = over ? over->frameGeometry() : screen()->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
  // The first showing starts where the keyboard order starts; later ones
  // come back to the field the user left.
  if (!shownBefore_) CheckBox1->setFocus();
  shownBefore_ = true;
  FormShow();
}

void TFconfig::mouseDoubleClickEvent(QMouseEvent* event) {
  // Only the dialog's own surface counts, not a control or a group box on it.
  if (childAt(event->position().toPoint()) == nullptr) FormDblClick();
  QDialog::mouseDoubleClickEvent(event);
}

void TFconfig::FormShow() {
  refreshentry();
  ComboBox1->setCurrentIndex(ComboBox1->count() > 0 ? 0 : -1);
  showsmtp();
}

void TFconfig::SpeedButton1Click() { FormShow(); }

void TFconfig::ComboBox1Click() { showsmtp(); }

void TFconfig::refreshentry() {
  try {
    ComboBox1->clear();
    links_.entryList.clear();
    links_.dialUp.GetEntries();
    for (const std::string& entry : links_.entryList)
      ComboBox1->addItem(QString::fromStdString(entry));
  } catch (const std::exception& e) {
    qCWarning(lcDialup) << "cannot list the connections:" << e.what();
  } catch (...) {
    qCWarning(lcDialup) << "cannot list the connections";
  }
}

void TFconfig::showsmtp() {
  const std::string entry = ComboBox1->currentText().toStdString();
  try {
    const routing::TRoute route = routing::DialogLookup(ADOQuery1, entry);
    Edit1->setText(QString::fromStdString(route.port));
    Edit2->setText(QString::fromStdString(route.server));
    if (Edit1->text().isEmpty()) Edit1->setText(QStringLiteral("0"));
  } catch (const std::exception& e) {
    qCWarning(lcStore).noquote() << QStringLiteral("cannot read the route of \"%1\": %2")
                                        .arg(QString::fromStdString(entry),
                                             QString::fromUtf8(e.what()));
  }
}

void TFconfig::writesmtp() {
  routing::writesmtp(ADOQuery1, links_.store.ADOCommand1, ComboBox1->currentText().toStdString(),
                     Edit2->text().toStdString(), Edit1->text().toStdString());
}

routing::TSettingsValues TFconfig::ControlValues() const {
  routing::TSettingsValues values;
  values.incomingPort = Edit3->text().toStdString();
  values.defaultServer = Edit4->text().toStdString();
  values.defaultPort = Edit5->text().toStdString();
  values.startMinimized = CheckBox2->isChecked();
  values.tipOfTheDay = tipCheckBox_ ? tipCheckBox_->isChecked() : tipOfTheDay_;
  values.startWithWindows = CheckBox1->isChecked();
  return values;
}

void TFconfig::ShowValues(const routing::TSettingsValues& values) {
  Edit3->setText(QString::fromStdString(values.incomingPort));
  Edit4->setText(QString::fromStdString(values.defaultServer));
  Edit5->setText(QString::fromStdString(values.defaultPort));
  CheckBox1->setChecked(values.startWithWindows);
  CheckBox2->setChecked(values.startMinimized);
  tipOfTheDay_ = values.tipOfTheDay;
  if (tipCheckBox_) tipCheckBox_->setChecked(values.tipOfTheDay);
}

void TFconfig::savecfg() { routing::savecfg(ControlValues()); }

void TFconfig::loadcfg() {
  routing::TSettingsValues values = ControlValues();
  try {
    routing::loadcfg(values);
  } catch (...) {
    // What was read before the failure is shown; the rest keeps its state.
    ShowValues(values);
    throw;
  }
  ShowValues(values);
}

void TFconfig::SpeedButton2Click() {
  try {
    writesmtp();
    QMessageBox notice(QMessageBox::NoIcon, QStringLiteral("Vantelo"),
                       QString::fromUtf8(routing::kRouteSavedNotice), QMessageBox::Ok);
    notice.setTextFormat(Qt::PlainText);
    notice.exec();
  } catch (const std::exception& e) {
    // The route was not stored: say so instead of promising it for Refresh.
    const QString reason = QStringLiteral("The route for \"%1\" was not saved: %2")
                               .arg(ComboBox1->currentText(), QString::fromUtf8(e.what()));
    qCWarning(lcStore).noquote() << reason;
    ShowApplicationError(reason);
  }
  // The settings file does not depend on the route file.
  WithErrorBox([this] {
    savecfg();
    loadcfg();
    links_.configChanged = 1;
  });
}

void TFconfig::SpeedButton3Click() { close(); }

void TFconfig::FormClose() {
  if (links_.updatesmtp) links_.updatesmtp();
}

void TFconfig::FormDblClick() { links_.configChanged = 0; }

}  // namespace vantelo::ui
