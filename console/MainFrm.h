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

class TForm1 : public QWidget, private TDownloadView, private TDownloadObserver {
  Q_OBJECT
public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Widgets and components, named as the operator's manual names them.
  TSerialPortDriver* SerialPortDriver1 = nullptr;
  TPollTimer* Timer1 = nullptr;
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

  // The state of one run.
  std::uint8_t DownloadMode = 0;
  TDownloadJob DownloadJob;
  bool DownloadJobReady = false;  // the description was read to its end
  TKeywordSlots KeywordSlots{};
  // The receiver's identification, as the handshake read it.
  const TDeviceInfo& DeviceInfo() const { return FDownload->DeviceInfo(); }

  void AppendLog(const std::string& line) override;
  void RxMemoKeyPress(std::uint8_t& Key);
  void ReadDescriptionFile(const std::string& path);
  TDownload& Download() { return *FDownload; }
  // The last download's result, none when no download reached a receiver.
  const std::optional<TDownloadResult>& DownloadResult() const { return FRecorder->Result(); }
  const TDownloadRecorder& Recorder() const { return *FRecorder; }
  // For a signal: the window closes, a download stops at its next block,
  // and nobody is asked.
  void CloseWithoutAsking();
  // What the exchange sees of the window: the bars, the counter, the log.
  TDownloadView& View() { return *this; }

  void Timer1Timer();

protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void BuildControls();
  void FormCreate();
  void KeyText(const QString& text);
  void ShowError(const std::exception& e);

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

  // TDownloadObserver
  void Reached(std::uint8_t mode, const TDownloadJob& job) override;
  void Identified(const TDeviceInfo& info, bool addressRead) override;
  void TransferStarting(std::int32_t blockCount) override;
  void BlockAccepted(std::int32_t done, std::int32_t blockCount) override;
  void BlockResent(std::int32_t block) override;
  void Waiting(const char* stage, std::uint32_t silentMs) override;
  void Ended(TDownloadResult result, const std::string& reason) override;

  bool AskToStopTheTransfer();

  std::unique_ptr<TSerialPortDriver> FSerialPortDriver;
  std::unique_ptr<TPollTimer> FTimer1;
  std::unique_ptr<TDownload> FDownload;
  std::unique_ptr<TDownloadRecorder> FRecorder;
  bool FCloseRequested = false;
  bool FClosingByDownload = false;
  bool FCloseWithoutAsking = false;
  bool FAsking = false;
  bool FTransferring = false;
  bool FPortNotOpenLogged = false;
  std::chrono::steady_clock::time_point FTransferStart;
};
