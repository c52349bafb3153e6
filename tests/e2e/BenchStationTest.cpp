// The bench without a window, over real station processes: small shell
// scripts standing in for stb-downloader on a port, writing the events and
// the last words a station writes, ending as a station ends. The clock is
// the test's, so that the pause before a station starts again is exact.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "Bench.h"
#include "Harness.h"
#include "PortList.h"
#include "PortMemory.h"
#include "StatusText.h"
#include "TestNames.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKeyword = "xW4n!Rk";  // mode 2

// A station: `body` run by sh in the bench folder after it read the keyword.
std::string Station(const Workbench& bench, const std::string& name, const std::string& body) {
  const fs::path path = bench.Dir() / name;
  std::ofstream(path) << "#!/bin/sh\nread keyword\n" << body << "\n";
  ::chmod(path.c_str(), 0755);
  return path.string();
}

class Stations : public ::testing::Test {
protected:
  Stations() {
    FBench.WriteJob(2, JobFile{});
    FBench.WriteImage("image.bin", 4 * 1024);
  }

  // A bench offered `ports` to tick, none given, each row served by `program`.
  std::unique_ptr<TBench> OfferedBench(const std::string& program, const std::vector<std::string>& ports) {
    TBenchOptions options;
    options.Offered = ports;
    options.StationProgram = program;
    return std::make_unique<TBench>(options, NewStationProcess, [this] { return FNow; });
  }

  // The lines a station script appended to `name`, one per start.
  std::vector<std::string> Lines(const std::string& name) const {
    std::ifstream in(FBench.Dir() / name);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // A bench of one port served by `program`, on the test's clock.
  std::unique_ptr<TBench> Bench(const std::string& program, bool continuous = false, const std::string& trace = {}) {
    TBenchOptions options;
    options.Ports = {"/dev/null"};
    options.StationProgram = program;
    options.Continuous = continuous;
    options.Trace = trace;
    return std::make_unique<TBench>(options, NewStationProcess, [this] { return FNow; });
  }

  static void Type(TBench& bench) {
    for (const char* c = kKeyword; *c != '\0'; ++c) bench.Key(std::uint8_t(*c));
    ASSERT_EQ(bench.Mode(), 2);
  }

  // Looks until `done`, for at most a minute.
  static bool LookUntil(TBench& bench, const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < until) {
      bench.Look();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  bool Exists(const std::string& name) const { return fs::exists(FBench.Dir() / name); }

  Workbench FBench;
  ConfigInBench FConfig{FBench.Dir()};
  double FNow = 0;
};

// A station that notes its port in "started" and has its box pass.
constexpr const char* kPassingStation = R"(echo "$4" >> started
echo '{"event":"step","step":1,"text":"1. Check Machine"}'
echo '{"event":"result","result":"success"}')";

// Without ports given or remembered, the ports present are rows with a
// check box, none ticked; the keyword starts stations on the ticked ones
// alone, and they are what the next bench started without ports gets.
TEST_F(Stations, OnlyTheTickedOfferedPortsStartAndAreRemembered) {
  auto bench = OfferedBench(Station(FBench, "station.sh", kPassingStation), {"/dev/ttyS8", "/dev/ttyS9"});
  ASSERT_TRUE(bench->Offering());
  ASSERT_EQ(bench->RowCount(), 2u);
  EXPECT_EQ(bench->Head().Header, kBenchTickHeader);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(bench->RowText(i).Tick, TBenchRowText::TTick::Off) << "ticked at first: " << i;
    EXPECT_FALSE(bench->RowText(i).TickLocked);
    EXPECT_TRUE(bench->RowText(i).InUse);
  }
  EXPECT_TRUE(bench->SetTicked(1, true));
  EXPECT_EQ(bench->RowText(1).Tick, TBenchRowText::TTick::On);
  Type(*bench);
  ASSERT_TRUE(LookUntil(*bench, [&] { return bench->Idle(); }));
  EXPECT_EQ(Lines("started"), std::vector<std::string>{"/dev/ttyS9"}) << "a station on a port left unticked";

