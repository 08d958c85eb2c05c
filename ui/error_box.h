// The application's error handler: what reaches it is shown in a message box
// titled "Vantelo" with an error icon and an OK button, and the program goes
// on. Qt does not carry exceptions through its event loop, so every handler
// that may fail catches at its own edge and calls this.
#pragma once

#include <QString>

class QWidget;

namespace vantelo::ui {

// The text as shown: a full stop is added when the last character comes after
// the full stop in the character table.
QString ErrorBoxText(const QString& message);

void ShowApplicationError(const QString& message, QWidget* parent = nullptr);

// Runs `body`; an exception it raises is shown by ShowApplicationError.
template <class Body>
void WithErrorBox(Body&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    ShowApplicationError(QString::fromUtf8(e.what()));
  } catch (...) {
    ShowApplicationError(QStringLiteral("Unknown error"));
  }
}

}  // namespace vantelo::ui
