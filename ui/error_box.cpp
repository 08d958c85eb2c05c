#include "ui/error_box.h"

#include <QMessageBox>

#include "logging/log_categories.h"

namespace vantelo::ui {

QString ErrorBoxText(const QString& message) {
  if (!message.isEmpty() && message.back().unicode() > u'.') return message + u'.';
  return message;
}

void ShowApplicationError(const QString& message, QWidget* parent) {
  // The box may go unread at an unattended start: the log keeps the text.
  qCWarning(lcApp, "%s", qUtf8Printable(ErrorBoxText(message)));
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Vantelo"), ErrorBoxText(message),
                  QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);  // names in messages are never markup
  box.exec();
}

}  // namespace vantelo::ui
