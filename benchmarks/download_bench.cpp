// Whole downloads through the real window, the serial component and a pty,
// against the simulated receiver. For a 256 KiB image on a line paced at
// 115200 bit/s (the receiver's pacing credits no pause of the console, so it
// reads as an independent paced line would): how close the transfer comes to
// the line's own limit, how much of a core the window's thread used (the
// exchange, the serial component and the painting all run on it), its
// system calls per payload byte and context switches, and the turnaround from
// the receiver's last reply byte to the next block's first byte. Unpaced, the
// throughput of 1 MiB and 8 MiB images against the line's.
#include <linux/perf_event.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "Application.h"
#include "Harness.h"

namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Every system call the console's thread enters, from the kernel's own
// tracepoint; where that is not open to us, the read and write calls that
// /proc counts (a lower bound: poll and ioctl are not among them).
class SyscallCounter {
public:
  explicit SyscallCounter(pid_t tid) : FTid(tid) {
    for (const char* dir : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
      std::ifstream in(std::string(dir) + "/events/raw_syscalls/sys_enter/id");
      unsigned long long id = 0;
      if (!(in >> id)) continue;
      perf_event_attr a{};
      a.type = PERF_TYPE_TRACEPOINT;
      a.size = sizeof a;
      a.config = id;
      FFd = int(syscall(SYS_perf_event_open, &a, tid, -1, -1, 0));
      if (FFd >= 0) return;
    }
  }
  ~SyscallCounter() {
    if (FFd >= 0) close(FFd);
  }
  const char* What() const { return FFd >= 0 ? "all system calls" : "read+write calls only (/proc)"; }
  std::uint64_t Count() const {
    std::uint64_t n = 0;
    if (FFd >= 0) return read(FFd, &n, sizeof n) == sizeof n ? n : 0;
    return Proc("io", "syscr:") + Proc("io", "syscw:");
  }
  std::uint64_t Switches(bool voluntary) const {
    return Proc("status", voluntary ? "voluntary_ctxt_switches:" : "nonvoluntary_ctxt_switches:");
  }

private:
  std::uint64_t Proc(const char* file, const std::string& key) const {
    std::ifstream in("/proc/self/task/" + std::to_string(FTid) + "/" + file);
    std::string line;
    while (std::getline(in, line))
      if (line.rfind(key, 0) == 0) return std::stoull(line.substr(key.size()));
    return 0;
  }
  pid_t FTid;
  int FFd = -1;
};

struct Sample {
  Clock::time_point at;
  double cpu = 0;
  std::uint64_t calls = 0, voluntary = 0, involuntary = 0;
};

// Counts the paint events a widget gets while the transfer runs.
class PaintCounter : public QObject {
public:
  std::atomic<bool> Counting{false};
  int Paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint && Counting) ++Paints;
    return false;
  }
};

struct Figures {
  bool ok = false;
  Sample start, transferred, end;  // first block, last block's reply, the console's last byte
  std::uint32_t blocks = 0;
  std::vector<std::int64_t> turnaroundsNs;
  int counterPaints = 0;  // of the counter beside the Down Load bar, during the transfer
  const char* callsWhat = "";
  double TransferSeconds() const { return std::chrono::duration<double>(transferred.at - start.at).count(); }
  double WholeSeconds() const { return std::chrono::duration<double>(end.at - start.at).count(); }
};

