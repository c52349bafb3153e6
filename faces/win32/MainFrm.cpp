#include "MainFrm.h"

#include <commctrl.h>

#include <algorithm>
#include <exception>
#include <tuple>

#include "Artwork.h"
#include "CounterText.h"
#include "DialogTexts.h"
#include "Win32PollTimer.h"

namespace {

using namespace form_layout;

constexpr char kFormClass[] = "TForm1";
constexpr char kPanelClass[] = "TPanel";
constexpr char kAnimateClass[] = "TBusyAnimation";
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr UINT_PTR kAnimationTimerId = 1;
constexpr char kPictureProperty[] = "TBusyPicture";

WNDPROC OriginalMemoProc = nullptr;

TForm1* FormOf(HWND hwnd) { return reinterpret_cast<TForm1*>(::GetPropA(hwnd, "TForm1")); }

LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    ::SetPropA(hwnd, "TForm1", create->lpCreateParams);
    static_cast<TForm1*>(create->lpCreateParams)->Handle = hwnd;
  }
  TForm1* form = FormOf(hwnd);
  if (msg == WM_NCDESTROY) {
    ::RemovePropA(hwnd, "TForm1");
    if (form != nullptr) form->Handle = nullptr;
    return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  if (form == nullptr) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  // Nothing may unwind through the system's frames.
  try {
    return form->HandleMessage(msg, wParam, lParam);
  } catch (const std::exception& e) {
    ShowHandlerError(e.what());
  } catch (...) {
    ShowHandlerError("Unknown error");
  }
  return 0;
}

// The log: a read-only edit control. Every typed character reaches the mode
// matcher once, here; printable ones stop here as well, since a read-only
// edit would only beep at them.
LRESULT CALLBACK MemoProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  // F4 opens the list of ports, as it opens a drop-down list.
  if (msg == WM_KEYDOWN && wParam == VK_F4) {
    if (TForm1* form = FormOf(::GetParent(hwnd))) form->PortListAsked();
    return 0;
  }
  if (msg == WM_CHAR) {
    if (TForm1* form = FormOf(::GetParent(hwnd))) form->KeyCharacter(std::uint8_t(wParam & 0xFF));
    if (wParam >= 0x20) return 0;
  }
  return ::CallWindowProcA(OriginalMemoProc, hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(hwnd, &ps);
    RECT r;
    ::GetClientRect(hwnd, &r);
    ::DrawEdge(dc, &r, EDGE_RAISED, BF_RECT);
    ::EndPaint(hwnd, &ps);
    return 0;
  }
  return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

// The busy animation: pages flying from the folder to the receiver, frame by
// frame on a timer of its own, so it only moves while the window handles its
// messages; stopped, it shows the folder and the receiver with its lamp.
LRESULT CALLBACK AnimateProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* picture = static_cast<TBusyPicture*>(::GetPropA(hwnd, kPictureProperty));
  switch (msg) {
    case WM_TIMER:
      if (picture != nullptr) picture->Advance();
      ::InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_ERASEBKGND:
      // The frame covers the control whole.
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(hwnd, &ps);
      RECT r;
      ::GetClientRect(hwnd, &r);
      if (picture != nullptr) picture->Paint(dc, r.right, r.bottom, picture->Scale);
      ::EndPaint(hwnd, &ps);
      return 0;
    }
    default:
      return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

void RegisterClasses() {
  static const bool registered = [] {
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpfnWndProc = FormProc;
    wc.lpszClassName = kFormClass;
    wc.hIcon = ::LoadIconA(instance, MAKEINTRESOURCEA(1));
    ::RegisterClassA(&wc);
    wc.hIcon = nullptr;
    wc.lpfnWndProc = PanelProc;
    wc.lpszClassName = kPanelClass;
    ::RegisterClassA(&wc);
    wc.lpfnWndProc = AnimateProc;
    wc.lpszClassName = kAnimateClass;
    ::RegisterClassA(&wc);
    return true;
  }();
  (void)registered;
}

