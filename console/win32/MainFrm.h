// TForm1 for Windows: the downloader's one window, drawn with the Win32 API
// and common controls. The same layout, texts and behaviour as the Qt window
// on Linux, over the same core; the exchange lives in TDownload.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "DeviceCheck.h"
#include "Download.h"
#include "DownloadJob.h"
#include "ModeSelect.h"
#include "PollTimer.h"
#include "SerialDrv.h"

inline constexpr const char* kCaption = "::::: Tarnwell STB  Serial DownLoader v3.5 For Downgrade Version:::::";
inline constexpr const char* kConnectError = "Error: could not connect.  Check COM port settings";
// The title of every message box: the program's name.
inline constexpr const char* kApplicationName = "stb-downloader";

// Shows the text of an error raised in an event handler, as the
// application's top-level handler does; the window stays as it was.
void ShowHandlerError(const char* text);

class TForm1 : private TDownloadView {
public:
  TForm1();
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // Controls and components, named as the operator's manual names them.
  TSerialPortDriver* SerialPortDriver1 = nullptr;
  TPollTimer* Timer1 = nullptr;
  HWND Handle = nullptr;  // Form1
  HWND Panel1 = nullptr;
  HWND Label1 = nullptr;
  HWND Label2 = nullptr;
  HWND Label4 = nullptr;
  HWND ProgressBar1 = nullptr;
  HWND ProgressBar2 = nullptr;
  HWND Animate1 = nullptr;
  HWND RxMemo = nullptr;

  // The state of one run.
  std::uint8_t DownloadMode = 0;
  TDownloadJob DownloadJob;
  bool DownloadJobReady = false;  // the description was read to its end
  TKeywordSlots KeywordSlots{};
  const TDeviceInfo& DeviceInfo() const { return FDownload->DeviceInfo(); }

  void Show();
  void AppendLog(const std::string& line) override;
  void RxMemoKeyPress(std::uint8_t& Key);
  void ReadDescriptionFile(const std::string& path);
  void Timer1Timer();

  // The window procedures' way in.
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void KeyCharacter(std::uint8_t key);

private:
  void BuildControls();
  void FormCreate();
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

  std::unique_ptr<TSerialPortDriver> FSerialPortDriver;
  std::unique_ptr<TPollTimer> FTimer1;
  std::unique_ptr<TDownload> FDownload;
  HFONT FFont = nullptr;
  HFONT FFixedFont = nullptr;
  HWND FAddress[3] = {};
  bool FCloseRequested = false;
  bool FClosingByDownload = false;
  bool FLogEmpty = true;
};
