// TForm1: the downloader's one window, drawn with Qt Widgets. It owns the
// widgets, the dialogs and the Qt timers; what it does, and when, is the
// core's TDownloadConsole.
#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QWidget>

#include <string>

#include "Artwork.h"
#include "DownloadConsole.h"
#include "LogMemo.h"
#include "StatusStrip.h"

class TForm1 : public QWidget, public TDownloadConsole {
  Q_OBJECT
public:
  // `port`: the device for COM1, as the command line chose it; empty: the
  // one COM1 maps to.
  explicit TForm1(const std::string& port = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  // Widgets, named as the operator's manual names them.
  TShape* Shape1 = nullptr;
  TBanner* Image1 = nullptr;
  QWidget* Panel1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label4 = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QProgressBar* ProgressBar2 = nullptr;
  TBusyAnimation* Animate1 = nullptr;
  TLogMemo* RxMemo = nullptr;
  TStatusStrip* StatusStrip = nullptr;  // under the log: the port, and the download's pace

  // For a signal: the window closes, a download stops at its next block,
  // and nobody is asked.
  void CloseWithoutAsking();

protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void BuildControls();
  void KeyText(const QString& text);

  // TDownloadConsole
  void ShowLogLine(const std::string& line) override;
  void DrawTransferProgress(int percent) override { ProgressBar1->setValue(percent); }
  void DrawFlashProgress(int percent) override { ProgressBar2->setValue(percent); }
  void DrawByteCounter(const std::string& text) override { Label4->setText(QString::fromStdString(text)); }
  void DrawStrip(const TStripState& strip) override { StatusStrip->Show(strip); }
  void HoldPainting(bool hold) override;
  void PaintNow() override { repaint(); }
  void PumpMessages() override;
  void ShowErrorText(const char* text) override;
  void DrawBusy(bool playing) override;
  bool ShowDialog(TDialog kind, const std::string& text, const std::string& detail) override;
  void DestroyForm() override { close(); }

  bool FPaintHeld = false;
  bool FPaintDeferred = false;
};
