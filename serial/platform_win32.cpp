#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <string_view>
#include <vector>

namespace serial_platform {
namespace {

HANDLE Win(NativeHandle h) { return static_cast<HANDLE>(h); }

// The driver's queues; also clears a pending framing, parity or overrun
// error, which would otherwise stop the driver from taking more bytes.
// 0, or the system's error.
int CommStatus(HANDLE h, COMSTAT& stat) {
  DWORD errors = 0;
  return ::ClearCommError(h, &errors, &stat) ? 0 : int(::GetLastError());
}

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

// Waits end on events, which the driver sets the moment a byte comes or a
// write has left; only their time-outs still go by the system timer, which
// ticks every 15.6 ms unless asked for 1: a 200 ms input time-out would end
// up to 8 % late, a 10 ms nap half again as long. While a port is open the
// timer runs finer.
constexpr UINT kTimerResolutionMs = 1;
// A device in trouble that is not lost may keep failing at once: a short nap
// keeps the caller from spinning without holding it long.
constexpr int kTroubleNapMs = 10;
// A read asks only for bytes the driver already holds, so it completes as it
// is made; this bounds it should a driver not hand them over.
constexpr DWORD kQueuedReadMs = 100;
// One write in flight holds at most this much; the rest waits for the next.
constexpr std::size_t kMostInFlight = 65536;
// A wait's read takes what has come up to this; the rest waits in the driver.
constexpr std::size_t kWaitReadSize = 4096;
// A close lets the write in flight leave, as a tty's close drains its queue,
// for its line time and this much more.
constexpr DWORD kCloseDrainSlackMs = 1000;

void Nap(int maxMs) { ::Sleep(DWORD(std::clamp(maxMs, 0, kTroubleNapMs))); }

// One overlapped operation: its OVERLAPPED and its own manual-reset event.
struct Op {
  OVERLAPPED ov{};
  HANDLE event = nullptr;
  bool inFlight = false;

  // The call that starts the operation resets the event itself. The low
  // bit keeps a completion out of any completion port: there is none, and
  // Wine would otherwise ask its server to post one for every call that
  // completes at once.
  void Begin() {
    ov = OVERLAPPED{};
    ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
  }
};

// Waits up to ms for the operation, cancels it when its time is up, and
// collects it either way: its OVERLAPPED and buffer are free again after
// this. Bytes it moved before a cancel count; err is 0 or the system's error.
DWORD Collect(HANDLE h, Op& op, DWORD ms, DWORD& err) {
  if (!HasOverlappedIoCompleted(&op.ov) && ::WaitForSingleObject(op.event, ms) != WAIT_OBJECT_0)
    ::CancelIoEx(h, &op.ov);
  DWORD moved = 0;
  err = ::GetOverlappedResult(h, &op.ov, &moved, TRUE) ? 0 : ::GetLastError();
  op.inFlight = false;
  return moved;
}

}  // namespace

struct PortHandle::Io {
  Op read, write, comm;
  std::vector<std::uint8_t> out;  // the bytes of the write in flight
  // Bytes taken from the driver and not yet handed on: what a wait read,
  // and what a read took beyond what it was asked for.
  std::vector<std::uint8_t> ahead;
  std::size_t aheadAt = 0;
  bool writeRefused = false;      // the last write failed at once: the next wait naps
  DWORD commMask = 0;
  std::uint32_t baud = 115200;
  // The port as we found it, put back when we close it, so that the next
  // program on the port does not inherit our raw 115200.
  DCB before{};
  COMMTIMEOUTS timeoutsBefore{};
  bool timeoutsSaved = false;

