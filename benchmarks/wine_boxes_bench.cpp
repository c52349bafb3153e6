// Four boxes at once from the Windows bench under Wine: stb-bench.exe with
// COM3 to COM6, each port the pty of its own simulated receiver paced at
// 115200 bit/s (which credits no pause), the keyword typed once with
// xdotool. Every figure is taken from outside the bench. Per box, as
// boxes_bench does: the line's own time for the blocks the receiver
// accepted over the wall time from its first block to its last, both ends
// seen on this program's clock from the receiver's stages. For the run, from
// the keyword to the bench's look after its last station ended: the bench
// process's utime+stime (/proc/PID/stat of the Wine process running
// stb-bench.exe) over the wall time, the stations' (stb-downloader-cli.exe
// processes) together, the prefix's wineserver, and whatever else of the
// prefix ran. Each round has one box alone first, then the four.
//
//   wine_boxes_bench WORKBENCH BENCH_EXE [ROUNDS]     (run by benchmarks/wine-boxes-bench.sh)
//
// WORKBENCH is a folder made by scripts/workbench.sh; WINEPREFIX names a
// ready prefix and DISPLAY a display the window can open on. Every box is
// sent mode 2 (256 KiB, 256 blocks).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <set>
#include <thread>
#include <vector>

#include "Receiver.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kLineBytesPerSecond = 11520.0;  // 115200 bit/s, ten bit times a byte
constexpr const char* kKeyword = "W4n!Rk";      // mode 2, Native Software
constexpr const char* kDescription = "inc/native.inc";
constexpr const char* kPorts[] = {"COM3", "COM4", "COM5", "COM6"};

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