SIZE TextSize(HFONT font, const std::string& text) {
  SIZE size{0, 0};
  HDC dc = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, font);
  ::GetTextExtentPoint32A(dc, text.c_str(), int(text.size()), &size);
  ::SelectObject(dc, old);
  ::ReleaseDC(nullptr, dc);
  return size;
}

HWND MakeChild(const char* cls, const char* text, DWORD style, HWND parent, int x, int y, int w, int h, HFONT font,
               DWORD exStyle = 0) {
  HWND child = ::CreateWindowExA(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent, nullptr,
                                 ::GetModuleHandleA(nullptr), nullptr);
  if (child != nullptr && font != nullptr) ::SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return child;
}

HFONT SansSerif(int pixels, const char* face = "MS Sans Serif", int charWidth = 0) {
  return ::CreateFontA(-pixels, charWidth, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, face);
}

// The counter stays beside the Down Load bar: the largest size at which the
// widest counter there can be fits between the bar and the panel's edge,
// chosen once, so the text never changes size while it runs. A TrueType
// face: the bitmap MS Sans Serif has only a few sizes, and the one below 11
// pixels is far smaller.
HFONT CounterFont(int width, int largest) {
  const std::string longest = LongestByteCounterText();
  for (int px = largest; px > 6; --px) {
    // Plain, then condensed (narrower characters at the same height), as the Qt window does.
    for (int charWidth : {0, px * 2 / 5}) {
      HFONT font = SansSerif(px, "Tahoma", charWidth);
      if (TextSize(font, longest).cx <= width) return font;
      ::DeleteObject(font);
    }
  }
  return SansSerif(6, "Tahoma");
}

// The strip's texts are UTF-8 (a middle dot between the parts), as are the
// ports' names in the list.
std::wstring Wide(const std::string& text) {
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(n > 0 ? std::size_t(n) : 1, L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), n);
  return wide;
}

void SetUtf8Text(HWND control, const std::string& text) { ::SetWindowTextW(control, Wide(text).c_str()); }

// A menu line shows '&' as the next letter's underline; a name's own is doubled.
std::wstring MenuText(const std::string& text) {
  std::wstring out;
  for (wchar_t c : Wide(text)) {
    if (c == L'\0') break;
    out += c;
    if (c == L'&') out += c;
  }
  return out;
}

HWND MakeChild(const char* cls, const char* text, DWORD style, HWND parent, DWORD exStyle = 0) {
  return MakeChild(cls, text, style, parent, 0, 0, 0, 0, nullptr, exStyle);
}

void SetFont(HWND control, HFONT font) {
  ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

HWND MakeBar(HWND parent) {
  HWND bar = MakeChild(PROGRESS_CLASSA, "", 0, parent);
  ::SendMessageA(bar, PBM_SETRANGE32, 0, 100);
  ::SendMessageA(bar, PBM_SETPOS, 0, 0);
  return bar;
}

}  // namespace

void ShowHandlerError(const char* text) {
  ::MessageBoxA(::GetActiveWindow(), text, kApplicationName, MB_OK | MB_ICONERROR);
}

