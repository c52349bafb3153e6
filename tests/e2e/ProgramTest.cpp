// stb-downloader as a process: the device it opens, what it remembers, its
// exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "PtyPair.h"
#include "SerialDrv.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

class Downloader {
public:
  Downloader(std::vector<std::string> args, std::vector<std::string> env) {
    args.insert(args.begin(), STB_DOWNLOADER);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // This process's environment (the sanitizers' options among it), with
    // the test's settings in place of its own.
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('=') + 1);
      if (name == "DISPLAY=" || name == "WAYLAND_DISPLAY=" ||
          std::any_of(env.begin(), env.end(), [&](const std::string& mine) { return mine.rfind(name, 0) == 0; }))
        continue;
      env.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&FPid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) FPid = -1;
  }
  ~Downloader() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
  }
  bool Started() const { return FPid > 0; }
  // The exit status after SIGTERM, or -1 when it did not end normally.
  int Terminate() {
    kill(FPid, SIGTERM);
    int status = 0;
    waitpid(FPid, &status, 0);
    FPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

private:
  pid_t FPid = -1;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// With COM1 naming one line and --port another, the tool calls on --port's
// line, leaves COM1's alone and remembers the device for the next start.
TEST(DownloaderProgram, PortOptionWinsOverCom1) {
  PtyPair chosen, other;
  char tmpl[] = "/tmp/stb-program-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;

  Downloader tool({"--port", chosen.NearPath()},
                  {"COM1=" + other.NearPath(), "QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir.string(),
                   "XDG_STATE_HOME=" + dir.string(), "HOME=" + dir.string()});
  ASSERT_TRUE(tool.Started());

  // The wake byte of the first probe tick, sent once the window is up.
  const auto bytes = chosen.Read(1, 30000);
  ASSERT_FALSE(bytes.empty()) << "nothing arrived on the --port line";
  EXPECT_EQ(bytes[0], 0x1F);

  // The tool locks the line it opened; COM1's line is free to take.
  const int fd = ::open(other.NearPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "COM1's line is held";
  ::close(fd);
  EXPECT_TRUE(other.Read(1, 0).empty());

  EXPECT_EQ(tool.Terminate(), 2) << "no download reached a receiver";
  EXPECT_NE(ReadAll(dir / "stb-downloader" / "stb-downloader.ini").find("port=" + chosen.NearPath()),
            std::string::npos);
  fs::remove_all(dir);
}

}  // namespace
