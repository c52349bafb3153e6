// A bench row, on its own: the typed events of a station folded into what the
// row shows, from a stream recorded from `stb-downloader --console --json` (a
// download whose flash write the receiver spoiled) and from a few events made
// here.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "BenchRow.h"
#include "Events.h"
#include "TestNames.h"

namespace {

std::vector<TEvent> Recorded() {
  std::ifstream in(STB_STATION_STREAM, std::ios::binary);
  std::vector<TEvent> events;
  TEventReader reader([&](const TEvent& e) { events.push_back(e); });
  for (std::string line; std::getline(in, line);) reader.Feed(line + "\n");
  reader.Finish();
  return events;
}

// The recorded stream folded into a bench row, one event a second from t=100.
// Its box answers with step 1 (event 12) and its record says 1.9 s.
TEST(BenchRowFromTheRecordedStream, ShowsTheBoxsTimeItsStageAndItsPace) {
  const auto events = Recorded();
  ASSERT_EQ(events.size(), 45u);
  TBenchRow row("/dev/ttyUSB0");
  row.StationStarted(99);
  for (std::size_t i = 0; i < events.size(); ++i) {
    const TEvent& e = events[i];
    row.Take(e, 100.0 + double(i));
    if (i == 20) {
      EXPECT_EQ(row.Seconds(120.5), std::optional<double>(8.5)) << "timed from the box's answer";
    }
  }
  EXPECT_EQ(row.Stage(), "5. Ram Image CRC OK");
  EXPECT_EQ(row.Identity(), "1234  0A.01  01.05");
  EXPECT_EQ(row.Bytes(), 21504);
  EXPECT_EQ(row.FlashPercent(), 17);
  EXPECT_EQ(row.Rate(), std::optional<double>(11454.6));
  EXPECT_EQ(row.ResultText(), "Flash Write Error !!");
  ASSERT_EQ(row.Result(), TRowResult::Failed);
  ASSERT_TRUE(row.Seconds(500).has_value());
  EXPECT_NEAR(*row.Seconds(500), 1.9, 1e-9);
}

TEvent Progress(std::int64_t bytes, double rate, double left) {
  TRunState s;
  s.BytesSent = bytes;
  s.BytesTotal = 21504;
  s.TransferPercent = int(bytes * 100 / s.BytesTotal);
  s.BytesPerSecond = rate;
  s.SecondsLeft = left;
  return ProgressEvent(s);
}

// Events that arrive in a burst (a station's pipe read late) say nothing of
// the line's pace: the row shows the pace and time left the station sent.
TEST(BenchRow, ShowsThePaceTheStationSent) {
  TBenchRow row("/dev/ttyUSB0");
  row.StationStarted(0);
  row.Take(Progress(1024, 11295.0, 1.8), 10.000);
  row.Take(Progress(5120, 11301.0, 1.4), 10.001);
  EXPECT_EQ(row.Rate(), std::optional<double>(11301.0));
  EXPECT_EQ(row.SecondsLeft(), std::optional<double>(1.4));
  EXPECT_EQ(row.Bytes(), 5120);
}

// A station of before the bytes were the state's told the 100 with the
// bytes of the block before; the whole image is on the box all the same.
TEST(BenchRow, ShowsTheWholeImageAtTheHundred) {
  TBenchRow row("/dev/ttyUSB0");
  row.StationStarted(0);
  row.Take(ParseEvent(R"({"event":"progress","phase":"download","percent":100,"bytes":20480,"total":21504})"), 1);
  EXPECT_EQ(row.Bytes(), 21504);
  EXPECT_EQ(row.DownloadPercent(), 100);
  EXPECT_EQ(row.SecondsLeft(), std::nullopt);
}

// A numbered log line is the operator's text, not the row's stage: only
// the step event moves it.
TEST(BenchRow, TakesItsStageFromStepsAlone) {
  TBenchRow row("/dev/ttyUSB0");
  row.StationStarted(0);
  row.Take(LogEvent("3. Start DownLoad"), 1);
  EXPECT_EQ(row.Stage(), "waiting for a box");
  EXPECT_FALSE(row.Sending());
  TRunState s;
  s.Step = 3;
  s.StepLine = "3. Start DownLoad";
  row.Take(StepEvent(s), 2);
  EXPECT_EQ(row.Stage(), "3. Start DownLoad");
  EXPECT_TRUE(row.Sending());
}

struct EndRow {
  const char* name;
  TEvent result;
  std::string text;
};

void PrintTo(const EndRow& row, std::ostream* os) { *os << row.name; }

class BenchRowEnd : public ::testing::TestWithParam<EndRow> {};

// The row's last words come from the result's kind, and where it failed or
// what was last said to the operator.
TEST_P(BenchRowEnd, SaysHowTheBoxEnded) {
  TBenchRow row("/dev/ttyUSB0");
  row.StationStarted(0);
  row.Take(MessageEvent("Error: could not connect.  Check COM port settings\n/dev/ttyUSB0: busy"), 1);
  row.Take(GetParam().result, 2);
  EXPECT_EQ(row.ResultText(), GetParam().text);
  EXPECT_EQ(row.Result(), GetParam().text == "OK" ? TRowResult::Success : TRowResult::Failed);
}

INSTANTIATE_TEST_SUITE_P(
    Results, BenchRowEnd,
    ::testing::Values(
        EndRow{"Success", ResultEvent(TDownloadResult::Success, std::nullopt, std::nullopt), "OK"},
        EndRow{"StoppedWhereItWas", ResultEvent(TDownloadResult::Stopped, "  DownLoad Fail !!", std::nullopt),
               "stopped: DownLoad Fail !!"},
        EndRow{"NoDownloadSaysTheLastMessage", ResultEvent(std::nullopt, std::nullopt, std::nullopt),
               "Error: could not connect.  Check COM port settings /dev/ttyUSB0: busy"}),
    RowName());

TEvent FailedWith(TFailureCause cause) {
  TFailure failure;
  failure.Cause = cause;
  return ResultEvent(TDownloadResult::Failure, "  DownLoad Fail !!", std::nullopt, failure);
}

// Boxes one after another on a port: each failure counts once, under the
// cause its own station gave, and a crash under none.
TEST(BenchRow, CountsEachFailedBoxUnderItsCause) {
  TBenchRow row("/dev/ttyUSB0");
  double t = 0;
  TRunState checking;
  checking.Step = 1;
  checking.StepLine = "1. Check Machine";
  auto box = [&](const std::optional<TEvent>& result) {
    row.StationStarted(t += 1);
    row.Take(StepEvent(checking), t += 1);
    if (result) row.Take(*result, t += 1);
    row.StationEnded(result ? 1 : 9, !result, "", t += 1);
  };
  box(FailedWith(TFailureCause::NoReply));
  box(FailedWith(TFailureCause::Rejected));
  box(std::nullopt);
  box(ResultEvent(TDownloadResult::Success, std::nullopt, std::nullopt));
  box(FailedWith(TFailureCause::NoReply));
  const std::map<TFailureCause, int> want{
      {TFailureCause::None, 1}, {TFailureCause::NoReply, 2}, {TFailureCause::Rejected, 1}};
  EXPECT_EQ(row.FailedBy(), want);
  EXPECT_EQ(row.Failed(), 4);
  EXPECT_EQ(row.Passed(), 1);
}

struct StationEnd {
  const char* name;
  int status;
  bool signalled;
  std::string text;
};

void PrintTo(const StationEnd& row, std::ostream* os) { *os << row.name; }

class BenchRowStationEnd : public ::testing::TestWithParam<StationEnd> {};

// A station that said no result failed, however its process ended: a
// Windows crash's exception code is no "could not start".
TEST_P(BenchRowStationEnd, FailsWithHowTheStationEnded) {
  TBenchRow row("COM3");
  row.StationStarted(0);
  row.StationEnded(GetParam().status, GetParam().signalled, "", 1);
  EXPECT_EQ(row.Result(), TRowResult::Failed);
  EXPECT_EQ(row.ResultText(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Processes, BenchRowStationEnd,
    ::testing::Values(StationEnd{"NeverStarted", -1, false, "station could not start"},
                      StationEnd{"KilledBySignal", 9, true, "station killed by signal 9"},
                      StationEnd{"ExitStatus", 2, false, "station ended without a result (status 2)"},
                      StationEnd{"WindowsException", int(0xC0000005u), false,
                                 "station ended without a result (status 0xC0000005)"}),
    RowName());

}  // namespace
