#include "Win32BenchWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <exception>
#include <iterator>

#include "FileError.h"
#include "Format.h"
#include "DialogTexts.h"
#include "FormLayout.h"
#include "CounterText.h"

namespace {

constexpr char kBenchClass[] = "TBenchWindow";
constexpr DWORD kBenchStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr UINT_PTR kTickTimerId = 1;
// One timer a row for its restart pause, from here on.
constexpr UINT_PTR kRestartTimerBase = 100;
constexpr int kContinuousBoxId = 10;

// A station that ended without reaching a box (its port would not open, say)
// is started again after this pause, not in a tight loop.
constexpr UINT kRestartPauseMs = 2000;
// How often the stations are looked at and the rows drawn: the time left
// moves by its seconds, and these are the window's only wake-ups however
// much the stations say.
constexpr UINT kTickIntervalMs = 1000;

// The layout at 96 DPI: the Qt bench's columns and widths.
const char* const kColumns[] = {"Port", "Box: OUI, model, hw", "Stage", "Down Load", "Flash Write", "Bytes",
                                "Rate", "Left", "Result", "Time", "Passed", "Failed"};
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

std::wstring WideOf(const std::string& text, UINT codePage) {
  const int n = ::MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring wide(std::size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), wide.data(), n);
  return wide;
}

// The log's texts are Latin-1 (code page 28591); names and the record's are UTF-8.
constexpr UINT kLatin1 = 28591;

// Only a text that changed is set: setting one repaints its label.
void SetText(HWND control, const std::string& text, UINT codePage = CP_UTF8) {
  const std::wstring wide = WideOf(text, codePage);
  const int length = ::GetWindowTextLengthW(control);
  std::wstring shown(std::size_t(length) + 1, L'\0');
  ::GetWindowTextW(control, shown.data(), length + 1);
  shown.resize(std::size_t(length));
  if (shown != wide) ::SetWindowTextW(control, wide.c_str());
}

void SetBar(HWND bar, int percent) {
  if (int(::SendMessageA(bar, PBM_GETPOS, 0, 0)) != percent) ::SendMessageA(bar, PBM_SETPOS, WPARAM(percent), 0);
}

}  // namespace

struct TWin32BenchWindow::TRowSlot {
  explicit TRowSlot(const std::string& port)
      : Model(port), Reader([this](const TEvent& e) { Pending.push_back(e); }) {}

  TBenchRow Model;
  TEventReader Reader;
  std::vector<TEvent> Pending;
  std::unique_ptr<TWin32StationProcess> Station;
  std::string Out, Err;
  std::string LastError;
  bool RestartDue = false;
  std::uint64_t DrawnVersion = ~std::uint64_t(0);
  COLORREF ResultColour = kFailColour;
  HWND Port = nullptr, Box = nullptr, Stage = nullptr, Download = nullptr, Flash = nullptr, Bytes = nullptr,
       Rate = nullptr, Left = nullptr, Result = nullptr, Time = nullptr, PassedCount = nullptr, FailedCount = nullptr;
  // In the columns' order.
  std::vector<HWND> Cells() const {
    return {Port, Box, Stage, Download, Flash, Bytes, Rate, Left, Result, Time, PassedCount, FailedCount};
  }
};

