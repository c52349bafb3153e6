// Another program on a port, as an operator's terminal program would be:
// `sleep`, holding descriptors of the test as its own, taking no lock.
// Killed and reaped when it goes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class OtherProgram {
public:
  // `ours` descriptors become `its` in the program.
  explicit OtherProgram(const std::vector<std::pair<int, int>>& fds = {}) { Start(fds); }
  // Holding the device `path` open as its standard input; nothing when empty.
  explicit OtherProgram(const std::string& path) {
    const int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    Start(fd < 0 ? std::vector<std::pair<int, int>>{} : std::vector<std::pair<int, int>>{{fd, 0}});
    if (fd >= 0) ::close(fd);
  }
  ~OtherProgram() { End(); }
  OtherProgram(const OtherProgram&) = delete;
  OtherProgram& operator=(const OtherProgram&) = delete;

  pid_t Pid() const { return FPid; }
  std::string PidText() const { return std::to_string(FPid); }
  void End() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
    FPid = -1;
  }
  // A process id that no process has any more.
  static pid_t GonePid() {
    OtherProgram gone;
    const pid_t pid = gone.Pid();
    gone.End();
    return pid;
  }

private:
  void Start(const std::vector<std::pair<int, int>>& fds) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const auto& [ours, its] : fds) posix_spawn_file_actions_adddup2(&actions, ours, its);
    char name[] = "sleep";
    char longEnough[] = "1000";
    char* argv[] = {name, longEnough, nullptr};
    if (::posix_spawnp(&FPid, "sleep", &actions, nullptr, argv, environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    // The name is the program's once it runs: wait for that, not for a time.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (FPid > 0 && Program() != "sleep" && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::string Program() const {
    std::string name;
    std::getline(std::ifstream("/proc/" + std::to_string(FPid) + "/comm"), name);
    return name;
  }

  pid_t FPid = -1;
};
