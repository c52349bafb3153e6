#include "Win32BenchWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <exception>
#include <iterator>

#include "DialogTexts.h"
#include "FormLayout.h"

namespace {

constexpr char kBenchClass[] = "TBenchWindow";
constexpr DWORD kBenchStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr UINT_PTR kTickTimerId = 1;
constexpr int kContinuousBoxId = 10;
constexpr int kFirstTickBoxId = 100;  // row i's check box: kFirstTickBoxId + i

// How often the stations are looked at and the rows drawn: the time left
// moves by its seconds, and these are the window's only wake-ups however
// much the stations say.
constexpr UINT kTickIntervalMs = 1000;

// The layout at 96 DPI: the Qt bench's column widths.
constexpr int kColumnWidths[] = {0, 140, 175, 100, 100, 125, 65, 35, 190, 35, 45, 45};
constexpr int kMargin = 9, kSpacing = 10, kLineHeight = 18, kRowHeight = 24, kBarHeight = 16;

constexpr COLORREF kPassColour = RGB(0, 0x80, 0);
constexpr COLORREF kFailColour = RGB(0xC0, 0, 0);
constexpr COLORREF kProblemColour = RGB(0xFF, 0, 0);

TWin32BenchWindow* BenchOf(HWND hwnd) { return reinterpret_cast<TWin32BenchWindow*>(::GetPropA(hwnd, kBenchClass)); }

LRESULT CALLBACK BenchProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    ::SetPropA(hwnd, kBenchClass, create->lpCreateParams);
    static_cast<TWin32BenchWindow*>(create->lpCreateParams)->Handle = hwnd;
  }
  TWin32BenchWindow* bench = BenchOf(hwnd);
  if (msg == WM_NCDESTROY) {
    ::RemovePropA(hwnd, kBenchClass);
    if (bench != nullptr) bench->Handle = nullptr;
    return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  if (bench == nullptr) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  // Nothing may unwind through the system's frames.
  try {
    return bench->HandleMessage(msg, wParam, lParam);
  } catch (const std::exception& e) {
    ::MessageBoxA(hwnd, e.what(), "stb-bench", MB_OK | MB_ICONERROR);
  } catch (...) {
    ::MessageBoxA(hwnd, "Unknown error", "stb-bench", MB_OK | MB_ICONERROR);
  }
  return 0;
}

void RegisterBenchClass() {
  static const bool registered = [] {
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&icc);
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpfnWndProc = BenchProc;
    wc.lpszClassName = kBenchClass;
    wc.hIcon = ::LoadIconA(instance, MAKEINTRESOURCEA(1));
    ::RegisterClassA(&wc);
    return true;
  }();
  (void)registered;
}

HWND MakeChild(const char* cls, const char* text, DWORD style, HWND parent, int id = 0) {
  return ::CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleA(nullptr), nullptr);
}

HWND MakeLabel(HWND parent, const char* text = "") {
  return MakeChild("STATIC", text, SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_CENTERIMAGE | SS_ENDELLIPSIS, parent);
}

HWND MakeBar(HWND parent) {
  HWND bar = MakeChild(PROGRESS_CLASSA, "", 0, parent);
  ::SendMessageA(bar, PBM_SETRANGE32, 0, 100);
  ::SendMessageA(bar, PBM_SETPOS, 0, 0);
  return bar;
}

HFONT MakeFont(int pixels, int weight, DWORD pitch, const char* face) {
  return ::CreateFontA(-pixels, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, pitch, face);
}

int TextWidth(HFONT font, const std::string& text) {
  SIZE size{0, 0};
  HDC dc = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, font);
  ::GetTextExtentPoint32A(dc, text.c_str(), int(text.size()), &size);
  ::SelectObject(dc, old);
  ::ReleaseDC(nullptr, dc);
  return size.cx;
}

std::wstring WideOf(const std::string& utf8) {
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(std::size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
  return wide;
}

// Only a text that changed is set: setting one repaints its label. The
// bench's texts are UTF-8.
void SetText(HWND control, const std::string& text) {
  const std::wstring wide = WideOf(text);
  const int length = ::GetWindowTextLengthW(control);
  std::wstring shown(std::size_t(length) + 1, L'\0');
  ::GetWindowTextW(control, shown.data(), length + 1);
  shown.resize(std::size_t(length));
  if (shown != wide) ::SetWindowTextW(control, wide.c_str());
}

void SetBar(HWND bar, int percent) {
  if (int(::SendMessageA(bar, PBM_GETPOS, 0, 0)) != percent) ::SendMessageA(bar, PBM_SETPOS, WPARAM(percent), 0);
}

void SetFont(HWND control, HFONT font) { ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE); }

