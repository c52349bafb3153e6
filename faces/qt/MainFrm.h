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
#include "FormLayout.h"
#include "LogMemo.h"
#include "StatusStrip.h"
#include "StatusText.h"

class TForm1 : public QWidget, public TDownloadConsole {
  Q_OBJECT
public:
  // `port`: the device for COM1, as the command line chose it; empty: the
  // one COM1 maps to.
  // `trace`: the file of the whole run's wire trace; empty: none.
  explicit TForm1(const std::string& port = {}, const std::string& trace = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  // The widgets, under the system's own names.
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
  void BuildPanel();
  void KeyText(const QString& text);

  // TFace
  void ShowState(const TRunState& state) override;
  void AddLogLine(const std::string& line) override;
  bool Ask(TDialog kind, const std::string& text, const std::string& detail) override;
  void Pump() override;
  std::optional<std::size_t> PickPort(const std::vector<TPortOffer>& ports) override;

  void DrawBusy(bool playing);

  TStripState FStrip;
  bool FBusy = false;
};
