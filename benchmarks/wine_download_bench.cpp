// Whole downloads by the Windows program under Wine, against the simulated
// receiver paced at 115200 bit/s on a pty that the prefix maps to COM1. The
// receiver's pacing credits no pause of the console, and every figure is
// taken from outside the program: the transfer's length on this program's
// clock from the receiver's stages, the processor time and context switches
// of the program's threads and of the prefix's wineserver from /proc.
//
//   wine_download_bench WORKBENCH WINDOWS_EXE     (run by benchmarks/wine-download-bench.sh)
//
// WORKBENCH is a folder made by scripts/workbench.sh; WINEPREFIX names a
// ready prefix and DISPLAY a display the window can open on. Two downloads:
// mode 2 (256 KiB) for the transfer, then mode 8 (4 blocks) with a receiver
// that takes 6 s over its flash write, for the console's idle wait.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Receiver.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kLineBytesPerSecond = 11520.0;  // 115200 bit/s, ten bit times a byte

std::string Wine() {
  for (const char* p : {"/usr/bin/wine64", "/usr/lib/wine/wine64"})
    if (::access(p, X_OK) == 0) return p;
  return "wine64";
}

std::string WineServer() {
  for (const char* p : {"/usr/bin/wineserver", "/usr/lib/wine/wineserver"})
    if (::access(p, X_OK) == 0) return p;
  return "wineserver";
}

