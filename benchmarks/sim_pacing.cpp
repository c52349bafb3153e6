// How closely the simulated receiver's paced line keeps to a real 8N1 line:
// 64 KiB each way through a pty, measured against 10 bit times per byte; and
// bursts with idle gaps between them, which a line must not make up for: the
// receiver's last byte may arrive no sooner than the writer's pauses allow.
#include "Line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBytes = 64 * 1024;

struct Pty {
  Pty() {
    char name[256];
    openpty(&Master, &Slave, name, nullptr, nullptr);
    termios t{};
    tcgetattr(Slave, &t);
    cfmakeraw(&t);
    tcsetattr(Slave, TCSANOW, &t);
    fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
  }
  int Master = -1, Slave = -1;
};

void Report(const char* what, std::uint32_t baud, std::int64_t ns) {
  double ideal = double(kBytes) * 10.0 / baud;
  double measured = double(ns) / 1e9;
  std::printf("%-8s %7u baud  %6zu bytes  measured %8.4f s  ideal %8.4f s  ratio %.5f\n", what, baud, kBytes,
              measured, ideal, measured / ideal);
}

void Send(std::uint32_t baud) {
  Pty pty;
  stbsim::Line line;
  line.Adopt(pty.Master, -1);
  line.SetPacing(true, baud);
  std::atomic<std::size_t> got{0};
  std::int64_t lastByte = 0;
  std::thread reader([&] {
    std::vector<std::uint8_t> buf(4096);
    while (got < kBytes) {
      pollfd p{pty.Slave, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      ssize_t n = read(pty.Slave, buf.data(), buf.size());
      if (n > 0) got += std::size_t(n);
    }
    lastByte = stbsim::MonotonicNs();
  });
  std::int64_t start = stbsim::MonotonicNs();
  line.Send(std::vector<std::uint8_t>(kBytes, 0x55));
  reader.join();
  Report("send", baud, lastByte - start);
  close(pty.Slave);
}

void Receive(std::uint32_t baud) {
  Pty pty;
  stbsim::Line line;
  line.Adopt(pty.Master, -1);
  line.SetPacing(true, baud);
  std::thread writer([&] {
    std::vector<std::uint8_t> data(kBytes, 0xAA);
    std::size_t done = 0;
    while (done < kBytes) {
      ssize_t n = write(pty.Slave, data.data() + done, kBytes - done);
      if (n > 0) done += std::size_t(n);
      else {
        pollfd p{pty.Slave, POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
  });
  std::uint8_t b = 0;
  std::size_t got = 0;
  // The clock starts with the first byte's arrival, one byte time before it is taken.
  std::int64_t start = 0;
  while (got < kBytes && line.Read(b, 2000) == stbsim::Line::Got::Byte) {
    if (got++ == 0) start = stbsim::MonotonicNs() - line.ByteTimeNs();
  }
  std::int64_t end = stbsim::MonotonicNs();
  writer.join();
  Report("receive", baud, end - start);
  close(pty.Slave);
}

// Bursts of 64 bytes, each written at once, with a pause of gapUs after each
// burst's own line time. Each burst can have fully arrived no sooner than its
// line time after it was written; a line that makes up for the pause before
// it delivers it sooner. Printed: the sum over the bursts of the time from
// the write to the last byte taken, against the sum of their line times.
void ReceiveWithGaps(std::uint32_t baud, int gapUs) {
  constexpr std::size_t kBurst = 64, kBursts = 150;
  Pty pty;
  stbsim::Line line;
  line.Adopt(pty.Master, -1);
  line.SetPacing(true, baud);
  const std::int64_t byteNs = line.ByteTimeNs();
  std::vector<std::atomic<std::int64_t>> writtenAt(kBursts);
  std::thread writer([&] {
    std::vector<std::uint8_t> burst(kBurst, 0x3C);
    std::int64_t next = stbsim::MonotonicNs() + 20000000;
    for (std::size_t i = 0; i < kBursts; ++i) {
      stbsim::SleepUntilNs(next);
      const std::int64_t at = stbsim::MonotonicNs();
      writtenAt[i] = at;
      if (write(pty.Slave, burst.data(), burst.size()) != ssize_t(kBurst)) return;
      next = at + std::int64_t(kBurst) * byteNs + std::int64_t(gapUs) * 1000;
    }
  });
  std::uint8_t b = 0;
  std::size_t got = 0;
  std::vector<std::int64_t> lastTaken(kBursts);
  while (got < kBurst * kBursts && line.Read(b, 2000) == stbsim::Line::Got::Byte) {
    if (++got % kBurst == 0) lastTaken[got / kBurst - 1] = stbsim::MonotonicNs();
  }
  writer.join();
  double transit = 0;
  std::int64_t shortest = INT64_MAX;
  for (std::size_t i = 0; i < kBursts; ++i) {
    transit += double(lastTaken[i] - writtenAt[i]);
    shortest = std::min(shortest, lastTaken[i] - writtenAt[i]);
  }
  const double ideal = double(kBursts) * double(kBurst) * double(byteNs);
  std::printf("gaps     %7u baud  %zu x %zu bytes, %4d us apart  write to last byte: mean %6.3f ms, least %6.3f ms, line time %6.3f ms  ratio %.5f%s\n",
              baud, kBursts, kBurst, gapUs, transit / double(kBursts) / 1e6, double(shortest) / 1e6,
              ideal / double(kBursts) / 1e6, transit / ideal,
              shortest < std::int64_t(kBurst) * byteNs ? "  (pauses were credited)" : "");
  close(pty.Slave);
}

}  // namespace

int main() {
  prctl(PR_SET_TIMERSLACK, 1000UL);
  for (std::uint32_t baud : {115200u, 921600u}) {
    Send(baud);
    Receive(baud);
  }
  for (int gapUs : {300, 1000, 1900}) ReceiveWithGaps(115200, gapUs);
  return 0;
}
