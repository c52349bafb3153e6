#include "MainFrm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>

#include "Application.h"
#include "CounterText.h"
#include "DialogTexts.h"
#include "ProgressBar.h"
#include "QtPollTimer.h"
#include "StatusText.h"

namespace {

using namespace form_layout;

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->move(x, y);
  label->adjustSize();
  return label;
}

QProgressBar* MakeBar(QWidget* parent, const TBox& box) {
  auto* bar = new TProgressBar(parent);
  bar->setGeometry(box.X, box.Y, box.Width, box.Height);
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(false);
  return bar;
}

void Place(QWidget* w, const TBox& box) { w->setGeometry(box.X, box.Y, box.Width, box.Height); }

// The counter's font: the window's, at the largest size (11 pixels at most,
// condensed only when plain will not do) at which the longest counter the
// transfer can show fits `width`. Chosen once, so the text never changes size
// while it runs.
QFont CounterFont(QFont font, int width) {
  const QString longest = QString::fromStdString(LongestByteCounterText());
  const int largest = font.pixelSize() > 0 ? font.pixelSize() : kFontPixels;
  for (int px = largest; px >= 6; --px) {
    for (int stretch : {int(QFont::Unstretched), int(QFont::Condensed)}) {
      font.setPixelSize(px);
      font.setStretch(stretch);
      const QFontMetrics fm(font);
      if (std::max(fm.horizontalAdvance(longest), fm.boundingRect(longest).width()) <= width) return font;
    }
  }
  return font;
}

// The maker's address on the banner, in three pieces, the middle one red.
void MakeAddress(QWidget* parent) {
  QFont fixed("Fixedsys");
  fixed.setStyleHint(QFont::TypeWriter);
  fixed.setPixelSize(kAddressFontPixels);
  int x = kAddressX;
  for (int i = 0; i < 3; ++i) {
    auto* piece = new QLabel(kAddressPieces[i], parent);
    piece->setFont(fixed);
    piece->setAutoFillBackground(true);
    QPalette pal = piece->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::HighlightedText));
    pal.setColor(QPalette::WindowText, i == 1 ? Qt::red : Qt::black);
    piece->setPalette(pal);
    piece->adjustSize();
    piece->setGeometry(x, kAddressY, piece->width(), kAddressHeight);
    x += piece->width();
  }
}

}  // namespace

TForm1::TForm1(const std::string& port, const std::string& trace, QWidget* parent) : QWidget(parent) {
  setWindowTitle(kCaption);
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  QFont f("MS Sans Serif");
  f.setStyleHint(QFont::SansSerif);
  f.setPixelSize(kFontPixels);
  setFont(f);
  setFixedSize(kClientWidth, kClientHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  CreateComponents(port, std::make_unique<TQtPollTimer>(), std::make_unique<TQtPollTimer>(), trace);
  BuildControls();
  FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::BuildControls() {
  Shape1 = new TShape(this);
  Place(Shape1, kShape1);
  Image1 = new TBanner(this);
  Place(Image1, kImage1);
  MakeAddress(this);
  BuildPanel();

  RxMemo = new TLogMemo(this);
  Place(RxMemo, kRxMemo);
  RxMemo->SetOnKeyPress([this](const QString& text) { KeyText(text); });
  setFocusProxy(RxMemo);

  StatusStrip = new TStatusStrip(this);
  Place(StatusStrip, kStatusStrip);
  StatusStrip->SetOnClick([this] { PortListAsked(); });
  // What changes while blocks go out fills its own background (the panel's
  // colour), so that painting it leaves the panel and the window beneath alone.
  for (QWidget* w : std::initializer_list<QWidget*>{Label4, ProgressBar1, ProgressBar2, StatusStrip})
    w->setAutoFillBackground(true);
}

// Panel1 and what it holds: the captions, the counter, the bars and the animation.
void TForm1::BuildPanel() {
  auto* panel = new QFrame(this);
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Place(panel, kPanel1);
  Panel1 = panel;
  Label1 = MakeLabel(Panel1, kLabel1Text, kLabel1X, kLabel1Y);
  Label2 = MakeLabel(Panel1, kLabel2Text, kLabel2X, kLabel2Y);
  // The counter reaches to the panel's inner edge; it never grows over the
  // Down Load bar, which would then stop repainting under it.
  Label4 = new QLabel(QString::fromStdString(ByteCounterText(0, 0)), Panel1);
  Label4->setGeometry(kLabel4X, kLabel4Y, Panel1->contentsRect().right() + 1 - kLabel4X, kLabel4Height);
  Label4->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  Label4->setFont(CounterFont(Label4->font(), Label4->width()));

  ProgressBar1 = MakeBar(Panel1, kProgressBar1);
  ProgressBar2 = MakeBar(Panel1, kProgressBar2);
  Animate1 = new TBusyAnimation(Panel1);
  Place(Animate1, kAnimate1);
}

void TForm1::AddLogLine(const std::string& line) { RxMemo->appendPlainText(QString::fromLatin1(line)); }

// What changed paints at the next pump, which while blocks go out comes
// right after this; the core shows no state between, so the window rests.
// A wait paints at once: no message is handled while the exchange waits.
void TForm1::ShowState(const TRunState& state) {
  ProgressBar1->setValue(state.TransferPercent);
  ProgressBar2->setValue(state.FlashPercent);
  const QString counter = QString::fromStdString(ByteCounterText(state.BytesSent, state.BytesTotal));
  if (Label4->text() != counter) Label4->setText(counter);
  if (const TStripState strip = StripOf(state); !(strip == FStrip)) {
    FStrip = strip;
    StatusStrip->Show(strip);
  }
  if (state.Busy != FBusy) {
    FBusy = state.Busy;
    DrawBusy(FBusy);
  }
  Animate1->Pace(state.Paced);
  if (!state.WaitingFor.empty()) repaint();
  if (state.Closing) close();
}

// --- keys ----------------------------------------------------------------------------

// Keys typed while the window itself has the focus. The log keeps its own
// typed keys from climbing here, so none is seen twice.
// F4 opens the list of ports, as it opens a drop-down list.
bool TForm1::event(QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_F4 && key->modifiers() == Qt::NoModifier) {
      PortListAsked();
      return true;
    }
    KeyText(key->text());
  }
  return QWidget::event(event);
}