pid_t Spawn(const std::vector<std::string>& args, bool quiet) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int Run(const std::vector<std::string>& args) {
  const pid_t pid = Spawn(args, true);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a command printed on stdout.
std::string Capture(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
  return out;
}

std::string FirstWindow(const std::string& name) {
  std::istringstream in(Capture("xdotool search --onlyvisible --name '" + name + "' 2>/dev/null"));
  std::string id;
  in >> id;
  return id;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::uint64_t Field(const std::string& text, const std::string& key) {
  const auto at = text.find(key);
  return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

struct Counts {
  std::uint64_t cpuNs = 0, voluntary = 0, involuntary = 0;
};

// Per thread: processor time (schedstat, in ns) and context switches.
std::map<pid_t, Counts> Threads(pid_t pid) {
  std::map<pid_t, Counts> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string task = dir + "/" + e->d_name;
    Counts c;
    c.cpuNs = std::strtoull(ReadFile(task + "/schedstat").c_str(), nullptr, 10);
    const std::string status = ReadFile(task + "/status");
    c.voluntary = Field(status, "\nvoluntary_ctxt_switches:");
    c.involuntary = Field(status, "\nnonvoluntary_ctxt_switches:");
    out[pid_t(std::atoi(e->d_name))] = c;
  }
  ::closedir(d);
  return out;
}

// The prefix's wineserver works in a folder named for the prefix's device
// and inode; that tells it from the servers of other prefixes.
pid_t FindWineServer(const std::string& prefix) {
  struct stat st{};
  if (::stat(prefix.c_str(), &st) != 0) return -1;
  char name[96];
  std::snprintf(name, sizeof name, "/server-%llx-%llx", (unsigned long long)st.st_dev, (unsigned long long)st.st_ino);
  DIR* d = ::opendir("/proc");
  pid_t found = -1;
  while (d != nullptr && found < 0) {
    dirent* e = ::readdir(d);
    if (e == nullptr) break;
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    char cwd[512];
    const std::string link = std::string("/proc/") + e->d_name + "/cwd";
    const ssize_t n = ::readlink(link.c_str(), cwd, sizeof cwd - 1);
    if (n <= 0) continue;
    cwd[n] = '\0';
    const std::string path(cwd);
    if (path.size() > std::strlen(name) && path.compare(path.size() - std::strlen(name), std::string::npos, name) == 0)
      found = pid_t(std::atoi(e->d_name));
  }
  if (d != nullptr) ::closedir(d);
  return found;
}

// Threads are summed over samples a tenth of a second apart, so a thread
// that ends between two samples loses at most that last tenth.
class Watch {
public:
  Watch(pid_t program, pid_t server) : FProgram(program), FServer(server) {}
  void Sample() {
    for (auto [pid, into] : {std::pair{FProgram, &FProgramSum}, std::pair{FServer, &FServerSum}}) {
      if (pid < 0) continue;
      auto& last = pid == FProgram ? FProgramLast : FServerLast;
      for (const auto& [tid, now] : Threads(pid)) {
        const Counts before = last.count(tid) ? last[tid] : Counts{};
        auto& sum = (*into)[tid];
        sum.cpuNs += now.cpuNs - std::min(now.cpuNs, before.cpuNs);
        sum.voluntary += now.voluntary - std::min(now.voluntary, before.voluntary);
        sum.involuntary += now.involuntary - std::min(now.involuntary, before.involuntary);
        last[tid] = now;
      }
    }
  }
  // From now on only what happens counts.
  void Reset() {
    Sample();
    FProgramSum.clear();
    FServerSum.clear();
    FFrom = Clock::now();
  }
  struct Figures {
    double seconds = 0;
    Counts busiest, program, server;
    pid_t busiestTid = 0;
    std::size_t threads = 0;
  };
  Figures Take() {
    Sample();
    Figures f;
    f.seconds = std::chrono::duration<double>(Clock::now() - FFrom).count();
    for (const auto& [tid, c] : FProgramSum) {
      Add(f.program, c);
      if (c.cpuNs >= f.busiest.cpuNs) {
        f.busiest = c;
        f.busiestTid = tid;
      }
    }
    for (const auto& [tid, c] : FServerSum) Add(f.server, c);
    f.threads = FProgramSum.size();
    return f;
  }

private:
  static void Add(Counts& to, const Counts& c) {
    to.cpuNs += c.cpuNs;
    to.voluntary += c.voluntary;
    to.involuntary += c.involuntary;
  }
  pid_t FProgram, FServer;
  std::map<pid_t, Counts> FProgramLast, FServerLast, FProgramSum, FServerSum;
  Clock::time_point FFrom = Clock::now();
};

void PrintUse(const char* what, const Counts& c, double seconds) {
  std::printf("  %-15s CPU %.3f s = %.2f %% of one core, wake-ups %.1f voluntary + %.1f involuntary per second\n", what,
              double(c.cpuNs) / 1e9, 100.0 * double(c.cpuNs) / 1e9 / seconds, double(c.voluntary) / seconds,
              double(c.involuntary) / seconds);
}

void PrintWatch(const Watch::Figures& f, pid_t program) {
  PrintUse(f.busiestTid == program ? "console thread" : "busiest thread", f.busiest, f.seconds);
  char what[64];
  std::snprintf(what, sizeof what, "program (%zu thr)", f.threads);
  PrintUse(what, f.program, f.seconds);
  PrintUse("wineserver", f.server, f.seconds);
}

std::vector<std::string> DescriptionLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

double Percentile(std::vector<std::int64_t> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return double(v[std::min(v.size() - 1, std::size_t(double(v.size()) * p))]) / 1e6;
}

struct RunPlan {
  const char* keyword;
  const char* description;
  int flashDelayMs;  // the receiver's pause before each flash write mark
};

class ProgramRun {
public:
  ProgramRun(const std::string& bench, const std::string& exe, const RunPlan& plan)
      : FBench(bench), FExe(exe), FPlan(plan) {}

  ~ProgramRun() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }

  bool Start(stbsim::Receiver& rx) {
    const std::string prefix = std::getenv("WINEPREFIX");
    const std::string port = rx.ConsolePath();
    // COM1 is the receiver's pty: the symlink is what the program opens, the
    // registry says which one Wine's device manager is to keep there.
    if (Run({Wine(), "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/t", "REG_SZ", "/d", port, "/f"}) != 0) {
      std::fprintf(stderr, "wine reg add failed\n");
      return false;
    }
    const std::string link = prefix + "/dosdevices/com1";
    ::unlink(link.c_str());
    if (::symlink(port.c_str(), link.c_str()) != 0) return false;
    Run({WineServer(), "-k"});
    Run({WineServer(), "-w"});

    const std::string here = std::filesystem::current_path();
    std::filesystem::current_path(FBench);
    FPid = Spawn({Wine(), FExe}, true);
    std::filesystem::current_path(here);
    if (FPid < 0) return false;

    std::string window;
    for (int i = 0; i < 600 && window.empty(); ++i) {
      if (!Alive()) return false;
      window = FirstWindow("Serial DownLoader");
      if (window.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (window.empty()) return false;
    FServer = FindWineServer(prefix);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    Type(window);
    return true;
  }

  // A keyword typed while Wine is still busy with the window can lose a key.
  void Type(const std::string& window) {
    Run({"xdotool", "windowfocus", "--sync", window});
    Run({"xdotool", "type", "--delay", "80", FPlan.keyword});
  }

  bool Alive() {
    if (FPid <= 0) return false;
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) == FPid) {
      FExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      FPid = -1;
      return false;
    }
    return true;
  }

  // Answers the closing messages until the program has ended.
  int Finish(int seconds) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Alive() && Clock::now() < until) {
      const std::string box = FirstWindow("^stb-downloader$");
      if (!box.empty()) {
        Run({"xdotool", "windowfocus", "--sync", box});
        Run({"xdotool", "key", "--clearmodifiers", "Return"});
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    return Alive() ? -1 : FExit;
  }

  pid_t Pid() const { return FPid; }
  pid_t Server() const { return FServer; }

private:
  std::string FBench, FExe;
  RunPlan FPlan;
  pid_t FPid = -1, FServer = -1;
  int FExit = -1;
};

bool SetUpReceiver(stbsim::Receiver& rx) {
  std::string error;
  if (!rx.OpenPty(&error)) {
    std::fprintf(stderr, "no pty: %s\n", error.c_str());
    return false;
  }
  rx.Start();
  return true;
}

stbsim::Config ReceiverFor(const std::vector<std::string>& job, const RunPlan& plan) {
  stbsim::Config cfg;
  cfg.Paced = true;
  cfg.Id.DownloadAddress = std::uint32_t(std::strtoul(job.at(11).c_str(), nullptr, 16));
  cfg.FlashWriteDelayMs = plan.flashDelayMs;
  return cfg;
}

bool FlashHoldsImage(stbsim::Receiver& rx, const std::string& imagePath) {
  std::ifstream in(imagePath, std::ios::binary);
  std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), {});
  image.resize((image.size() + 1023) / 1024 * 1024, 0);
  return rx.Flash() == image;
}

