// TForm1 for Windows: the downloader's one window, drawn with the Win32 API
// and common controls. The same layout, texts and behaviour as the Qt window
// on Linux, over the same core; the exchange lives in TDownload.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "DeviceCheck.h"
#include "Download.h"
#include "DownloadConsole.h"
#include "DownloadJob.h"
#include "DownloadObserver.h"
#include "DownloadRecord.h"
#include "ModeSelect.h"
#include "PollTimer.h"
#include "SerialDrv.h"

inline constexpr const char* kCaption = "::::: Tarnwell STB  Serial DownLoader v3.5 For Downgrade Version:::::";
inline constexpr const char* kConnectError = "Error: could not connect.  Check COM port settings";
inline constexpr const char* kStopQuestion =
    "A download is running. Closing now leaves the receiver without a complete image. Stop the download and close?";
// The title of every message box: the program's name.
inline constexpr const char* kApplicationName = "stb-downloader";

// Shows the text of an error raised in an event handler, as the
// application's top-level handler does; the window stays as it was.
void ShowHandlerError(const char* text);

class TForm1 : public TDownloadConsole {
public:
  TForm1();
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // Controls, named as the operator's manual names them.
  HWND Handle = nullptr;  // Form1
  HWND Panel1 = nullptr;
  HWND Label1 = nullptr;
  HWND Label2 = nullptr;
  HWND Label4 = nullptr;
  HWND ProgressBar1 = nullptr;
  HWND ProgressBar2 = nullptr;
  HWND Animate1 = nullptr;
  HWND RxMemo = nullptr;
  HWND StatusStrip = nullptr;  // under the log: the port, and the download's pace

  void Show();
  void AppendLog(const std::string& line) override;

  // The window procedures' way in.
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void KeyCharacter(std::uint8_t key);

private:
  void BuildControls();
  void PaintBanner(HDC dc);

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

  // TDownloadConsole
  void ShowActivity(const std::string& text) override;
  void PaintNow() override;
  void ShowErrorText(const char* text) override { ShowHandlerError(text); }

  void ShowConnectError() override;
  void ShowPort() override;
  bool AskToStopTheTransfer();

  std::string FPortText;
  bool FPortOpen = false;
  bool FAsking = false;
  HFONT FFont = nullptr;
  HFONT FFixedFont = nullptr;
  HFONT FCounterFont = nullptr;
  HWND FAddress[3] = {};
  bool FCloseRequested = false;
  bool FClosingByDownload = false;
  bool FLogEmpty = true;
};