void TForm1::KeyText(const QString& text) {
  // Nothing outside Latin-1 can be part of a keyword.
  for (QChar c : text) KeyTyped(c.unicode() <= 0xFF ? std::uint8_t(c.unicode()) : 0);
}

// --- closing ---------------------------------------------------------------------------

void TForm1::closeEvent(QCloseEvent* event) { event->setAccepted(CloseQuery()); }

void TForm1::CloseWithoutAsking() {
  NoStopQuestion();
  close();
}

// --- the face: the busy animation, the questions, the pending messages ---------------------

void TForm1::DrawBusy(bool playing) {
  if (playing)
    Animate1->Play();
  else
    Animate1->Stop();
}

bool TForm1::Ask(TDialog kind, const std::string& text, const std::string& detail) {
  if (kind == TDialog::Error) {
    ShowHandlerError(text.c_str());
    return false;
  }
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  switch (kind) {
    case TDialog::Message: break;
    case TDialog::Information: icon = QMessageBox::Information; break;
    case TDialog::YesNo:
    case TDialog::StopQuestion:
      icon = QMessageBox::Question;
      buttons = QMessageBox::Yes | QMessageBox::No;
      break;
    case TDialog::ConnectError: icon = QMessageBox::Warning; break;
    case TDialog::Error: break;
  }
  QMessageBox box(icon, QApplication::applicationName(), QString::fromLatin1(text), buttons, this);
  if (kind == TDialog::StopQuestion) {
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
  }
  // What a question or an information needs to be answered shows with it;
  // the system's reason behind a connect error waits behind its button.
  if (!detail.empty() && (kind == TDialog::YesNo || kind == TDialog::Information))
    box.setInformativeText(QString::fromStdString(detail));
  else if (!detail.empty())
    box.setDetailedText(QString::fromStdString(detail));
  return box.exec() == QMessageBox::Yes;
}

// The list drops up from the strip, the port in use ticked.
std::optional<std::size_t> TForm1::PickPort(const std::vector<TPortOffer>& ports) {
  QMenu list(this);
  list.setObjectName("PortList");
  list.addSection(QString::fromLatin1(kPortListTitle));
  if (ports.empty()) list.addAction(QString::fromLatin1(kNoPortsPresent))->setEnabled(false);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    QAction* item = list.addAction(QString::fromStdString(ports[i].Text));
    item->setData(qulonglong(i));
    item->setCheckable(true);
    item->setChecked(ports[i].Current);
  }
  // A menu is as wide as its items; its section title does not count, and
  // beside one short port it would be cut. The title gets what an item's
  // text gets around it.
  const QFontMetrics metrics(list.font());
  int widestItem = 0;
  for (const QAction* item : list.actions())
    if (!item->isSeparator()) widestItem = std::max(widestItem, metrics.horizontalAdvance(item->text()));
  const int around = std::max(0, list.sizeHint().width() - widestItem);
  list.setMinimumWidth(metrics.horizontalAdvance(QString::fromLatin1(kPortListTitle)) + around);
  const QSize size = list.sizeHint();
  const QPoint at = StatusStrip->mapToGlobal(QPoint(0, -size.height()));
  const QAction* chosen = list.exec(at);
  if (chosen == nullptr || !chosen->data().isValid()) return std::nullopt;
  return std::size_t(chosen->data().toULongLong());
}

void TForm1::Pump() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

