// Figures for the serial component over a kernel pty: raw throughput of the
// blocking transfers, the cost of a receive poll tick, the latency of
// ReadByte, how much processor a wait for silence burns and how often it wakes,
// and how closely time-outs keep to their limit (run it under
// `stress-ng --cpu 2` too: the ratio should stay within 1.00..1.03).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>


#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "SerialDrv.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Pty {
  int far = -1;
  int keep = -1;
  std::string path;
  Pty() {
    char name[256] = {};
    if (openpty(&far, &keep, name, nullptr, nullptr) != 0) {
      std::perror("openpty");
      std::exit(1);
    }
    path = name;
    termios t{};
    tcgetattr(far, &t);
    cfmakeraw(&t);
    tcsetattr(far, TCSANOW, &t);
  }
  ~Pty() {
    close(far);
    close(keep);
  }
  void WriteAll(const std::uint8_t* p, std::size_t n) const {
    while (n > 0) {
      ssize_t k = write(far, p, n);
      if (k > 0) {
        p += k;
        n -= std::size_t(k);
      } else {
        pollfd pf{far, POLLOUT, 0};
        poll(&pf, 1, 10);
      }
    }
  }
};

void Connect(TSerialPortDriver& drv, const Pty& pty) {
  drv.SetComPortDevice(pty.path);
  if (!drv.Connect()) {
    std::fprintf(stderr, "connect failed: %s\n", drv.LastError().c_str());
    std::exit(1);
  }
}

constexpr std::size_t kVolume = 4u << 20;

void SendThroughput() {
  Pty pty;
  TSerialPortDriver drv;
  Connect(drv, pty);
  std::atomic<std::size_t> drained{0};
  std::thread reader([&] {
    std::vector<std::uint8_t> buf(65536);
    while (drained < kVolume) {
      ssize_t k = read(pty.far, buf.data(), buf.size());
      if (k > 0) drained += std::size_t(k);
    }
  });
  std::vector<std::uint8_t> data(kVolume, 0x5A);
  const auto t0 = Clock::now();
  const auto cpu0 = CpuSeconds();
  std::uint32_t sent = drv.SendData(data.data(), std::uint32_t(data.size()), 2000);
  reader.join();
  const double s = Seconds(Clock::now() - t0);
  std::printf("SendData            %8.1f MB/s  (%u bytes, %.0f%% of one core incl. reader)\n", double(sent) / s / 1e6, sent,
              100.0 * (CpuSeconds() - cpu0) / s);
}

void ReadThroughput() {
  Pty pty;
  TSerialPortDriver drv;
  Connect(drv, pty);
  std::thread writer([&] {
    std::vector<std::uint8_t> data(kVolume, 0xA5);
    pty.WriteAll(data.data(), data.size());
  });
  std::vector<std::uint8_t> buf(kVolume);
  const auto t0 = Clock::now();
  std::uint32_t got = drv.ReadData(buf.data(), std::uint32_t(buf.size()));
  const double s = Seconds(Clock::now() - t0);
  writer.join();
  std::printf("ReadData            %8.1f MB/s  (%u bytes)\n", double(got) / s / 1e6, got);
}

void ReadByteLatency() {
  Pty pty;
  TSerialPortDriver drv;
  Connect(drv, pty);
  std::vector<double> us;
  for (int i = 0; i < 2000; ++i) {
    std::uint8_t b = std::uint8_t(i);
    std::atomic<bool> go{false};
    Clock::time_point written;
    std::thread w([&] {
      while (!go) {
      }
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      written = Clock::now();
      pty.WriteAll(&b, 1);
    });
    go = true;
    std::uint8_t r = 0;
    bool ok = drv.ReadByte(r);
    const auto done = Clock::now();
    w.join();
    if (ok) us.push_back(std::chrono::duration<double, std::micro>(done - written).count());
  }
  std::sort(us.begin(), us.end());
  std::printf("ReadByte latency    median %.0f us, p99 %.0f us  (far-end write to return, %zu samples; target: median < 1000 us)\n",
              us[us.size() / 2], us[us.size() * 99 / 100], us.size());
}