// Started with its output to OUT (or nowhere).
pid_t Spawn(const std::vector<std::string>& args, const std::string& out = "/dev/null") {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int Run(const std::vector<std::string>& args) {
  const pid_t pid = Spawn(args);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string LoadAverages() {
  std::istringstream in(ReadFile("/proc/loadavg"));
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

// utime+stime of a whole process (its ended threads included), in seconds;
// negative once it is gone or a zombie.
double ProcessCpuSeconds(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream in(stat.substr(close + 2));
  std::string state;
  in >> state;
  if (state == "Z" || state == "X") return -1;
  std::string skip;
  for (int field = 4; field <= 13; ++field) in >> skip;
  unsigned long long utime = 0, stime = 0;
  in >> utime >> stime;
  return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
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

// The processes of this prefix (WINEPREFIX in their environment), sorted by
// what they run. Each one's processor time is counted from its first look
// (or from Reset for those already there) to its last look alive; a process
// that ends between two looks a tenth of a second apart loses at most that
// tenth.
class PrefixWatch {
public:
  enum Kind { Bench, Station, Server, Other, Kinds };

  PrefixWatch(std::string prefix, pid_t bench, pid_t server)
      : FPrefix("WINEPREFIX=" + std::move(prefix)), FBench(bench), FServer(server) {}

  void Reset() {
    FProcs.clear();
    FForeign.clear();
    Look();
    for (auto& [pid, p] : FProcs) p.first = p.last;
    FFrom = Clock::now();
  }

  // One look; returns the number of stations alive.
  int Look() {
    DIR* d = ::opendir("/proc");
    while (d != nullptr) {
      dirent* e = ::readdir(d);
      if (e == nullptr) break;
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      const pid_t pid = pid_t(std::atoi(e->d_name));
      if (FForeign.count(pid)) continue;
      const std::string dir = std::string("/proc/") + e->d_name;
      auto it = FProcs.find(pid);
      if (it == FProcs.end()) {
        if (pid != FServer && pid != FBench) {
          // Wine's own processes only: not this program, not the xdotool it runs.
          char exe[512];
          const ssize_t n = ::readlink((dir + "/exe").c_str(), exe, sizeof exe - 1);
          const std::string name = n > 0 ? std::filesystem::path(std::string(exe, std::size_t(n))).filename() : "";
          if (pid == ::getpid() || name.compare(0, 4, "wine") != 0) {
            FForeign.insert(pid);
            continue;
          }
          const std::string env = ReadFile(dir + "/environ");
          const std::string nul(1, '\0');
          if (env.find(nul + FPrefix + nul) == std::string::npos && env.compare(0, FPrefix.size() + 1, FPrefix + nul) != 0) {
            FForeign.insert(pid);
            continue;
          }
        }
        it = FProcs.insert({pid, Proc{}}).first;
      }
      Proc& p = it->second;
      if (!p.alive) continue;
      const double cpu = ProcessCpuSeconds(pid);
      if (cpu < 0) {
        p.alive = false;
        continue;
      }
      p.last = cpu;
      // Looked at again each time: a process Wine starts is first a fork of
      // its parent, then runs its own program.
      p.cmd = ReadFile(dir + "/cmdline");
      const std::string stat = ReadFile(dir + "/stat");
      const auto close = stat.rfind(')');
      p.parent = close == std::string::npos ? 0 : pid_t(std::atoi(stat.c_str() + close + 4));
    }
    if (d != nullptr) ::closedir(d);
    // A pid no longer in /proc: ended since the last look.
    for (auto& [pid, p] : FProcs)
      if (p.alive && ::kill(pid, 0) != 0) p.alive = false;
    int stations = 0;
    for (const auto& [pid, p] : FProcs) stations += p.alive && KindOf(pid, p) == Station;
    return stations;
  }

  struct Figures {
    double seconds = 0;
    double cpu[Kinds] = {};
    int count[Kinds] = {};
  };
  Figures Take() {
    Look();
    Figures f;
    f.seconds = std::chrono::duration<double>(Clock::now() - FFrom).count();
    for (const auto& [pid, p] : FProcs) {
      const Kind kind = KindOf(pid, p);
      f.cpu[kind] += p.last - p.first;
      ++f.count[kind];
    }
    return f;
  }

private:
  struct Proc {
    double first = 0, last = 0;
    bool alive = true;
    std::string cmd;  // as at its last look alive
    pid_t parent = 0;
  };
  // What a process ran at its last look; a fork still running its parent's
  // program (on its way to another) is none of the stations.
  Kind KindOf(pid_t pid, const Proc& p) const {
    if (pid == FBench) return Bench;
    if (pid == FServer) return Server;
    const auto parent = FProcs.find(p.parent);
    if (parent != FProcs.end() && parent->second.cmd == p.cmd) return Other;
    return p.cmd.find("stb-downloader-cli.exe") != std::string::npos ? Station : Other;
  }
  std::string FPrefix;
  pid_t FBench, FServer;
  std::map<pid_t, Proc> FProcs;
  std::set<pid_t> FForeign;
  Clock::time_point FFrom = Clock::now();
};

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

struct Box {
  std::unique_ptr<stbsim::Receiver> rx;
  Clock::time_point start, end;
  bool started = false, ended = false;
};

// The bench process: started by this program, stopped by it if it is left.
class BenchProcess {
public:
  ~BenchProcess() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  bool Start(const std::string& bench, const std::string& exe, const std::string& out, int boxes) {
    std::vector<std::string> args{Wine(), exe};
    for (int i = 0; i < boxes; ++i) {
      args.push_back("--port");
      args.push_back(kPorts[i]);
    }
    const std::string here = std::filesystem::current_path();
    std::filesystem::current_path(bench);
    FPid = Spawn(args, out);
    std::filesystem::current_path(here);
    return FPid > 0;
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
  int Exit() const { return FExit; }
  pid_t Pid() const { return FPid; }

private:
  pid_t FPid = -1;
  int FExit = -1;
};

void Type(const std::string& window) {
  Run({"xdotool", "windowfocus", "--sync", window});
  Run({"xdotool", "type", "--delay", "80", kKeyword});
}

bool FlashHoldsImage(stbsim::Receiver& rx, const std::vector<std::uint8_t>& padded) { return rx.Flash() == padded; }

// One round; false when the run did not go as it should (the figures are
// still printed).
bool Round(int round, int boxCount, const std::string& bench, const std::string& exe) {
  const std::string prefix = std::getenv("WINEPREFIX");
  const auto job = DescriptionLines(bench + "/" + kDescription);
  std::vector<std::uint8_t> image;
  {
    const std::string bytes = ReadFile(bench + "/" + job.at(9));
    image.assign(bytes.begin(), bytes.end());
    image.resize((image.size() + 1023) / 1024 * 1024, 0);
  }

  std::vector<Box> boxes(static_cast<std::size_t>(boxCount));
  for (int i = 0; i < boxCount; ++i) {
    stbsim::Config cfg;
    cfg.Paced = true;
    cfg.Id.DownloadAddress = std::uint32_t(std::strtoul(job.at(11).c_str(), nullptr, 16));
    boxes[std::size_t(i)].rx = std::make_unique<stbsim::Receiver>(cfg);
    stbsim::Receiver& rx = *boxes[std::size_t(i)].rx;
    std::string error;
    if (!rx.OpenPty(&error)) {
      std::fprintf(stderr, "receiver pty: %s\n", error.c_str());
      return false;
    }
    rx.Start();
    // The registry says which pty Wine's device manager keeps at each COM
    // port; the link is what the station opens.
    const std::string port = kPorts[i];
    if (Run({Wine(), "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", port, "/t", "REG_SZ", "/d", rx.ConsolePath(),
             "/f"}) != 0) {
      std::fprintf(stderr, "wine reg add %s failed\n", port.c_str());
      return false;
    }
    std::string lower = port;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    const std::string link = prefix + "/dosdevices/" + lower;
    ::unlink(link.c_str());
    if (::symlink(rx.ConsolePath().c_str(), link.c_str()) != 0) return false;
  }
  // A fresh session on this display, whose device manager maps the ports.
  Run({WineServer(), "-k"});
  Run({WineServer(), "-w"});

  const std::string out = std::filesystem::temp_directory_path() / ("wine-boxes-bench-" + std::to_string(::getpid()));
  BenchProcess process;
  if (!process.Start(bench, exe, out, boxCount)) return false;
  std::string window;
  for (int i = 0; i < 600 && window.empty(); ++i) {
    if (!process.Alive()) {
      std::fprintf(stderr, "the bench ended at start-up: %s\n", ReadFile(out).c_str());
      return false;
    }
    window = FirstWindow("^stb-bench: ");
    if (window.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (window.empty()) {
    std::fprintf(stderr, "the bench's window did not appear within 60 s\n");
    return false;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));

  // Each receiver's stages, from a thread of its own every 5 ms.
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    using stbsim::Stage;
    while (!done) {
      for (Box& b : boxes) {
        const Stage st = b.rx->GetSummary().Reached;
        const auto now = Clock::now();
        if (!b.started && st >= Stage::Transferring) {
          b.started = true;
          b.start = now;
        }
        if (b.started && !b.ended && st >= Stage::DownloadCrc && st <= Stage::Done) {
          b.ended = true;
          b.end = now;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  PrefixWatch watch(prefix, process.Pid(), FindWineServer(prefix));
  if (ReadFile("/proc/" + std::to_string(process.Pid()) + "/cmdline").find("stb-bench.exe") == std::string::npos) {
    std::fprintf(stderr, "the process started is not the one running stb-bench.exe\n");
    return false;
  }
  const std::string loadBefore = LoadAverages();
  watch.Reset();
  Type(window);
  const auto typed = Clock::now();
  bool retyped = false, finished = false;
  while (Clock::now() - typed < std::chrono::seconds(180)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int stations = watch.Look();
    bool all = true, none = true;
    for (Box& b : boxes) {
      const auto s = b.rx->GetSummary().Reached;
      all = all && (s == stbsim::Stage::Done || s == stbsim::Stage::Failed || s == stbsim::Stage::HungUp);
      none = none && s == stbsim::Stage::Off;
    }
    // A key typed while Wine was still busy with the window can be lost.
    if (!retyped && none && Clock::now() - typed > std::chrono::seconds(20)) {
      retyped = true;
      Type(window);
    }
    if (all && stations == 0) {
      finished = true;
      break;
    }
  }
  // The bench's next look, which reaps the last station and folds its events.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const PrefixWatch::Figures use = watch.Take();
  const std::string loadAfter = LoadAverages();
  done = true;
  watcher.join();

  // Closed as its close button would: nothing runs, so no question.
  Run({"xdotool", "windowfocus", "--sync", window});
  Run({"xdotool", "key", "--clearmodifiers", "alt+F4"});
  for (int i = 0; i < 300 && process.Alive(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string totals = ReadFile(out);
  ::unlink(out.c_str());
  totals.erase(std::remove(totals.begin(), totals.end(), '\r'), totals.end());
  while (!totals.empty() && totals.back() == '\n') totals.pop_back();
  const std::string want = "Passed " + std::to_string(boxCount) + "   Failed 0   Boxes " + std::to_string(boxCount);
  const bool benchOk = totals.find(want) != std::string::npos && process.Exit() == 0;

  std::printf("round %d, %s: mode 2 (256 KiB each), paced 115200 bit/s; load average %s at the keyword, %s "
              "at the end%s\n",
              round, boxCount == 1 ? "one box alone" : "four boxes at once", loadBefore.c_str(), loadAfter.c_str(), finished ? "" : "  NOT FINISHED after 180 s");
  double worst = 100;
  int good = 0;
  for (int i = 0; i < boxCount; ++i) {
    Box& b = boxes[std::size_t(i)];
    b.rx->WaitFinished(5000);
    const auto sum = b.rx->GetSummary();
    const bool ok = sum.Success && FlashHoldsImage(*b.rx, image);
    std::printf("  box %d %-4s %-6s", i + 1, kPorts[i], ok ? "OK" : "FAILED");
    if (ok && b.started && b.ended) {
      // Per block 1025 bytes out, 3 back, and a sequence digit every 11th block.
      const double ideal = (double(sum.BlocksAccepted) * (1025 + 3) + double(sum.BlocksAccepted / 11)) /
                           kLineBytesPerSecond;
      const double took = std::chrono::duration<double>(b.end - b.start).count();
      const double share = 100.0 * ideal / took;
      worst = std::min(worst, share);
      ++good;
      double gaps = 0;
      for (const std::int64_t ns : sum.TurnaroundsNs) gaps += double(ns) / 1e9;
      std::printf(" transfer %.3f s, line limit %.3f s, share of the line %.2f %%\n"
                  "                    lost %.3f s, %.3f s of it between a reply and the next block; turnaround "
                  "median %.3f ms, p99 %.3f ms, max %.3f ms",
                  took, ideal, share, took - ideal, gaps, Percentile(sum.TurnaroundsNs, 0.5),
                  Percentile(sum.TurnaroundsNs, 0.99), Percentile(sum.TurnaroundsNs, 1.0));
    } else if (!ok) {
      std::printf(" %s", sum.ToText().c_str());
    }
    std::printf("\n");
  }
  std::printf("  lowest share of the line of the %d good boxes: %.2f %% (target >= 99.3 %%)\n", good, worst);
  const double s = use.seconds;
  std::printf("  bench process (stb-bench.exe): %.2f s of CPU in %.1f s = %.3f %% of one core (target <= 1 %%)\n",
              use.cpu[PrefixWatch::Bench], s, 100.0 * use.cpu[PrefixWatch::Bench] / s);
  std::printf("  stations together (%d stb-downloader-cli.exe): %.2f s = %.3f %% of one core (%.3f %% each)\n",
              use.count[PrefixWatch::Station], use.cpu[PrefixWatch::Station], 100.0 * use.cpu[PrefixWatch::Station] / s,
              use.count[PrefixWatch::Station] ? 100.0 * use.cpu[PrefixWatch::Station] / s / use.count[PrefixWatch::Station]
                                              : 0.0);
  std::printf("  wineserver: %.2f s = %.2f %% of one core; the prefix's other %d processes: %.2f s = %.2f %%\n",
              use.cpu[PrefixWatch::Server], 100.0 * use.cpu[PrefixWatch::Server] / s, use.count[PrefixWatch::Other],
              use.cpu[PrefixWatch::Other], 100.0 * use.cpu[PrefixWatch::Other] / s);
  std::printf("  the bench: exit status %d, \"%s\"\n\n", process.Exit(), totals.c_str());
  std::fflush(stdout);
  return finished && good == boxCount && benchOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 || std::getenv("WINEPREFIX") == nullptr || std::getenv("DISPLAY") == nullptr) {
    std::fprintf(stderr, "usage: WINEPREFIX=... DISPLAY=... wine_boxes_bench WORKBENCH BENCH_EXE [ROUNDS]\n");
    return 2;
  }
  const std::string bench = std::filesystem::absolute(argv[1]);
  const std::string exe = std::filesystem::absolute(argv[2]);
  const int rounds = argc == 4 ? std::max(1, std::atoi(argv[3])) : 1;
  std::printf("%s", Capture(Wine() + " --version").c_str());
  int failures = 0;
  // Each round one box alone first, for what a station gets under Wine here
  // at this moment without three beside it; then the four.
  for (int r = 1; r <= rounds; ++r) {
    failures += Round(r, 1, bench, exe) ? 0 : 1;
    failures += Round(r, 4, bench, exe) ? 0 : 1;
  }
  return failures == 0 ? 0 : 1;
}
