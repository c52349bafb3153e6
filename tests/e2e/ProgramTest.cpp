// stb-downloader as a process: the device it opens, what it remembers, its
// exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <QSettings>

#include "Bench.h"
#include "PortMemory.h"
#include "Processes.h"
#include "PtyPair.h"
#include "SerialDrv.h"
#include "TestNames.h"

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

fs::path TemporaryFolder() {
  char tmpl[] = "/tmp/stb-program-XXXXXX";
  return mkdtemp(tmpl) != nullptr ? fs::path(tmpl) : fs::path();
}

// Started with neither --port nor $COM1, the tool calls on the device
// remembered in the settings file, as an earlier version wrote it.
TEST(DownloaderProgram, RememberedPortIsUsedWithoutPortOrCom1) {
  PtyPair remembered;
  const fs::path dir = TemporaryFolder();
  ASSERT_FALSE(dir.empty());
  QSettings(QString::fromStdString((dir / "stb-downloader" / "stb-downloader.ini").string()), QSettings::IniFormat)
      .setValue("port", QString::fromStdString(remembered.NearPath()));

  Downloader tool({}, {"COM1=", "QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir.string(),
                       "XDG_STATE_HOME=" + dir.string(), "HOME=" + dir.string()});
  ASSERT_TRUE(tool.Started());
  const auto bytes = remembered.Read(1, 30000);
  ASSERT_FALSE(bytes.empty()) << "nothing arrived on the remembered line";
  EXPECT_EQ(bytes[0], 0x1F);
  EXPECT_EQ(tool.Terminate(), 2);
  fs::remove_all(dir);
}

// The window takes --trace as the terminal face does: the probes it sent
// are in the file once it has closed.
TEST(DownloaderProgram, WindowWritesTheTraceItIsAskedFor) {
  PtyPair line;
  const fs::path dir = TemporaryFolder();
  ASSERT_FALSE(dir.empty());
  const fs::path file = dir / "wire.txt";
  Downloader tool({"--port", line.NearPath(), "--trace", file.string()},
                  {"COM1=", "QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir.string(),
                   "XDG_STATE_HOME=" + dir.string(), "HOME=" + dir.string()});
  ASSERT_TRUE(tool.Started());
  ASSERT_FALSE(line.Read(1, 30000).empty()) << "no probe came";
  EXPECT_EQ(tool.Terminate(), 2);
  const std::string trace = ReadAll(file);
  EXPECT_EQ(trace.rfind("# stb-downloader wire trace of " + line.NearPath(), 0), 0u) << trace;
  EXPECT_NE(trace.find(" > 1F\n"), std::string::npos) << trace;
  fs::remove_all(dir);
}

// The settings file is shared with the versions that wrote it with
// QSettings: each side reads what the other wrote, whatever the device's
// name holds, and a write keeps the keys it does not own.
struct NameCase {
  const char* name;
  std::string port;
};
class SettingsFile : public ::testing::TestWithParam<NameCase> {};

TEST_P(SettingsFile, ReadsWhatQSettingsWroteAndWritesWhatItReads) {
  const std::string& port = GetParam().port;
  const fs::path theirs = TemporaryFolder(), ours = TemporaryFolder();
  ASSERT_FALSE(theirs.empty() || ours.empty());
  const auto file = [](const fs::path& dir) {
    return QString::fromStdString((dir / "stb-downloader" / "stb-downloader.ini").string());
  };
  // The other keys come first, so that writing the port changes the file's
  // size and QSettings reads it again rather than from its cache.
  QSettings(file(theirs), QSettings::IniFormat).setValue("port", QString::fromStdString(port));
  {
    QSettings other(file(ours), QSettings::IniFormat);
    other.setValue("keep", "kept, as it was");
    other.setValue("Window/geometry", 42);
  }

  ::setenv("XDG_CONFIG_HOME", theirs.c_str(), 1);
  EXPECT_EQ(UserPortMemory()->Remembered(), std::optional(port)) << "read from QSettings' file";
  ::setenv("XDG_CONFIG_HOME", ours.c_str(), 1);
  UserPortMemory()->Remember(port);
  ::unsetenv("XDG_CONFIG_HOME");
  QSettings read(file(ours), QSettings::IniFormat);
  EXPECT_EQ(read.value("port").toString().toStdString(), port) << "written for QSettings";
  EXPECT_EQ(read.value("keep").toString(), "kept, as it was");
  EXPECT_EQ(read.value("Window/geometry").toInt(), 42);
  fs::remove_all(theirs);
  fs::remove_all(ours);
}

