#include "ProgressBar.h"

#include <QEvent>
#include <QPainter>
#include <QStyleOptionProgressBar>

TProgressBar::TProgressBar(QWidget* parent) : QProgressBar(parent) {}

QString TProgressBar::text() const { return isTextVisible() ? QProgressBar::text() : QString(); }

QPixmap TProgressBar::Pictured(int progress) {
  const qreal ratio = devicePixelRatioF();
  QPixmap picture(size() * ratio);
  picture.setDevicePixelRatio(ratio);
  picture.fill(Qt::transparent);
  QStyleOptionProgressBar option;
  initStyleOption(&option);
  option.progress = progress;
  QPainter p(&picture);
  style()->drawControl(QStyle::CE_ProgressBar, &option, &p, this);
  return picture;
}

void TProgressBar::paintEvent(QPaintEvent*) {
  const qreal ratio = devicePixelRatioF();
  if (FEmpty.isNull() || FEmpty.devicePixelRatio() != ratio || FEmpty.size() != size() * ratio) {
    FEmpty = Pictured(minimum());
    FFull = Pictured(maximum());
  }
  QPainter p(this);
  const qint64 span = qint64(maximum()) - minimum();
  const bool full = span > 0 && value() >= maximum();
  p.drawPixmap(0, 0, full ? FFull : FEmpty);
  if (full || span <= 0 || value() <= minimum()) return;
  // The style fills its contents' width in proportion, from the left.
  QStyleOptionProgressBar option;
  initStyleOption(&option);
  const QRect contents = style()->subElementRect(QStyle::SE_ProgressBarContents, &option, this);
  const int edge = contents.left() + int(qint64(contents.width()) * (value() - minimum()) / span);
  p.drawPixmap(QRectF(0, 0, edge, height()), FFull, QRectF(0, 0, edge * ratio, height() * ratio));
}

void TProgressBar::changeEvent(QEvent* event) {
  switch (event->type()) {
    case QEvent::PaletteChange:
    case QEvent::StyleChange:
    case QEvent::EnabledChange:
    case QEvent::FontChange:
      FEmpty = FFull = QPixmap();
      break;
    default: break;
  }
  QProgressBar::changeEvent(event);
}
