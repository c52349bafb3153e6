// stb-downloader-cli, the terminal face with no toolkit linked, run as a
// script runs it beside stb-downloader --console: the same rows for both
// against the simulated receiver on a pty, --wait-for-box against a line
// nobody answers, --check on description files good and broken, and the
// libraries a running one has mapped.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "Harness.h"
#include "Processes.h"
#include "StationProcess.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The two ways to the terminal face: its own program, and the window's with --console.
struct Program {
  const char* name;
  std::vector<std::string> command;
};

const Program kCli{"Cli", {STB_DOWNLOADER_CLI}};
const Program kWindowConsole{"WindowProgramConsole", {STB_DOWNLOADER, "--console"}};

void PrintTo(const Program& p, std::ostream* os) { *os << p.name; }

// The program in the bench's folder, with no display, standard input from a
// file and its output into files; its process id, or -1.
pid_t Spawn(const fs::path& dir, const std::string& input, std::vector<std::string> args) {
  return SpawnProgram(dir, input, std::move(args), {}, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
}

std::vector<std::string> With(const Program& p, std::vector<std::string> args) {
  args.insert(args.begin(), p.command.begin(), p.command.end());
  return args;
}

// --- one download, both programs --------------------------------------------------------------

struct DownloadRow {
  const char* name;
  Program program;
  std::vector<std::string> args;
  bool paced;
};

void PrintTo(const DownloadRow& r, std::ostream* os) { *os << r.name; }

class TerminalPrograms : public ::testing::TestWithParam<DownloadRow> {};

// A download that takes longer than --wait-for-box is not cut short: the
// wait ends at the box's answer.
TEST_P(TerminalPrograms, FlashTheBoxFromAScript) {
  const DownloadRow& row = GetParam();
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  const auto image = bench.WriteImage("image.bin", 40 * 1024 + 7);
  stbsim::Config cfg;
  cfg.Paced = row.paced;
  stbsim::Receiver rx(cfg);
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();
  std::vector<std::string> args = row.args;
  args.insert(args.end(), {"--port", rx.ConsolePath()});
  const pid_t pid = Spawn(bench.Dir(), "W4n!Rk\n", With(row.program, args));
  ASSERT_GT(pid, 0);
  EXPECT_EQ(AwaitExit(pid, 90000), 0) << ReadAll(bench.Dir() / "stderr.txt");
  const auto out = FileLines(bench.Dir() / "stdout.txt");
  ASSERT_FALSE(out.empty());
  if (std::find(args.begin(), args.end(), "--json") != args.end())
    EXPECT_EQ(out.back().rfind("{\"event\":\"result\",\"result\":\"success\",", 0), 0u) << out.back();
  else
    EXPECT_EQ(out.back(), "Please Turn Off and On the STB set !!!");
  ASSERT_TRUE(rx.WaitFinished(5000));
  EXPECT_EQ(rx.Flash(), Padded(image));
  EXPECT_EQ(FinalRecords(bench.RecordDir() / "downloads.jsonl").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Script, TerminalPrograms,
    ::testing::Values(DownloadRow{"CliOnAPacedLine", kCli, {}, true},
                      DownloadRow{"WindowProgramConsoleOnAPacedLine", kWindowConsole, {}, true},
                      DownloadRow{"CliWaitShorterThanTheDownload", kCli, {"--wait-for-box", "2"}, true},
                      DownloadRow{"WindowProgramConsoleWaitShorterThanTheDownload", kWindowConsole,
                                  {"--wait-for-box", "2"}, true},
                      DownloadRow{"CliUnpaced", kCli, {"--json"}, false}),
    [](const auto& row) { return std::string(row.param.name); });

// --- --wait-for-box against a line nobody answers ---------------------------------------------------

class WaitForBox : public ::testing::TestWithParam<Program> {};

// The probe goes out as ever, and once the seconds are past the run ends
// with status 2 and one line naming the wait and the port.
TEST_P(WaitForBox, GivesUpOnASilentLineWithStatus2) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 4096);
  PtyPair line;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = Spawn(bench.Dir(), "W4n!Rk\n", With(GetParam(), {"--wait-for-box", "3", "--port", line.NearPath()}));
  ASSERT_GT(pid, 0);
  const auto probe = line.Read(6, 60000);
  ASSERT_GE(probe.size(), 6u);
  EXPECT_EQ(std::vector<std::uint8_t>(probe.begin(), probe.begin() + 6),
            (std::vector<std::uint8_t>{0x1F, 'N', 'A', 'T', 'I', 'V'}));
  EXPECT_EQ(AwaitExit(pid, 90000), 2);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << "it gave up before its time";
  const auto err = FileLines(bench.Dir() / "stderr.txt");
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.back(), "stb-downloader: no box answered in 3 s on " + line.NearPath());
  EXPECT_TRUE(FileLines(bench.RecordDir() / "downloads.jsonl").empty());
}

