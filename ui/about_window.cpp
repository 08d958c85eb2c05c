#include "ui/about_window.h"

#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/link_label.h"
#include "ui/pictures.h"
#include "ui/web_links.h"

namespace vantelo::ui {
namespace {

QLabel* Text(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);  // the captions' blanks are kept as written
  return label;
}

}  // namespace

TFabout::TFabout(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  BuildWindow();
}

void TFabout::BuildWindow() {
  setWindowTitle(QStringLiteral("about"));
  setWindowIcon(ProductIcon());

  // The white panel with its lowered bevel.
  auto* panel = new QFrame(this);
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panel->setAutoFillBackground(true);
  QPalette white = panel->palette();
  white.setColor(QPalette::Window, Qt::white);
  white.setColor(QPalette::WindowText, Qt::black);
  panel->setPalette(white);

  Image1 = new QLabel(panel);
  Image1->setPixmap(ProductPicture());
  Image1->setFixedSize(49, 49);
  ProductName = Text(QStringLiteral("Vantelo"), panel);
  QFont bold = ProductName->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.6);
  ProductName->setFont(bold);

  HomePageLink = new TLinkLabel(HomePage(), panel);
  EmailLink = new TLinkLabel(SupportAddress(), panel);
  connect(HomePageLink, &TLinkLabel::clicked, this, [] { OpenURL(HomePage()); });
  connect(EmailLink, &TLinkLabel::clicked, this, [] { MailSupport(); });

  auto* lines = new QGridLayout();
  lines->setHorizontalSpacing(6);
  lines->addWidget(Text(QStringLiteral("Version        :"), panel), 0, 0);
  lines->addWidget(Text(QStringLiteral("1.3 (build 4)"), panel), 0, 1, 1, 2);
  lines->addWidget(Text(QStringLiteral("go to      :"), panel), 1, 0);
  lines->addWidget(HomePageLink, 1, 1);
  lines->addWidget(Text(QStringLiteral("for update information"), panel), 1, 2);
  lines->addWidget(Text(QStringLiteral("email support     :"), panel), 2, 0);
  lines->addWidget(EmailLink, 2, 1, 1, 2);
  lines->setColumnStretch(3, 1);

  auto* top = new QHBoxLayout();
  top->addWidget(Image1, 0, Qt::AlignTop);
  top->addSpacing(10);
  top->addWidget(ProductName, 0, Qt::AlignVCenter);
  top->addStretch(1);
  auto* inside = new QVBoxLayout(panel);
  inside->setContentsMargins(12, 10, 12, 12);
  inside->addLayout(top);
  inside->addSpacing(12);
  inside->addLayout(lines);
  inside->addStretch(1);

  CloseButton = new QPushButton(QStringLiteral("Close"), this);
  connect(CloseButton, &QPushButton::clicked, this, &QWidget::hide);
  auto* window = new QVBoxLayout(this);
  window->setContentsMargins(8, 8, 8, 8);
  window->addWidget(panel, 1);
  window->addWidget(CloseButton, 0, Qt::AlignRight);

  // 363 x 231, or more where the desktop's font needs it; never resized.
  const QSize needed = sizeHint();
  setFixedSize(std::max(363, needed.width()), std::max(231, needed.height()));
}

void TFabout::ShowAbout() {
  show();
  if (isMinimized()) showNormal();
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
    raise();
    activateWindow();
  }
}

}  // namespace vantelo::ui
