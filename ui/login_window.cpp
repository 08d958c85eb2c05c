#include "ui/login_window.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/pictures.h"

namespace vantelo::ui {
namespace {

QLabel* Value(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);  // names and replies are shown as they are
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

}  // namespace

TFlogin::TFlogin(const QString& entryName, const QString& server, const QString& user,
                 QWidget* parent)
    : QDialog(parent) {
  setModal(false);
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("Vantelo: password for %1").arg(server));
  setWindowIcon(ProductIcon());

  auto* heading = new QLabel(
      QStringLiteral("This route's server wants a login. Vantelo logs in for your mail programs."),
      this);
  heading->setWordWrap(true);
  Refusal = Value(QString(), this);
  Refusal->setWordWrap(true);
  Refusal->hide();

  EntryName = Value(entryName, this);
  Server = Value(server, this);
  User = Value(user, this);
  Password = new QLineEdit(this);
  Password->setEchoMode(QLineEdit::Password);
  Password->setAccessibleName(QStringLiteral("password"));
  Remember = new QCheckBox(QStringLiteral("Remember in the keyring"), this);
  Remember->setChecked(true);

  auto* form = new QFormLayout();
  form->addRow(QStringLiteral("entry name :"), EntryName);
  form->addRow(QStringLiteral("server :"), Server);
  form->addRow(QStringLiteral("user :"), User);
  form->addRow(QStringLiteral("password :"), Password);
  form->addRow(QString(), Remember);

  Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(Buttons, &QDialogButtonBox::accepted, this, &TFlogin::OkClick);
  connect(Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  // An empty password is no answer.
  QPushButton* ok = Buttons->button(QDialogButtonBox::Ok);
  ok->setEnabled(false);
  connect(Password, &QLineEdit::textChanged, ok,
          [ok](const QString& text) { ok->setEnabled(!text.isEmpty()); });

  auto* window = new QVBoxLayout(this);
  window->addWidget(heading);
  window->addWidget(Refusal);
  window->addLayout(form);
  window->addWidget(Buttons);
  setMinimumWidth(420);
}

void TFlogin::ShowRefusal(const QString& reply) {
  Refusal->setText(QStringLiteral("The server refused the password: %1").arg(reply));
  Refusal->setVisible(!reply.isEmpty());
}

void TFlogin::ShowLogin() {
  show();
  if (isMinimized()) showNormal();
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
    raise();
    activateWindow();
  }
  Password->setFocus();
}

void TFlogin::OkClick() {
  const QString password = Password->text();
  Password->clear();
  emit Answered(password, Remember->isChecked());
  accept();
}

}  // namespace vantelo::ui