void Place(HWND control, int x, int top, int w, int h) {
  ::SetWindowPos(control, nullptr, x, top, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

TWin32BenchWindow::TWin32BenchWindow(TBenchOptions options) : FBench(std::move(options)) {
  RegisterBenchClass();
  HDC screen = ::GetDC(nullptr);
  FDpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  const std::string caption = std::string("stb-bench: ") + kCaption;
  ::CreateWindowExA(0, kBenchClass, caption.c_str(), kBenchStyle, CW_USEDEFAULT, CW_USEDEFAULT, 640, 300, nullptr,
                    nullptr, ::GetModuleHandleA(nullptr), this);
  if (Handle == nullptr) return;
  // GetDpiForWindow came with Windows 10; before it, the screen's DPI is the window's.
  using TGetDpiForWindow = UINT(WINAPI*)(HWND);
  if (const auto getDpi = reinterpret_cast<TGetDpiForWindow>(
          reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("user32.dll"), "GetDpiForWindow"))))
    FDpi = int(getDpi(Handle));
  BuildControls();
  Layout();
  Draw();
  ::SetTimer(Handle, kTickTimerId, kTickIntervalMs, nullptr);
}

// The bench, a member, stops its stations and waits for them after this.
TWin32BenchWindow::~TWin32BenchWindow() {
  if (Handle != nullptr && ::IsWindow(Handle)) ::DestroyWindow(Handle);
  DeleteFonts();
}

void TWin32BenchWindow::DeleteFonts() {
  for (HFONT* font : {&FFont, &FBold, &FFixed}) {
    if (*font != nullptr) ::DeleteObject(*font);
    *font = nullptr;
  }
}

int TWin32BenchWindow::Scaled(int pixels) const { return ::MulDiv(pixels, FDpi, 96); }

