#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
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
