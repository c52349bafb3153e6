// A station's process on Linux: posix_spawn with three pipes; SIGTERM to
// stop it, SIGKILL after the grace.
#include "StationProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace {

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void Drain(int& fd, std::string& to) {
  char buffer[8192];
  while (fd >= 0) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      to.append(buffer, std::size_t(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) CloseFd(fd);
    if (n < 0 && errno == EAGAIN) return;
  }
}

// The station with `stdio` as its standard input, output and error, the
// signals it takes as a program started from a shell takes them; 0 or the
// reason it could not be started.
int Spawn(pid_t& pid, const std::string& program, const std::vector<std::string>& args, const int (&stdio)[3]) {
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_adddup2(&files, stdio[fd], fd);
  // Nothing of the bench's reaches a station: above all not another port,
  // which would keep that line from hanging up when its box goes.
  posix_spawn_file_actions_addclosefrom_np(&files, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int spawned = ::posix_spawnp(&pid, program.c_str(), &files, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attr);
  return spawned;
}

class TPosixStationProcess : public TStationProcess {
public:
  TPosixStationProcess() = default;
  ~TPosixStationProcess() override;
  TPosixStationProcess(const TPosixStationProcess&) = delete;
  TPosixStationProcess& operator=(const TPosixStationProcess&) = delete;

  bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& input,
             std::string& error) override;
  void Read(std::string& out, std::string& err) override;
  bool Ended() override;
  bool Running() const override { return FPid > 0 && !FEnded; }
  int ExitCode() const override { return FExitCode; }
  bool Signalled() const override { return FSignalled; }
  long Pid() const override { return Running() ? long(FPid) : 0; }
  void Terminate() override;

private:
  pid_t FPid = -1;
  int FOut = -1, FErr = -1;
  bool FEnded = false;
  int FExitCode = 0;
  bool FSignalled = false;
};

}  // namespace

std::unique_ptr<TStationProcess> NewStationProcess() { return std::make_unique<TPosixStationProcess>(); }

std::string StationProgram() {
  std::error_code ec;
  const std::filesystem::path beside =
      std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / "stb-downloader-cli";
  return !ec && ::access(beside.c_str(), X_OK) == 0 ? beside.string() : std::string("stb-downloader-cli");
}

// --console is implied by stb-downloader-cli and keeps stb-downloader itself
// a station where a bench is pointed at it.
std::vector<std::string> StationArguments(const std::string& port) { return {"--console", "--json", "--port", port}; }

TPosixStationProcess::~TPosixStationProcess() {
  if (Running()) {
    Terminate();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopGraceMs);
    while (!Ended() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!FEnded) {
      ::kill(FPid, SIGKILL);
      int status = 0;
      ::waitpid(FPid, &status, 0);
      FEnded = true;
    }
  }
  CloseFd(FOut);
  CloseFd(FErr);
}

bool TPosixStationProcess::Start(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& input, std::string& error) {
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    for (int* p : {in, out, err}) {
      CloseFd(p[0]);
      CloseFd(p[1]);
    }
    return false;
  }
  // The input goes in before the station exists: a few bytes into an empty
  // pipe whose reading end is still ours, so never a wait and never SIGPIPE.
  const ssize_t written = ::write(in[1], input.data(), input.size());
  (void)written;
  CloseFd(in[1]);
  const int spawned = Spawn(FPid, program, args, {in[0], out[1], err[1]});
  CloseFd(in[0]);
  CloseFd(out[1]);
  CloseFd(err[1]);
  if (spawned != 0) {
    FPid = -1;
    error = program + ": " + std::strerror(spawned);
    CloseFd(out[0]);
    CloseFd(err[0]);
    return false;
  }
  FOut = out[0];
  FErr = err[0];
  ::fcntl(FOut, F_SETFL, O_NONBLOCK);
  ::fcntl(FErr, F_SETFL, O_NONBLOCK);
  return true;
}

void TPosixStationProcess::Read(std::string& out, std::string& err) {
  Drain(FOut, out);
  Drain(FErr, err);
}

bool TPosixStationProcess::Ended() {
  if (FEnded || FPid <= 0) return true;
  int status = 0;
  const pid_t r = ::waitpid(FPid, &status, WNOHANG);
  if (r != FPid) return false;
  FEnded = true;
  FSignalled = WIFSIGNALED(status);
  FExitCode = FSignalled ? WTERMSIG(status) : WEXITSTATUS(status);
  return true;
}

void TPosixStationProcess::Terminate() {
  if (Running()) ::kill(FPid, SIGTERM);
}