INSTANTIATE_TEST_SUITE_P(
    Port, SettingsFile,
    ::testing::Values(NameCase{"Plain", "/dev/ttyUSB0"},
                      NameCase{"ById", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
                      NameCase{"Blanks", " /tmp/my port "}, NameCase{"Comma", "/tmp/a,b"},
                      NameCase{"Semicolon", "/tmp/a;b"}, NameCase{"Equals", "/tmp/a=b"},
                      NameCase{"QuoteAndBackslash", "/tmp/a\"b\\c"}, NameCase{"AtFirst", "@ByteArray(com1)"},
                      NameCase{"Tab", "/tmp/a\tb"}, NameCase{"NonAscii", "/tmp/\xc3\x9c" "bertragung"}),
    RowName());

// The bench's ports: a list as QSettings writes one for stb-bench, read
// from what it wrote and written so that it reads them back, other keys
// kept; given ports are remembered and a bench given none takes them.
struct PortsCase {
  std::string name;
  std::vector<std::string> ports;
};
class BenchSettingsFile : public ::testing::TestWithParam<PortsCase> {};

TEST_P(BenchSettingsFile, ReadsTheListQSettingsWroteAndWritesOneItReads) {
  const std::vector<std::string>& ports = GetParam().ports;
  const fs::path theirs = TemporaryFolder(), ours = TemporaryFolder();
  ASSERT_FALSE(theirs.empty() || ours.empty());
  const auto file = [](const fs::path& dir) {
    return QString::fromStdString((dir / "stb-downloader" / "stb-bench.ini").string());
  };
  QStringList list;
  for (const std::string& port : ports) list << QString::fromStdString(port);
  QSettings(file(theirs), QSettings::IniFormat).setValue("ports", list);
  QSettings(file(ours), QSettings::IniFormat).setValue("keep", "kept, as it was");

  ::setenv("XDG_CONFIG_HOME", theirs.c_str(), 1);
  EXPECT_EQ(UserBenchPortMemory()->Remembered(), ports) << "read from QSettings' file";
  EXPECT_EQ(BenchPorts({}), ports) << "a bench given no ports takes the remembered ones";
  ::setenv("XDG_CONFIG_HOME", ours.c_str(), 1);
  EXPECT_EQ(BenchPorts(ports), ports);
  ::unsetenv("XDG_CONFIG_HOME");
  QSettings read(file(ours), QSettings::IniFormat);
  QStringList back = read.value("ports").toStringList();
  std::vector<std::string> got;
  for (const QString& port : back) got.push_back(port.toStdString());
  EXPECT_EQ(got, ports) << "written for QSettings";
  EXPECT_EQ(read.value("keep").toString(), "kept, as it was");
  fs::remove_all(theirs);
  fs::remove_all(ours);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, BenchSettingsFile,
    ::testing::Values(PortsCase{"One", {"/dev/ttyUSB0"}}, PortsCase{"Two", {"/dev/ttyUSB0", "/dev/ttyUSB1"}},
                      PortsCase{"CommaAndBlanks", {"/tmp/a,b", " /tmp/my port ", "/tmp/c"}},
                      PortsCase{"QuoteAndAt", {"/tmp/a\"b\\c", "@ByteArray(com1)", "/tmp/\xc3\x9c" "bertragung"}}),
    RowName());

// stb-bench's command line, read by the downloader's parser before any
// window: what it answers and how it ends, with no display to be had.
struct BenchArgsCase {
  std::string name;
  std::string args;
  int status;
  std::string starts;  // what it writes first, standard error and output together
};
class BenchCommandLine : public ::testing::TestWithParam<BenchArgsCase> {};

TEST_P(BenchCommandLine, AnswersWithoutAWindow) {
  const std::string command = std::string(STB_BENCH) + " " + GetParam().args;
  const TCommandRun run = RunWithoutDisplay(command);
  const std::string& said = run.Said;
  ASSERT_NE(run.Status, -1) << said;
  EXPECT_EQ(run.Status, GetParam().status) << said;
  EXPECT_EQ(said.substr(0, GetParam().starts.size()), GetParam().starts);
}

INSTANTIATE_TEST_SUITE_P(
    Args, BenchCommandLine,
    ::testing::Values(
        BenchArgsCase{"Help", "--help", 0, "Usage: stb-bench [--port PORT]... [--continuous] [--address-mismatch"},
        BenchArgsCase{"Version", "--version", 0, "stb-bench " STB_VERSION "\n"},
        BenchArgsCase{"Unknown", "--bogus", 2, "stb-bench: unknown option \"--bogus\"\nTry --help.\n"},
        BenchArgsCase{"PortWithoutDevice", "--port", 2, "stb-bench: --port: needs a device"},
        BenchArgsCase{"DownloaderOnly", "--json", 2, "stb-bench: unknown option \"--json\"\nTry --help.\n"},
        BenchArgsCase{"ListPortsIsTheDownloaders", "--list-ports", 2, "stb-bench: unknown option \"--list-ports\""},
        BenchArgsCase{"WrongAnswer", "--address-mismatch maybe", 2, "stb-bench: --address-mismatch: stop or continue"},
        BenchArgsCase{"NoDisplay", "--port /dev/ttyS0", 2,
                      "stb-bench: there is no display to open the window on ($DISPLAY is not set); "
                      "stb-downloader --console works without one.\n"},
        BenchArgsCase{"SamePortTwice", "--port /dev/ttyS0 --port /dev/ttyS1 --port /dev/ttyS0", 2,
                      "stb-bench: --port: /dev/ttyS0 is given twice; a port can serve one row only\nTry --help.\n"},
        BenchArgsCase{"OptionForAPort", "--port --continuous", 2,
                      "stb-bench: --port: needs a device, e.g. --port /dev/ttyUSB0 (\"--continuous\" is an option"}),
    RowName());

// Whether process `pid` catches `signal` by now, as /proc tells it.
bool Catches(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
  return false;
}

// Closed, the bench tells its totals on standard output, as the Windows
// bench tells its console, and ends with its status.
TEST(BenchProgram, TellsItsTotalsWhenItCloses) {
  const fs::path dir = TemporaryFolder();
  ASSERT_FALSE(dir.empty());
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  std::vector<std::string> args{STB_BENCH, "--port", (dir / "ttyUSB9").string()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir.string(),
                               "XDG_STATE_HOME=" + dir.string(), "HOME=" + dir.string()};
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, out[1], 1);
  posix_spawn_file_actions_addclose(&files, out[0]);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&files);
  ::close(out[1]);
  // Its window is up once it takes SIGTERM as its close button.
  bool ready = false;
  for (int i = 0; i < 30000 && !(ready = Catches(pid, SIGTERM)); ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) break;
    ::poll(nullptr, 0, 1);
  }
  ASSERT_TRUE(ready) << "the bench never came up";
  ::kill(pid, SIGTERM);
  std::string said;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) said.append(buffer, std::size_t(n));
  ::close(out[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << said;
  EXPECT_EQ(WEXITSTATUS(status), 2) << "no box was reached";
  EXPECT_EQ(said, "Passed 0   Failed 0   Boxes 0\n");
  fs::remove_all(dir);
}

// stb-downloader's refusals at the door, with no display to be had: each
// said in its own words, with status 2, before any toolkit speaks.
class DownloaderCommandLine : public ::testing::TestWithParam<BenchArgsCase> {};

TEST_P(DownloaderCommandLine, RefusesWithItsReason) {
  const std::string command = std::string(STB_DOWNLOADER) + " " + GetParam().args + " </dev/null";
  const TCommandRun run = RunWithoutDisplay(command);
  const std::string& said = run.Said;
  ASSERT_NE(run.Status, -1) << said;
  EXPECT_EQ(run.Status, GetParam().status) << said;
  EXPECT_EQ(said.substr(0, GetParam().starts.size()), GetParam().starts);
}

INSTANTIATE_TEST_SUITE_P(
    Args, DownloaderCommandLine,
    ::testing::Values(
        BenchArgsCase{"NoDisplay", "--port /dev/ttyS0", 2,
                      "stb-downloader: there is no display to open the window on ($DISPLAY is not set); "
                      "stb-downloader --console works without one.\n"},
        BenchArgsCase{"XcbAskedWithoutDisplay", "-platform xcb", 2,
                      "stb-downloader: there is no display to open the window on ($DISPLAY is not set); "},
        BenchArgsCase{"OptionForAPort", "--port --console", 2,
                      "stb-downloader: --port: needs a device, e.g. --port /dev/ttyUSB0 (\"--console\" is an option; "
                      "write --port=--console for a name that starts with -)\nTry --help.\n"},
        BenchArgsCase{"TwoPorts", "--console --port /dev/ttyS0 --port /dev/ttyS1", 2,
                      "stb-downloader: --port: given twice (/dev/ttyS0 and /dev/ttyS1); the downloader uses one "
                      "port\nTry --help.\n"}),
    RowName());

}  // namespace
