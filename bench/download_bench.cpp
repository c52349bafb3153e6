// Whole downloads through the real window, the serial component and a pty,
// against the simulated receiver. Prints, for a 256 KiB image on a line paced
// at 115200 bit/s, how close the transfer comes to the line's own limit and
// how much of a core the console used; and, unpaced, the throughput of 1 MiB
// and 8 MiB images.
#include <pthread.h>
#include <time.h>

#include <QTest>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "Application.h"
#include "Bench.h"

namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Figures {
  bool ok = false;
  double transferSeconds = 0;  // first block to the last block's reply
  double wholeSeconds = 0;     // first block to the console's last byte
  double consoleCpuSeconds = 0;
  std::uint32_t blocks = 0;
};

Figures Download(std::size_t imageBytes, bool paced) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  const auto image = bench.WriteImage("image.bin", imageBytes);
  stbsim::Config cfg;
  cfg.Paced = paced;
  Session s(cfg);
  s.SilenceLimitMs = 60000;
  s.Open();

  // Watch the receiver from another thread: the window's thread is inside the
  // download for all of it.
  clockid_t consoleCpu{};
  pthread_getcpuclockid(pthread_self(), &consoleCpu);
  std::atomic<bool> stop{false};
  Figures f;
  Clock::time_point t0, t1, t2;
  double cpu0 = 0, cpu2 = 0;
  std::thread watcher([&] {
    bool started = false, transferred = false;
    while (!stop) {
      const stbsim::Stage st = s.Rx().GetSummary().Reached;
      const auto now = Clock::now();
      if (!started && st >= stbsim::Stage::Transferring) {
        started = true;
        t0 = now;
        cpu0 = ThreadCpuSeconds(consoleCpu);
      }
      if (started && !transferred && st >= stbsim::Stage::DownloadCrc) {
        transferred = true;
        t1 = now;
      }
      if (st == stbsim::Stage::Done || st == stbsim::Stage::Failed || st == stbsim::Stage::HungUp) {
        t2 = now;
        cpu2 = ThreadCpuSeconds(consoleCpu);
        return;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  s.Type(kKeywords[2]);
  s.RunUntilClosed(600000);
  // The receiver may still be taking the console's last byte.
  s.Rx().WaitFinished(5000);
  stop = true;
  watcher.join();

  const auto sum = s.Rx().GetSummary();
  f.ok = sum.Success && s.Rx().Flash() == Padded(image);
  if (!f.ok) {
    std::fprintf(stderr, "%s\n", sum.ToText().c_str());
    for (const auto& line : s.Log()) std::fprintf(stderr, "  | %s\n", line.c_str());
  }
  f.blocks = sum.BlocksAccepted;
  f.transferSeconds = std::chrono::duration<double>(t1 - t0).count();
  f.wholeSeconds = std::chrono::duration<double>(t2 - t0).count();
  f.consoleCpuSeconds = cpu2 - cpu0;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  TApplication app(argc, argv);
  TApplication::setQuitOnLastWindowClosed(false);
  int failures = 0;

  {
    const std::size_t bytes = 256 * 1024;
    Figures f = Download(bytes, true);
    failures += !f.ok;
    // Per block 1025 bytes out, 3 back, and a sequence digit every 11th block:
    // ten bit times a byte at 115200 bit/s.
    const double lineBytes = double(f.blocks) * (1025 + 3) + double(f.blocks / 11);
    const double ideal = lineBytes * 10.0 / 115200.0;
    std::printf("paced 115200 bit/s, 256 KiB (%u blocks): %s\n", f.blocks, f.ok ? "ok" : "FAILED");
    std::printf("  transfer       %.3f s, line limit %.3f s, efficiency %.1f %%\n", f.transferSeconds, ideal,
                100.0 * ideal / f.transferSeconds);
    std::printf("  whole download %.3f s (blocks and every verification stage)\n", f.wholeSeconds);
    std::printf("  console CPU    %.3f s = %.2f %% of one core\n", f.consoleCpuSeconds,
                100.0 * f.consoleCpuSeconds / f.wholeSeconds);
  }
  for (std::size_t mib : {1, 8}) {
    Figures f = Download(mib * 1024 * 1024, false);
    failures += !f.ok;
    std::printf("unpaced %zu MiB: %s, transfer %.3f s = %.2f MiB/s, console CPU %.2f %% of one core\n", mib,
                f.ok ? "ok" : "FAILED", f.transferSeconds, double(mib) / f.transferSeconds,
                100.0 * f.consoleCpuSeconds / f.wholeSeconds);
  }
  return failures == 0 ? 0 : 1;
}
