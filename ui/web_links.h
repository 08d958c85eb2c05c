// Web pages, the support address and local help pages open in the user's
// own programs: the desktop's default browser and mail program. The maker's
// addresses are settings of the build.
//
// GUI thread only. Nothing here shows a message: a page that cannot be opened
// is logged (vantelo.help) and otherwise ignored.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>

namespace vantelo::ui {

// The maker's home page, online help page and support address.
QString HomePage();
QString OnlineHelpPage();
QString SupportAddress();

// What opens a URL; by default the desktop's handler for it. Tests put a
// recorder here instead of starting a browser. Returns whether it was opened.
using TUrlOpener = std::function<bool(const QUrl&)>;
void SetUrlOpener(TUrlOpener opener);  // an empty opener restores the default
bool OpenWith(const QUrl& url);

// Opens `url` in the browser; reports nothing.
void OpenURL(const QString& url);
// Opens a new message to the support address in the mail program.
void MailSupport();

}  // namespace vantelo::ui