TForm1::TForm1(const std::string& port, const std::string& trace) {
  RegisterClasses();
  // Until the window exists, the screen's; then the window's own monitor's.
  HDC screen = ::GetDC(nullptr);
  FDpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  RECT outer{0, 0, Scaled(kClientWidth), Scaled(kClientHeight)};
  ::AdjustWindowRectEx(&outer, kFormStyle, FALSE, 0);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  RECT desk{0, 0, 1024, 768};
  ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &desk, 0);
  const int x = desk.left + std::max(0, int((desk.right - desk.left - width) / 2));
  const int y = desk.top + std::max(0, int((desk.bottom - desk.top - height) / 2));
  ::CreateWindowExA(0, kFormClass, kCaption, kFormStyle, x, y, width, height, nullptr, nullptr,
                    ::GetModuleHandleA(nullptr), this);
  // GetDpiForWindow came with Windows 10; before it, the screen's DPI is the window's.
  using TGetDpiForWindow = UINT(WINAPI*)(HWND);
  if (const auto getDpi = reinterpret_cast<TGetDpiForWindow>(
          reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
      getDpi != nullptr && Handle != nullptr)
    FDpi = int(getDpi(Handle));

  CreateComponents(port, std::make_unique<TWin32PollTimer>(), std::make_unique<TWin32PollTimer>(), trace);
  BuildControls();
  Layout();
  FormCreate();
}

TForm1::~TForm1() {
  Timer1->Stop();
  if (Handle != nullptr && ::IsWindow(Handle)) ::DestroyWindow(Handle);
  // The port closes before the fonts go: nothing here draws any more.
  DestroyComponents();
  DeleteFonts();
}

void TForm1::DeleteFonts() {
  for (HFONT* font : {&FFont, &FFixedFont, &FCounterFont}) {
    if (*font != nullptr) ::DeleteObject(*font);
    *font = nullptr;
  }
}

int TForm1::Scaled(int pixels) const { return ::MulDiv(pixels, FDpi, 96); }

void TForm1::BuildControls() {
  // Shape1 and Image1 are painted by the window itself (WM_PAINT).
  for (int i = 0; i < 3; ++i) FAddress[i] = MakeChild("STATIC", kAddressPieces[i], SS_LEFT | SS_NOPREFIX, Handle);
  Panel1 = MakeChild(kPanelClass, "", 0, Handle);
  Label1 = MakeChild("STATIC", kLabel1Text, SS_LEFT | SS_NOPREFIX, Panel1);
  Label2 = MakeChild("STATIC", kLabel2Text, SS_LEFT | SS_NOPREFIX, Panel1);
  Label4 = MakeChild("STATIC", ByteCounterText(0, 0).c_str(), SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE, Panel1);
  ProgressBar1 = MakeBar(Panel1);
  ProgressBar2 = MakeBar(Panel1);
  Animate1 = MakeChild(kAnimateClass, "", 0, Panel1);
  ::SetPropA(Animate1, kPictureProperty, &FBusy);

  RxMemo = MakeChild("EDIT", "", WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL, Handle,
                     WS_EX_CLIENTEDGE);
  // No cap on the log's length.
  ::SendMessageA(RxMemo, EM_SETLIMITTEXT, 0, 0);
  OriginalMemoProc =
      reinterpret_cast<WNDPROC>(::SetWindowLongPtrA(RxMemo, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(MemoProc)));

  // SS_NOTIFY: a click on the strip opens the list of ports.
  StatusStrip = MakeChild("STATIC", "", SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_CENTERIMAGE | SS_NOTIFY, Handle);
}

// Every control at its place and every font at its size for the window's
// DPI: the layout's pixels are those of a 96 DPI screen.
void TForm1::Layout() {
  HFONT oldFonts[3] = {FFont, FFixedFont, FCounterFont};
  FFont = SansSerif(Scaled(kFontPixels));
  FFixedFont = ::CreateFontA(-Scaled(kAddressFontPixels), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN,
                             "Fixedsys");
  FitClientArea();
  LayoutAddress();
  LayoutPanel();

  PlaceBox(RxMemo, kRxMemo);
  SetFont(RxMemo, FFont);
  PlaceBox(StatusStrip, kStatusStrip);
  SetFont(StatusStrip, FFont);

  for (HFONT font : oldFonts)
    if (font != nullptr) ::DeleteObject(font);
  ::InvalidateRect(Handle, nullptr, TRUE);
}

