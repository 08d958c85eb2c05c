// A fresh temporary folder as the current directory while the object lives,
// for QtTest tests of the program's windows, which name every file relative
// to it. The folder is left and removed when the object goes. GoogleTest
// tests derive from TempFolderFixture instead.
#pragma once

#include <QTemporaryDir>
#include <QtGlobal>
#include <unistd.h>

namespace vantelo::testkit {

class TempFolderScope {
 public:
  TempFolderScope() {
    if (!folder_.isValid() || chdir(folder_.path().toLocal8Bit().constData()) != 0) {
      qFatal("cannot work in a temporary folder");
    }
  }
  ~TempFolderScope() { (void)chdir("/"); }
  TempFolderScope(const TempFolderScope&) = delete;
  TempFolderScope& operator=(const TempFolderScope&) = delete;

  QString path() const { return folder_.path(); }

 private:
  QTemporaryDir folder_;
};

}  // namespace vantelo::testkit
