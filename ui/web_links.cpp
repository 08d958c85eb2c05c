#include "ui/web_links.h"

#include <QDesktopServices>

#include "logging/log_categories.h"

namespace vantelo::ui {

namespace {

TUrlOpener& Opener() {
  static TUrlOpener opener;
  return opener;
}

}  // namespace

QString HomePage() { return QStringLiteral(VANTELO_HOME_PAGE); }
QString OnlineHelpPage() { return QStringLiteral(VANTELO_ONLINE_HELP); }
QString SupportAddress() { return QStringLiteral(VANTELO_SUPPORT_EMAIL); }

void SetUrlOpener(TUrlOpener opener) { Opener() = std::move(opener); }

bool OpenWith(const QUrl& url) {
  const bool opened = Opener() ? Opener()(url) : QDesktopServices::openUrl(url);
  if (!opened) qCWarning(lcHelp).noquote() << "cannot open" << url.toDisplayString();
  return opened;
}

void OpenURL(const QString& url) { OpenWith(QUrl(url)); }

void MailSupport() { OpenWith(QUrl(QStringLiteral("mailto:") + SupportAddress())); }

}  // namespace vantelo::ui
