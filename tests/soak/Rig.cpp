#include "Rig.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>

#include <cstdlib>
#include <stdexcept>

Rig::Rig(const stbsim::Config& cfg) : FRx(std::make_unique<stbsim::Receiver>(cfg)) {
  std::string error;
  if (!FRx->OpenPty(&error)) throw std::runtime_error("receiver pty: " + error);
  setenv("COM1", FRx->ConsolePath().c_str(), 1);
  FRx->Start();
  FDialogTimer.setInterval(20);
  QObject::connect(&FDialogTimer, &QTimer::timeout, [this] { AnswerDialogs(); });
  FDialogTimer.start();
}

Rig::~Rig() {
  FDialogTimer.stop();
  FForm.reset();
  FRx->Stop();
}

void Rig::Open(std::uint32_t silenceLimitMs) {
  FForm = std::make_unique<TForm1>();
  FForm->Download().SetSilenceLimitMs(silenceLimitMs);
  FForm->show();
}

void Rig::Type(const std::string& text) {
  for (char c : text) QTest::keyClicks(FForm->RxMemo, QString(QChar::fromLatin1(c)));
}

void Rig::AnswerDialogs() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr || box == FLastDialog) return;
  FLastDialog = box;
  Dialogs.push_back(box->text().toStdString());
  if (QAbstractButton* yes = box->button(QMessageBox::Yes)) {
    (AnswerYes ? yes : box->button(QMessageBox::No))->click();
  } else if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
    ok->click();
  } else {
    box->accept();
  }
}

bool Rig::RunUntilClosed(int timeoutMs) {
  return RunUntil([this] { return Closed(); }, timeoutMs);
}

void Rig::RunFor(int ms) { QTest::qWait(ms); }

std::vector<std::string> Rig::Log() const {
  std::vector<std::string> lines;
  if (!FForm) return lines;
  for (const QString& l : FForm->RxMemo->toPlainText().split('\n')) lines.push_back(l.toStdString());
  return lines;
}

void Rig::DestroyForm() { FForm.reset(); }

bool Rig::PortFree() const {
  TSerialPortDriver probe;
  probe.SetComPort(pnCOM1);
  const bool opened = probe.Connect();
  probe.Disconnect();
  return opened;
}
