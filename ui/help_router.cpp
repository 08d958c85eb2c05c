#include "ui/help_router.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "logging/log_categories.h"
#include "ui/web_links.h"

namespace vantelo::ui {

namespace {

THelpRouter* currentRouter = nullptr;

// Pages of the help folder.
const char* const kContentsPage = "index.html";
const char* const kIndexPage = "keywords.html";
const char* const kSearchPage = "search.html";

// The anchor of a keyword on the search page: "k-" and the keyword in lower
// case with every run of other characters as one hyphen.
QString KeywordAnchor(const QString& keyword) {
  QString anchor = QStringLiteral("k-");
  bool gap = false;
  for (QChar c : keyword.toLower()) {
    if (c.isLetterOrNumber()) {
      if (gap && anchor.size() > 2) anchor += u'-';
      anchor += c;
      gap = false;
    } else {
      gap = true;
    }
  }
  return anchor;
}

}  // namespace

QString TApplicationHelp::HelpFile;
THelpEvent TApplicationHelp::Handler;

bool TApplicationHelp::HelpCommand(int command, const THelpData& data) {
  bool callHelp = true;
  return Handler ? Handler(command, data, callHelp) : false;
}

THelpRouter::THelpRouter(QObject* owner) : QObject(owner) {
  if (currentRouter) throw EHelpRouterError("Multiple instances of THelpRouter are not allowed");
  previous_ = TApplicationHelp::Handler;
  TApplicationHelp::Handler = [this](int command, const THelpData& data, bool& callHelp) {
    return Handle(command, data, callHelp);
  };
  currentRouter = this;
}

THelpRouter::~THelpRouter() {
  if (currentRouter != this) return;
  TApplicationHelp::Handler = previous_;
  currentRouter = nullptr;
}

bool THelpRouter::HelpContents() { return TApplicationHelp::HelpCommand(HELP_TAB, {0, {}}); }

QString THelpRouter::HelpFolder(const QString& helpFile) {
  QString path = helpFile;
  path.replace(u'\\', u'/');
  return QFileInfo(path).path();
}

bool THelpRouter::Handle(int command, const THelpData& data, bool& callHelp) {
  bool result = false;
  if (OnHelp) result = OnHelp(command, data, callHelp);
  if (callHelp && previous_) result = previous_(command, data, callHelp);
  if (!callHelp) return result;

  if (ShowType == stMain) {
    if (command == HELP_CONTEXTPOPUP) command = HELP_CONTEXT;
    if (command == HELP_SETPOPUP_POS) command = 0;
  }
  const bool html =
      HelpType == htHTMLhelp ||
      (HelpType == htMixedMode && command != HELP_CONTEXTPOPUP && command != HELP_SETPOPUP_POS);
  callHelp = false;
  if (!html) {
    // There is no older help viewer on this desktop.
    if (command != 0) qCWarning(lcHelp) << "no viewer for help command" << command;
    return command == 0;
  }
  switch (command) {
    case HELP_INDEX:
    case HELP_FINDER:
      return ShowPage(kContentsPage);
    case HELP_TAB:
      return ShowPage(data.number == 0 ? kContentsPage : kIndexPage);
    case HELP_KEY:
    case HELP_PARTIALKEY:
      return ShowPage(kSearchPage, KeywordAnchor(data.keyword));
    case HELP_QUIT:
      // The browser's pages belong to the user; there is nothing to close.
      return true;
    case HELP_CONTEXTPOPUP:
      qCWarning(lcHelp) << "no pop-up help for topic" << data.number;
      popupPosition_ = {};
      return true;
    case HELP_SETPOPUP_POS:
      popupPosition_ = QPoint(static_cast<int>(data.number & 0xFFFF),
                              static_cast<int>((data.number >> 16) & 0xFFFF));
      return false;
    case HELP_CONTEXT:
      qCWarning(lcHelp) << "the help has no numbered topics; asked for" << data.number;
      return false;
    default:
      return false;
  }
}

bool THelpRouter::ShowPage(const QString& page, const QString& fragment) {
  const QString file = Helpfile.isEmpty() ? TApplicationHelp::HelpFile : Helpfile;
  const QString path = QDir(HelpFolder(file)).filePath(page);
  if (!QFileInfo(path).isFile()) {
    qCWarning(lcHelp).noquote() << "no help at" << QDir::current().absoluteFilePath(path);
    return false;
  }
  QUrl url = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
  if (!fragment.isEmpty()) url.setFragment(fragment);
  return OpenWith(url);
}

}  // namespace vantelo::ui
