#include "platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace serial_platform {
namespace {

// The kernel's own termios record, which carries the speed as a plain number.
// glibc's termios.h and the kernel's termbits.h cannot share a translation
// unit, so the layout is spelt out here for the architectures that use the
// generic one.
#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || \
                           defined(__arm__) || defined(__riscv))
#define STB_HAVE_TERMIOS2 1
struct KernelTermios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kSetTermios2 = _IOW('T', 0x2B, KernelTermios2);
constexpr tcflag_t kOtherBaud = 0010000;  // BOTHER
constexpr int kInputSpeedShift = 16;       // IBSHIFT
#endif

struct SpeedCode {
  std::uint32_t baud;
  speed_t code;
};
constexpr SpeedCode kSpeedCodes[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},
    {200, B200},     {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool StandardSpeed(std::uint32_t baud, speed_t& code) {
  for (const auto& s : kSpeedCodes) {
    if (s.baud == baud) {
      code = s.code;
      return true;
    }
  }
  return false;
}

// For a driver that takes only the standard table: the closest entry.
speed_t NearestStandardSpeed(std::uint32_t baud) {
  speed_t best = B9600;
  std::uint32_t bestGap = 0xFFFFFFFFu;
  for (const auto& s : kSpeedCodes) {
    std::uint32_t gap = s.baud > baud ? s.baud - baud : baud - s.baud;
    if (gap < bestGap) {
      bestGap = gap;
      best = s.code;
    }
  }
  return best;
}

OpenOutcome Classify(int err) {
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return OpenOutcome::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return OpenOutcome::AccessDenied;
    case EBUSY:
    case EWOULDBLOCK:
      return OpenOutcome::Busy;
    case ENOTTY:
      return OpenOutcome::NotATerminal;
    default:
      return OpenOutcome::Failed;
  }
}

std::string Hint(OpenOutcome outcome) {
  switch (outcome) {
    case OpenOutcome::AccessDenied:
      return " (is your user in the dialout group?)";
    case OpenOutcome::Busy:
      return " (the port is held by another program)";
    case OpenOutcome::NotATerminal:
      return " (not a serial device)";
    default:
      return {};
  }
}

OpenResult Failure(const std::string& path, int err) {
  OpenResult r;
  r.outcome = Classify(err);
  r.reason = path + ": " + std::strerror(err) + Hint(r.outcome);
  return r;
}

bool IsLossErrno(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EBADF; }

// False when the descriptor reported a hang-up or an error instead of the
// readiness asked for.
bool PollFor(int fd, short events, int maxMs) {
  pollfd p{fd, events, 0};
  return !(::poll(&p, 1, maxMs) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0);
}

// A descriptor in trouble that is not lost is "ready" at once and may stay
// so: a short nap keeps the caller from spinning without holding it long.
constexpr int kTroubleNapMs = 10;
// How much longer than its bytes' time on the line a closing port's output
// may take to drain before the old settings go back regardless.
constexpr std::uint32_t kCloseDrainSlackMs = 1000;

