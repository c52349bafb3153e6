#include "Win32PollTimer.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

constexpr char kPollWindowClass[] = "TPollWindow";
constexpr UINT_PTR kPollTimerId = 1;

LRESULT CALLBACK PollWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_TIMER) {
    auto* timer = reinterpret_cast<TWin32PollTimer*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (timer != nullptr) timer->OnTimerMessage();
    return 0;
  }
  return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

void RegisterPollWindowClass() {
  static const bool registered = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = PollWindowProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = kPollWindowClass;
    return ::RegisterClassA(&wc) != 0;
  }();
  (void)registered;
}

}  // namespace

TWin32PollTimer::TWin32PollTimer() {
  RegisterPollWindowClass();
  HWND w = ::CreateWindowExA(0, kPollWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             ::GetModuleHandleA(nullptr), nullptr);
  if (w != nullptr) ::SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  FPollWindow = w;
}

TWin32PollTimer::~TWin32PollTimer() {
  Stop();
  if (FPollWindow != nullptr) ::DestroyWindow(FPollWindow);
}

void TWin32PollTimer::Start(std::uint32_t intervalMs) {
  FInterval = intervalMs;
  // The same identifier again replaces the running timer: a restart.
  FActive = FPollWindow != nullptr && ::SetTimer(FPollWindow, kPollTimerId, intervalMs, nullptr) != 0;
}

void TWin32PollTimer::Stop() {
  if (FActive) ::KillTimer(FPollWindow, kPollTimerId);
  FActive = false;
}
