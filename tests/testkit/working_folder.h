// A fresh temporary folder as the current directory, for tests of the
// program's windows, which name every file relative to it. The folder is
// left and removed when the object goes.
#pragma once

#include <QTemporaryDir>
#include <QtGlobal>
#include <unistd.h>

namespace vantelo::testkit {

class TWorkingFolder {
 public:
  TWorkingFolder() {
    if (!folder_.isValid() || chdir(folder_.path().toLocal8Bit().constData()) != 0) {
      qFatal("cannot work in a temporary folder");
    }
  }
  ~TWorkingFolder() { (void)chdir("/"); }
  TWorkingFolder(const TWorkingFolder&) = delete;
  TWorkingFolder& operator=(const TWorkingFolder&) = delete;

  QString path() const { return folder_.path(); }

 private:
  QTemporaryDir folder_;
};

}  // namespace vantelo::testkit
