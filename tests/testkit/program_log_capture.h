// The program's log as the user reads it: every line of the vantelo.*
// categories, as the program's own handler passes it on (escaped) and
// formatted by its pattern ("CATEGORY: MESSAGE"), kept while a
// ProgramLogCapture lives. Lines from any thread are kept. The relay's own
// sink, below the categories, has RelayLogCapture.
#pragma once

#include <QtGlobal>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "logging/log_output.h"

namespace vantelo::testkit {

class ProgramLogCapture {
 public:
  ProgramLogCapture() {
    logging::ConnectLogs();
    Take();
    previous_ = logging::SetLogOutput(&ProgramLogCapture::Keep);
  }
  ~ProgramLogCapture() { logging::SetLogOutput(previous_); }
  ProgramLogCapture(const ProgramLogCapture&) = delete;
  ProgramLogCapture& operator=(const ProgramLogCapture&) = delete;

  // The lines kept so far, which are then forgotten.
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(Lock());
    return std::exchange(Lines(), {});
  }
  // The messages of one category kept so far, without the category's name;
  // every line kept so far is then forgotten.
  std::vector<std::string> TakeFrom(const std::string& category) {
    const std::string prefix = category + ": ";
    std::vector<std::string> messages;
    for (std::string& line : Take()) {
      if (line.rfind(prefix, 0) == 0) messages.push_back(line.substr(prefix.size()));
    }
    return messages;
  }

 private:
  static void Keep(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!QByteArray(context.category).startsWith("vantelo.")) return;
    std::lock_guard<std::mutex> lock(Lock());
    Lines().push_back(qFormatLogMessage(type, context, message).toStdString());
  }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  QtMessageHandler previous_ = nullptr;
};

}  // namespace vantelo::testkit