  EXPECT_FALSE(bench->SetTicked(0, true)) << "a tick changed once the mode was chosen";
  EXPECT_FALSE(bench->SetTicked(1, false)) << "a tick taken back once the mode was chosen";
  const TBenchRowText unused = bench->RowText(0), used = bench->RowText(1);
  EXPECT_EQ(unused.Tick, TBenchRowText::TTick::Off);
  EXPECT_TRUE(unused.TickLocked);
  EXPECT_FALSE(unused.InUse);
  EXPECT_EQ(unused.Labels[TBenchRowText::Stage], kBenchNotInUse);
  EXPECT_EQ(used.Tick, TBenchRowText::TTick::On);
  EXPECT_TRUE(used.TickLocked);
  EXPECT_TRUE(used.InUse);
  EXPECT_EQ(used.Labels[TBenchRowText::Result], "OK");

  EXPECT_EQ(UserBenchPortMemory()->Remembered(), std::vector<std::string>{"/dev/ttyS9"});
  TBenchOptions next;
  ASSERT_TRUE(TakeBenchPorts({}, next));
  EXPECT_EQ(next.Ports, std::vector<std::string>{"/dev/ttyS9"}) << "the next bench without --port";
  EXPECT_TRUE(next.Offered.empty()) << "remembered ports offered to tick again";
}

// A row left unticked counts in no total and not in the exit status: a
// bench whose one ticked box failed ends with 1, one whose box passed with 0.
struct UntickedCase {
  std::string name;
  std::string result;  // what the ticked box's station says
  std::string totals;
  int status;
};
class UntickedRows : public Stations, public ::testing::WithParamInterface<UntickedCase> {};

