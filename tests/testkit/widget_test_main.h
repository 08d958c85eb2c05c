// main() of the widget tests: Qt's offscreen platform unless the caller
// asks for another, an application object, and the test class run.
#pragma once

#include <QApplication>
#include <QTest>

namespace vantelo::testkit {

template <class Test>
int RunWidgetTest(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  Test test;
  return QTest::qExec(&test, argc, argv);
}

}  // namespace vantelo::testkit