  Io() {
    for (Op* op : {&read, &write, &comm}) op->event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~Io() {
    for (Op* op : {&read, &write, &comm})
      if (op->event != nullptr) ::CloseHandle(op->event);
  }
  Io(const Io&) = delete;
  Io& operator=(const Io&) = delete;
  std::size_t Ahead() const { return ahead.size() - aheadAt; }
  std::size_t TakeAhead(std::uint8_t* to, std::size_t count) {
    const std::size_t n = std::min(count, Ahead());
    std::copy_n(ahead.begin() + std::ptrdiff_t(aheadAt), n, to);
    aheadAt += n;
    if (aheadAt == ahead.size()) DropAhead();
    return n;
  }
  void DropAhead() {
    ahead.clear();
    aheadAt = 0;
  }

  // Sleeps until the driver reports an event of mask or the time is up:
  // true then. False when the wait could not be made or ended without the
  // event (a driver that cannot watch for it), with the error if there was one.
  bool AwaitEvent(HANDLE h, DWORD mask, int maxMs, DWORD& err) {
    err = 0;
    if (commMask != mask) {
      if (!::SetCommMask(h, mask)) {
        err = ::GetLastError();
        return false;
      }
      commMask = mask;
      // The driver notes only events of the mask it has, so a byte or an
      // empty queue that came since the caller looked would not end this
      // wait: return, and the caller looks again before it waits.
      return true;
    }
    comm.Begin();
    DWORD events = 0;
    if (!::WaitCommEvent(h, &events, &comm.ov) && (err = ::GetLastError()) != ERROR_IO_PENDING) return false;
    err = 0;
    const bool timeUp = ::WaitForSingleObject(comm.event, DWORD(std::max(maxMs, 0))) == WAIT_TIMEOUT;
    Collect(h, comm, 0, err);
    return timeUp || (events & mask) != 0;
  }

  bool Ready() const { return read.event != nullptr && write.event != nullptr && comm.event != nullptr; }

  // True while the write in flight has not left; once it has, collects it.
  // Its bytes were counted as moved when the driver took them, so only its
  // error is left to tell (err, 0 when none): a device that went away.
  bool WriteInFlight(HANDLE h, DWORD& err) {
    err = 0;
    if (!write.inFlight) return false;
    if (!HasOverlappedIoCompleted(&write.ov)) return true;
    Collect(h, write, 0, err);
    return false;
  }
};

// Windows numbers its serial devices itself; the \\.\ prefix is what lets
// COM10 and above open at all.
std::string PortDevice(unsigned n) { return "\\\\.\\COM" + std::to_string(n); }

// The port asked for by its own name (--port COM9 is \\.\COM9), whichever
// slot it was opened as.
std::string MissingPortHint(unsigned n, const std::string& device) {
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  std::string name = device.rfind(kDevicePrefix, 0) == 0 ? device.substr(kDevicePrefix.size()) : device;
  if (name.empty()) name = "COM" + std::to_string(n);
  return " (this PC has no " + name +
         ": see Device Manager, Ports (COM & LPT), to give the cable's port that number)";
}

std::unique_ptr<PortHandle> PortHandle::Open(const std::string& path, OpenResult& result) {
  // Overlapped, so that a wait can sleep in the system until a byte comes and
  // still end when its time is up.
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
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
  auto io = std::make_unique<Io>();
  if (!io->Ready()) {
    const DWORD err = ::GetLastError();
    ::CloseHandle(h);
    result = Failure(path, err, OpenOutcome::Failed);
    return nullptr;
  }
  io->before = dcb;
  io->timeoutsSaved = ::GetCommTimeouts(h, &io->timeoutsBefore) != FALSE;
  // A read takes what has come and never waits for more; a write stays with
  // the driver until it has left.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  ::SetCommTimeouts(h, &timeouts);
  ::timeBeginPeriod(kTimerResolutionMs);
  result.outcome = OpenOutcome::Ok;
  result.reason.clear();
  return std::unique_ptr<PortHandle>(new PortHandle(h, std::move(io)));
}

PortHandle::PortHandle(NativeHandle fd, std::unique_ptr<Io> io) : FFd(fd), FIo(std::move(io)) {}

PortHandle::~PortHandle() {
  HANDLE h = Win(FFd);
  Op& write = FIo->write;
  if (write.inFlight) {
    const auto lineMs = DWORD(double(FIo->out.size()) * 10000.0 / double(std::max<std::uint32_t>(FIo->baud, 50)));
    DWORD err = 0;
    Collect(h, write, FLost ? 0 : lineMs + kCloseDrainSlackMs, err);
  }
  if (!FLost) {
    ::SetCommState(h, &FIo->before);
    if (FIo->timeoutsSaved) ::SetCommTimeouts(h, &FIo->timeoutsBefore);
  }
  ::CloseHandle(h);
  FIo.reset();
  ::timeEndPeriod(kTimerResolutionMs);
}

namespace {

// What the driver kept of the speed, frame and flow control, in the component's terms.
LineSettings KeptSettings(const DCB& back, const LineSettings& asked) {
  LineSettings kept = asked;
  kept.baud = back.BaudRate;
  kept.dataBits = back.ByteSize;
  if (back.Parity <= SPACEPARITY) kept.parity = Parity(back.Parity);
  if (back.StopBits <= TWOSTOPBITS) kept.stopBits = StopBits(back.StopBits);
  if (back.fOutxCtsFlow) kept.rts = RtsMode::Handshake;
  else if (asked.rts == RtsMode::Handshake) kept.rts = RtsMode::High;
  kept.xonXoff = back.fOutX && back.fInX;
  return kept;
}

// A fresh block, nothing read back first: every field not named is zero,
// which turns off DSR flow, error replacement, NUL stripping and
// abort-on-error.
DCB RequestedBlock(const LineSettings& s) {
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
  return d;
}

// Whether the driver kept the speed, the frame and the flow control as asked.
bool KeptAsAsked(const DCB& back, const DCB& d) {
  return back.BaudRate == d.BaudRate && back.ByteSize == d.ByteSize && back.Parity == d.Parity &&
         back.StopBits == d.StopBits && back.fOutX == d.fOutX && back.fInX == d.fInX &&
         back.fOutxCtsFlow == d.fOutxCtsFlow;
}

}  // namespace

bool PortHandle::Apply(const LineSettings& s, LineSettings& kept) {
  HANDLE h = Win(FFd);
  DCB d = RequestedBlock(s);
  bool ok = ::SetCommState(h, &d) != FALSE;
  if (!ok) NoteError(int(::GetLastError()));
  Flush(true, true);
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
    kept = KeptSettings(back, s);
    FIo->baud = back.BaudRate;
    ok = ok && KeptAsAsked(back, d);
  } else {
    ok = false;
  }
  return ok;
}

void PortHandle::Flush(bool input, bool output) {
  HANDLE h = Win(FFd);
  DWORD mask = 0;
  if (input) {
    mask |= PURGE_RXABORT | PURGE_RXCLEAR;
    FIo->DropAhead();
  }
  if (output) {
    mask |= PURGE_TXABORT | PURGE_TXCLEAR;
    // The write in flight is part of the output queue: it goes with it.
    if (FIo->write.inFlight) {
      DWORD err = 0;
      Collect(h, FIo->write, 0, err);
    }
  }
  ::PurgeComm(h, mask);
}

bool PortHandle::InputWaiting(std::uint32_t& count) {
  COMSTAT stat{};
  if (const int err = CommStatus(Win(FFd), stat)) {
    NoteError(err);
    count = 0;
    return false;
  }
  count = stat.cbInQue + std::uint32_t(FIo->Ahead());
  return true;
}

bool PortHandle::OutputWaiting(std::uint32_t& count) {
  COMSTAT stat{};
  if (const int err = CommStatus(Win(FFd), stat)) {
    NoteError(err);
    count = 0;
    return false;
  }
  count = stat.cbOutQue;
  // Windows counts a write still in flight in cbOutQue; Wine says 0 while
  // its bytes wait in the server, and then the whole write counts.
  DWORD err = 0;
  if (FIo->WriteInFlight(Win(FFd), err) && count == 0) count = std::uint32_t(FIo->out.size());
  if (err != 0) NoteError(int(err));
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
  HANDLE h = Win(FFd);
  auto* next = static_cast<std::uint8_t*>(buffer);
  // What was taken before comes first.
  const std::size_t got = FIo->TakeAhead(next, count);
  if (got == count) return got;
  COMSTAT stat{};
  DWORD errors = 0;
  DWORD err = 0;
  if (!::ClearCommError(h, &errors, &stat)) {
    NoteError(int(::GetLastError()));
    return got;
  }
  if (stat.cbInQue == 0) return got;
  // Everything queued is taken at once, and what is over kept: each read is
  // a round trip through the system, and a reply read byte by byte would
  // make one per byte.
  const DWORD queued = std::min<DWORD>(stat.cbInQue, DWORD(kMostInFlight));
  const bool whole = count - got >= queued;
  std::uint8_t* into = next + got;
  if (!whole) {
    FIo->ahead.resize(queued);
    into = FIo->ahead.data();
  }
  Op& op = FIo->read;
  op.Begin();
  DWORD moved = 0;
  if (!::ReadFile(h, into, queued, nullptr, &op.ov) && (err = ::GetLastError()) != ERROR_IO_PENDING) {
    NoteError(int(err));
  } else {
    moved = Collect(h, op, kQueuedReadMs, err);
    if (err != 0 && err != ERROR_OPERATION_ABORTED) NoteError(int(err));
  }
  if (whole) return got + moved;
  FIo->ahead.resize(moved);
  return got + FIo->TakeAhead(next + got, count - got);
}

// The driver takes a write whole and keeps it until it has left, so a
// write in flight is what "taken" means here; while one is, the next
// returns 0 and the caller waits for room.
std::size_t PortHandle::Write(const void* data, std::size_t count) {
  if (count == 0) return 0;
  DWORD flightErr = 0;
  const bool inFlight = FIo->WriteInFlight(Win(FFd), flightErr);
  if (flightErr != 0) NoteError(int(flightErr));
  if (inFlight) return 0;
  const std::size_t ask = std::min(count, kMostInFlight);
  auto* bytes = static_cast<const std::uint8_t*>(data);
  FIo->out.assign(bytes, bytes + ask);
  Op& op = FIo->write;
  op.Begin();
  if (::WriteFile(Win(FFd), FIo->out.data(), DWORD(ask), nullptr, &op.ov)) {
    DWORD err = 0;
    const DWORD moved = Collect(Win(FFd), op, 0, err);
    if (err != 0) NoteError(int(err));
    return moved;
  }
  const DWORD err = ::GetLastError();
  if (err != ERROR_IO_PENDING) {
    NoteError(int(err));
    FIo->writeRefused = true;
    return 0;
  }
  op.inFlight = true;
  return ask;
}

// A read asks only for what has come, so the driver may complete it at
// once with nothing: then the wait is on its receive event. Wine's driver
// keeps such a read instead until the first bytes come, so a read it leaves
// pending is itself the wait, and brings those bytes with it: the wake-up
// costs no second request. When the time is up the read is cancelled and
// collected, so no read is left with the driver between calls. What a wait
// took is kept for the next Read.
void PortHandle::WaitReadable(int maxMs) {
  if (FIo->Ahead() > 0) return;
  std::uint32_t waiting = 0;
  if (!InputWaiting(waiting)) {
    // Asking failed: a lost device ends the wait at once; any other
    // trouble gets a short nap, so the caller looks again soon.
    if (!Lost()) Nap(maxMs);
    return;
  }
  if (waiting > 0 || maxMs <= 0) return;
  const DWORD start = ::GetTickCount();
  HANDLE h = Win(FFd);
  Op& op = FIo->read;
  op.Begin();
  FIo->ahead.resize(kWaitReadSize);
  DWORD err = 0;
  bool timeUp = false;
  if (!::ReadFile(h, FIo->ahead.data(), DWORD(kWaitReadSize), nullptr, &op.ov)) {
    err = ::GetLastError();
    if (err != ERROR_IO_PENDING) {
      FIo->DropAhead();
      NoteError(int(err));
      if (!Lost()) Nap(maxMs);
      return;
    }
    timeUp = ::WaitForSingleObject(op.event, DWORD(maxMs)) == WAIT_TIMEOUT;
  }
  const DWORD moved = Collect(h, op, 0, err);
  FIo->ahead.resize(moved);
  if (moved > 0 || timeUp) return;
  if (err == 0) {
    const int left = maxMs - int(::GetTickCount() - start);
    if (left <= 0 || FIo->AwaitEvent(h, EV_RXCHAR, left, err)) return;
  }
  // Ended early with nothing: the device hung up or is in trouble.
  if (err != 0) NoteError(int(err));
  if (!Lost()) Nap(maxMs);
}

void PortHandle::WaitWritable(int maxMs) {
  HANDLE h = Win(FFd);
  if (FIo->writeRefused) {
    FIo->writeRefused = false;
    if (!Lost()) Nap(maxMs);
    return;
  }
  DWORD err = 0;
  if (FIo->WriteInFlight(h, err)) {
    // Room comes back when the write in flight has left (or failed).
    ::WaitForSingleObject(FIo->write.event, DWORD(std::max(maxMs, 0)));
    FIo->WriteInFlight(h, err);
  }
  if (err != 0) {
    NoteError(int(err));
    return;
  }
  if (FIo->write.inFlight) return;
  std::uint32_t queued = 0;
  if (!OutputWaiting(queued)) {
    if (!Lost()) Nap(maxMs);
    return;
  }
  if (queued == 0 || maxMs <= 0) return;
  // A driver with a buffer of its own has taken our writes and is still
  // sending them: sleep until it says its queue is empty.
  if (FIo->AwaitEvent(h, EV_TXEMPTY, maxMs, err)) return;
  if (err != 0) NoteError(int(err));
  if (!Lost()) Nap(maxMs);
}

namespace {

// Where FTDI's driver keeps each adapter it has seen, one key per adapter
// (VID_0403+PID_6001+serial number) holding one per instance; each
// instance's Device Parameters name its COM port and its latency timer.
constexpr const char* kFtdiDevices = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
constexpr const char* kDeviceParameters = "\\Device Parameters";

// "\\.\COM3" and "COM3" both name COM3.
std::string ComName(const std::string& path) {
  const std::string prefix = "\\\\.\\";
  return path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
}

std::vector<std::string> Subkeys(HKEY key) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    const LONG got = ::RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (got == ERROR_NO_MORE_ITEMS) break;
    if (got == ERROR_SUCCESS) names.emplace_back(name, size);
  }
  return names;
}

}  // namespace

