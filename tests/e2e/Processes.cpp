#include "Processes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

bool Named(const std::string& entry, const std::string& name) {
  return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=';
}

}  // namespace

pid_t SpawnProgram(const std::filesystem::path& dir, const std::string& input, std::vector<std::string> argv,
                   const std::vector<std::string>& set, const std::vector<std::string>& drop) {
  std::ofstream(dir / "stdin.txt", std::ios::binary) << input;
  std::vector<std::string> names = drop;
  for (const std::string& s : set) names.push_back(s.substr(0, s.find('=')));
  std::vector<std::string> env = set;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool dropped = false;
    for (const std::string& name : names) dropped = dropped || Named(entry, name);
    if (!dropped) env.push_back(entry);
  }
  std::vector<char*> args, envp;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, (dir / "stdin.txt").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, (dir / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, (dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &files, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&files);
  return spawned == 0 ? pid : -1;
}

int AwaitExit(pid_t pid, int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TCommandRun RunWithoutDisplay(const std::string& command) {
  TCommandRun run;
  const std::string line = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + command + " 2>&1";
  FILE* pipe = ::popen(line.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.Said.append(buffer, n);
  const int status = ::pclose(pipe);
  if (WIFEXITED(status)) run.Status = WEXITSTATUS(status);
  return run;
}
