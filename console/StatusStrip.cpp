#include "StatusStrip.h"

#include "StatusText.h"

TStatusStrip::TStatusStrip(QWidget* parent) : QLabel(parent) {
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setIndent(4);
  setTextFormat(Qt::PlainText);
}

void TStatusStrip::ShowPort(const std::string& device, bool open, const std::string& reason) {
  FPortText = PortText(device, open, reason);
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, open ? QPalette().color(QPalette::WindowText) : QColor(0xB0, 0x00, 0x00));
  setPalette(pal);
  setText(QString::fromStdString(FPortText));
  // A long reason runs past the strip's end: the whole of it on hovering.
  setToolTip(text());
}

void TStatusStrip::ShowActivity(const std::string& text) {
  setText(QString::fromStdString(text.empty() ? FPortText : FPortText + kStripSeparator + text));
}
