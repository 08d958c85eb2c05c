// Help requests and where they go. The application has one help file, set at
// start ("qovin help\qovin.chm"); on this desktop it names the folder of HTML
// help next to it ("qovin help/"), whose index.html is the table of contents
// and which the user's browser shows.
//
// A help request passes through the application's help handler, which the
// one router installs for its lifetime. Commands keep their numbers and
// meaning where this desktop has one: contents, index, keyword search as a
// page of the help, close. Context pop-ups have no viewer here.
//
// GUI thread only. A request that finds no help shows nothing of the
// program's own; it is logged (vantelo.help).
#pragma once

#include <QObject>
#include <QPoint>
#include <QString>
#include <functional>
#include <stdexcept>

namespace vantelo::ui {

// Help commands.
inline constexpr int HELP_CONTEXT = 1;
inline constexpr int HELP_QUIT = 2;
inline constexpr int HELP_INDEX = 3;
inline constexpr int HELP_CONTEXTPOPUP = 8;
inline constexpr int HELP_FINDER = 11;
inline constexpr int HELP_SETPOPUP_POS = 13;
inline constexpr int HELP_TAB = 15;
inline constexpr int HELP_KEY = 257;
inline constexpr int HELP_PARTIALKEY = 261;

// The handler a help request goes to: (command, data, callHelp) -> result.
// `data` is a number, or for the keyword commands a keyword. A handler that
// dealt with the request clears callHelp.
struct THelpData {
  quintptr number = 0;
  QString keyword;
};
using THelpEvent = std::function<bool(int command, const THelpData& data, bool& callHelp)>;

// The application's side of help: its help file and its handler.
class TApplicationHelp {
 public:
  static QString HelpFile;  // relative to the working folder
  static THelpEvent Handler;
  // Hands the command to the handler; false when there is none.
  static bool HelpCommand(int command, const THelpData& data = {});
};

class EHelpRouterError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum THelpType { htWinhelp, htHTMLhelp, htMixedMode };
enum TShowType { stDefault, stMain, stPopup };

class THelpRouter : public QObject {
  Q_OBJECT

 public:
  // Raises EHelpRouterError "Multiple instances of THelpRouter are not
  // allowed" when one exists already. Installs its handler as the
  // application's, keeping the previous one to hand requests on to.
  explicit THelpRouter(QObject* owner = nullptr);
  ~THelpRouter() override;  // puts the previous handler back

  THelpType HelpType = htWinhelp;
  TShowType ShowType = stDefault;
  QString Helpfile;  // empty: the application's help file
  QString CHMPopupTopics = QStringLiteral("CSHelp.txt");
  THelpEvent OnHelp;
  bool ValidateID = false;  // kept; has no effect

  // The table of contents of the help.
  bool HelpContents();

  // The folder of HTML help that a help file name stands for.
  static QString HelpFolder(const QString& helpFile);

 private:
  bool Handle(int command, const THelpData& data, bool& callHelp);
  bool ShowPage(const QString& page, const QString& fragment = {});

  THelpEvent previous_;
  QPoint popupPosition_;
};

}  // namespace vantelo::ui
