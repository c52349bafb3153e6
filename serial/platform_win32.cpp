#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>

namespace serial_platform {
namespace {

HANDLE Win(NativeHandle h) { return static_cast<HANDLE>(h); }

// The system's own words for an error code, without the trailing full stop
// and line break, so that a hint can follow in brackets.
std::string SystemText(DWORD err) {
  char* text = nullptr;
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, err, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string s = n > 0 && text != nullptr ? std::string(text, n) : "system error " + std::to_string(err);
  if (text != nullptr) ::LocalFree(text);
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '.')) s.pop_back();
  return s;
}

OpenOutcome Classify(DWORD err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DEV_NOT_EXIST:
      return OpenOutcome::NotFound;
    // A COM port that another program holds answers "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return OpenOutcome::Busy;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return OpenOutcome::NotATerminal;
    default:
      return OpenOutcome::Failed;
  }
}

std::string Hint(OpenOutcome outcome) {
  switch (outcome) {
    case OpenOutcome::Busy:
      return " (the port is held by another program)";
    case OpenOutcome::NotATerminal:
      return " (not a serial device)";
    default:
      return {};
  }
}

OpenResult Failure(const std::string& path, DWORD err, OpenOutcome outcome) {
  OpenResult r;
  r.outcome = outcome;
  r.reason = path + ": " + SystemText(err) + Hint(outcome);
  return r;
}

// What a handle answers once its device has been pulled or has hung up.
bool IsLossError(DWORD err) {
  switch (err) {
    case ERROR_INVALID_HANDLE:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BROKEN_PIPE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

// Sleep(1) naps a whole scheduler quantum (about 15 ms) unless the timer
// runs finer; while a port is open it should, or every wait for one byte
// costs a quantum.
constexpr UINT kTimerResolutionMs = 1;
// A device in trouble that is not lost may keep failing at once: a short nap
// keeps the caller from spinning without holding it long.
constexpr int kTroubleNapMs = 10;

}  // namespace

// Windows numbers its serial devices itself; the \\.\ prefix is what lets
// COM10 and above open at all.
std::string PortDevice(unsigned n) { return "\\\\.\\COM" + std::to_string(n); }

std::string MissingPortHint(unsigned n) {
  return " (this PC has no COM" + std::to_string(n) +
         ": see Device Manager, Ports (COM & LPT), to give the cable's port that number)";
}

std::unique_ptr<PortHandle> PortHandle::Open(const std::string& path, OpenResult& result) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    result = Failure(path, err, Classify(err));
    return nullptr;
  }
  // Whatever fails from here on, the handle must not outlive this call.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(h, &dcb)) {
    const DWORD err = ::GetLastError();
    ::CloseHandle(h);
    result = Failure(path, err, OpenOutcome::NotATerminal);
    return nullptr;
  }
  // Every driver read and write gives up after about a millisecond with
  // whatever it could move, so no call of ours ever waits inside the driver.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 1;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 1;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 1;
  ::SetCommTimeouts(h, &timeouts);
  ::timeBeginPeriod(kTimerResolutionMs);
  result.outcome = OpenOutcome::Ok;
  result.reason.clear();
  return std::unique_ptr<PortHandle>(new PortHandle(h));
}

PortHandle::~PortHandle() {
  ::CloseHandle(Win(FFd));
  ::timeEndPeriod(kTimerResolutionMs);
}

bool PortHandle::Apply(const LineSettings& s, LineSettings& kept) {
  HANDLE h = Win(FFd);
  // A fresh block, nothing read back first: every field not named is zero,
  // which turns off DSR flow, error replacement, NUL stripping and
  // abort-on-error.
  DCB d{};
  d.DCBlength = sizeof d;
  d.BaudRate = s.baud;
  d.fBinary = TRUE;
  // The parity bit goes out and is expected, but a bad one is not checked.
  d.fParity = FALSE;
  d.fDtrControl = s.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  switch (s.rts) {
    case RtsMode::Low: d.fRtsControl = RTS_CONTROL_DISABLE; break;
    case RtsMode::High: d.fRtsControl = RTS_CONTROL_ENABLE; break;
    case RtsMode::Handshake:
      d.fRtsControl = RTS_CONTROL_HANDSHAKE;
      d.fOutxCtsFlow = TRUE;
      break;
  }
  d.fOutX = s.xonXoff ? TRUE : FALSE;
  d.fInX = s.xonXoff ? TRUE : FALSE;
  d.XonChar = char(kXonChar);
  d.XoffChar = char(kXoffChar);
  d.XonLim = WORD(std::min<std::uint32_t>(s.xonLimit, 0xFFFFu));
  d.XoffLim = WORD(std::min<std::uint32_t>(s.xoffLimit, 0xFFFFu));
  d.ByteSize = BYTE(s.dataBits);
  // The component's orders are the DCB's own codes: NOPARITY..SPACEPARITY,
  // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS.
  d.Parity = BYTE(s.parity);
  d.StopBits = BYTE(s.stopBits);

  bool ok = ::SetCommState(h, &d) != FALSE;
  if (!ok) NoteError(int(::GetLastError()));
  ::PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
  ::SetupComm(h, s.inQueue, s.outQueue);
  // Some drivers drop the modem lines while reconfiguring, so set them last.
  ::EscapeCommFunction(h, s.dtr ? SETDTR : CLRDTR);
  if (s.rts != RtsMode::Handshake) ::EscapeCommFunction(h, s.rts == RtsMode::High ? SETRTS : CLRRTS);

  // SetCommState can succeed while the driver rounds a speed or drops a
  // frame format it has no wires for: look at what it kept.
  DCB back{};
  back.DCBlength = sizeof back;
  kept = s;
  if (::GetCommState(h, &back)) {
    kept.baud = back.BaudRate;
    kept.dataBits = back.ByteSize;
    if (back.Parity <= SPACEPARITY) kept.parity = Parity(back.Parity);
    if (back.StopBits <= TWOSTOPBITS) kept.stopBits = StopBits(back.StopBits);
    if (back.fOutxCtsFlow) kept.rts = RtsMode::Handshake;
    else if (s.rts == RtsMode::Handshake) kept.rts = RtsMode::High;
    kept.xonXoff = back.fOutX && back.fInX;
    ok = ok && back.BaudRate == d.BaudRate && back.ByteSize == d.ByteSize && back.Parity == d.Parity &&
         back.StopBits == d.StopBits && back.fOutX == d.fOutX && back.fInX == d.fInX &&
         back.fOutxCtsFlow == d.fOutxCtsFlow;
  } else {
    ok = false;
  }
  return ok;
}