void Nap(int ms) {
  timespec nap{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  ::nanosleep(&nap, nullptr);
}

std::uint32_t BaudOf(speed_t code) {
  for (const auto& s : kSpeedCodes)
    if (s.code == code) return s.baud;
  return 0;
}

// What the driver kept of the frame and flow control, in the component's terms.
LineSettings KeptSettings(const termios& t, const LineSettings& asked) {
  LineSettings kept = asked;
  switch (t.c_cflag & CSIZE) {
    case CS5: kept.dataBits = 5; break;
    case CS6: kept.dataBits = 6; break;
    case CS7: kept.dataBits = 7; break;
    default: kept.dataBits = 8; break;
  }
  if ((t.c_cflag & PARENB) == 0) kept.parity = Parity::None;
  else if ((t.c_cflag & CMSPAR) != 0) kept.parity = (t.c_cflag & PARODD) != 0 ? Parity::Mark : Parity::Space;
  else kept.parity = (t.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
  if ((t.c_cflag & CSTOPB) == 0) kept.stopBits = StopBits::One;
  else kept.stopBits = kept.dataBits == 5 ? StopBits::OneAndHalf : StopBits::Two;
  const bool handshake = (t.c_cflag & CRTSCTS) != 0;
  if (handshake) kept.rts = RtsMode::Handshake;
  else if (asked.rts == RtsMode::Handshake) kept.rts = RtsMode::High;
  kept.xonXoff = (t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF);
  kept.baud = BaudOf(::cfgetospeed(&t));
  return kept;
}

}  // namespace

// Linux has no numbered COM devices: port n is the n-th on-board UART. A
// device elsewhere (a USB adapter) is named to the component, not looked up.
std::string PortDevice(unsigned n) { return "/dev/ttyS" + std::to_string(n - 1); }

std::string MissingPortHint(unsigned n, const std::string&) {
  return " (set COM" + std::to_string(n) + " to the device path, e.g. /dev/ttyUSB0)";
}

// The settings the port had before we opened it, put back when we close it,
// so that the next program on the port does not inherit our raw 115200.
struct PortHandle::Io {
#ifdef STB_HAVE_TERMIOS2
  KernelTermios2 before{};
  void Save(int fd) { saved = ::ioctl(fd, kGetTermios2, &before) == 0; }
  void Restore(int fd) const {
    if (saved) (void)::ioctl(fd, kSetTermios2, &before);
  }
#else
  termios before{};
  void Save(int fd) { saved = ::tcgetattr(fd, &before) == 0; }
  void Restore(int fd) const {
    if (saved) (void)::tcsetattr(fd, TCSANOW, &before);
  }
#endif
  bool saved = false;
  std::uint32_t baud = 115200;
};

std::unique_ptr<PortHandle> PortHandle::Open(const std::string& path, OpenResult& result) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    result = Failure(path, errno);
    return nullptr;
  }
  // Whatever fails from here on, the descriptor must not outlive this call.
  auto fail = [&](int err) -> std::unique_ptr<PortHandle> {
    result = Failure(path, err);
    ::close(fd);
    return nullptr;
  };
  if (!::isatty(fd)) return fail(ENOTTY);
  // The advisory lock is what other well-behaved programs see; TIOCEXCL alone
  // leaves a window between their open and their ioctl, and root ignores it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno);
  if (::ioctl(fd, TIOCEXCL) != 0) {
    int err = errno;
    ::flock(fd, LOCK_UN);
    return fail(err);
  }
#ifdef __linux__
  // A USB adapter holds received bytes for its latency timer (16 ms by
  // default) before passing them on: more than the whole reply to a block.
  // Ask for low latency; a device without the setting (a pty) refuses, and
  // that is no error.
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
    serial.flags |= ASYNC_LOW_LATENCY;
    (void)::ioctl(fd, TIOCSSERIAL, &serial);
  }
#endif
  auto io = std::make_unique<Io>();
  io->Save(fd);
  result.outcome = OpenOutcome::Ok;
  result.reason.clear();
  return std::unique_ptr<PortHandle>(new PortHandle(fd, std::move(io)));
}

PortHandle::PortHandle(NativeHandle fd, std::unique_ptr<Io> io) : FFd(fd), FIo(std::move(io)) {}

PortHandle::~PortHandle() {
  if (!Lost()) {
    // The old settings go back only once our last byte has left at our speed,
    // and a line that will not drain is not waited on for ever.
    std::uint32_t waiting = 0;
    OutputWaiting(waiting);
    const auto limitMs =
        std::uint32_t(kCloseDrainSlackMs + double(waiting) * 10000.0 / double(std::max<std::uint32_t>(FIo->baud, 50)));
    const std::uint32_t start = MonotonicMs();
    while (waiting > 0 && !Lost() && MonotonicMs() - start < limitMs) {
      Nap(1);
      if (!OutputWaiting(waiting)) break;
    }
    if (!Lost()) FIo->Restore(FFd);
  }
  ::ioctl(FFd, TIOCNXCL);
  ::flock(FFd, LOCK_UN);
  ::close(FFd);
}