void TForm1::PlaceBox(HWND control, const TBox& box) const {
  ::SetWindowPos(control, nullptr, Scaled(box.X), Scaled(box.Y), Scaled(box.Width), Scaled(box.Height),
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

// The client area at this DPI, whatever the frame around it measures.
void TForm1::FitClientArea() {
  RECT window, client;
  ::GetWindowRect(Handle, &window);
  ::GetClientRect(Handle, &client);
  ::SetWindowPos(Handle, nullptr, 0, 0, window.right - window.left - client.right + Scaled(kClientWidth),
                 window.bottom - window.top - client.bottom + Scaled(kClientHeight),
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
}

// The maker's address, in three pieces on the banner.
void TForm1::LayoutAddress() {
  int x = Scaled(kAddressX);
  for (int i = 0; i < 3; ++i) {
    SetFont(FAddress[i], FFixedFont);
    const SIZE size = TextSize(FFixedFont, kAddressPieces[i]);
    ::SetWindowPos(FAddress[i], nullptr, x, Scaled(kAddressY), size.cx, Scaled(kAddressHeight),
                   SWP_NOZORDER | SWP_NOACTIVATE);
    x += size.cx;
  }
}

void TForm1::LayoutPanel() {
  PlaceBox(Panel1, kPanel1);
  for (auto [label, text, lx, ly] : {std::tuple{Label1, kLabel1Text, kLabel1X, kLabel1Y},
                                     std::tuple{Label2, kLabel2Text, kLabel2X, kLabel2Y}}) {
    SetFont(label, FFont);
    const SIZE size = TextSize(FFont, text);
    ::SetWindowPos(label, nullptr, Scaled(lx), Scaled(ly), size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // The counter reaches to the panel's inner edge, in the largest font in
  // which its widest text fits there; it never grows over the bar.
  RECT inside;
  ::GetClientRect(Panel1, &inside);
  const int counterWidth = inside.right - ::GetSystemMetrics(SM_CXEDGE) - Scaled(kLabel4X);
  FCounterFont = CounterFont(counterWidth, Scaled(kFontPixels));
  SetFont(Label4, FCounterFont);
  ::SetWindowPos(Label4, nullptr, Scaled(kLabel4X), Scaled(kLabel4Y), counterWidth, Scaled(kLabel4Height),
                 SWP_NOZORDER | SWP_NOACTIVATE);
  PlaceBox(ProgressBar1, kProgressBar1);
  PlaceBox(ProgressBar2, kProgressBar2);
  PlaceBox(Animate1, kAnimate1);
  FBusy.Scale = FDpi / 96.0;
  FBusy.Forget();
}

void TForm1::Show() {
  ::ShowWindow(Handle, SW_SHOW);
  ::UpdateWindow(Handle);
  ::SetFocus(RxMemo);
}

void TForm1::AddLogLine(const std::string& line) {
  if (RxMemo == nullptr || !::IsWindow(RxMemo)) return;
  const std::string text = FLogEmpty ? line : "\r\n" + line;
  FLogEmpty = false;
  const int end = ::GetWindowTextLengthA(RxMemo);
  ::SendMessageA(RxMemo, EM_SETSEL, WPARAM(end), LPARAM(end));
  ::SendMessageA(RxMemo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  ::SendMessageA(RxMemo, EM_SCROLLCARET, 0, 0);
}

// --- messages ---------------------------------------------------------------------------

LRESULT TForm1::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(Handle, &ps);
      PaintBanner(dc, FDpi / 96.0);
      ::EndPaint(Handle, &ps);
      return 0;
    }
    case WM_CTLCOLORSTATIC:
      if (const LRESULT brush = ControlColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)))
        return brush;
      break;
    case WM_CHAR:
      // Keys typed while the window itself has the focus.
      KeyCharacter(std::uint8_t(wParam & 0xFF));
      return 0;
    case WM_KEYDOWN:
      if (wParam != VK_F4) break;
      PortListAsked();
      return 0;
    case WM_COMMAND:
      if (reinterpret_cast<HWND>(lParam) != StatusStrip || HIWORD(wParam) != STN_CLICKED) break;
      PortListAsked();
      return 0;
    case WM_SETCURSOR:
      if (reinterpret_cast<HWND>(wParam) != StatusStrip || !FShownStrip.Choosable) break;
      ::SetCursor(::LoadCursor(nullptr, IDC_HAND));
      return TRUE;
    case WM_DPICHANGED: {
      // Moved to a monitor of another DPI, or its DPI changed: the same
      // window at the new size, where the system suggests.
      FDpi = HIWORD(wParam);
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      ::SetWindowPos(Handle, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      Layout();
      return 0;
    }
    case WM_SETFOCUS:
      if (RxMemo != nullptr) ::SetFocus(RxMemo);
      return 0;
    case WM_CLOSE:
      if (CloseQuery()) ::DestroyWindow(Handle);
      return 0;
    case WM_DESTROY:
      if (Timer1 != nullptr) Timer1->Stop();
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcA(Handle, msg, wParam, lParam);
}

// The strip in red while the port is not open, the log on the window's
// colour, the address pieces on the banner; 0 for the system's own colours.
LRESULT TForm1::ControlColour(HDC dc, HWND control) {
  if (control == StatusStrip && FStripWarning) {
    ::SetTextColor(dc, RGB(kWarningRed, kWarningGreen, kWarningBlue));
    ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
  }
  if (control == RxMemo) {
    ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
    return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
  }
  for (int i = 0; i < 3; ++i) {
    if (control == FAddress[i]) {
      ::SetTextColor(dc, i == 1 ? RGB(255, 0, 0) : RGB(0, 0, 0));
      ::SetBkColor(dc, ::GetSysColor(COLOR_HIGHLIGHTTEXT));
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_HIGHLIGHTTEXT));
    }
  }
  return 0;
}

// --- the face: the busy animation, the questions, the pending messages ---------------------

void TForm1::DrawTransferProgress(int percent) {
  ::SendMessageA(ProgressBar1, PBM_SETPOS, WPARAM(percent), 0);
}

void TForm1::DrawFlashProgress(int percent) {
  ::SendMessageA(ProgressBar2, PBM_SETPOS, WPARAM(percent), 0);
}

void TForm1::DrawByteCounter(const std::string& text) {
  if (Label4 != nullptr && ::IsWindow(Label4)) ::SetWindowTextA(Label4, text.c_str());
}

void TForm1::DrawBusy(bool playing) {
  if (playing) {
    if (!FBusy.Playing) ::SetTimer(Animate1, kAnimationTimerId, UINT(artwork::kFrameMs), nullptr);
    FBusy.Playing = true;
    return;
  }
  ::KillTimer(Animate1, kAnimationTimerId);
  FBusy.Playing = false;
  FBusyPaced = false;
  FBusy.Frame = artwork::kStopFrame;
  ::InvalidateRect(Animate1, nullptr, FALSE);
}

// The message as the operator knows it; for the connect error, the device
// and the system's reason below it.
bool TForm1::Ask(TDialog kind, const std::string& text, const std::string& detail) {
  if (kind == TDialog::Error) {
    ShowHandlerError(text.c_str());
    return false;
  }
  UINT type = MB_OK;
  switch (kind) {
    case TDialog::Message: break;
    case TDialog::Information: type = MB_OK | MB_ICONINFORMATION; break;
    case TDialog::YesNo: type = MB_YESNO | MB_ICONQUESTION; break;
    case TDialog::StopQuestion: type = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2; break;
    case TDialog::ConnectError: type = MB_OK | MB_ICONWARNING; break;
    case TDialog::Error: break;
  }
  const std::string shown = detail.empty() ? text : text + "\n\n" + detail;
  return ::MessageBoxA(Handle, shown.c_str(), kApplicationName, type) == IDYES;
}

// Handles what is pending, once, without waiting: the window repaints, the
// bars move, a close is seen, and the poll ticks run.
void TForm1::PumpMessages() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Not ours to eat: the message loop ends on it.
      ::PostQuitMessage(int(msg.wParam));
      break;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

// What changed paints at the next pump, which while blocks go out comes
// right after this; the core shows no state between, so the window rests.
// A wait paints at once: no message is handled while the exchange waits.
void TForm1::ShowState(const TRunState& state) {
  if (state.TransferPercent != FShownTransfer) DrawTransferProgress(FShownTransfer = state.TransferPercent);
  if (state.FlashPercent != FShownFlash) DrawFlashProgress(FShownFlash = state.FlashPercent);
  if (std::string counter = ByteCounterText(state.BytesSent, state.BytesTotal); counter != FShownCounter)
    DrawByteCounter(FShownCounter = std::move(counter));
  if (TStripState strip = StripOf(state); !(strip == FShownStrip)) DrawStrip(FShownStrip = std::move(strip));
  if (state.Busy != FShownBusy) DrawBusy(FShownBusy = state.Busy);
  PaceBusy(state.Paced);
  if (!state.WaitingFor.empty()) PaintNow();
  if (state.Closing) DestroyForm();
}

void TForm1::Pump() { PumpMessages(); }

// The list drops up from the strip, the port in use ticked.
std::optional<std::size_t> TForm1::PickPort(const std::vector<TPortOffer>& ports) {
  HMENU list = ::CreatePopupMenu();
  if (list == nullptr) return std::nullopt;
  if (ports.empty()) ::AppendMenuW(list, MF_STRING | MF_GRAYED, 0, MenuText(kNoPortsPresent).c_str());
  for (std::size_t i = 0; i < ports.size(); ++i)
    ::AppendMenuW(list, MF_STRING | (ports[i].Current ? MF_CHECKED : MF_UNCHECKED), UINT_PTR(i + 1),
                  MenuText(ports[i].Text).c_str());
  RECT strip{};
  ::GetWindowRect(StatusStrip, &strip);
  const UINT chosen = UINT(::TrackPopupMenu(list, TPM_RETURNCMD | TPM_NONOTIFY | TPM_LEFTALIGN | TPM_BOTTOMALIGN,
                                            strip.left, strip.top, 0, Handle, nullptr));
  ::DestroyMenu(list);
  if (chosen == 0 || chosen > ports.size()) return std::nullopt;
  return std::size_t(chosen - 1);
}

void TForm1::DestroyForm() {
  if (Handle != nullptr && ::IsWindow(Handle)) ::DestroyWindow(Handle);
}

// --- the status strip, and the pace of painting ---------------------------------------------------

void TForm1::DrawStrip(const TStripState& strip) {
  if (StatusStrip == nullptr || !::IsWindow(StatusStrip)) return;
  FStripWarning = strip.Warning;
  SetUtf8Text(StatusStrip, strip.Text);
}

// While blocks go out the animation's timer rests, and each state shown
// moves the flight on a few frames: the window is painted at the core's pace.
void TForm1::PaceBusy(bool paced) {
  if (!FBusy.Playing || (!paced && !FBusyPaced)) return;
  FBusyPaced = paced;
  if (!paced) {
    ::SetTimer(Animate1, kAnimationTimerId, UINT(artwork::kFrameMs), nullptr);
    return;
  }
  ::KillTimer(Animate1, kAnimationTimerId);
  for (int i = 0; i < artwork::kHeldStep; ++i) FBusy.Advance();
  ::InvalidateRect(Animate1, nullptr, FALSE);
}

// No message is handled here, as none may be while the exchange waits: the
// strip is only painted again.
void TForm1::PaintNow() {
  if (StatusStrip != nullptr && ::IsWindow(StatusStrip)) ::UpdateWindow(StatusStrip);
}
