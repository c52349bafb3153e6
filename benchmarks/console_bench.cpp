// The terminal face as a script runs it: stb-downloader --console as its own
// process against the simulated receiver on a line paced at 115200 bit/s
// (which credits no pause of the console). For a 256 KiB image: how close
// the transfer comes to the line's own limit and how much of a core the
// console process used during it, measured from the kernel's count of its
// run time; then the same with two CPU hogs (stress-ng --cpu 2) beside it.
// Each run twice: as it runs by default (a failed download's trace kept in
// memory) and with --trace writing the whole wire to a file.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "Harness.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kLineBytesPerSecond = 11520.0;  // 115200 bit/s, ten bit times a byte

pid_t Spawn(std::vector<std::string> args, const std::string& input, const std::string& dir) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  if (!input.empty()) {
    std::ofstream(dir + "/stdin.txt") << input;
    posix_spawn_file_actions_addopen(&files, 0, (dir + "/stdin.txt").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, (dir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  } else {
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&files);
  return pid;
}

// Nanoseconds the process's one thread has run, as the scheduler counts them.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  unsigned long long ns = 0;
  in >> ns;
  return double(ns) / 1e9;
}

struct Figures {
  bool ok = false;
  std::uint32_t blocks = 0;
  double transferS = 0, cpuS = 0;
  std::uintmax_t traceBytes = 0;  // the size of the --trace file; 0 without one
  std::vector<std::int64_t> turnaroundsNs;  // the receiver's last reply byte to the next block
};

double Percentile(std::vector<std::int64_t> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return double(v[std::min(v.size() - 1, std::size_t(double(v.size()) * p))]) / 1e6;
}

Figures Download(bool trace) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  const auto image = bench.WriteImage("image.bin", 256 * 1024);
  stbsim::Config cfg;
  cfg.Paced = true;
  stbsim::Receiver rx(cfg);
  std::string error;
  Figures f;
  if (!rx.OpenPty(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return f;
  }
  rx.Start();
  std::vector<std::string> args{STB_DOWNLOADER, "--console", "--port", rx.ConsolePath()};
  const std::filesystem::path traceFile = bench.Dir() / "wire.txt";
  if (trace) args.insert(args.end(), {"--trace", traceFile.string()});
  const pid_t pid = Spawn(args, "W4n!Rk\n", bench.Dir().string());
  if (pid < 0) return f;
  // Watched from here: the stages as the receiver reaches them, on our clock,
  // woken by the receiver's own change of stage, never by polling.
  Clock::time_point start, end;
  double cpuStart = 0, cpuEnd = 0;
  const bool started = rx.WaitReached(stbsim::Stage::Transferring, 60000);
  start = Clock::now();
  cpuStart = CpuSeconds(pid);
  const bool transferred = started && rx.WaitReached(stbsim::Stage::DownloadCrc, 600000);
  end = Clock::now();
  cpuEnd = CpuSeconds(pid);
  int status = 0;
  waitpid(pid, &status, 0);
  rx.WaitFinished(5000);
  const auto sum = rx.GetSummary();
  f.ok = transferred && WIFEXITED(status) && WEXITSTATUS(status) == 0 && sum.Success && rx.Flash() == Padded(image);
  f.blocks = sum.BlocksAccepted;
  f.turnaroundsNs = sum.TurnaroundsNs;
  f.transferS = std::chrono::duration<double>(end - start).count();
  f.cpuS = cpuEnd - cpuStart;
  std::error_code ec;
  if (trace) f.traceBytes = std::filesystem::file_size(traceFile, ec);
  return f;
}

void Print(const char* what, const Figures& f, double target) {
  // Per block 1025 bytes out, 3 back, and a sequence digit every 11th block.
  const double lineBytes = double(f.blocks) * (1025 + 3) + double(f.blocks / 11);
  const double ideal = lineBytes / kLineBytesPerSecond;
  std::printf("%s, 256 KiB (%u blocks): %s\n", what, f.blocks, f.ok ? "ok" : "FAILED");
  std::printf("  transfer     %.3f s, line limit %.3f s, efficiency %.2f %% (target >= %.1f %%)\n", f.transferS, ideal,
              100.0 * ideal / f.transferS, target);
  std::printf("  console CPU  %.3f s = %.3f %% of one core during the transfer (target <= 0.2 %%)\n", f.cpuS,
              100.0 * f.cpuS / f.transferS);
  double turnaroundS = 0;
  for (std::int64_t ns : f.turnaroundsNs) turnaroundS += double(ns) / 1e9;
  std::printf("  turnaround   median %.3f ms, p99 %.3f ms, max %.3f ms, %.3f s in all (last reply byte to next block)\n",
              Percentile(f.turnaroundsNs, 0.5), Percentile(f.turnaroundsNs, 0.99), Percentile(f.turnaroundsNs, 1.0),
              turnaroundS);
  if (f.traceBytes > 0) std::printf("  --trace      %ju bytes written\n", f.traceBytes);
}

}  // namespace

int main() {
  int failures = 0;
  for (const bool trace : {false, true}) {
    Figures quiet = Download(trace);
    failures += !quiet.ok;
    Print(trace ? "stb-downloader --console --trace FILE, paced 115200 bit/s"
                : "stb-downloader --console, paced 115200 bit/s",
          quiet, 99.7);
  }

  const pid_t hogs = Spawn({"stress-ng", "--cpu", "2", "--timeout", "300s", "--quiet"}, "", "/tmp");
  if (hogs < 0 || waitpid(hogs, nullptr, WNOHANG) == hogs) {
    std::printf("with stress-ng --cpu 2: skipped (stress-ng is not installed; scripts/setup.sh installs it)\n");
  } else {
    for (const bool trace : {false, true}) {
      Figures loaded = Download(trace);
      failures += !loaded.ok;
      Print(trace ? "with --trace FILE beside stress-ng --cpu 2" : "the same beside stress-ng --cpu 2", loaded, 98.8);
    }
    kill(hogs, SIGTERM);
    waitpid(hogs, nullptr, 0);
  }
  return failures == 0 ? 0 : 1;
}
