#include "MainFrm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>

#include "Application.h"
#include "DescriptionFile.h"
#include "QtPollTimer.h"
#include "StatusText.h"

namespace {

constexpr int kStripHeight = 20;

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->move(x, y);
  label->adjustSize();
  return label;
}

QProgressBar* MakeBar(QWidget* parent, int x, int y) {
  auto* bar = new QProgressBar(parent);
  bar->setGeometry(x, y, 337, 16);
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(false);
  return bar;
}

// The counter's font: the window's, at the largest size (11 pixels at most,
// condensed only when plain will not do) at which the longest counter the
// transfer can show fits `width`. Chosen once, so the text never changes size
// while it runs.
QFont CounterFont(QFont font, int width) {
  const QString longest = QString::fromStdString(ByteCounterText(kMaxImageBytes, kMaxImageBytes));
  const int largest = font.pixelSize() > 0 ? font.pixelSize() : 11;
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

}  // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
  setWindowTitle(kCaption);
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  QFont f("MS Sans Serif");
  f.setStyleHint(QFont::SansSerif);
  f.setPixelSize(11);
  setFont(f);
  // The status strip adds its own height under the log, and nothing else.
  setFixedSize(553, 681 + kStripHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  CreateComponents(std::make_unique<TQtPollTimer>(), std::make_unique<TQtPollTimer>());
  BuildControls();
  FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::BuildControls() {
  Shape1 = new TShape(this);
  Shape1->setGeometry(8, 8, 537, 113);
  Image1 = new TBanner(this);
  Image1->setGeometry(24, 16, 505, 97);

  // The maker's address, in three pieces on the banner.
  QFont fixed("Fixedsys");
  fixed.setStyleHint(QFont::TypeWriter);
  fixed.setPixelSize(16);
  int x = 344;
  for (auto [text, red] : {std::pair{"www.", false}, {"tarnwell", true}, {".example", false}}) {
    auto* piece = new QLabel(text, this);
    piece->setFont(fixed);
    piece->setAutoFillBackground(true);
    QPalette pal = piece->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::HighlightedText));
    pal.setColor(QPalette::WindowText, red ? Qt::red : Qt::black);
    piece->setPalette(pal);
    piece->adjustSize();
    piece->setGeometry(x, 88, piece->width(), 22);
    x += piece->width();
  }

  auto* panel = new QFrame(this);
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setGeometry(8, 132, 537, 129);
  Panel1 = panel;
  Label1 = MakeLabel(Panel1, "Down Load", 16, 20);
  Label2 = MakeLabel(Panel1, "Flash Write", 16, 44);
  // The counter keeps its place right of the Down Load bar and reaches to
  // the panel's inner edge; it never grows over the bar, which would then
  // stop repainting under it.
  Label4 = new QLabel(QString::fromStdString(ByteCounterText(0, 0)), Panel1);
  Label4->setGeometry(428, 20, Panel1->contentsRect().right() + 1 - 428, 16);
  Label4->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  Label4->setFont(CounterFont(Label4->font(), Label4->width()));
  ProgressBar1 = MakeBar(Panel1, 84, 20);
  ProgressBar2 = MakeBar(Panel1, 84, 44);
  Animate1 = new TBusyAnimation(Panel1);
  Animate1->setGeometry(76, 60, 385, 61);

  RxMemo = new TLogMemo(this);
  RxMemo->setGeometry(8, 272, 537, 401);
  RxMemo->SetOnKeyPress([this](const QString& text) { KeyText(text); });
  setFocusProxy(RxMemo);

  StatusStrip = new TStatusStrip(this);
  StatusStrip->setGeometry(8, 677, 537, kStripHeight);
}

void TForm1::ShowConnectError() {
  QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), kConnectError, QMessageBox::Ok, this);
  box.setDetailedText(QString::fromStdString(SerialPortDriver1->LastError()));
  box.exec();
}

void TForm1::ShowPort() {
  StatusStrip->ShowPort(TSerialPortDriver::DevicePath(pnCOM1), SerialPortDriver1->Connected(),
                        SerialPortDriver1->LastError());
}

void TForm1::AppendLog(const std::string& line) {
  RxMemo->appendPlainText(QString::fromLatin1(line));
  FRecorder->LogLine(line);
}

// --- keys ----------------------------------------------------------------------------

// Keys typed while the window itself has the focus. The log keeps its own
// typed keys from climbing here, so none is seen twice.
bool TForm1::event(QEvent* event) {
  if (event->type() == QEvent::KeyPress) KeyText(static_cast<QKeyEvent*>(event)->text());
  return QWidget::event(event);
}

void TForm1::KeyText(const QString& text) {
  try {
    for (QChar c : text) {
      // Nothing outside Latin-1 can be part of a keyword.
      std::uint8_t key = c.unicode() <= 0xFF ? std::uint8_t(c.unicode()) : 0;
      RxMemoKeyPress(key);
    }
  } catch (const std::exception& e) {
    ShowError(e);
  }
}

void TForm1::ShowErrorText(const char* text) { ShowHandlerError(text); }

void TForm1::ShowActivity(const std::string& text) { StatusStrip->ShowActivity(text); }

// --- closing ---------------------------------------------------------------------------

void TForm1::closeEvent(QCloseEvent* event) {
  // Closing while blocks go out would pull the window from under the
  // transfer: ask it to stop at the next block instead.
  if (FDownload->Running() && !FClosingByDownload) {
    event->ignore();
    if (FCloseRequested || FAsking) return;
    // Blocks going out are worth a question; a signal is not asked.
    if (Transferring() && !FCloseWithoutAsking && !AskToStopTheTransfer()) return;
    FCloseRequested = true;
    return;
  }
  event->accept();
}

bool TForm1::AskToStopTheTransfer() {
  FAsking = true;
  QMessageBox box(QMessageBox::Question, QApplication::applicationName(), kStopQuestion,
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  const bool yes = box.exec() == QMessageBox::Yes;
  FAsking = false;
  // A signal that came while the question was open closes all the same.
  return yes || FCloseWithoutAsking;
}

void TForm1::CloseWithoutAsking() {
  FCloseWithoutAsking = true;
  close();
}

void TForm1::CloseWindow() {
  FClosingByDownload = true;
  Timer1->Stop();
  close();
}

// --- the view of the exchange -------------------------------------------------------------

void TForm1::SetTransferProgress(int percent) { ProgressBar1->setValue(percent); }
void TForm1::SetFlashProgress(int percent) { ProgressBar2->setValue(percent); }
void TForm1::SetByteCounter(const std::string& text) { Label4->setText(QString::fromStdString(text)); }
void TForm1::StartBusyAnimation() { Animate1->Play(); }
void TForm1::StopBusyAnimation() { Animate1->Stop(); }
void TForm1::StopProbeTimer() { Timer1->Stop(); }

void TForm1::ShowMessage(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), QString::fromLatin1(text), QMessageBox::Ok,
                  this);
  box.exec();
}

bool TForm1::ConfirmYesNo(const std::string& text) {
  QMessageBox box(QMessageBox::Question, QApplication::applicationName(), QString::fromLatin1(text),
                  QMessageBox::Yes | QMessageBox::No, this);
  return box.exec() == QMessageBox::Yes;
}

void TForm1::ShowInformation(const std::string& text) {
  QMessageBox box(QMessageBox::Information, QApplication::applicationName(), QString::fromLatin1(text),
                  QMessageBox::Ok, this);
  box.exec();
}

void TForm1::ProcessPendingMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

