#include "Artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "ArtworkData.h"

using namespace artwork;

namespace {

QColor Colour(const TColour& c) { return QColor(c.R, c.G, c.B, c.A); }
QRectF Rect(const TRect& r) { return QRectF(r.X, r.Y, r.Width, r.Height); }

// A set-top box seen from the front: body, display and a status lamp. The
// lamp is drawn on its own, as the busy animation changes only the lamp.
void DrawReceiverBody(QPainter& p, const QRectF& r) {
  QLinearGradient body(r.topLeft(), r.bottomLeft());
  body.setColorAt(0, Colour(kBodyTop));
  body.setColorAt(1, Colour(kBodyBottom));
  p.setPen(QPen(Colour(kBodyEdge), 1));
  p.setBrush(body);
  p.drawRoundedRect(r, kBodyRadius, kBodyRadius);
  QRectF display(r.left() + r.width() * kDisplay.X, r.top() + r.height() * kDisplay.Y, r.width() * kDisplay.Width,
                 r.height() * kDisplay.Height);
  p.setBrush(Colour(kDisplayFill));
  p.drawRect(display);
  p.setPen(Colour(kDisplayText));
  QFont f = p.font();
  f.setPixelSize(int(display.height() * kDisplayTextHeight));
  f.setBold(true);
  p.setFont(f);
  p.drawText(display, Qt::AlignCenter, kDisplayCaption);
}

void DrawLamp(QPainter& p, const QRectF& r, const QColor& light) {
  p.setPen(Qt::NoPen);
  p.setBrush(light);
  p.drawEllipse(QPointF(r.right() - r.width() * kLampFromRight, r.center().y()), r.height() * kLampRadius,
                r.height() * kLampRadius);
}

void DrawReceiver(QPainter& p, const QRectF& r, const QColor& light) {
  DrawReceiverBody(p, r);
  DrawLamp(p, r, light);
}

}  // namespace

TShape::TShape(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_TransparentForMouseEvents); }

void TShape::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QPen pen(Colour(kOutline));
  pen.setWidth(1);
  p.setPen(pen);
  p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kOutlineRadius, kOutlineRadius);
}

TBanner::TBanner(QWidget* parent) : QWidget(parent) {}

void TBanner::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = rect();
  QLinearGradient sky(r.topLeft(), r.bottomRight());
  for (const TStop& stop : kSky) sky.setColorAt(stop.At, Colour(stop.Colour));
  p.fillRect(r, sky);

  p.setPen(QPen(Colour(kArc), kArcPen));
  for (int i = 1; i <= kArcs; ++i) {
    const double rad = kArcStep * i;
    p.drawArc(QRectF(kArcCentreX - rad, kArcCentreY - rad, 2 * rad, 2 * rad), int(kArcStartDegrees * 16),
              int(kArcSpanDegrees * 16));
  }
  DrawReceiver(p, Rect(kBannerReceiver), Colour(kBannerLamp));

  QFont title = p.font();
  title.setPixelSize(int(kTitlePixels));
  title.setBold(true);
  p.setFont(title);
  const QRectF titleBox(kTitleBox.X, kTitleBox.Y, r.width() + kTitleBox.Width, kTitleBox.Height);
  p.setPen(Colour(kTitleShadow));
  p.drawText(titleBox.translated(1, 1), Qt::AlignLeft | Qt::AlignVCenter, kTitle);
  p.setPen(Qt::white);
  p.drawText(titleBox, Qt::AlignLeft | Qt::AlignVCenter, kTitle);

  QFont sub = p.font();
  sub.setPixelSize(int(kSubtitlePixels));
  sub.setBold(false);
  p.setFont(sub);
  p.setPen(Colour(kSubtitleColour));
  p.drawText(QRectF(kSubtitleBox.X, kSubtitleBox.Y, r.width() + kSubtitleBox.Width, kSubtitleBox.Height),
             Qt::AlignLeft | Qt::AlignVCenter, kSubtitle);
}

TBusyAnimation::TBusyAnimation(QWidget* parent) : QWidget(parent) {
  // It covers its place whole: nothing beneath it is painted again with it.
  setAttribute(Qt::WA_OpaquePaintEvent);
  FTimer.setInterval(kFrameMs);
  QObject::connect(&FTimer, &QTimer::timeout, this, [this] {
    FFrame = (FFrame + 1) % kFrames;
    update();
  });
}

void TBusyAnimation::Play() {
  if (!Playing()) FTimer.start();
}

void TBusyAnimation::Stop() {
  FTimer.stop();
  FHeld = false;
  FFrame = kStopFrame;
  update();
}

void TBusyAnimation::Pace(bool paced) {
  if (!Playing()) return;
  FHeld = paced;
  if (!paced) {
    if (!FTimer.isActive()) FTimer.start();
    return;
  }
  FTimer.stop();
  FFrame = (FFrame + artwork::kHeldStep) % kFrames;
  update();
}

// What stands still (the folder, the receiver's body) is drawn once, on the
// panel's colour, and copied; only the lamp and the pages are drawn anew.
void TBusyAnimation::paintEvent(QPaintEvent*) {
  const qreal ratio = devicePixelRatioF();
  if (FStill.isNull() || FStill.devicePixelRatio() != ratio) {
    FStill = QPixmap(size() * ratio);
    FStill.setDevicePixelRatio(ratio);
    FStill.fill(palette().color(QPalette::Window));
    QPainter p(&FStill);
    p.setFont(font());
    p.setRenderHint(QPainter::Antialiasing);
    DrawStill(p);
  }
  QPainter p(this);
  p.drawPixmap(0, 0, FStill);
  p.setRenderHint(QPainter::Antialiasing);
  DrawMoving(p, FFrame);
}

QRectF TBusyAnimation::Folder() const {
  return QRectF(kFolder.X, height() / 2.0 + kFolder.Y, kFolder.Width, kFolder.Height);
}

QRectF TBusyAnimation::Receiver() const {
  return QRectF(width() + kBusyReceiver.X, height() / 2.0 + kBusyReceiver.Y, kBusyReceiver.Width,
                kBusyReceiver.Height);
}

void TBusyAnimation::DrawStill(QPainter& p) const {
  const QRectF folder = Folder();
  p.setPen(QPen(Colour(kFolderEdge), 1));
  p.setBrush(Colour(kFolderFill));
  p.drawRoundedRect(folder, kFolderRadius, kFolderRadius);
  p.drawRect(QRectF(folder.left() + kFolderTab.X, folder.top() + kFolderTab.Y, kFolderTab.Width, kFolderTab.Height));
  DrawReceiverBody(p, Receiver());
}

void TBusyAnimation::DrawMoving(QPainter& p, int frame) const {
  DrawLamp(p, Receiver(), Colour(BusyLamp(Playing(), frame)));
  if (!Playing()) return;
  const double mid = height() / 2.0;
  for (int i = 0; i < kPages; ++i) {
    const TPagePlace at = PagePlace(frame, i, Folder().right() + kPagesFrom, width() - kPagesToFromRight, mid);
    p.save();
    p.translate(at.X, at.Y);
    p.rotate(at.Degrees);
    p.setPen(QPen(Colour(kPageEdge), 1));
    p.setBrush(Qt::white);
    p.drawRect(Rect(kPage));
    p.setPen(Colour(kPageLines));
    for (int l = 0; l < 3; ++l) p.drawLine(QPointF(-4, -5 + 4 * l), QPointF(4, -5 + 4 * l));
    p.restore();
  }
}
