// TForm1: the downloader's one window. It owns the widgets, the serial port
// and the state of a download; the exchange itself lives in TDownload.
#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Artwork.h"
#include "DeviceCheck.h"
#include "Download.h"
#include "DownloadConsole.h"
#include "DownloadJob.h"
#include "DownloadObserver.h"
#include "DownloadRecord.h"
#include "LogMemo.h"
#include "ModeSelect.h"
#include "PollTimer.h"
#include "SerialDrv.h"
#include "StatusStrip.h"

inline constexpr const char* kCaption = "::::: Tarnwell STB  Serial DownLoader v3.5 For Downgrade Version:::::";
inline constexpr const char* kConnectError = "Error: could not connect.  Check COM port settings";
inline constexpr const char* kStopQuestion =
    "A download is running. Closing now leaves the receiver without a complete image. Stop the download and close?";

class TForm1 : public QWidget, public TDownloadConsole {
  Q_OBJECT
public:
  explicit TForm1(QWidget* parent = nullptr);
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

  void AppendLog(const std::string& line) override;
  // For a signal: the window closes, a download stops at its next block,
  // and nobody is asked.
  void CloseWithoutAsking();
  // What the exchange sees of the window: the bars, the counter, the log.
  TDownloadView& View() { return *this; }

protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void BuildControls();
  void KeyText(const QString& text);

  // TDownloadConsole
  void ShowActivity(const std::string& text) override;
  void PaintNow() override { repaint(); }
  void ShowErrorText(const char* text) override;
  void ShowConnectError() override;
  void ShowPort() override;

  // TDownloadView
  void SetTransferProgress(int percent) override;
  void SetFlashProgress(int percent) override;
  void SetByteCounter(const std::string& text) override;
  void StartBusyAnimation() override;
  void StopBusyAnimation() override;
  void StopProbeTimer() override;
  void ShowMessage(const std::string& text) override;
  bool ConfirmYesNo(const std::string& text) override;
  void ShowInformation(const std::string& text) override;
  void ProcessPendingMessages() override;
  bool CloseRequested() const override { return FCloseRequested; }
  void CloseWindow() override;

  bool AskToStopTheTransfer();

  bool FCloseRequested = false;
  bool FClosingByDownload = false;
  bool FCloseWithoutAsking = false;
  bool FAsking = false;
};