TEST_P(UntickedRows, CountInNoTotalNorInTheExitStatus) {
  const std::string body = std::string(R"(echo "$4" >> started
echo '{"event":"step","step":1,"text":"1. Check Machine"}'
echo '{"event":"result","result":")") + GetParam().result + "\"}'";
  auto bench = OfferedBench(Station(FBench, "station.sh", body), {"/dev/ttyS7", "/dev/ttyS8", "/dev/ttyS9"});
  ASSERT_TRUE(bench->SetTicked(1, true));
  Type(*bench);
  ASSERT_TRUE(LookUntil(*bench, [&] { return bench->Idle(); }));
  EXPECT_EQ(Lines("started"), std::vector<std::string>{"/dev/ttyS8"});
  EXPECT_EQ(bench->TotalsText(), GetParam().totals);
  EXPECT_EQ(bench->ExitStatus(), GetParam().status);
  // Box after box, the unticked rows stay out too.
  bench->SetContinuous(true);
  ASSERT_TRUE(LookUntil(*bench, [&] { return Lines("started").size() >= 3; }));
  bench->SetContinuous(false);
  ASSERT_TRUE(LookUntil(*bench, [&] { return bench->Idle(); }));
  for (const std::string& port : Lines("started")) EXPECT_EQ(port, "/dev/ttyS8") << "started in continuous mode";
}

INSTANTIATE_TEST_SUITE_P(Boxes, UntickedRows,
                         ::testing::Values(UntickedCase{"Passed", "success", "Passed 1   Failed 0   Boxes 1", 0},
                                           UntickedCase{"Failed", "failure", "Passed 0   Failed 1   Boxes 1", 1}),
                         RowName());

// The keyword completed with nothing ticked chooses no mode: the header asks
// for a tick, no station starts, the ticks still change, and the keyword
// typed again after a tick chooses the mode for the ticked port.
TEST_F(Stations, AKeywordWithNothingTickedChoosesNoModeUntilAPortIsTicked) {
  auto bench = OfferedBench(Station(FBench, "station.sh", kPassingStation), {"/dev/ttyS8", "/dev/ttyS9"});
  for (const char* c = kKeyword; *c != '\0'; ++c) EXPECT_FALSE(bench->Key(std::uint8_t(*c))) << *c;
  EXPECT_EQ(bench->Mode(), 0);
  EXPECT_EQ(bench->Head().Header, kBenchTickFirstHeader);
  bench->Look();
  EXPECT_TRUE(bench->Idle());
  EXPECT_FALSE(Exists("started"));
  EXPECT_FALSE(bench->RowText(0).TickLocked);
  EXPECT_TRUE(UserBenchPortMemory()->Remembered().empty()) << "nothing ticked, yet something remembered";
  ASSERT_TRUE(bench->SetTicked(0, true));
  EXPECT_EQ(bench->Head().Header, kBenchTickHeader) << "still asking for a tick once there is one";
  Type(*bench);
  ASSERT_TRUE(LookUntil(*bench, [&] { return bench->Idle(); }));
  EXPECT_EQ(Lines("started"), std::vector<std::string>{"/dev/ttyS8"});
  EXPECT_EQ(bench->ExitStatus(), 0);
  EXPECT_EQ(UserBenchPortMemory()->Remembered(), std::vector<std::string>{"/dev/ttyS8"});
}

// Ports given (or remembered) are the bench, with no check box: the ports
// present are not offered, and every row starts.
TEST_F(Stations, GivenPortsHaveNoCheckBoxes) {
  TBenchOptions options;
  options.Ports = {"/dev/ttyS5", "/dev/ttyS6"};
  options.Offered = {"/dev/ttyS9"};
  options.StationProgram = Station(FBench, "station.sh", kPassingStation);
  TBench bench(options, NewStationProcess, [this] { return FNow; });
  EXPECT_FALSE(bench.Offering());
  ASSERT_EQ(bench.RowCount(), 2u);
  EXPECT_EQ(bench.Head().Header, kBenchKeywordHeader);
  EXPECT_EQ(bench.RowText(0).Tick, TBenchRowText::TTick::None);
  EXPECT_FALSE(bench.SetTicked(0, true));
  Type(bench);
  ASSERT_TRUE(LookUntil(bench, [&] { return bench.Idle(); }));
  auto started = Lines("started");
  std::sort(started.begin(), started.end());
  EXPECT_EQ(started, (std::vector<std::string>{"/dev/ttyS5", "/dev/ttyS6"}));
  EXPECT_TRUE(bench.RowText(1).InUse);
}

// The ports of a bench started without --port and none remembered: every
// port the system lists, offered; given ones are taken and remembered.
TEST_F(Stations, BenchPortsOffersThePortsPresentWhenNoneAreGivenOrRemembered) {
  TBenchOptions options;
  std::vector<std::string> present;
  for (const TSerialDevice& device : SerialDevices()) present.push_back(device.Path);
  EXPECT_EQ(TakeBenchPorts({}, options), !present.empty());
  EXPECT_TRUE(options.Ports.empty());
  EXPECT_EQ(options.Offered, present);
  ASSERT_TRUE(TakeBenchPorts({"/dev/ttyS4"}, options));
  EXPECT_EQ(options.Ports, std::vector<std::string>{"/dev/ttyS4"});
  EXPECT_TRUE(options.Offered.empty());
  EXPECT_EQ(UserBenchPortMemory()->Remembered(), std::vector<std::string>{"/dev/ttyS4"});
}

// A line on standard error that a look took half of is shown whole: its
// last words, without a line end.
TEST_F(Stations, LastLineOnStandardErrorReadOverTwoLooksIsShownWhole) {
  auto bench = Bench(Station(FBench, "station.sh", R"(printf 'first words\nlast ' >&2
: > half-written
while [ ! -e go ]; do sleep 0.02; done
printf 'words' >&2
exit 3)"));
  Type(*bench);
  ASSERT_TRUE(LookUntil(*bench, [&] { return Exists("half-written"); }));
  bench->Look();
  std::ofstream(FBench.Dir() / "go");
  ASSERT_TRUE(LookUntil(*bench, [&] { return bench->Idle(); }));
  EXPECT_EQ(bench->Row(0).ResultText(), "station ended without a result (status 3): last words");
  EXPECT_EQ(bench->ExitStatus(), 2) << "no box was reached";
}

// With --trace each station writes its own file, named for its port.
TEST_F(Stations, EachStationIsHandedATraceFileWithItsPortsName) {
  auto bench = Bench(Station(FBench, "station.sh", R"(echo "$@" > arguments
exit 2)"), false, "traces/wire.txt");
  Type(*bench);
  ASSERT_TRUE(LookUntil(*bench, [&] { return bench->Idle(); }));
  std::string arguments;
  std::getline(std::ifstream(FBench.Dir() / "arguments"), arguments);
  EXPECT_NE(arguments.find("--port /dev/null --trace traces/wire-null.txt"), std::string::npos) << arguments;
}

TEST(StationTraceFile, PortsNameBeforeTheExtension) {
  EXPECT_EQ(StationTraceFile("wire.txt", "/dev/ttyUSB0"), "wire-ttyUSB0.txt");
  EXPECT_EQ(StationTraceFile("logs.d/wire", "COM3"), "logs.d/wire-COM3");
  EXPECT_EQ(StationTraceFile("t/wire.txt", "\\\\.\\COM12"), "t/wire-COM12.txt");
  EXPECT_EQ(StationTraceFile("wire.txt", "/dev/serial/by-id/usb-FTDI:A 1"), "wire-usb-FTDI_A_1.txt");
}

// The pace a station tells is shown in the strip's unit.
TEST_F(Stations, PaceIsShownInKibibytesASecond) {
  auto bench = Bench(Station(FBench, "station.sh", R"(echo '{"event":"step","step":3,"text":"3. Start DownLoad"}'
echo '{"event":"progress","phase":"download","percent":50,"bytes":2048,"total":4096,"transfer_percent":50,"flash_percent":0,"rate":11454.6,"seconds_left":0.2}'
while [ ! -e go ]; do sleep 0.02; done)"));
  Type(*bench);
  ASSERT_TRUE(LookUntil(*bench, [&] { return bench->Row(0).Rate().has_value(); }));
  EXPECT_EQ(bench->RowText(0).Labels[TBenchRowText::Pace], "11.2 KiB/s");
  EXPECT_EQ(bench->RowText(0).Labels[TBenchRowText::Pace], PaceText(11454.6));
  std::ofstream(FBench.Dir() / "go");
  ASSERT_TRUE(LookUntil(*bench, [&] { return bench->Idle(); }));
}

// Closed while blocks go out: asked, unless a signal closes it; once
// stopping, nothing more is decided until every station has ended.
TEST_F(Stations, ClosedWhileBlocksGoOutAsksThenClosesOnceStationsEnded) {
  auto bench = Bench(Station(FBench, "station.sh", R"(echo '{"event":"step","step":1,"text":"1. Check Machine"}'
echo '{"event":"step","step":3,"text":"3. Start DownLoad"}'
trap ': > stopped; sleep 0.3; exit 1' TERM
while :; do sleep 0.02; done)"));
  EXPECT_EQ(bench->Close(true), TBenchClose::Now) << "nothing runs yet";
  Type(*bench);
  ASSERT_TRUE(LookUntil(*bench, [&] { return bench->Row(0).Sending(); }));
  EXPECT_EQ(bench->Close(true), TBenchClose::Ask);
  EXPECT_EQ(bench->Close(false), TBenchClose::Stop) << "a signal asks nobody";
  bench->StopForClose();
  EXPECT_EQ(bench->Close(true), TBenchClose::Wait);
  EXPECT_EQ(bench->Head().Header, "Stopping the stations; the bench closes once every port is let go.");
  ASSERT_TRUE(LookUntil(*bench, [&] { return bench->CloseDue(); })) << "the station never ended";
  EXPECT_FALSE(bench->Row(0).Running()) << "due to close while its station still ran";
  EXPECT_TRUE(Exists("stopped")) << "stopped as SIGTERM stops a station";
  EXPECT_EQ(bench->Close(true), TBenchClose::Now);
  EXPECT_EQ(bench->ExitStatus(), 1) << "the box it stopped failed";
}

// Box after box: a station that reached no box starts again only after
// the pause, one that did at once; turned off, nothing starts again.
TEST_F(Stations, ContinuousStartsAgainAfterThePauseWhenNoBoxWasReached) {
  auto bench = Bench(Station(FBench, "station.sh", "echo start >> starts\nexit 2"), true);
  const auto starts = [&] {
    std::ifstream in(FBench.Dir() / "starts");
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  };
  Type(*bench);
  ASSERT_TRUE(LookUntil(*bench, [&] { return starts() == 1 && bench->Row(0).Failed() == 0 && !bench->Row(0).Running(); }));
  EXPECT_FALSE(bench->Idle()) << "a start is due";
  FNow = 1.9;
  bench->Look();
  EXPECT_FALSE(bench->Row(0).Running()) << "started again within the pause";
  FNow = 2.0;
  bench->Look();
  EXPECT_TRUE(bench->Row(0).Running()) << "not started again after the pause";
  ASSERT_TRUE(LookUntil(*bench, [&] { return starts() == 2 && !bench->Row(0).Running(); }));
  bench->SetContinuous(false);
  EXPECT_TRUE(bench->Idle());
  FNow = 10;
  bench->Look();
  EXPECT_EQ(starts(), 2);
}

}  // namespace
