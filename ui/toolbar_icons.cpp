#include "ui/toolbar_icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QtMath>
#include <functional>

namespace vantelo::ui {
namespace {

constexpr int kSize = 64;  // drawn large, shown at 32

QIcon Draw(const std::function<void(QPainter&)>& paint) {
  QPixmap pixmap(kSize, kSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  paint(p);
  return QIcon(pixmap);
}

// An arc with an arrow head at its end.
void ArcArrow(QPainter& p, const QRectF& box, double startDeg, double spanDeg, const QColor& c) {
  QPen pen(c, 7, Qt::SolidLine, Qt::RoundCap);
  p.setPen(pen);
  p.drawArc(box, static_cast<int>(startDeg * 16), static_cast<int>(spanDeg * 16));
  const double end = qDegreesToRadians(startDeg + spanDeg);
  const QPointF centre = box.center();
  const double r = box.width() / 2;
  const QPointF tip(centre.x() + r * std::cos(end), centre.y() - r * std::sin(end));
  // Tangent direction of travel (counter-clockwise for a positive span).
  const double dir = spanDeg > 0 ? 1.0 : -1.0;
  const QPointF t(-std::sin(end) * dir, -std::cos(end) * dir);
  const QPointF n(std::cos(end), -std::sin(end));
  QPolygonF head;
  head << tip + t * 11 << tip + n * 9 << tip - n * 9;
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawPolygon(head);
}

}  // namespace

QIcon RefreshIcon() {
  return Draw([](QPainter& p) {
    const QRectF box(12, 12, 40, 40);
    ArcArrow(p, box, 100, 150, QColor(0x2e, 0x8b, 0x57));
    ArcArrow(p, box, 280, 150, QColor(0x1e, 0x6f, 0xb8));
  });
}

QIcon ConfigIcon() {
  return Draw([](QPainter& p) {
    const QPointF c(32, 32);
    QPainterPath gear;
    const int teeth = 8;
    for (int i = 0; i < teeth * 2; ++i) {
      const double a0 = 2 * M_PI * i / (teeth * 2);
      const double a1 = 2 * M_PI * (i + 1) / (teeth * 2);
      const double r = i % 2 ? 22 : 28;
      QPointF p0(c.x() + r * std::cos(a0), c.y() + r * std::sin(a0));
      QPointF p1(c.x() + r * std::cos(a1), c.y() + r * std::sin(a1));
      if (i == 0)
        gear.moveTo(p0);
      else
        gear.lineTo(p0);
      gear.lineTo(p1);
    }
    gear.closeSubpath();
    gear.addEllipse(c, 9, 9);
    gear.setFillRule(Qt::OddEvenFill);
    p.setPen(QPen(QColor(0x3c, 0x4a, 0x5a), 2));
    p.setBrush(QColor(0x7d, 0x8d, 0xa0));
    p.drawPath(gear);
  });
}

QIcon HelpIcon() {
  return Draw([](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1e, 0x6f, 0xb8));
    p.drawEllipse(QPointF(32, 32), 27, 27);
    QFont font;
    font.setPixelSize(40);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 0, kSize, kSize), Qt::AlignCenter, QStringLiteral("?"));
  });
}

QIcon ExitIcon() {
  return Draw([](QPainter& p) {
    const QColor red(0xc0, 0x39, 0x2b);
    p.setPen(QPen(red, 7, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(12, 14, 40, 40), 120 * 16, 300 * 16);
    p.drawLine(QPointF(32, 8), QPointF(32, 32));
  });
}

}  // namespace vantelo::ui
