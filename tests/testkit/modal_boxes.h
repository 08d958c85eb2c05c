// Answers the message boxes that a window under test opens, as a user would,
// and remembers what each one said. Boxes are modal and run their own loop,
// so they are answered from a timer of that loop.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>

namespace vantelo::testkit {

struct TShownBox {
  QString title;
  QString text;
  QMessageBox::Icon icon;
  Qt::TextFormat format;
};

class ModalBoxes {
 public:
  ModalBoxes() {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] { AnswerOpenBox(); });
    timer_.start();
  }

  // Runs while a box is open, before it is answered.
  std::function<void(QMessageBox*)> whileOpen;
  QList<TShownBox> shown;

  QStringList Texts() const {
    QStringList texts;
    for (const TShownBox& box : shown) texts << box.text;
    return texts;
  }

 private:
  void AnswerOpenBox() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || answering_) return;
    answering_ = true;
    if (whileOpen) whileOpen(box);
    shown.append({box->windowTitle(), box->text(), box->icon(), box->textFormat()});
    QAbstractButton* ok = box->button(QMessageBox::Ok);
    if (ok) {
      ok->click();
    } else {
      box->reject();
    }
    answering_ = false;
  }

  QTimer timer_;
  bool answering_ = false;
};

}  // namespace vantelo::testkit
