// The thin layer between TSerialPortDriver and the system's serial interface.
// Everything that touches termios and ioctl (Linux) or the comm calls and
// handles (Windows) lives behind this header, one source file per system;
// the component above it speaks only of counts, settings and outcomes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "NativeHandle.h"

namespace serial_platform {

// What an open can come to. errno is folded into these once, here, so the
// component never has to look at it.
enum class OpenOutcome { Ok, NotFound, AccessDenied, Busy, NotATerminal, Failed };

struct OpenResult {
  OpenOutcome outcome = OpenOutcome::Failed;
  std::string reason;  // path, the system's words, and a hint where one helps
};

enum class Parity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class StopBits : std::uint8_t { One, OneAndHalf, Two };
enum class RtsMode : std::uint8_t { Low, High, Handshake };

struct LineSettings {
  std::uint32_t baud = 115200;
  std::uint8_t dataBits = 8;  // 5..8
  Parity parity = Parity::None;
  StopBits stopBits = StopBits::One;
  RtsMode rts = RtsMode::High;
  bool xonXoff = false;
  bool dtr = true;
  std::uint32_t xonLimit = 0;  // the tty driver keeps its own thresholds; carried for completeness
  std::uint32_t xoffLimit = 0;
  std::uint32_t inQueue = 2048;  // driver queue sizes to ask for, where the driver takes a request
  std::uint32_t outQueue = 2048;
};

constexpr std::uint8_t kXonChar = 0x11;
constexpr std::uint8_t kXoffChar = 0x13;

struct ModemLines {
  bool cts = false;
  bool dsr = false;
  bool ring = false;
  bool dcd = false;
};

// The device that port number n (1..16) names on this system, and what to
// tell the operator when `device`, opened as port n, is not there.
std::string PortDevice(unsigned n);
std::string MissingPortHint(unsigned n, const std::string& device);

// A USB adapter's own latency timer: the adapter sends a reply shorter than
// its buffer up to the PC only when this timer runs out. timerMs is 0 when
// the port has no such timer that can be read; where says where the
// operator changes it.
struct AdapterLatency {
  std::uint32_t timerMs = 0;
  std::string where;
};
// On Windows the driver of an FTDI adapter keeps the timer with the port's
// device parameters, set by the operator, and applies it at every open; on
// Linux the open asks the driver for low latency, which sets the timer to
// its least, so there is nothing to read.
AdapterLatency QueryAdapterLatency(const std::string& path);


// One open serial device, locked for us alone. Destruction gives back the
// exclusive mode and the lock and closes the descriptor.
class PortHandle {
public:
  // Runs the whole open sequence; on failure returns null with nothing left open.
  static std::unique_ptr<PortHandle> Open(const std::string& path, OpenResult& result);
  ~PortHandle();
  PortHandle(const PortHandle&) = delete;
  PortHandle& operator=(const PortHandle&) = delete;

  // Pushes the settings, reads them back into `kept`, empties both queues and
  // sets the modem lines. False when the driver refused them or they could not
  // be read back (kept then holds what was asked); the port stays usable
  // either way. Only speed, frame and flow control are read back.
  bool Apply(const LineSettings& settings, LineSettings& kept);
  void Flush(bool input, bool output);

  // Queue counts; false when the driver could not be asked.
  bool InputWaiting(std::uint32_t& count);
  bool OutputWaiting(std::uint32_t& count);
  bool GetModemLines(ModemLines& lines);

  // Never block: they move what the driver can take or give right now and
  // return that count, 0 when nothing moved or the call failed.
  std::size_t Read(void* buffer, std::size_t count);
  std::size_t Write(const void* data, std::size_t count);

  // Gives the processor away for at most maxMs, or until the device is
  // readable (writable) or hung up, whichever comes first. A hang-up is
  // latched (Lost) and ends the wait at once; a device that reports trouble
  // while it is not lost naps only briefly, so callers look again soon.
  void WaitReadable(int maxMs);
  void WaitWritable(int maxMs);

  // True once the device has hung up or vanished; latched.
  bool Lost() const;
  // What Lost last found, or a wait or a transfer since: no system call.
  // Right after a wait, which latches a hang-up it sees, this is as good as
  // asking, at no cost to a loop that waits once a round.
  bool LostSeen() const { return FLost; }
  NativeHandle Native() const { return FFd; }

private:
  // What a system keeps beside the handle: on Windows its overlapped I/O
  // (events, the write in flight, the bytes a wait took); nothing elsewhere.
  struct Io;
  PortHandle(NativeHandle fd, std::unique_ptr<Io> io);
  void NoteError(int err) const;

  NativeHandle FFd;
  std::unique_ptr<Io> FIo;
  mutable bool FLost = false;
};

// Milliseconds of the monotonic clock (the system tick count), cut to 32 bits.
std::uint32_t MonotonicMs();

// The running system's name and version (major * 65536 + minor), or
// ("??", 0) when it cannot be asked.
struct PlatformInfo {
  std::string name;
  std::uint32_t version = 0;
};
PlatformInfo QueryPlatform();

}  // namespace serial_platform
