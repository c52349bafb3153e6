#include "Line.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

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

void Line::KeepAccount() {
  std::lock_guard<std::mutex> lock(FAccountLock);
  FAccounting = true;
  FAccountStart = MonotonicNs();
}

std::string Line::Account() const {
  std::lock_guard<std::mutex> lock(FAccountLock);
  return FAccount;
}

void Line::Note(const char* way, const std::uint8_t* p, std::size_t n) {
  std::lock_guard<std::mutex> lock(FAccountLock);
  if (!FAccounting || n == 0) return;
  char head[48];
  const std::int64_t us = (MonotonicNs() - FAccountStart) / 1000;
  std::snprintf(head, sizeof head, "%lld.%03lld %s", (long long)(us / 1000), (long long)(us % 1000), way);
  FAccount += head;
  for (std::size_t i = 0; i < n; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", unsigned(p[i]));
    FAccount += hex;
  }
  FAccount += '\n';
}

void Line::SetPacing(bool paced, std::uint32_t baud) {
  FPaced = paced && baud > 0;
  // 8N1: a start bit, eight data bits and a stop bit per byte.
  FByteNs = baud > 0 ? std::int64_t(10) * 1000000000 / baud : 0;
  FRx.SetByteTime(FByteNs);
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
  if (FPos >= FBuf.size()) {
    Got g = Fill(quietMs);
    if (g != Got::Byte) return g;
  }
  if (FPaced) {
    SleepWatching(FRx.Next());
    FByteStart = FRx.Done() - FByteNs;
  } else {
    FByteStart = MonotonicNs();
  }
  b = FBuf[FPos++];
  return Got::Byte;
}

void Line::SleepWatching(std::int64_t t) {
  while (FWatch && FFd >= 0) {
    std::int64_t left = t - MonotonicNs();
    if (left <= 0) return;
    timespec ts{};
    ts.tv_sec = time_t(left / 1000000000);
    ts.tv_nsec = long(left % 1000000000);
    pollfd p{FFd, POLLIN, 0};
    int n = ppoll(&p, 1, &ts, nullptr);
    if (n > 0) {
      FRx.Arrived(MonotonicNs());
      FWatch = false;
    } else if (n < 0 && errno != EINTR) {
      FWatch = false;
    }
  }
  SleepUntilNs(t);
}

Line::Got Line::Fill(int quietMs) {
  std::int64_t deadline = quietMs < 0 ? -1 : MonotonicNs() + std::int64_t(quietMs) * 1000000;
  for (;;) {
    // Look before sleeping: what is queued counts even when we come late (a
    // stall of our own, not a quiet line), and an empty queue seen now is
    // what tells an idle line from a backlog.
    Got g = WaitFor(POLLIN, 0);
    std::int64_t found = MonotonicNs();
    if (g == Got::Quiet) {
      FRx.SawEmpty(found);
      int wait = -1;
      if (deadline >= 0) {
        std::int64_t left = deadline - found;
        if (left <= 0) return Got::Quiet;
        wait = int((left + 999999) / 1000000);
      }
      g = WaitFor(POLLIN, wait);
      // Woken by the arrival: it came now, give or take our wake-up.
      found = MonotonicNs();
      if (g == Got::Quiet) continue;
    }
    if (g != Got::Byte) return g;
    // Paced, take from the kernel only the bytes whose line time is over, so
    // its queue holds the backlog and the console's writes stall as on a real line.
    std::uint8_t chunk[4096];
    std::size_t want = sizeof chunk;
    if (FPaced) {
      FRx.Found(found);
      // A millisecond's look-ahead spares a system call per byte at high rates.
      want = SlotsDue(FRx.Done() - kLookAheadNs, sizeof chunk);
    }
    ssize_t n = ::read(FFd, chunk, want);
    if (n == 0) return Got::Closed;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return Got::Closed;
    }
    if (n > 0) Note("rx", chunk, std::size_t(n));
    // A short read emptied the queue.
    FWatch = FPaced && std::size_t(n) < want;
    if (FWatch) FRx.SawEmpty(MonotonicNs());
    FBuf.assign(chunk, chunk + n);
    FPos = 0;
    return Got::Byte;
  }
}

bool Line::Pending() {
  if (FPos < FBuf.size()) return true;
  if (FFd < 0) return false;
  pollfd p{FFd, POLLIN, 0};
  if (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) return true;
  FRx.SawEmpty(MonotonicNs());
  return false;
}

bool Line::WriteAll(const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    if (FFd < 0) return false;
    ssize_t w = ::write(FFd, p, n);
    if (w > 0) {
      Note("tx", p, std::size_t(w));
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
    bool ok = WriteAll(all.data(), all.size());
    FSendEnd = MonotonicNs();
    return ok;
  }
  // Our transmitter starts when we decide to send, or when the byte before
  // is out; a pause of ours is never made up for.
  FTxDone = std::max(FTxDone, MonotonicNs());
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
  bool ok = bytes.empty() ? WriteAll(tail.data(), tail.size()) : true;
  FSendEnd = MonotonicNs();
  return ok;
}

bool Line::SendBurst(const std::vector<std::uint8_t>& bytes) { return WriteAll(bytes.data(), bytes.size()); }

}  // namespace stbsim