void PollTickCost() {
  Pty pty;
  TSerialPortDriver drv;
  Connect(drv, pty);
  std::uint64_t delivered = 0;
  drv.SetOnReceiveData([&](TSerialPortDriver*, const std::uint8_t*, std::uint32_t n) { delivered += n; });
  constexpr int kIdle = 100000;
  auto t0 = Clock::now();
  for (int i = 0; i < kIdle; ++i) drv.PollTick();
  std::printf("PollTick, idle      %8.2f us/tick\n", Seconds(Clock::now() - t0) / kIdle * 1e6);

  std::vector<std::uint8_t> chunk(2048, 1);
  constexpr int kBusy = 500;
  double total = 0;
  for (int i = 0; i < kBusy; ++i) {
    pty.WriteAll(chunk.data(), chunk.size());
    while (drv.InputCount() < 2048) {
    }
    t0 = Clock::now();
    drv.PollTick();
    total += Seconds(Clock::now() - t0);
  }
  std::printf("PollTick, 2048 B    %8.2f us/tick  (%llu bytes delivered)\n", total / kBusy * 1e6,
              static_cast<unsigned long long>(delivered));
}

// Context switches of the calling thread: each one is a wake-up of a sleeping wait.
long Switches() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return u.ru_nvcsw + u.ru_nivcsw;
}

void SilenceCost() {
  Pty pty;
  TSerialPortDriver drv;
  Connect(drv, pty);
  drv.SetInputTimeout(2000);
  std::uint8_t b = 0;
  auto t0 = Clock::now();
  double cpu0 = CpuSeconds();
  long sw0 = Switches();
  drv.ReadByte(b);
  double wall = Seconds(Clock::now() - t0);
  std::printf("ReadByte silence    %8.0f ms wall for InputTimeout 2000, %.2f%% of one core busy (target <= 0.2%%), %.1f wake-ups/s\n",
              wall * 1e3, 100.0 * (CpuSeconds() - cpu0) / wall, double(Switches() - sw0) / wall);
  std::uint8_t buf[64];
  t0 = Clock::now();
  cpu0 = CpuSeconds();
  sw0 = Switches();
  drv.ReadData(buf, sizeof buf);
  wall = Seconds(Clock::now() - t0);
  std::printf("ReadData silence    %8.0f ms wall for InputTimeout 2000, %.2f%% of one core busy (target <= 0.2%%), %.1f wake-ups/s\n",
              wall * 1e3, 100.0 * (CpuSeconds() - cpu0) / wall, double(Switches() - sw0) / wall);
}

// ReadByte on a silent line and SendData into a queue that never drains: how
// long each really takes against its time-out.
void TimeoutAccuracy() {
  Pty pty;
  TSerialPortDriver drv;
  Connect(drv, pty);
  constexpr std::uint32_t kTimeout = 200;
  drv.SetInputTimeout(kTimeout);
  std::vector<double> ratios;
  for (int i = 0; i < 15; ++i) {
    std::uint8_t b = 0;
    const auto t0 = Clock::now();
    drv.ReadByte(b);
    ratios.push_back(Seconds(Clock::now() - t0) * 1e3 / kTimeout);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("ReadByte time-out   %u ms: min %.4f, median %.4f, max %.4f x the limit (target within 1.00..1.03)\n", kTimeout,
              ratios.front(), ratios[ratios.size() / 2], ratios.back());

  // Fill the far end's view of the queue until the driver takes nothing more.
  std::vector<std::uint8_t> lots(1 << 16, 0x33);
  while (drv.SendData(lots.data(), std::uint32_t(lots.size()), 0) > 0) {
  }
  ratios.clear();
  for (int i = 0; i < 15; ++i) {
    const auto t0 = Clock::now();
    drv.SendData(lots.data(), 1, kTimeout);
    ratios.push_back(Seconds(Clock::now() - t0) * 1e3 / kTimeout);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("SendData time-out   %u ms: min %.4f, median %.4f, max %.4f x the limit (target within 1.00..1.03)\n", kTimeout,
              ratios.front(), ratios[ratios.size() / 2], ratios.back());
}

void ConnectCycle() {
  Pty pty;
  TSerialPortDriver drv;
  constexpr int kCycles = 2000;
  const auto t0 = Clock::now();
  for (int i = 0; i < kCycles; ++i) {
    Connect(drv, pty);
    drv.Disconnect();
  }
  std::printf("Connect+Disconnect  %8.1f us/cycle\n", Seconds(Clock::now() - t0) / kCycles * 1e6);
}

}  // namespace

int main() {
  std::printf("serial component over a pty (the line itself at 115200 bit/s moves 0.0115 MB/s)\n");
  SendThroughput();
  ReadThroughput();
  ReadByteLatency();
  PollTickCost();
  SilenceCost();
  TimeoutAccuracy();
  ConnectCycle();
  return 0;
}