void TWin32BenchWindow::BuildControls() {
  FHeader = MakeLabel(Handle);
  FImageLine = MakeLabel(Handle);
  FDigestLine = MakeLabel(Handle);
  FContinuousBox = MakeChild("BUTTON", kContinuousText, BS_AUTOCHECKBOX | BS_NOTIFY, Handle, kContinuousBoxId);
  ::SendMessageA(FContinuousBox, BM_SETCHECK, FBench.Continuous() ? BST_CHECKED : BST_UNCHECKED, 0);
  FTotals = MakeChild("STATIC", "", SS_RIGHT | SS_NOPREFIX | SS_CENTERIMAGE, Handle);
  for (const char* title : kBenchColumns) FTitles.push_back(MakeLabel(Handle, title));
  for (std::size_t i = 0; i < FBench.RowCount(); ++i) {
    TRowCells row;
    row.Download = MakeBar(Handle);
    row.Flash = MakeBar(Handle);
    // A label that tells the mouse is one a tooltip can stand over.
    for (HWND& label : row.Labels) {
      label = MakeLabel(Handle);
      ::SetWindowLongPtrA(label, GWL_STYLE, ::GetWindowLongPtrA(label, GWL_STYLE) | SS_NOTIFY);
    }
    if (FBench.RowText(i).Tick != TBenchRowText::TTick::None) {
      ::ShowWindow(row.Labels[TBenchRowText::Port], SW_HIDE);
      row.Tick = MakeChild("BUTTON", FBench.Row(i).Port().c_str(), BS_AUTOCHECKBOX | BS_NOTIFY, Handle,
                           kFirstTickBoxId + int(i));
    }
    FRows.push_back(row);
  }
  FTip = ::CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Handle, nullptr, ::GetModuleHandleA(nullptr), nullptr);
  // A long reason wraps in its tooltip rather than running off the screen.
  ::SendMessageA(FTip, TTM_SETMAXTIPWIDTH, 0, 600);
  for (const TRowCells& row : FRows) {
    for (HWND cell : row.Cells()) {
      TOOLINFOW tool{};
      tool.cbSize = sizeof tool;
      tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
      tool.hwnd = Handle;
      tool.uId = reinterpret_cast<UINT_PTR>(cell);
      tool.lpszText = const_cast<wchar_t*>(L"");
      ::SendMessageW(FTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
  }
}

// Each column's width for the window's DPI: at least its title's, the
// ports' at least the longest port's.
std::vector<int> TWin32BenchWindow::ColumnWidths() const {
  std::vector<int> widths;
  for (std::size_t c = 0; c < std::size(kBenchColumns); ++c) {
    int w = std::max(Scaled(kColumnWidths[c]), TextWidth(FBold, kBenchColumns[c]) + Scaled(4));
    // An offered port's check box is its mark and the port.
    const int mark = FBench.Offering() ? ::GetSystemMetrics(SM_CXMENUCHECK) + Scaled(8) : 0;
    if (c == 0)
      for (std::size_t i = 0; i < FBench.RowCount(); ++i)
        w = std::max(w, TextWidth(FFont, FBench.Row(i).Port()) + Scaled(4) + mark);
    widths.push_back(w);
  }
  return widths;
}

// The three lines, the check box and the totals from `y` down; where the table starts.
int TWin32BenchWindow::LayoutHead(int x0, int y, int tableWidth) {
  const int line = Scaled(kLineHeight);
  for (auto [control, f] : {std::pair{FHeader, FBold}, std::pair{FImageLine, FFont}, std::pair{FDigestLine, FFixed}}) {
    SetFont(control, f);
    Place(control, x0, y, tableWidth, line);
    y += line + Scaled(2);
  }
  SetFont(FContinuousBox, FFont);
  const int boxWidth = TextWidth(FFont, kContinuousText) + ::GetSystemMetrics(SM_CXMENUCHECK) + Scaled(12);
  Place(FContinuousBox, x0, y, boxWidth, line);
  SetFont(FTotals, FFont);
  Place(FTotals, x0 + boxWidth, y, tableWidth - boxWidth, line);
  return y + line + Scaled(8);
}

// Every control at its place and every font at its size for the window's
// DPI. The columns have fixed widths, so a text that changes never moves
// another.
void TWin32BenchWindow::Layout() {
  DeleteFonts();
  FFont = MakeFont(Scaled(form_layout::kFontPixels), FW_NORMAL, VARIABLE_PITCH | FF_SWISS, "MS Sans Serif");
  FBold = MakeFont(Scaled(form_layout::kFontPixels), FW_BOLD, VARIABLE_PITCH | FF_SWISS, "MS Sans Serif");
  FFixed = MakeFont(Scaled(12), FW_NORMAL, FIXED_PITCH | FF_MODERN, "Courier New");
  const std::vector<int> widths = ColumnWidths();
  int tableWidth = -Scaled(kSpacing);
  for (int w : widths) tableWidth += w + Scaled(kSpacing);
  const int x0 = Scaled(kMargin);
  int y = LayoutHead(x0, Scaled(kMargin), tableWidth);
  const auto placeRow = [&](const std::vector<HWND>& cells, HFONT font) {
    int x = x0;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const bool bar = c == 3 || c == 4;
      const int h = bar ? Scaled(kBarHeight) : Scaled(kRowHeight);
      SetFont(cells[c], font);
      Place(cells[c], x, y + (Scaled(kRowHeight) - h) / 2, widths[c], h);
      x += widths[c] + Scaled(kSpacing);
    }
    y += Scaled(kRowHeight);
  };
  placeRow(FTitles, FBold);
  for (const TRowCells& row : FRows) {
    placeRow(row.Cells(), FFont);
    SetFont(row.Labels[TBenchRowText::Result], FBold);
  }
  // The client area for the table, whatever the frame around it measures.
  RECT outer{0, 0, tableWidth + 2 * x0, y + Scaled(kMargin)};
  ::AdjustWindowRectEx(&outer, kBenchStyle, FALSE, 0);
  ::SetWindowPos(Handle, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  ::InvalidateRect(Handle, nullptr, TRUE);
}

void TWin32BenchWindow::Show() {
  ::ShowWindow(Handle, SW_SHOW);
  ::UpdateWindow(Handle);
  ::SetFocus(Handle);
}

// --- messages ---------------------------------------------------------------------------

LRESULT TWin32BenchWindow::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_CHAR:
      // Typed blind, as into the main window: every character goes to the
      // bench. A keyword completed chooses the mode, or says in the header why not.
      FBench.Key(std::uint8_t(wParam & 0xFF));
      Draw();
      return 0;
    case WM_ACTIVATE:
      // Typing goes to the window, whatever was clicked last.
      if (LOWORD(wParam) != WA_INACTIVE) ::SetFocus(Handle);
      return 0;
    case WM_COMMAND:
      Command(wParam);
      break;
    case WM_TIMER:
      if (wParam == kTickTimerId) Tick();
      return 0;
    case WM_CTLCOLORSTATIC:
      if (const LRESULT brush = ControlColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)))
        return brush;
      break;
    case WM_DPICHANGED: {
      FDpi = HIWORD(wParam);
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      ::SetWindowPos(Handle, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      Layout();
      return 0;
    }
    case WM_CLOSE:
      Close();
      return 0;
    case WM_DESTROY:
      ::KillTimer(Handle, kTickTimerId);
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcA(Handle, msg, wParam, lParam);
}

