// main() for GoogleTest programs that use Qt: a QCoreApplication for QtDBus,
// and the private bus ended when the tests are done.
#include <QCoreApplication>
#include <gtest/gtest.h>

#include "tests/testkit/nm_mock.h"

int main(int argc, char** argv) {
  // The private bus is started before Qt opens any system-bus connection.
  vantelo::testkit::NetworkManagerMock::StartBus();
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  vantelo::testkit::NetworkManagerMock::StopBus();
  return result;
}
