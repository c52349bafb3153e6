// TForm1 for Windows: the downloader's one window, drawn with the Win32 API
// and common controls. The same layout, texts and behaviour as the Qt window
// on Linux, over the same core; the exchange lives in TDownload.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "Artwork.h"
#include "DownloadConsole.h"

// Shows the text of an error raised in an event handler, as the
// application's top-level handler does; the window stays as it was.
void ShowHandlerError(const char* text);

class TForm1 : public TDownloadConsole {
public:
  // The port's device (\\.\COM3); empty for COM1.
  explicit TForm1(const std::string& port = {});
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

  // The window procedures' way in.
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void KeyCharacter(std::uint8_t key) { KeyTyped(key); }

private:
  void BuildControls();
  void Layout();
  void DeleteFonts();
  int Scaled(int pixels) const;
  LRESULT ControlColour(HDC dc, HWND control);
  void Draw(HWND control, std::function<void()> draw);

  // TDownloadConsole
  void ShowLogLine(const std::string& line) override;
  void DrawTransferProgress(int percent) override;
  void DrawFlashProgress(int percent) override;
  void DrawByteCounter(const std::string& text) override;
  void DrawStrip(const TStripState& strip) override;
  void HoldPainting(bool hold) override;
  void PaintNow() override;
  void PumpMessages() override;
  void ShowErrorText(const char* text) override { ShowHandlerError(text); }
  void DrawBusy(bool playing) override;
  bool ShowDialog(TDialog kind, const std::string& text, const std::string& detail) override;
  void DestroyForm() override;

  TArtworkSession FArtwork;
  TBusyPicture FBusy;
  int FDpi = 96;
  bool FStripWarning = false;
  HFONT FFont = nullptr;
  HFONT FFixedFont = nullptr;
  HFONT FCounterFont = nullptr;
  HWND FAddress[3] = {};
  bool FLogEmpty = true;
  bool FPaintHeld = false;
  bool FBusyHeld = false;  // the animation's timer rests while painting is held
  std::map<HWND, std::function<void()>> FHeldDraws;
};
