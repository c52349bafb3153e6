#include "Line.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace stbsim {

std::int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepUntilNs(std::int64_t t) {
  if (t <= MonotonicNs()) return;
  timespec ts{};
  ts.tv_sec = time_t(t / 1000000000);
  ts.tv_nsec = long(t % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

Line::~Line() { HangUp(); }

constexpr std::int64_t kLookAheadNs = 1000000;

std::int64_t Line::Restart(std::int64_t lastDone) const {
  // Only a line that has really been idle starts afresh from now; a late
  // wake-up must not push every later byte back, or the rate drifts.
  constexpr std::int64_t kIdleNs = 2000000;
  std::int64_t now = MonotonicNs();
  return now - lastDone > kIdleNs ? now : lastDone;
}

// Byte slots already over at `now`, at least one.
std::size_t Line::SlotsDue(std::int64_t lastDone, std::size_t most) const {
  std::int64_t now = MonotonicNs();
  std::int64_t due = FByteNs > 0 ? (now - lastDone) / FByteNs : 1;
  return std::size_t(std::clamp<std::int64_t>(due, 1, std::int64_t(most)));
}

void Line::Adopt(int fd, int keepFd) {
  HangUp();
  FFd = fd;
  FKeep = keepFd;
  FBuf.clear();
  FPos = 0;
}

void Line::SetPacing(bool paced, std::uint32_t baud) {
  FPaced = paced && baud > 0;
  // 8N1: a start bit, eight data bits and a stop bit per byte.
  FByteNs = baud > 0 ? std::int64_t(10) * 1000000000 / baud : 0;
}

void Line::HangUp() {
  if (FFd >= 0) close(FFd);
  if (FKeep >= 0) close(FKeep);
  FFd = FKeep = -1;
}

Line::Got Line::WaitFor(short events, int timeoutMs) {
  if (FFd < 0) return Got::Closed;
  pollfd p[2] = {{FFd, events, 0}, {FWake, POLLIN, 0}};
  int n = poll(p, FWake >= 0 ? 2 : 1, timeoutMs);
  if (n < 0) return errno == EINTR ? Got::Quiet : Got::Closed;
  if (FWake >= 0 && (p[1].revents & POLLIN)) return Got::Stopped;
  if (n == 0) return Got::Quiet;
  if (p[0].revents & events) return Got::Byte;
  if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return Got::Closed;
  return Got::Quiet;
}

Line::Got Line::Read(std::uint8_t& b, int quietMs) {
  if (FPos < FBuf.size()) {
    if (FPaced) {
      FRxDone += FByteNs;
      SleepUntilNs(FRxDone);
    }
    b = FBuf[FPos++];
    return Got::Byte;
  }
  std::int64_t deadline = quietMs < 0 ? -1 : MonotonicNs() + std::int64_t(quietMs) * 1000000;
  // A byte already queued means the line was busy, not idle, whatever our clock says.
  bool waited = WaitFor(POLLIN, 0) != Got::Byte;
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      std::int64_t left = deadline - MonotonicNs();
      // Late from a stall of our own, not from a quiet line: what is queued counts.
      if (left <= 0 && WaitFor(POLLIN, 0) != Got::Byte) return Got::Quiet;
      wait = left <= 0 ? 0 : int((left + 999999) / 1000000);
    }
    Got g = WaitFor(POLLIN, wait);
    if (g != Got::Byte) {
      if (g == Got::Quiet) continue;
      return g;
    }
    // Paced, take from the kernel only the bytes whose line time is over, so
    // its queue holds the backlog and the console's writes stall as on a real line.
    std::uint8_t chunk[4096];
    std::size_t want = sizeof chunk;
    if (FPaced) {
      if (waited) FRxDone = Restart(FRxDone);
      // A millisecond's look-ahead spares a system call per byte at high rates.
      want = SlotsDue(FRxDone - kLookAheadNs, sizeof chunk);
    }
    ssize_t n = ::read(FFd, chunk, want);
    if (n == 0) return Got::Closed;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return Got::Closed;
    }
    FBuf.assign(chunk, chunk + n);
    FPos = 0;
    return Read(b, quietMs);
  }
}

bool Line::Pending() {
  if (FPos < FBuf.size()) return true;
  if (FFd < 0) return false;
  pollfd p{FFd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool Line::WriteAll(const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    if (FFd < 0) return false;
    ssize_t w = ::write(FFd, p, n);
    if (w > 0) {
      p += w;
      n -= std::size_t(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
    Got g = WaitFor(POLLOUT, 100);
    if (g == Got::Stopped || g == Got::Closed) return false;
  }
  return true;
}

bool Line::Send(const std::vector<std::uint8_t>& bytes, const std::function<void()>& beforeEach,
                const std::vector<std::uint8_t>& tail) {
  if (!FPaced) {
    if (beforeEach) beforeEach();
    std::vector<std::uint8_t> all(bytes);
    all.insert(all.end(), tail.begin(), tail.end());
    return WriteAll(all.data(), all.size());
  }
  FTxDone = Restart(FTxDone);
  for (std::size_t i = 0; i < bytes.size();) {
    SleepUntilNs(FTxDone + FByteNs);
    std::size_t due = SlotsDue(FTxDone, bytes.size() - i);
    if (beforeEach) beforeEach();
    std::vector<std::uint8_t> piece(bytes.begin() + std::ptrdiff_t(i), bytes.begin() + std::ptrdiff_t(i + due));
    i += due;
    if (i == bytes.size()) piece.insert(piece.end(), tail.begin(), tail.end());
    if (!WriteAll(piece.data(), piece.size())) return false;
    FTxDone += std::int64_t(due) * FByteNs;
  }
  return bytes.empty() ? WriteAll(tail.data(), tail.size()) : true;
}

bool Line::SendBurst(const std::vector<std::uint8_t>& bytes) { return WriteAll(bytes.data(), bytes.size()); }

}  // namespace stbsim
