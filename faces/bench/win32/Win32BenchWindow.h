// The bench on Windows: one window, one keyword, a row per port, drawn with
// the Win32 API. The same columns, words and colours as the Qt bench on
// Linux, over the same row model and the same events. Each row is served by
// its own station, an `stb-downloader-cli.exe --json` process on that port,
// so one box's fault or a station's crash reaches no other row; the window
// only reads the stations' events and draws them.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BenchRow.h"
#include "Events.h"
#include "ModeChoice.h"
#include "Win32StationProcess.h"

struct TWin32BenchOptions {
  std::vector<std::string> Ports;          // COM3, COM12
  bool Continuous = false;                 // a finished row starts its station again at once
  bool ContinueOnAddressMismatch = false;  // the stations' answer to the address question
  std::string StationProgram = "stb-downloader-cli.exe";
};

class TWin32BenchWindow {
public:
  explicit TWin32BenchWindow(TWin32BenchOptions options);
  // Stations still running are stopped and waited for: none outlives the bench.
  ~TWin32BenchWindow();
  TWin32BenchWindow(const TWin32BenchWindow&) = delete;
  TWin32BenchWindow& operator=(const TWin32BenchWindow&) = delete;

  HWND Handle = nullptr;
  void Show();

  int Passed() const;
  int Failed() const;
  // 0 every box passed, 1 one failed, 2 no box was reached.
  int ExitStatus() const;
  // "Passed 3   Failed 1   Boxes 4", as the window shows it.
  std::string TotalsText() const;

  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

private:
  struct TRowSlot;

  void BuildControls();
  void Layout();
  void DeleteFonts();
  int Scaled(int pixels) const;
  LRESULT ControlColour(HDC dc, HWND control);

  void KeyTyped(std::uint8_t key);
  void ModeChosen();
  void StartStation(std::size_t i);
  void StopStations();
  void Tick();
  void Look(std::size_t i);
  void StationEnded(std::size_t i, int code);
  void SetContinuous(bool on);
  bool Idle() const;
  void Close();
  void Draw();
  void DrawRow(TRowSlot& row, double now);
  double Now() const;

  TWin32BenchOptions FOptions;
  std::vector<std::unique_ptr<TRowSlot>> FRows;
  TModeChoice FModeChoice;  // the keyword, the mode and its description, as the download window has them
  bool FClosing = false;
  bool FContinuous = false;
  bool FDescriptionFailed = false;
  std::chrono::steady_clock::time_point FStart = std::chrono::steady_clock::now();
  int FDpi = 96;

  HWND FHeader = nullptr, FImageLine = nullptr, FDigestLine = nullptr, FContinuousBox = nullptr, FTotals = nullptr;
  std::vector<HWND> FTitles;
  HFONT FFont = nullptr, FBold = nullptr, FFixed = nullptr;
};