void PortHandle::Flush(bool input, bool output) {
  DWORD mask = 0;
  if (input) mask |= PURGE_RXABORT | PURGE_RXCLEAR;
  if (output) mask |= PURGE_TXABORT | PURGE_TXCLEAR;
  ::PurgeComm(Win(FFd), mask);
}

bool PortHandle::InputWaiting(std::uint32_t& count) {
  COMSTAT stat{};
  DWORD errors = 0;
  // Also clears a pending framing, parity or overrun error, which would
  // otherwise stop the driver from taking more bytes.
  if (!::ClearCommError(Win(FFd), &errors, &stat)) {
    NoteError(int(::GetLastError()));
    count = 0;
    return false;
  }
  count = stat.cbInQue;
  return true;
}

bool PortHandle::OutputWaiting(std::uint32_t& count) {
  COMSTAT stat{};
  DWORD errors = 0;
  if (!::ClearCommError(Win(FFd), &errors, &stat)) {
    NoteError(int(::GetLastError()));
    count = 0;
    return false;
  }
  count = stat.cbOutQue;
  return true;
}

bool PortHandle::GetModemLines(ModemLines& lines) {
  DWORD status = 0;
  if (!::GetCommModemStatus(Win(FFd), &status)) {
    lines = {};
    return false;
  }
  lines.cts = (status & MS_CTS_ON) != 0;
  lines.dsr = (status & MS_DSR_ON) != 0;
  lines.ring = (status & MS_RING_ON) != 0;
  lines.dcd = (status & MS_RLSD_ON) != 0;
  return true;
}

std::size_t PortHandle::Read(void* buffer, std::size_t count) {
  if (count == 0) return 0;
  DWORD got = 0;
  const DWORD ask = DWORD(std::min<std::size_t>(count, 0x7FFFFFFFu));
  if (!::ReadFile(Win(FFd), buffer, ask, &got, nullptr)) {
    NoteError(int(::GetLastError()));
    return 0;
  }
  return got;
}

std::size_t PortHandle::Write(const void* data, std::size_t count) {
  if (count == 0) return 0;
  DWORD put = 0;
  const DWORD ask = DWORD(std::min<std::size_t>(count, 0x7FFFFFFFu));
  if (!::WriteFile(Win(FFd), data, ask, &put, nullptr)) {
    NoteError(int(::GetLastError()));
    return 0;
  }
  return put;
}

// The handle is not overlapped, so WaitCommEvent could not be given a time
// limit; short naps between queue queries serve instead.
void PortHandle::WaitReadable(int maxMs) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    std::uint32_t waiting = 0;
    if (!InputWaiting(waiting)) {
      // Asking failed: a lost device ends the wait at once; any other
      // trouble gets a short nap, so the caller looks again soon.
      if (!Lost()) ::Sleep(DWORD(std::clamp(maxMs, 0, kTroubleNapMs)));
      return;
    }
    if (waiting > 0 || ::GetTickCount() - start >= DWORD(std::max(maxMs, 0))) return;
    ::Sleep(1);
  }
}

void PortHandle::WaitWritable(int maxMs) {
  const DWORD start = ::GetTickCount();
  std::uint32_t before = 0;
  if (!OutputWaiting(before)) {
    if (!Lost()) ::Sleep(DWORD(std::clamp(maxMs, 0, kTroubleNapMs)));
    return;
  }
  for (;;) {
    std::uint32_t now = 0;
    if (before == 0 || !OutputWaiting(now) || now < before) return;
    if (::GetTickCount() - start >= DWORD(std::max(maxMs, 0))) return;
    ::Sleep(1);
  }
}

bool PortHandle::Lost() const {
  if (FLost) return true;
  COMSTAT stat{};
  DWORD errors = 0;
  if (!::ClearCommError(Win(FFd), &errors, &stat)) NoteError(int(::GetLastError()));
  return FLost;
}

void PortHandle::NoteError(int err) const {
  if (IsLossError(DWORD(err))) FLost = true;
}

std::uint32_t MonotonicMs() { return ::GetTickCount(); }

PlatformInfo QueryPlatform() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!::GetVersionExA(&info)) return {"??", 0};
  std::string name;
  switch (info.dwPlatformId) {
    case VER_PLATFORM_WIN32s: name = "W32S"; break;
    case VER_PLATFORM_WIN32_WINDOWS: name = "W95"; break;
    case VER_PLATFORM_WIN32_NT: name = "WNT"; break;
    default: break;
  }
  return {name, (std::uint32_t(info.dwMajorVersion) << 16) | (info.dwMinorVersion & 0xFFFFu)};
}

}  // namespace serial_platform
