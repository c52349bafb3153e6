// TForm1 for Windows: the downloader's one window, drawn with the Win32 API
// and common controls. The same layout, texts and behaviour as the Qt window
// on Linux, over the same core; the exchange lives in TDownload.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <string>

#include "Artwork.h"
#include "DownloadConsole.h"
#include "FormLayout.h"
#include "StatusText.h"

// Shows the text of an error raised in an event handler, as the
// application's top-level handler does; the window stays as it was.
void ShowHandlerError(const char* text);

class TForm1 : public TDownloadConsole {
public:
  // The port's device (\\.\COM3); empty for COM1.
  // `trace`: the file of the whole run's wire trace; empty: none.
  explicit TForm1(const std::string& port = {}, const std::string& trace = {});
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // Controls, named as the system's own names.
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
  void PlaceBox(HWND control, const form_layout::TBox& box) const;
  void FitClientArea();
  void LayoutAddress();
  void LayoutPanel();
  void DeleteFonts();
  int Scaled(int pixels) const;
  LRESULT ControlColour(HDC dc, HWND control);

  // TFace
  void ShowState(const TRunState& state) override;
  void AddLogLine(const std::string& line) override;
  bool Ask(TDialog kind, const std::string& text, const std::string& detail) override;
  void Pump() override;
  std::optional<std::size_t> PickPort(const std::vector<TPortOffer>& ports) override;

  void DrawTransferProgress(int percent);
  void DrawFlashProgress(int percent);
  void DrawByteCounter(const std::string& text);
  void DrawStrip(const TStripState& strip);
  void PaceBusy(bool paced);
  void PaintNow();
  void PumpMessages();
  void DrawBusy(bool playing);
  void DestroyForm();

  // What the controls show now, so that only a change is drawn.
  int FShownTransfer = -1;
  int FShownFlash = -1;
  std::string FShownCounter;
  TStripState FShownStrip;
  bool FShownBusy = false;

  TArtworkSession FArtwork;
  TBusyPicture FBusy;
  int FDpi = 96;
  bool FStripWarning = false;
  HFONT FFont = nullptr;
  HFONT FFixedFont = nullptr;
  HFONT FCounterFont = nullptr;
  HWND FAddress[3] = {};
  bool FLogEmpty = true;
  bool FBusyPaced = false;  // the animation moves at each state shown, its timer resting
};