namespace {

// What the driver kept of `s`; false when it differs or cannot be read.
bool ReadBack(int fd, const LineSettings& s, LineSettings& kept) {
  kept = s;
  termios back{};
  if (::tcgetattr(fd, &back) != 0) return false;
  kept = KeptSettings(back, s);
#ifdef STB_HAVE_TERMIOS2
  // A free speed reads back as BOTHER: only the kernel's record has its number.
  KernelTermios2 t2{};
  if ((back.c_cflag & CBAUD) == kOtherBaud && ::ioctl(fd, kGetTermios2, &t2) == 0) kept.baud = t2.c_ospeed;
#endif
  constexpr tcflag_t kCflagMask = CLOCAL | CREAD;
  return (back.c_cflag & kCflagMask) == kCflagMask && kept.baud == s.baud && kept.dataBits == s.dataBits &&
         kept.parity == s.parity && kept.stopBits == s.stopBits &&
         (kept.rts == RtsMode::Handshake) == (s.rts == RtsMode::Handshake) && kept.xonXoff == s.xonXoff;
}

// The frame, flow control and raw mode of `s` written into `t`; the speed is set apart.
void SetFrame(termios& t, const LineSettings& s) {
  // Turn off all fancy termios tricks, give us a raw channel.
  ::cfmakeraw(&t);
  t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
  t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD;
  switch (s.dataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
  }
  // The parity bit goes out and is expected, but a bad one is not checked:
  // INPCK stays off, so received bytes come through untouched.
  switch (s.parity) {
    case Parity::None: break;
    case Parity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case Parity::Even: t.c_cflag |= PARENB; break;
    case Parity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case Parity::Space: t.c_cflag |= PARENB | CMSPAR; break;
  }
  // The UART sends 1.5 stop bits for CSTOPB with 5-bit frames and 2 otherwise.
  if (s.stopBits != StopBits::One) t.c_cflag |= CSTOPB;
  if (s.rts == RtsMode::Handshake) t.c_cflag |= CRTSCTS;
  if (s.xonXoff) t.c_iflag |= IXON | IXOFF;
  t.c_cc[VSTART] = kXonChar;
  t.c_cc[VSTOP] = kXoffChar;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

}  // namespace

bool PortHandle::Apply(const LineSettings& s, LineSettings& kept) {
  termios t{};
  if (::tcgetattr(FFd, &t) != 0) {
    NoteError(errno);
    kept = s;
    return false;
  }
  SetFrame(t, s);

  speed_t code = B38400;
  bool standard = StandardSpeed(s.baud, code);
#ifndef STB_HAVE_TERMIOS2
  if (!standard) code = NearestStandardSpeed(s.baud);
#endif
  ::cfsetispeed(&t, code);
  ::cfsetospeed(&t, code);

  bool ok = ::tcsetattr(FFd, TCSANOW, &t) == 0;
  if (!ok) NoteError(errno);
#ifdef STB_HAVE_TERMIOS2
  if (ok && !standard) {
    KernelTermios2 t2{};
    ok = ::ioctl(FFd, kGetTermios2, &t2) == 0;
    if (ok) {
      t2.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << kInputSpeedShift));
      t2.c_cflag |= kOtherBaud | (kOtherBaud << kInputSpeedShift);
      t2.c_ispeed = s.baud;
      t2.c_ospeed = s.baud;
      ok = ::ioctl(FFd, kSetTermios2, &t2) == 0;
    }
    // A driver without free speeds still gets the closest standard one.
    if (!ok) {
      ::cfsetispeed(&t, NearestStandardSpeed(s.baud));
      ::cfsetospeed(&t, NearestStandardSpeed(s.baud));
      ::tcsetattr(FFd, TCSANOW, &t);
    }
  }
