// stb-downloader --console on a port another program holds: it ends with
// status 2 and the line that names the holder, in the log, on standard
// error and in the station's events, and leaves no lock file behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "DialogTexts.h"
#include "OtherProgram.h"
#include "PtyPair.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The terminal face with the keyword on standard input and its lock folder
// set; its exit status, or -1 when it had not ended within a minute.
int RunConsole(const fs::path& dir, const std::vector<std::string>& extra, const std::string& port) {
  std::ofstream(dir / "stdin.txt") << "W4n!Rk\n";
  std::vector<std::string> args{STB_DOWNLOADER, "--console", "--port", port};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env{"STB_LOCK_DIR=" + (dir / "locks").string(), "XDG_STATE_HOME=" + dir.string(),
                               "XDG_CONFIG_HOME=" + dir.string()};
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("STB_LOCK_DIR=", 0) != 0 &&
        entry.rfind("XDG_STATE_HOME=", 0) != 0 && entry.rfind("XDG_CONFIG_HOME=", 0) != 0)
      env.push_back(entry);
  }
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, (dir / "stdin.txt").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, (dir / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, (dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0) return -2;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
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

struct HeldRow {
  const char* name;
  bool lockFile;                   // the holder holds the lock file, not the device
  std::vector<std::string> extra;  // more options
};

void PrintTo(const HeldRow& r, std::ostream* os) { *os << r.name; }

class ConsoleOnAHeldPort : public ::testing::TestWithParam<HeldRow> {
protected:
  void SetUp() override {
    char folder[] = "/tmp/stb-held-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    FDir = folder;
    fs::create_directory(FDir / "locks");
  }
  void TearDown() override { fs::remove_all(FDir); }
  fs::path FDir;
  PtyPair FPty;
};

TEST_P(ConsoleOnAHeldPort, EndsWithStatusTwoNamingTheHolder) {
  const HeldRow& row = GetParam();
  OtherProgram other(row.lockFile ? std::string() : FPty.NearPath());
  if (row.lockFile) {
    char text[16];
    std::snprintf(text, sizeof text, "%10ld\n", long(other.Pid()));
    std::ofstream(FDir / "locks" / ("LCK..pts_" + FPty.NearPath().substr(9))) << text;
  }
  const std::string reason = std::string("the port is ") + (row.lockFile ? "locked by" : "open in") +
                             " sleep (process " + std::to_string(other.Pid()) + "); close it first";

  EXPECT_EQ(RunConsole(FDir, row.extra, FPty.NearPath()), 2);
  const std::string out = ReadAll(FDir / "stdout.txt");
  EXPECT_EQ(ReadAll(FDir / "stderr.txt"),
            std::string(kConnectError) + "\n" + FPty.NearPath() + ": " + reason + "\n");
  EXPECT_NE(out.find(row.extra.empty() ? "  COM1 = " + FPty.NearPath() + " is not open: " + reason : reason),
            std::string::npos)
      << out;
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(FDir / "locks")) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, row.lockFile ? std::vector<std::string>{"LCK..pts_" + FPty.NearPath().substr(9)}
                               : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Holders, ConsoleOnAHeldPort,
    ::testing::Values(HeldRow{"OpenInAnotherProgram", false, {}},
                      HeldRow{"OpenInAnotherProgramTheStationsEvents", false, {"--json"}},
                      HeldRow{"LockedByAnotherProgram", true, {}}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
