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
#include "Processes.h"
#include "PtyPair.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The terminal face with the keyword on standard input and its lock folder
// set; its exit status, or -1 when it had not ended within a minute.
int RunConsole(const fs::path& dir, const std::vector<std::string>& extra, const std::string& port) {
  std::vector<std::string> args{STB_DOWNLOADER, "--console", "--port", port};
  args.insert(args.end(), extra.begin(), extra.end());
  const pid_t pid = SpawnProgram(dir, "W4n!Rk\n", std::move(args),
                                 {"STB_LOCK_DIR=" + (dir / "locks").string(), "XDG_STATE_HOME=" + dir.string(),
                                  "XDG_CONFIG_HOME=" + dir.string()},
                                 {"DISPLAY"});
  return pid < 0 ? -2 : AwaitExit(pid, 60000);
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