INSTANTIATE_TEST_SUITE_P(Programs, WaitForBox, ::testing::Values(kCli, kWindowConsole),
                         [](const auto& row) { return std::string(row.param.name); });

// --- the libraries a running one holds -----------------------------------------------------------------

// What the process has mapped while it probes: /proc/PID/maps, as the
// dynamic loader left it, not what ldd guesses.
std::string MappedWhileProbing(const Program& program) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 4096);
  PtyPair line;
  const pid_t pid = Spawn(bench.Dir(), "W4n!Rk\n", With(program, {"--port", line.NearPath()}));
  if (pid < 0) return {};
  const bool probing = line.Read(6, 60000).size() >= 6;
  const std::string maps = probing ? ReadAll("/proc/" + std::to_string(pid) + "/maps") : std::string();
  kill(pid, SIGTERM);
  AwaitExit(pid, 60000);
  return maps;
}

TEST(CliLibraries, NoQtLibraryIsLoaded) {
  const std::string cli = MappedWhileProbing(kCli);
  ASSERT_NE(cli.find("libc.so"), std::string::npos) << "no maps read";
  EXPECT_EQ(cli.find("libQt"), std::string::npos) << cli;
  EXPECT_EQ(cli.find("libX"), std::string::npos) << cli;
  // The same look sees the toolkit in the window's program.
  EXPECT_NE(MappedWhileProbing(kWindowConsole).find("libQt6Core"), std::string::npos);
}

// --- --check ------------------------------------------------------------------------------------------------

std::string Sha256Sum(const fs::path& file) {
  std::string out;
  if (FILE* p = popen(("sha256sum '" + file.string() + "'").c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p) != nullptr) out += buffer;
    pclose(p);
  }
  return out.substr(0, out.find(' '));
}

struct CheckRow {
  const char* name;
  void (*setUp)(Workbench&);
  std::vector<std::string> args;
  int exitStatus;
  std::vector<std::string> said;  // texts the output holds
};

void PrintTo(const CheckRow& r, std::ostream* os) { *os << r.name; }

void NativeJob(Workbench& bench, const JobFile& job, std::size_t imageBytes) {
  bench.WriteJob(2, job);
  if (imageBytes > 0) bench.WriteImage(job.Image, imageBytes);
}

JobFile Job(void (*change)(JobFile&)) {
  JobFile job;
  change(job);
  return job;
}

class Check : public ::testing::TestWithParam<std::tuple<CheckRow, Program>> {};

TEST_P(Check, ReadsTheFilesWithoutAPortAndSaysEveryProblem) {
  const auto& [row, program] = GetParam();
  Workbench bench;
  row.setUp(bench);
  // A port that does not exist: --check never opens one.
  std::vector<std::string> args = row.args;
  args.insert(args.end(), {"--port", (bench.Dir() / "no-such-port").string()});
  const pid_t pid = Spawn(bench.Dir(), "", With(program, args));
  ASSERT_GT(pid, 0);
  EXPECT_EQ(AwaitExit(pid, 60000), row.exitStatus);
  const std::string out = ReadAll(bench.Dir() / "stdout.txt");
  for (const std::string& text : row.said) EXPECT_NE(out.find(text), std::string::npos) << text << " in\n" << out;
  if (row.exitStatus == 0) {
    EXPECT_EQ(out.find("problem"), std::string::npos) << out;
    EXPECT_NE(out.find("SHA-256 " + Sha256Sum(bench.Dir() / "image.bin")), std::string::npos) << out;
  }
  EXPECT_FALSE(fs::exists(bench.RecordDir() / "downloads.jsonl"));
}

