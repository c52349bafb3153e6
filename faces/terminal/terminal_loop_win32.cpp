// The terminal face's system calls on Windows: Ctrl+C, Ctrl+Break and a
// closed console through a control handler and an event; the console's key
// events read without echo for the keyword; a pipe or a file as standard
// input looked at with PeekNamedPipe, since neither can be waited on. The
// stop event named for this process counts as a Ctrl+Break.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "StopEvent.h"
#include "TerminalPlatform.h"

namespace terminal_platform {
namespace {

HANDLE InterruptEvent = nullptr;
HANDLE StopEvent = nullptr;
volatile LONG InterruptCount = 0;
// Characters taken from the console's key events, not yet read.
std::string Typed;

// Runs on a thread of the system's: only the count and the event.
BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      ::InterlockedIncrement(&InterruptCount);
      ::SetEvent(InterruptEvent);
      return TRUE;
    default:
      return FALSE;
  }
}

HANDLE Input() { return ::GetStdHandle(STD_INPUT_HANDLE); }

bool IsConsole(HANDLE h) {
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != 0;
}

// A pipe with bytes or at its end, a file, or no input at all: a read will
// not wait.
bool StreamReady(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE || ::GetFileType(h) != FILE_TYPE_PIPE) return true;
  DWORD available = 0;
  if (!::PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) return true;
  return available > 0;
}

// The key events that wait, as characters: Enter ends a line (and shows, as
// the echo of a password prompt does), Backspace takes the last one back.
void TakeKeys(HANDLE h) {
  DWORD waiting = 0;
  while (::GetNumberOfConsoleInputEvents(h, &waiting) && waiting > 0) {
    INPUT_RECORD records[32];
    DWORD got = 0;
    if (!::ReadConsoleInputA(h, records, std::min<DWORD>(waiting, 32), &got) || got == 0) return;
    for (DWORD i = 0; i < got; ++i) {
      const INPUT_RECORD& r = records[i];
      if (r.EventType != KEY_EVENT || !r.Event.KeyEvent.bKeyDown) continue;
      const char c = r.Event.KeyEvent.uChar.AsciiChar;
      for (WORD n = 0; n < std::max<WORD>(r.Event.KeyEvent.wRepeatCount, 1); ++n) {
        if (c == '\r') {
          Typed.push_back('\n');
          DWORD written = 0;
          ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), "\r\n", 2, &written, nullptr);
        } else if (c == '\b') {
          if (!Typed.empty() && Typed.back() != '\n') Typed.pop_back();
        } else if (c != 0) {
          Typed.push_back(c);
        }
      }
    }
  }
}

// Only whole lines count, as on a terminal in line mode.
bool LineTyped() { return Typed.find('\n') != std::string::npos; }

}  // namespace

// Windows has no slice to ask for; a thread a step above normal is woken
// before the busy ones, which any user may ask for.
void AskForShortSlices() { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL); }

void CatchInterrupts() {
  if (InterruptEvent == nullptr) InterruptEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  // Opens the bench's when it made one for this station.
  if (StopEvent == nullptr)
    StopEvent = ::CreateEventA(nullptr, FALSE, FALSE, StopEventName(::GetCurrentProcessId()).c_str());
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

const char* InterruptName(bool terminate) {
  return terminate ? "terminated (asked to end)" : "interrupted (Ctrl-C)";
}

TWoke Wait(int waitMs, bool watchInput) {
  TWoke woke;
  const HANDLE in = Input();
  const bool console = watchInput && IsConsole(in);
  DWORD timeout = waitMs < 0 ? INFINITE : DWORD(waitMs);
  if (watchInput && !console) {
    // A pipe cannot be waited on: look again soon while the keyword is due.
    if (StreamReady(in)) timeout = 0;
    else timeout = std::min<DWORD>(timeout, 20);
  }
  if (console && LineTyped()) timeout = 0;
  HANDLE handles[3] = {InterruptEvent};
  DWORD count = 1;
  const DWORD stopIndex = count;
  if (StopEvent != nullptr) handles[count++] = StopEvent;
  if (console) handles[count++] = in;
  const DWORD woken = ::WaitForMultipleObjects(count, handles, FALSE, timeout);
  woke.Interrupts = int(::InterlockedExchange(&InterruptCount, 0));
  if (StopEvent != nullptr && woken == WAIT_OBJECT_0 + stopIndex) {
    ++woke.Interrupts;
    woke.Terminate = true;
  }
  if (console) {
    TakeKeys(in);
    woke.Input = LineTyped();
  } else if (watchInput) {
    woke.Input = StreamReady(in);
  }
  return woke;
}

bool InputIsTerminal() { return IsConsole(Input()); }
bool ErrorIsTerminal() { return IsConsole(::GetStdHandle(STD_ERROR_HANDLE)); }

long ReadInput(char* buffer, std::size_t size) {
  const HANDLE in = Input();
  if (IsConsole(in)) {
    const std::size_t line = Typed.find('\n');
    const std::size_t n = std::min(size, line == std::string::npos ? Typed.size() : line + 1);
    std::memcpy(buffer, Typed.data(), n);
    Typed.erase(0, n);
    return long(n);
  }
  DWORD got = 0;
  if (in == nullptr || in == INVALID_HANDLE_VALUE || !::ReadFile(in, buffer, DWORD(size), &got, nullptr)) return 0;
  return long(got);
}

// Key events carry no echo: the keyword never shows, whatever the console's mode.
void EchoInput(bool) {}

}  // namespace terminal_platform
