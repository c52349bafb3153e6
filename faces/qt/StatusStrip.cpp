#include "StatusStrip.h"

#include <QMouseEvent>

TStatusStrip::TStatusStrip(QWidget* parent) : QLabel(parent) {
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setIndent(4);
  setTextFormat(Qt::PlainText);
}

void TStatusStrip::Show(const TStripState& strip) {
  if (strip.Warning != FWarning || FPortText.empty()) {
    FWarning = strip.Warning;
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, FWarning ? QColor(form_layout::kWarningRed, form_layout::kWarningGreen,
                                                          form_layout::kWarningBlue)
                                                : QPalette().color(QPalette::WindowText));
    setPalette(pal);
  }
  setText(QString::fromStdString(strip.Text));
  // A long reason runs past the strip's end: the whole of it on hovering.
  if (strip.PortText != FPortText || strip.Choosable != FChoosable) {
    FPortText = strip.PortText;
    FChoosable = strip.Choosable;
    setToolTip(QString::fromStdString(FPortText + (FChoosable ? "\nClick, or press F4, to choose the port." : "")));
    setCursor(FChoosable ? Qt::PointingHandCursor : Qt::ArrowCursor);
  }
}

void TStatusStrip::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && FOnClick) {
    event->accept();
    FOnClick();
    return;
  }
  QLabel::mousePressEvent(event);
}
