#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

PtyPair::PtyPair() {
  int nearFd = -1;
  char name[256] = {};
  if (openpty(&FFar, &nearFd, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  FNearPath = name;
  termios t{};
  tcgetattr(nearFd, &t);
  cfmakeraw(&t);
  tcsetattr(nearFd, TCSANOW, &t);
  FKeep = nearFd;
  fcntl(FFar, F_SETFL, fcntl(FFar, F_GETFL) | O_NONBLOCK);
  fcntl(FFar, F_SETFD, FD_CLOEXEC);
  fcntl(FKeep, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
  if (FFar >= 0) close(FFar);
  if (FKeep >= 0) close(FKeep);
}

void PtyPair::Write(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(FFar, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += std::size_t(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      throw std::runtime_error("pty write failed");
    } else {
      pollfd p{FFar, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
}

void PtyPair::Write(const std::string& text) { Write(std::vector<std::uint8_t>(text.begin(), text.end())); }

std::vector<std::uint8_t> PtyPair::Read(std::size_t want, int timeoutMs) {
  std::vector<std::uint8_t> out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < want) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{FFar, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) continue;
    std::uint8_t buf[4096];
    ssize_t n = ::read(FFar, buf, sizeof buf);
    if (n > 0) out.insert(out.end(), buf, buf + n);
    else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
  }
  return out;
}

void PtyPair::Drain() {
  std::uint8_t buf[4096];
  while (::read(FFar, buf, sizeof buf) > 0) {
  }
}

void PtyPair::HangUp() {
  if (FFar >= 0) close(FFar);
  FFar = -1;
  if (FKeep >= 0) close(FKeep);
  FKeep = -1;
}

namespace {
// Speeds outside the B-table show only in the kernel's own record.
struct KernelTermios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed, c_ospeed;
};
}  // namespace

FarView PtyPair::View() const {
  termios t{};
  KernelTermios2 t2{};
  FarView v;
  // On a pty master TCGETS answers for the slave.
  if (tcgetattr(FFar, &t) != 0 || ioctl(FFar, _IOR('T', 0x2A, KernelTermios2), &t2) != 0) return v;
  v.baud = t2.c_ospeed;
  v.oddParity = (t.c_cflag & PARODD) != 0;
  v.stickParity = (t.c_cflag & CMSPAR) != 0;
  v.twoStopBits = (t.c_cflag & CSTOPB) != 0;
  v.rtsCts = (t.c_cflag & CRTSCTS) != 0;
  v.xonXoff = (t.c_iflag & IXON) != 0 && (t.c_iflag & IXOFF) != 0;
  v.xonChar = t.c_cc[VSTART];
  v.xoffChar = t.c_cc[VSTOP];
  return v;
}