TWin32BenchWindow::TWin32BenchWindow(TWin32BenchOptions options)
    : FOptions(std::move(options)), FContinuous(FOptions.Continuous) {
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

// Every station is asked to stop at once, then each is waited for (by its
// own destructor), so that they stop side by side.
TWin32BenchWindow::~TWin32BenchWindow() {
  FClosing = true;
  StopStations();
  FRows.clear();
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

double TWin32BenchWindow::Now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
}

void TWin32BenchWindow::BuildControls() {
  FHeader = MakeLabel(Handle, "Type the download mode's keyword into this window (it is not displayed).");
  FImageLine = MakeLabel(Handle, "Image: none yet");
  FDigestLine = MakeLabel(Handle, "SHA-256: none yet");
  FContinuousBox = MakeChild("BUTTON", "Continuous: start again for the next box on each port",
                             BS_AUTOCHECKBOX | BS_NOTIFY, Handle, kContinuousBoxId);
  ::SendMessageA(FContinuousBox, BM_SETCHECK, FContinuous ? BST_CHECKED : BST_UNCHECKED, 0);
  FTotals = MakeChild("STATIC", "", SS_RIGHT | SS_NOPREFIX | SS_CENTERIMAGE, Handle);
  for (const char* title : kColumns) FTitles.push_back(MakeLabel(Handle, title));
  for (const std::string& port : FOptions.Ports) {
    auto row = std::make_unique<TRowSlot>(port);
    row->Port = MakeLabel(Handle);
    SetText(row->Port, port);
    row->Box = MakeLabel(Handle);
    row->Stage = MakeLabel(Handle);
    row->Download = MakeBar(Handle);
    row->Flash = MakeBar(Handle);
    for (HWND* cell : {&row->Bytes, &row->Rate, &row->Left, &row->Result, &row->Time, &row->PassedCount,
                       &row->FailedCount})
      *cell = MakeLabel(Handle);
    FRows.push_back(std::move(row));
  }
}

// Every control at its place and every font at its size for the window's
// DPI. The columns have fixed widths (each at least its title's), so a text
// that changes never moves another.
void TWin32BenchWindow::Layout() {
  DeleteFonts();
  FFont = MakeFont(Scaled(form_layout::kFontPixels), FW_NORMAL, VARIABLE_PITCH | FF_SWISS, "MS Sans Serif");
  FBold = MakeFont(Scaled(form_layout::kFontPixels), FW_BOLD, VARIABLE_PITCH | FF_SWISS, "MS Sans Serif");
  FFixed = MakeFont(Scaled(12), FW_NORMAL, FIXED_PITCH | FF_MODERN, "Courier New");
  const auto font = [](HWND control, HFONT f) { ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(f), FALSE); };

  std::vector<int> widths;
  for (std::size_t c = 0; c < std::size(kColumns); ++c) {
    int w = std::max(Scaled(kColumnWidths[c]), TextWidth(FBold, kColumns[c]) + Scaled(4));
    if (c == 0)
      for (const std::string& port : FOptions.Ports) w = std::max(w, TextWidth(FFont, port) + Scaled(4));
    widths.push_back(w);
  }
  int tableWidth = -Scaled(kSpacing);
  for (int w : widths) tableWidth += w + Scaled(kSpacing);
  const int x0 = Scaled(kMargin);
  int y = Scaled(kMargin);
  const int line = Scaled(kLineHeight);
  const auto place = [](HWND control, int x, int top, int w, int h) {
    ::SetWindowPos(control, nullptr, x, top, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
  };
  for (auto [control, f] : {std::pair{FHeader, FBold}, std::pair{FImageLine, FFont}, std::pair{FDigestLine, FFixed}}) {
    font(control, f);
    place(control, x0, y, tableWidth, line);
    y += line + Scaled(2);
  }
  font(FContinuousBox, FFont);
  const int boxWidth =
      TextWidth(FFont, "Continuous: start again for the next box on each port") + ::GetSystemMetrics(SM_CXMENUCHECK) + Scaled(12);
  place(FContinuousBox, x0, y, boxWidth, line);
  font(FTotals, FFont);
  place(FTotals, x0 + boxWidth, y, tableWidth - boxWidth, line);
  y += line + Scaled(8);

  const auto placeRow = [&](const std::vector<HWND>& cells, int top) {
    int x = x0;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const bool bar = c == 3 || c == 4;
      const int h = bar ? Scaled(kBarHeight) : Scaled(kRowHeight);
      place(cells[c], x, top + (Scaled(kRowHeight) - h) / 2, widths[c], h);
      x += widths[c] + Scaled(kSpacing);
    }
  };
  for (HWND title : FTitles) font(title, FBold);
  placeRow(FTitles, y);
  y += Scaled(kRowHeight);
  for (auto& row : FRows) {
    for (HWND cell : row->Cells()) font(cell, FFont);
    font(row->Result, FBold);
    placeRow(row->Cells(), y);
    y += Scaled(kRowHeight);
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
      KeyTyped(std::uint8_t(wParam & 0xFF));
      return 0;
    case WM_ACTIVATE:
      // Typing goes to the window, whatever was clicked last.
      if (LOWORD(wParam) != WA_INACTIVE) ::SetFocus(Handle);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kContinuousBoxId && HIWORD(wParam) == BN_CLICKED) {
        SetContinuous(::SendMessageA(FContinuousBox, BM_GETCHECK, 0, 0) == BST_CHECKED);
        ::SetFocus(Handle);
        return 0;
      }
      break;
    case WM_TIMER:
      if (wParam == kTickTimerId) {
        Tick();
      } else if (wParam >= kRestartTimerBase && wParam < kRestartTimerBase + FRows.size()) {
        ::KillTimer(Handle, wParam);
        const std::size_t i = wParam - kRestartTimerBase;
        if (FRows[i]->RestartDue) StartStation(i);
      }
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

// The result in green or red, the lines above the table in red when the
// description could not be read; 0 for the system's own colours.
LRESULT TWin32BenchWindow::ControlColour(HDC dc, HWND control) {
  COLORREF colour = CLR_INVALID;
  if (FDescriptionFailed && (control == FHeader || control == FImageLine || control == FDigestLine))
    colour = kProblemColour;
  for (const auto& row : FRows)
    if (control == row->Result) colour = row->ResultColour;
  if (colour == CLR_INVALID) return 0;
  ::SetTextColor(dc, colour);
  ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
  return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
}

// --- the keyword ------------------------------------------------------------------------

// Typed blind, as into the main window: every character goes through the
// core's matcher, and the first keyword completed chooses the mode for
// every port, once.
void TWin32BenchWindow::KeyTyped(std::uint8_t key) {
  if (FModeChoice.Mode() != 0) return;
  if (FModeChoice.Key(key)) ModeChosen();
}

void TWin32BenchWindow::ModeChosen() {
  SetText(FHeader, FModeChoice.Info().LogLine, kLatin1);
  // Read once here, to show what every box is about to get; each station
  // reads the same file for its own download and checks its own blocks.
  try {
    FModeChoice.ReadDescription([](const std::string&) {});
  } catch (const std::exception& e) {
    const auto* file = dynamic_cast<const TFileError*>(&e);
    FDescriptionFailed = true;
    SetText(FImageLine, e.what(), kLatin1);
    SetText(FDigestLine, file != nullptr ? file->Detail() : std::string(), kLatin1);
    for (HWND control : {FHeader, FImageLine, FDigestLine}) ::InvalidateRect(control, nullptr, TRUE);
    return;
  }
  const TDownloadJob& job = FModeChoice.Job();
  SetText(FImageLine, Format("Image: %s   %lld bytes, %lld blocks", job.ImageFileName.c_str(),
                             static_cast<long long>(job.ImageFileBytes), static_cast<long long>(job.BlockCount())));
  SetText(FDigestLine, "SHA-256: " + job.ImageSha256);
  for (std::size_t i = 0; i < FRows.size(); ++i) StartStation(i);
  Draw();
}

// --- the stations -------------------------------------------------------------------------

void TWin32BenchWindow::StartStation(std::size_t i) {
  TRowSlot& row = *FRows[i];
  row.RestartDue = false;
  if (FClosing || !FModeChoice.JobReady() || (row.Station && row.Station->Running())) return;
  std::vector<std::string> args{"--json", "--port", row.Model.Port()};
  if (FOptions.ContinueOnAddressMismatch) args.insert(args.end(), {"--address-mismatch", "continue"});
  row.Station = std::make_unique<TWin32StationProcess>();
  row.LastError.clear();
  row.Model.StationStarted(Now());
  // The keyword as the first line of its input, never on the command line.
  std::string error;
  if (!row.Station->Start(FOptions.StationProgram, args, FModeChoice.Keyword() + "\n", error)) {
    row.LastError = error;
    row.Station.reset();
    StationEnded(i, -1);
  }
}

// What the station wrote since the last look, as events; and its end.
void TWin32BenchWindow::Look(std::size_t i) {
  TRowSlot& row = *FRows[i];
  if (!row.Station) return;
  const bool ended = row.Station->Ended();
  row.Station->Read(row.Out, row.Err);
  if (!row.Out.empty()) {
    row.Reader.Feed(row.Out);
    row.Out.clear();
  }
  if (std::string line = LastWrittenLine(row.Err); !line.empty()) row.LastError = std::move(line);
  row.Err.clear();
  if (ended) row.Reader.Finish();
  const double now = Now();
  for (const TEvent& e : row.Pending) row.Model.Take(e, now);
  row.Pending.clear();
  if (ended) {
    const int code = row.Station->ExitCode();
    row.Station.reset();
    StationEnded(i, code);
  }
}

void TWin32BenchWindow::StationEnded(std::size_t i, int code) {
  TRowSlot& row = *FRows[i];
  // The standard error's lines end with CR LF on Windows.
  while (!row.LastError.empty() && row.LastError.back() == '\r') row.LastError.pop_back();
  row.Model.StationEnded(code, false, row.LastError, Now());
  if (FClosing) {
    if (Idle()) ::DestroyWindow(Handle);
    return;
  }
  if (!FContinuous) return;
  row.RestartDue = true;
  if (row.Model.EndedWithoutBox())
    ::SetTimer(Handle, kRestartTimerBase + i, kRestartPauseMs, nullptr);
  else
    StartStation(i);
}

void TWin32BenchWindow::Tick() {
  for (std::size_t i = 0; i < FRows.size() && Handle != nullptr; ++i) Look(i);
  if (Handle != nullptr) Draw();
}

void TWin32BenchWindow::SetContinuous(bool on) {
  FContinuous = on;
  if (!on) {
    for (auto& row : FRows) row->RestartDue = false;
    return;
  }
  for (std::size_t i = 0; i < FRows.size(); ++i)
    if (!FRows[i]->Station && FModeChoice.Mode() != 0) StartStation(i);
}

void TWin32BenchWindow::StopStations() {
  for (auto& row : FRows) {
    row->RestartDue = false;
    // As Ctrl+Break: the station stops after the block on the line, or at
    // once before a download, writes its record and lets its port go.
    if (row->Station) row->Station->Terminate();
  }
}

bool TWin32BenchWindow::Idle() const {
  for (const auto& row : FRows)
    if (row->Model.Running() || row->RestartDue) return false;
  return true;
}

int TWin32BenchWindow::Passed() const {
  int n = 0;
  for (const auto& row : FRows) n += row->Model.Passed();
  return n;
}

int TWin32BenchWindow::Failed() const {
  int n = 0;
  for (const auto& row : FRows) n += row->Model.Failed();
  return n;
}

int TWin32BenchWindow::ExitStatus() const { return Failed() > 0 ? 1 : Passed() > 0 ? 0 : 2; }

std::string TWin32BenchWindow::TotalsText() const {
  return Format("Passed %d   Failed %d   Boxes %d", Passed(), Failed(), Passed() + Failed());
}

// --- closing -----------------------------------------------------------------------------------

void TWin32BenchWindow::Close() {
  bool sending = false;
  for (const auto& row : FRows) sending = sending || row->Model.Sending();
  const TCloseStep step = DecideClose(!Idle(), sending, true);
  if (step == TCloseStep::CloseNow) {
    ::DestroyWindow(Handle);
    return;
  }
  if (FClosing) return;  // already stopping; the last station to end closes the window
  if (step == TCloseStep::AskThenStop &&
      ::MessageBoxA(Handle, kStopQuestion, "stb-bench", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
    return;
  FClosing = true;
  SetText(FHeader, "Stopping the stations; the bench closes once every port is let go.");
  StopStations();
  if (Idle()) ::DestroyWindow(Handle);
}

// --- drawing ---------------------------------------------------------------------------------------

void TWin32BenchWindow::Draw() {
  const double now = Now();
  for (auto& row : FRows) DrawRow(*row, now);
  SetText(FTotals, TotalsText());
}

void TWin32BenchWindow::DrawRow(TRowSlot& row, double now) {
  const TBenchRow& m = row.Model;
  // The time left moves while blocks go out; the rest only on news. The
  // box's time is shown once it is over.
  const auto left = m.SecondsLeft();
  SetText(row.Left, left ? MinutesText(*left) : std::string());
  if (row.DrawnVersion == m.Version()) return;
  row.DrawnVersion = m.Version();
  SetText(row.Box, m.Identity());
  SetText(row.Stage, m.Stage(), kLatin1);
  SetBar(row.Download, m.DownloadPercent());
  SetBar(row.Flash, m.FlashPercent());
  SetText(row.Bytes, m.Total() > 0 ? ByteCounterText(m.Bytes(), m.Total()) : std::string());
  SetText(row.Rate, m.Rate() ? Format("%.1f kB/s", *m.Rate() / 1000) : std::string());
  const COLORREF colour = m.Result() == TRowResult::Success ? kPassColour : kFailColour;
  if (colour != row.ResultColour) {
    row.ResultColour = colour;
    ::InvalidateRect(row.Result, nullptr, TRUE);
  }
  SetText(row.Result, m.ResultText(), kLatin1);
  const auto took = m.Result() != TRowResult::None ? m.Seconds(now) : std::nullopt;
  SetText(row.Time, took ? MinutesText(*took) : std::string());
  SetText(row.PassedCount, std::to_string(m.Passed()));
  SetText(row.FailedCount, std::to_string(m.Failed()));
}