const std::vector<CheckRow> kCheckRows = {
    {"GoodSample", [](Workbench& b) { NativeJob(b, JobFile{}, 5000); }, {"--check", "native"}, 0,
     {"./inc/native.inc: mode 2, Native Software Mode", "  address    0x80010000",
      "image.bin: 5000 bytes, 5 blocks of 1024", "model code 0A.01", "good"}},
    {"EveryFileInInc",
     [](Workbench& b) {
       NativeJob(b, JobFile{}, 2048);
       b.WriteJob(3, Job([](JobFile& j) {
                    j.Address = "0x80200000";
                    j.Selector = "3";
                  }));
     },
     {"--check"}, 0,
     {"./inc/native.inc: mode 2", "./inc/app1.inc: mode 3", "version selector 3: the application software 1 version",
      "All 2 description files are good."}},
    {"SevenDigitAddress", [](Workbench& b) { NativeJob(b, Job([](JobFile& j) { j.Address = "0x8001000"; }), 5000); },
     {"--check", "2"}, 2,
     {"line 12 (download address): \"0x8001000\" is not 0x and eight hexadecimal digits; it reads as 0x80010000",
      "1 problem"}},
    {"MissingImage", [](Workbench& b) { NativeJob(b, JobFile{}, 0); }, {"--check", "2"}, 2,
     {"Cannot open file image.bin", "\"image.bin\" cannot be opened"}},
    {"MissingFile", [](Workbench& b) { NativeJob(b, JobFile{}, 5000); }, {"--check", "app1"}, 2,
     {"./inc/app1.inc: mode 3", "File not found"}},
    {"NoFileInInc", [](Workbench&) {}, {"--check"}, 2, {"No description file in ./inc"}},
    {"BadFieldAndMissingImageBothSaid",
     [](Workbench& b) { NativeJob(b, Job([](JobFile& j) { j.Model = "0G.01"; }), 0); }, {"--check", "2"}, 2,
     {"'0x0G' is not a valid integer value", "\"image.bin\" cannot be opened", "2 problems"}},
    {"OuiThatReadsAsZero", [](Workbench& b) { NativeJob(b, Job([](JobFile& j) { j.Oui = "00 234"; }), 5000); },
     {"--check", "2"}, 2, {"line 1 (OUI): \"00 234\" is not six hexadecimal digits"}},
    {"AddressTheBoxRefuses",
     [](Workbench& b) { NativeJob(b, Job([](JobFile& j) { j.Address = "0xBFC00000"; }), 5000); }, {"--check", "2"}, 2,
     {"\"ERROR:Cannot Write Bootloader Area!!\""}},
};

INSTANTIATE_TEST_SUITE_P(Files, Check,
                         ::testing::Combine(::testing::ValuesIn(kCheckRows), ::testing::Values(kCli, kWindowConsole)),
                         [](const auto& cell) {
                           return std::string(std::get<0>(cell.param).name) + "_" + std::get<1>(cell.param).name;
                         });

// The window's program takes --check without --console and without a display.
TEST(CheckInTheWindowProgram, NeedsNoConsoleOption) {
  Workbench bench;
  NativeJob(bench, Job([](JobFile& j) { j.Address = "0x8001000"; }), 5000);
  const pid_t pid = Spawn(bench.Dir(), "", {STB_DOWNLOADER, "--check"});
  ASSERT_GT(pid, 0);
  EXPECT_EQ(AwaitExit(pid, 60000), 2);
  EXPECT_NE(ReadAll(bench.Dir() / "stdout.txt").find("line 12 (download address)"), std::string::npos);
}

}  // namespace

namespace {

// The bench's stations are the program without a toolkit, found beside the
// bench's own executable as the package installs them (the tests' programs
// share one folder too).
TEST(BenchStations, RunTheProgramWithoutAToolkit) {
  EXPECT_EQ(fs::path(StationProgram()), fs::path(STB_DOWNLOADER_CLI));
}

}  // namespace

namespace {

// The new options' refusals, before any port or window.
struct ArgsRow {
  const char* name;
  std::string command;
  std::string starts;  // what it writes first, standard error and output together
};

void PrintTo(const ArgsRow& r, std::ostream* os) { *os << r.name; }

class CliCommandLine : public ::testing::TestWithParam<ArgsRow> {};

TEST_P(CliCommandLine, RefusesWithStatus2) {
  const std::string& command = GetParam().command;
  const TCommandRun run = RunWithoutDisplay(command);
  const std::string& said = run.Said;
  ASSERT_NE(run.Status, -1) << said;
  EXPECT_EQ(run.Status, 2) << said;
  EXPECT_EQ(said.substr(0, GetParam().starts.size()), GetParam().starts);
}

INSTANTIATE_TEST_SUITE_P(
    Args, CliCommandLine,
    ::testing::Values(
        ArgsRow{"WaitWithoutSeconds", STB_DOWNLOADER_CLI " --wait-for-box",
                "stb-downloader-cli: --wait-for-box: needs whole seconds"},
        ArgsRow{"WaitForNoSeconds", STB_DOWNLOADER_CLI " --wait-for-box 0",
                "stb-downloader-cli: --wait-for-box: needs whole seconds"},
        ArgsRow{"WaitForAFraction", STB_DOWNLOADER_CLI " --wait-for-box 1.5",
                "stb-downloader-cli: --wait-for-box: needs whole seconds"},
        ArgsRow{"WaitInTheWindow", STB_DOWNLOADER " --wait-for-box 60",
                "stb-downloader: --wait-for-box: only with --console"},
        ArgsRow{"CheckOfNoMode", STB_DOWNLOADER_CLI " --check 9", "stb-downloader-cli: --check: a mode's number 1 to 8"},
        ArgsRow{"CheckOfAnUnknownName", STB_DOWNLOADER " --check=nativ", "stb-downloader: --check: a mode's number"},
        ArgsRow{"BenchHasNoCheck", STB_BENCH " --check", "stb-bench: unknown option \"--check\""},
        ArgsRow{"CliTakesNoToolkitOption", STB_DOWNLOADER_CLI " -platform offscreen",
                "stb-downloader-cli: unknown option \"-platform\""}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
