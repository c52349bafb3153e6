// The bench's window on Windows: the bench's state (core/bench/) drawn with
// the Win32 API, the same columns, words and colours as the Qt window, and
// what the operator does handed to it: the keyword typed blind, the
// continuous check box, the close button.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Bench.h"

class TWin32BenchWindow {
public:
  explicit TWin32BenchWindow(TBenchOptions options);
  // Stations still running are stopped and waited for: none outlives the bench.
  ~TWin32BenchWindow();
  TWin32BenchWindow(const TWin32BenchWindow&) = delete;
  TWin32BenchWindow& operator=(const TWin32BenchWindow&) = delete;

  HWND Handle = nullptr;
  void Show();
  const TBench& Bench() const { return FBench; }

  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

private:
  struct TRowCells {
    std::array<HWND, TBenchRowText::kLabels> Labels{};
    HWND Download = nullptr, Flash = nullptr;
    HWND Tick = nullptr;  // an offered port's check box, in the port's place
    COLORREF ResultColour = 0;
    std::string Reason;  // the whole reason, as the row's tooltip has it
    // In the columns' order: the bars between Stage and Bytes.
    std::vector<HWND> Cells() const {
      std::vector<HWND> cells(Labels.begin(), Labels.end());
      cells.insert(cells.begin() + TBenchRowText::Bytes, {Download, Flash});
      if (Tick != nullptr) cells.front() = Tick;
      return cells;
    }
  };

  void BuildControls();
  void Layout();
  std::vector<int> ColumnWidths() const;
  int LayoutHead(int x0, int y, int tableWidth);
  void DeleteFonts();
  int Scaled(int pixels) const;
  LRESULT ControlColour(HDC dc, HWND control);
  void Command(WPARAM wParam);

  void Tick();
  void Close();
  void Draw();
  void DrawRow(TRowCells& cells, const TBenchRowText& row);

  TBench FBench;
  std::vector<TRowCells> FRows;
  int FDpi = 96;
  bool FProblemDrawn = false;  // the lines above the table are drawn in red

  HWND FHeader = nullptr, FImageLine = nullptr, FDigestLine = nullptr, FContinuousBox = nullptr, FTotals = nullptr;
  std::vector<HWND> FTitles;
  HWND FTip = nullptr;  // the tooltip over every cell of a row: its whole reason
  HFONT FFont = nullptr, FBold = nullptr, FFixed = nullptr;
};