AdapterLatency QueryAdapterLatency(const std::string& path) {
  const std::string port = ComName(path);
  HKEY ftdi = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFtdiDevices, 0, KEY_READ, &ftdi) != ERROR_SUCCESS) return {};
  AdapterLatency found;
  for (const std::string& device : Subkeys(ftdi)) {
    HKEY instances = nullptr;
    if (::RegOpenKeyExA(ftdi, device.c_str(), 0, KEY_READ, &instances) != ERROR_SUCCESS) continue;
    for (const std::string& instance : Subkeys(instances)) {
      const std::string parameters = instance + kDeviceParameters;
      char name[64] = {};
      DWORD size = sizeof name - 1;
      if (::RegGetValueA(instances, parameters.c_str(), "PortName", RRF_RT_REG_SZ, nullptr, name, &size) !=
              ERROR_SUCCESS ||
          ::lstrcmpiA(name, port.c_str()) != 0)
        continue;
      DWORD timer = 0;
      size = sizeof timer;
      if (::RegGetValueA(instances, parameters.c_str(), "LatencyTimer", RRF_RT_REG_DWORD, nullptr, &timer, &size) ==
          ERROR_SUCCESS) {
        found.timerMs = timer;
        found.where = "Device Manager: the port's Properties, Port Settings, Advanced, Latency Timer";
      }
      break;
    }
    ::RegCloseKey(instances);
    if (found.timerMs != 0) break;
  }
  ::RegCloseKey(ftdi);
  return found;
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