#endif

  // tcsetattr succeeds if any one change took, so look at what the driver kept.
  ok = ReadBack(FFd, s, kept) && ok;
  FIo->baud = kept.baud;

  ::tcflush(FFd, TCIOFLUSH);
  // Some drivers drop the modem lines while reconfiguring, so set them last.
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  ::ioctl(FFd, s.dtr ? TIOCMBIS : TIOCMBIC, &dtr);
  if (s.rts != RtsMode::Handshake) ::ioctl(FFd, s.rts == RtsMode::High ? TIOCMBIS : TIOCMBIC, &rts);
  return ok;
}

void PortHandle::Flush(bool input, bool output) {
  if (input && output) {
    ::tcflush(FFd, TCIOFLUSH);
  } else if (input) {
    ::tcflush(FFd, TCIFLUSH);
  } else if (output) {
    ::tcflush(FFd, TCOFLUSH);
  }
}

bool PortHandle::InputWaiting(std::uint32_t& count) {
  int n = 0;
  if (::ioctl(FFd, FIONREAD, &n) != 0 || n < 0) {
    NoteError(errno);
    count = 0;
    return false;
  }
  count = std::uint32_t(n);
  return true;
}

bool PortHandle::OutputWaiting(std::uint32_t& count) {
  int n = 0;
  if (::ioctl(FFd, TIOCOUTQ, &n) != 0 || n < 0) {
    NoteError(errno);
    count = 0;
    return false;
  }
  count = std::uint32_t(n);
  return true;
}

bool PortHandle::GetModemLines(ModemLines& lines) {
  int bits = 0;
  if (::ioctl(FFd, TIOCMGET, &bits) != 0) {
    lines = {};
    return false;
  }
  lines.cts = (bits & TIOCM_CTS) != 0;
  lines.dsr = (bits & TIOCM_DSR) != 0;
  lines.ring = (bits & TIOCM_RNG) != 0;
  lines.dcd = (bits & TIOCM_CAR) != 0;
  return true;
}

std::size_t PortHandle::Read(void* buffer, std::size_t count) {
  if (count == 0) return 0;
  for (;;) {
    ssize_t n = ::read(FFd, buffer, count);
    if (n > 0) return std::size_t(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) NoteError(errno);
    return 0;
  }
}

std::size_t PortHandle::Write(const void* data, std::size_t count) {
  if (count == 0) return 0;
  for (;;) {
    ssize_t n = ::write(FFd, data, count);
    if (n > 0) return std::size_t(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) NoteError(errno);
    return 0;
  }
}

void PortHandle::WaitReadable(int maxMs) {
  if (!PollFor(FFd, POLLIN, maxMs) && !Lost()) Nap(std::min(maxMs, kTroubleNapMs));
}

void PortHandle::WaitWritable(int maxMs) {
  if (!PollFor(FFd, POLLOUT, maxMs) && !Lost()) Nap(std::min(maxMs, kTroubleNapMs));
}

bool PortHandle::Lost() const {
  if (FLost) return true;
  pollfd p{FFd, 0, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) FLost = true;
  return FLost;
}

void PortHandle::NoteError(int err) const {
  if (IsLossErrno(err)) FLost = true;
}

std::uint32_t MonotonicMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  auto ms = std::uint64_t(ts.tv_sec) * 1000u + std::uint64_t(ts.tv_nsec) / 1000000u;
  return std::uint32_t(ms);
}

PlatformInfo QueryPlatform() {
  utsname u{};
  if (::uname(&u) != 0) return {"??", 0};
  unsigned major = 0, minor = 0;
  std::sscanf(u.release, "%u.%u", &major, &minor);
  return {u.sysname, (std::uint32_t(major) << 16) | (minor & 0xFFFFu)};
}

// The open asked the driver for low latency, which sets an adapter's timer
// to its least: nothing to read.
AdapterLatency QueryAdapterLatency(const std::string&) { return {}; }

}  // namespace serial_platform
