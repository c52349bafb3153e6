#include "Artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

TShape::TShape(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_TransparentForMouseEvents); }

void TShape::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QPen pen(QColor(128, 0, 128));
  pen.setWidth(1);
  p.setPen(pen);
  p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
}

TBanner::TBanner(QWidget* parent) : QWidget(parent) {}

namespace {

// A set-top box seen from the front: body, display and a status light.
void DrawReceiver(QPainter& p, const QRectF& r, const QColor& light) {
  QLinearGradient body(r.topLeft(), r.bottomLeft());
  body.setColorAt(0, QColor(70, 74, 88));
  body.setColorAt(1, QColor(28, 30, 38));
  p.setPen(QPen(QColor(18, 18, 24), 1));
  p.setBrush(body);
  p.drawRoundedRect(r, 4, 4);
  QRectF display(r.left() + r.width() * 0.12, r.top() + r.height() * 0.3, r.width() * 0.34, r.height() * 0.36);
  p.setBrush(QColor(20, 60, 40));
  p.drawRect(display);
  p.setPen(QColor(90, 255, 160));
  QFont f = p.font();
  f.setPixelSize(int(display.height() * 0.7));
  f.setBold(true);
  p.setFont(f);
  p.drawText(display, Qt::AlignCenter, "DL");
  p.setPen(Qt::NoPen);
  p.setBrush(light);
  p.drawEllipse(QPointF(r.right() - r.width() * 0.12, r.center().y()), r.height() * 0.09, r.height() * 0.09);
}

}  // namespace

void TBanner::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = rect();
  QLinearGradient sky(r.topLeft(), r.bottomRight());
  sky.setColorAt(0, QColor(36, 44, 110));
  sky.setColorAt(0.6, QColor(88, 40, 130));
  sky.setColorAt(1, QColor(160, 60, 140));
  p.fillRect(r, sky);

  // Signal arcs behind the box.
  p.setPen(QPen(QColor(255, 255, 255, 40), 3));
  for (int i = 1; i <= 4; ++i) {
    const double rad = 14.0 * i;
    p.drawArc(QRectF(58 - rad, 48 - rad, 2 * rad, 2 * rad), -60 * 16, 120 * 16);
  }
  DrawReceiver(p, QRectF(16, 34, 84, 30), QColor(80, 255, 120));

  QFont title = p.font();
  title.setPixelSize(26);
  title.setBold(true);
  p.setFont(title);
  p.setPen(QColor(0, 0, 0, 90));
  p.drawText(QRectF(121, 13, r.width() - 130, 36), Qt::AlignLeft | Qt::AlignVCenter, "Tarnwell STB");
  p.setPen(Qt::white);
  p.drawText(QRectF(120, 12, r.width() - 130, 36), Qt::AlignLeft | Qt::AlignVCenter, "Tarnwell STB");

  QFont sub = p.font();
  sub.setPixelSize(14);
  sub.setBold(false);
  p.setFont(sub);
  p.setPen(QColor(230, 220, 255));
  p.drawText(QRectF(122, 46, r.width() - 130, 20), Qt::AlignLeft | Qt::AlignVCenter, "Serial DownLoader v3.5");
}

TBusyAnimation::TBusyAnimation(QWidget* parent) : QWidget(parent) {
  // It covers its place whole: nothing beneath it is painted again with it.
  setAttribute(Qt::WA_OpaquePaintEvent);
  FTimer.setInterval(60);
  QObject::connect(&FTimer, &QTimer::timeout, this, [this] {
    FFrame = (FFrame + 1) % kFrames;
    update();
  });
}

void TBusyAnimation::Play() {
  if (!FTimer.isActive()) FTimer.start();
}

void TBusyAnimation::Stop() {
  FTimer.stop();
  FFrame = kStopFrame;
  update();
}

// Each frame is drawn once, on the panel's colour, and kept: the transfer
// shows a frame per block, and a picture copied costs a fraction of one drawn.
void TBusyAnimation::paintEvent(QPaintEvent*) {
  const qreal ratio = devicePixelRatioF();
  QPixmap& frame = FFrames[std::size_t(Playing() ? FFrame : kFrames)];
  if (frame.isNull() || frame.devicePixelRatio() != ratio) {
    frame = QPixmap(size() * ratio);
    frame.setDevicePixelRatio(ratio);
    frame.fill(palette().color(QPalette::Window));
    QPainter p(&frame);
    p.setFont(font());
    DrawFrame(p);
  }
  QPainter(this).drawPixmap(0, 0, frame);
}

void TBusyAnimation::DrawFrame(QPainter& p) const {
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = rect();
  const double mid = r.center().y();

  // A folder on the left, the receiver on the right.
  QRectF folder(8, mid - 16, 44, 30);
  p.setPen(QPen(QColor(150, 110, 20), 1));
  p.setBrush(QColor(240, 200, 90));
  p.drawRoundedRect(folder, 3, 3);
  p.drawRect(QRectF(folder.left(), folder.top() - 5, 18, 6));
  DrawReceiver(p, QRectF(r.width() - 96, mid - 14, 88, 28),
                Playing() ? ((FFrame / 4) % 2 ? QColor(255, 190, 40) : QColor(120, 80, 0)) : QColor(80, 200, 100));

  if (!Playing()) return;
  // Three pages on their way, spaced along the arc.
  const double x0 = folder.right() + 4, x1 = r.width() - 104;
  for (int i = 0; i < 3; ++i) {
    const double t = std::fmod(double(FFrame) / kFrames + i / 3.0, 1.0);
    const double x = x0 + (x1 - x0) * t;
    const double y = mid - 4 - std::sin(t * 3.14159265) * 18;
    p.save();
    p.translate(x, y);
    p.rotate(-20 + 40 * t);
    p.setPen(QPen(QColor(110, 110, 130), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(-7, -9, 14, 18));
    p.setPen(QColor(170, 170, 190));
    for (int l = 0; l < 3; ++l) p.drawLine(QPointF(-4, -5 + 4 * l), QPointF(4, -5 + 4 * l));
    p.restore();
  }
}