Figures Download(std::size_t imageBytes, bool paced) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  const auto image = bench.WriteImage("image.bin", imageBytes);
  stbsim::Config cfg;
  cfg.Paced = paced;
  Session s(cfg);
  s.SilenceLimitMs = 60000;
  s.LookForDialogsEvery(1000);
  s.Open();
  PaintCounter paints;
  s.Form().Label4->installEventFilter(&paints);

  // Watch the receiver from another thread: the window's thread is inside the
  // download for all of it.
  clockid_t consoleCpu{};
  pthread_getcpuclockid(pthread_self(), &consoleCpu);
  const SyscallCounter counter(pid_t(syscall(SYS_gettid)));
  auto take = [&] {
    Sample x;
    x.at = Clock::now();
    x.cpu = ThreadCpuSeconds(consoleCpu);
    x.calls = counter.Count();
    x.voluntary = counter.Switches(true);
    x.involuntary = counter.Switches(false);
    return x;
  };
  std::atomic<bool> stop{false};
  Figures f;
  f.callsWhat = counter.What();
  std::thread watcher([&] {
    bool started = false, transferred = false;
    while (!stop) {
      const stbsim::Stage st = s.Rx().GetSummary().Reached;
      if (!started && st >= stbsim::Stage::Transferring) {
        started = true;
        f.start = take();
        paints.Counting = true;
      }
      if (started && !transferred && st >= stbsim::Stage::DownloadCrc) {
        transferred = true;
        f.transferred = take();
        paints.Counting = false;
      }
      if (st == stbsim::Stage::Done || st == stbsim::Stage::Failed || st == stbsim::Stage::HungUp) {
        f.end = take();
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
  f.turnaroundsNs = sum.TurnaroundsNs;
  f.counterPaints = paints.Paints;
  return f;
}

double Percentile(std::vector<std::int64_t> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return double(v[std::min(v.size() - 1, std::size_t(double(v.size()) * p))]) / 1e6;
}

constexpr double kLineBytesPerSecond = 11520.0;  // 115200 bit/s, ten bit times a byte

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
    // Per block 1025 bytes out, 3 back, and a sequence digit every 11th block.
    const double lineBytes = double(f.blocks) * (1025 + 3) + double(f.blocks / 11);
    const double ideal = lineBytes / kLineBytesPerSecond;
    const double transfer = f.TransferSeconds();
    const double payload = double(f.blocks) * 1024.0;
    std::printf("paced 115200 bit/s, 256 KiB (%u blocks): %s\n", f.blocks, f.ok ? "ok" : "FAILED");
    std::printf("  transfer       %.3f s, line limit %.3f s, efficiency %.2f %% (target >= 99.6 %%)\n", transfer,
                ideal, 100.0 * ideal / transfer);
    std::printf("  whole download %.3f s (blocks and every verification stage)\n", f.WholeSeconds());
    std::printf("  window CPU     %.3f s = %.2f %% of one core during the transfer (target <= 0.3 %%), %.2f us per payload byte\n",
                f.transferred.cpu - f.start.cpu, 100.0 * (f.transferred.cpu - f.start.cpu) / transfer,
                (f.transferred.cpu - f.start.cpu) / payload * 1e6);
    std::printf("  painting       the counter %d times in %u blocks, %.1f per second (at most about 2)\n",
                f.counterPaints, f.blocks, double(f.counterPaints) / transfer);
    std::printf("  system calls   %.3f per payload byte (%s)\n", double(f.transferred.calls - f.start.calls) / payload,
                f.callsWhat);
    std::printf("  switches       %.0f voluntary, %.0f involuntary per second\n",
                double(f.transferred.voluntary - f.start.voluntary) / transfer,
                double(f.transferred.involuntary - f.start.involuntary) / transfer);
    std::printf("  turnaround     median %.3f ms, p99 %.3f ms, max %.3f ms (last reply byte to next block, %zu blocks; target median < 0.2 ms)\n",
                Percentile(f.turnaroundsNs, 0.5), Percentile(f.turnaroundsNs, 0.99), Percentile(f.turnaroundsNs, 1.0),
                f.turnaroundsNs.size());
    std::string slow;
    for (std::size_t i = 0; i < f.turnaroundsNs.size(); ++i)
      if (f.turnaroundsNs[i] > 10000000) slow += " " + std::to_string(i + 1) + ":" + std::to_string(f.turnaroundsNs[i] / 1000000);
    if (!slow.empty()) std::printf("  over 10 ms     block:ms%s\n", slow.c_str());
  }
  for (std::size_t mib : {1, 8}) {
    Figures f = Download(mib * 1024 * 1024, false);
    failures += !f.ok;
    const double transfer = f.TransferSeconds();
    const double rate = double(mib) * 1024 * 1024 / transfer;
    std::printf("unpaced %zu MiB: %s, transfer %.3f s = %.2f MiB/s = %.0f x the line (target >= 100 x), window CPU %.1f %% of one core, the counter painted %.1f times a second, %.3f system calls per payload byte\n",
                mib, f.ok ? "ok" : "FAILED", transfer, rate / 1048576.0, rate / kLineBytesPerSecond,
                100.0 * (f.transferred.cpu - f.start.cpu) / transfer, double(f.counterPaints) / transfer,
                double(f.transferred.calls - f.start.calls) / (double(mib) * 1048576.0));
  }
  return failures == 0 ? 0 : 1;
}