void TWin32BenchWindow::Command(WPARAM wParam) {
  if (HIWORD(wParam) != BN_CLICKED) return;
  const int id = LOWORD(wParam);
  const auto checked = [](HWND box) { return ::SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED; };
  if (id == kContinuousBoxId)
    FBench.SetContinuous(checked(FContinuousBox));
  else if (id >= kFirstTickBoxId && std::size_t(id - kFirstTickBoxId) < FRows.size())
    FBench.SetTicked(std::size_t(id - kFirstTickBoxId), checked(FRows[std::size_t(id - kFirstTickBoxId)].Tick));
  else
    return;
  // Typing goes to the window, not to the box clicked.
  ::SetFocus(Handle);
  Draw();
}

// The result in green or red, the lines above the table in red when the
// description could not be read; 0 for the system's own colours.
LRESULT TWin32BenchWindow::ControlColour(HDC dc, HWND control) {
  COLORREF colour = CLR_INVALID;
  if (FBench.Head().Problem && (control == FHeader || control == FImageLine || control == FDigestLine))
    colour = kProblemColour;
  for (const TRowCells& row : FRows)
    if (control == row.Labels[TBenchRowText::Result]) colour = row.ResultColour;
  if (colour == CLR_INVALID) return 0;
  ::SetTextColor(dc, colour);
  ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
  return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
}

void TWin32BenchWindow::Tick() {
  FBench.Look();
  Draw();
  if (FBench.CloseDue()) ::DestroyWindow(Handle);
}

// A close while blocks go out asks first; then every station is stopped and
// the window closes at the look after the last of them ended.
void TWin32BenchWindow::Close() {
  const TBenchClose step = FBench.Close(true);
  if (step == TBenchClose::Now) {
    ::DestroyWindow(Handle);
    return;
  }
  if (step == TBenchClose::Wait) return;
  if (step == TBenchClose::Ask &&
      ::MessageBoxA(Handle, kStopQuestion, "stb-bench", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
    return;
  FBench.StopForClose();
  Draw();
  if (FBench.CloseDue()) ::DestroyWindow(Handle);
}

// --- drawing ---------------------------------------------------------------------------------------

void TWin32BenchWindow::Draw() {
  const TBenchHead& head = FBench.Head();
  SetText(FHeader, head.Header);
  SetText(FImageLine, head.ImageLine);
  SetText(FDigestLine, head.DigestLine);
  if (head.Problem != FProblemDrawn) {
    FProblemDrawn = head.Problem;
    for (HWND control : {FHeader, FImageLine, FDigestLine}) ::InvalidateRect(control, nullptr, TRUE);
  }
  for (std::size_t i = 0; i < FRows.size(); ++i) DrawRow(FRows[i], FBench.RowText(i));
  SetText(FTotals, FBench.TotalsText());
}

void TWin32BenchWindow::DrawRow(TRowCells& cells, const TBenchRowText& row) {
  const COLORREF colour = row.Success ? kPassColour : kFailColour;
  if (colour != cells.ResultColour) {
    cells.ResultColour = colour;
    ::InvalidateRect(cells.Labels[TBenchRowText::Result], nullptr, TRUE);
  }
  for (std::size_t l = 0; l < row.Labels.size(); ++l) SetText(cells.Labels[l], row.Labels[l]);
  // The result ends in an ellipsis where its column is too narrow; the
  // whole reason stands over every cell of the row.
  if (row.Reason != cells.Reason && FTip != nullptr) {
    cells.Reason = row.Reason;
    std::wstring tip = WideOf(row.Reason);
    for (HWND cell : cells.Cells()) {
      TOOLINFOW tool{};
      tool.cbSize = sizeof tool;
      tool.hwnd = Handle;
      tool.uId = reinterpret_cast<UINT_PTR>(cell);
      tool.lpszText = tip.data();
      ::SendMessageW(FTip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    }
  }
  SetBar(cells.Download, row.DownloadPercent);
  SetBar(cells.Flash, row.FlashPercent);
  if (cells.Tick != nullptr) {
    const WPARAM check = row.Tick == TBenchRowText::TTick::On ? BST_CHECKED : BST_UNCHECKED;
    if (WPARAM(::SendMessageA(cells.Tick, BM_GETCHECK, 0, 0)) != check) ::SendMessageA(cells.Tick, BM_SETCHECK, check, 0);
    if (bool(::IsWindowEnabled(cells.Tick)) == row.TickLocked) ::EnableWindow(cells.Tick, !row.TickLocked);
  }
  // A port left unticked is greyed, the check box with it.
  for (HWND cell : cells.Cells())
    if (cell != cells.Tick && bool(::IsWindowEnabled(cell)) != row.InUse) ::EnableWindow(cell, row.InUse);
}
