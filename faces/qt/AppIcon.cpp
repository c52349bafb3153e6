#include "AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// The shapes on a 64 x 64 grid.
void Draw(QPainter& p) {
  p.setPen(Qt::NoPen);
  p.setBrush(QColor("#4b3c9e"));
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);

  QPainterPath lower;
  lower.moveTo(2, 40);
  lower.lineTo(62, 40);
  lower.lineTo(62, 52);
  lower.arcTo(QRectF(42, 42, 20, 20), 0, -90);
  lower.lineTo(12, 62);
  lower.arcTo(QRectF(2, 42, 20, 20), 270, -90);
  lower.closeSubpath();
  p.setBrush(QColor("#7a3f9e"));
  p.drawPath(lower);

  // The image on its way down.
  QPainterPath arrow;
  arrow.moveTo(27, 6);
  arrow.lineTo(37, 6);
  arrow.lineTo(37, 20);
  arrow.lineTo(45, 20);
  arrow.lineTo(32, 33);
  arrow.lineTo(19, 20);
  arrow.lineTo(27, 20);
  arrow.closeSubpath();
  p.setBrush(Qt::white);
  p.drawPath(arrow);

  // The receiver.
  p.setPen(QPen(QColor("#101216"), 1.5));
  p.setBrush(QColor("#2a2e36"));
  p.drawRoundedRect(QRectF(8, 35, 48, 18), 3, 3);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor("#4a505c"));
  p.drawRoundedRect(QRectF(8.75, 35.75, 46.5, 3), 1.5, 1.5);
  p.setBrush(QColor("#0c3d1c"));
  p.drawRoundedRect(QRectF(14, 41, 15, 7), 1, 1);
  p.setBrush(QColor("#5cff8a"));
  p.drawRect(QRectF(16, 43.5, 3, 2));
  p.drawRect(QRectF(20.5, 43.5, 3, 2));
  p.drawRect(QRectF(25, 43.5, 2, 2));
  p.drawEllipse(QPointF(49, 44.5), 2, 2);
  p.setBrush(QColor("#101216"));
  p.drawRect(QRectF(12, 53, 6, 2.5));
  p.drawRect(QRectF(46, 53, 6, 2.5));
}

}  // namespace

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    Draw(p);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}