template <class F>
bool AwaitStage(stbsim::Receiver& rx, ProgramRun& run, F reached, int seconds) {
  const auto until = Clock::now() + std::chrono::seconds(seconds);
  int retyped = 0;
  const auto typed = Clock::now();
  while (Clock::now() < until) {
    const stbsim::Stage st = rx.GetSummary().Reached;
    if (reached(st)) return true;
    if (st == stbsim::Stage::Failed || st == stbsim::Stage::HungUp || !run.Alive()) return false;
    if (retyped == 0 && st == stbsim::Stage::Off && Clock::now() - typed > std::chrono::seconds(20)) {
      retyped = 1;
      const std::string window = FirstWindow("Serial DownLoader");
      if (!window.empty()) run.Type(window);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// The receiver with the identity of the plan's description, and the program
// started against it; Up when both are.
struct Rig {
  Rig(const std::string& bench, const std::string& exe, const RunPlan& plan)
      : Job(DescriptionLines(bench + "/" + plan.description)), Rx(ReceiverFor(Job, plan)), Run(bench, exe, plan) {
    Up = SetUpReceiver(Rx) && Run.Start(Rx);
    if (!Up) std::fprintf(stderr, "the receiver or the program did not come up\n");
  }
  std::vector<std::string> Job;
  stbsim::Receiver Rx;
  ProgramRun Run;
  bool Up = false;
};

int Transfer(const std::string& bench, const std::string& exe) {
  const RunPlan plan{"W4n!Rk", "inc/native.inc", 0};
  Rig rig(bench, exe, plan);
  if (!rig.Up) return 1;
  const auto& job = rig.Job;
  stbsim::Receiver& rx = rig.Rx;
  ProgramRun& run = rig.Run;
  using stbsim::Stage;
  if (!AwaitStage(rx, run, [](Stage s) { return s >= Stage::Transferring; }, 120)) {
    std::fprintf(stderr, "no transfer began\n%s\n", rx.GetSummary().ToText().c_str());
    return 1;
  }
  Watch watch(run.Pid(), run.Server());
  watch.Reset();
  const auto start = Clock::now();
  bool transferred = false;
  auto lastSample = start;
  for (const auto until = start + std::chrono::seconds(120); Clock::now() < until;) {
    const Stage st = rx.GetSummary().Reached;
    if (st >= Stage::DownloadCrc && st != Stage::Failed && st != Stage::HungUp) {
      transferred = true;
      break;
    }
    if (st == Stage::Failed || st == Stage::HungUp) break;
    if (Clock::now() - lastSample > std::chrono::milliseconds(100)) {
      watch.Sample();
      lastSample = Clock::now();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const Watch::Figures use = watch.Take();
  const pid_t pid = run.Pid();
  const int exitStatus = run.Finish(120);
  rx.WaitFinished(5000);
  const auto sum = rx.GetSummary();
  const bool ok = transferred && sum.Success && exitStatus == 0 && FlashHoldsImage(rx, bench + "/" + job.at(9));

  const double lineBytes = double(sum.BlocksAccepted) * (1025 + 3) + double(sum.BlocksAccepted / 11);
  const double ideal = lineBytes / kLineBytesPerSecond;
  std::printf("Windows program under Wine, paced 115200 bit/s, %u blocks: %s (exit status %d)\n", sum.BlocksAccepted,
              ok ? "ok" : "FAILED", exitStatus);
  std::printf("  transfer        %.3f s, line limit %.3f s, efficiency %.2f %% (target >= 99.5 %%)\n", seconds, ideal,
              100.0 * ideal / seconds);
  PrintWatch(use, pid);
  double gaps = 0;
  for (const std::int64_t ns : sum.TurnaroundsNs) gaps += double(ns) / 1e9;
  std::printf("  turnaround      median %.3f ms, p99 %.3f ms, max %.3f ms (last reply byte to next block, %zu blocks)\n",
              Percentile(sum.TurnaroundsNs, 0.5), Percentile(sum.TurnaroundsNs, 0.99),
              Percentile(sum.TurnaroundsNs, 1.0), sum.TurnaroundsNs.size());
  std::printf("  lost           %.3f s to the line limit, %.3f s of it between a reply and the next block\n",
              seconds - ideal, gaps);
  if (!ok) std::fprintf(stderr, "%s\n", sum.ToText().c_str());
  return ok ? 0 : 1;
}

int Idle(const std::string& bench, const std::string& exe) {
  constexpr int kQuietMs = 6000;
  const RunPlan plan{"P9h?Mw", "inc/rsvd.inc", kQuietMs};
  Rig rig(bench, exe, plan);
  if (!rig.Up) return 1;
  stbsim::Receiver& rx = rig.Rx;
  ProgramRun& run = rig.Run;
  using stbsim::Stage;
  if (!AwaitStage(rx, run, [](Stage s) { return s >= Stage::FlashWrite; }, 120)) {
    std::fprintf(stderr, "no flash write began\n%s\n", rx.GetSummary().ToText().c_str());
    return 1;
  }
  // The console is now in its wait for the first mark; its first half
  // second still holds the lead-in's bytes.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Watch watch(run.Pid(), run.Server());
  watch.Reset();
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    watch.Sample();
  }
  const Watch::Figures use = watch.Take();
  const bool quietAllAlong = rx.GetSummary().Reached == Stage::FlashWrite;
  const pid_t pid = run.Pid();
  const int exitStatus = run.Finish(120);
  rx.WaitFinished(5000);
  const bool ok = quietAllAlong && rx.GetSummary().Success && exitStatus == 0;
  std::printf("Windows program under Wine, waiting %.1f s for a silent receiver: %s\n", use.seconds,
              ok ? "ok" : "FAILED");
  PrintWatch(use, pid);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::getenv("WINEPREFIX") == nullptr || std::getenv("DISPLAY") == nullptr) {
    std::fprintf(stderr, "usage: WINEPREFIX=... DISPLAY=... wine_download_bench WORKBENCH WINDOWS_EXE\n");
    return 2;
  }
  const std::string bench = std::filesystem::absolute(argv[1]);
  const std::string exe = std::filesystem::absolute(argv[2]);
  std::printf("%s", Capture(Wine() + " --version").c_str());
  int failures = Transfer(bench, exe);
  failures += Idle(bench, exe);
  return failures == 0 ? 0 : 1;
}
