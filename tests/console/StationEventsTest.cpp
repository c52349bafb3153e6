// The bench's reader of a station's output, on its own: a stream recorded
// from `stb-downloader --console --json` (a download whose flash write the
// receiver spoiled), fed whole and in pieces of every awkward size, then
// folded into a bench row; and the lines a pipe can bring that no station
// should write.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "BenchRow.h"
#include "StationEvents.h"
#include "TestNames.h"

namespace {

std::string Recorded() {
  std::ifstream in(STB_STATION_STREAM, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<TStationEvent> Read(const std::string& bytes, std::size_t piece) {
  std::vector<TStationEvent> events;
  TStationReader reader([&](const TStationEvent& e) { events.push_back(e); });
  for (std::size_t i = 0; i < bytes.size(); i += piece) reader.Feed(std::string_view(bytes).substr(i, piece));
  reader.Finish();
  return events;
}

class RecordedStream : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RecordedStream, EveryEventWhateverThePieces) {
  const std::string stream = Recorded();
  ASSERT_FALSE(stream.empty());
  const auto events = Read(stream, GetParam());
  ASSERT_EQ(events.size(), 40u);
  std::map<TStationEventKind, int> kinds;
  for (const auto& e : events) ++kinds[e.Kind];
  EXPECT_EQ(kinds[TStationEventKind::Log], 23);
  EXPECT_EQ(kinds[TStationEventKind::Progress], 13);
  EXPECT_EQ(kinds[TStationEventKind::Receiver], 2);
  EXPECT_EQ(kinds[TStationEventKind::Message], 1);
  EXPECT_EQ(kinds[TStationEventKind::Unknown], 0);

  EXPECT_EQ(events[8].Text, "0. Native Software Mode");
  const TStationEvent& id = events[12];
  EXPECT_EQ(id.Kind, TStationEventKind::Receiver);
  EXPECT_EQ(id.Oui + " " + id.Model + " " + id.Hardware, "1234 0A.01 01.05");
  EXPECT_FALSE(id.AddressRead);
  EXPECT_TRUE(events[19].AddressRead);
  const TStationEvent& flash = events[37];
  EXPECT_TRUE(flash.FlashPhase);
  EXPECT_EQ(flash.Percent, 33);
  EXPECT_EQ(flash.Bytes, 7096);
  EXPECT_EQ(flash.Total, 21504);

  const TStationEvent& result = events.back();
  ASSERT_EQ(result.Kind, TStationEventKind::Result);
  EXPECT_EQ(result.Result, "failed");
  EXPECT_EQ(result.FailedAt, std::optional<std::string>("  Flash Write Error !!"));
  EXPECT_TRUE(result.Recorded);
  EXPECT_EQ(result.DurationS, std::optional<double>(1.9));
}

INSTANTIATE_TEST_SUITE_P(Pieces, RecordedStream, ::testing::Values(1, 7, 100, 4096, 1 << 20),
                         [](const auto& row) { return "Bytes" + std::to_string(row.param); });

// The recorded stream folded into a bench row, one event a second from t=100.
// Its last download report is the 100 with the bytes of the block before; its
// box answers with "1. Check Machine" (event 10) and its record says 1.9 s.
TEST(BenchRowFromTheRecordedStream, ShowsTheWholeImageAtTheHundredAndTheRecordsTime) {
  const auto events = Read(Recorded(), 1 << 20);
  ASSERT_EQ(events.size(), 40u);
  TBenchRow row("/dev/ttyUSB0");
  row.StationStarted(99);
  bool sawHundred = false;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const TStationEvent& e = events[i];
    row.Take(e, 100.0 + double(i));
    if (i == 20) {
      EXPECT_EQ(row.Seconds(120.5), std::optional<double>(10.5)) << "timed from the box's answer";
    }
    if (e.Kind == TStationEventKind::Progress && !e.FlashPhase && e.Percent == 100) {
      sawHundred = true;
      EXPECT_EQ(e.Bytes, 20480);
      EXPECT_EQ(row.Bytes(), 21504);
      EXPECT_EQ(row.Total(), 21504);
    }
  }
  EXPECT_TRUE(sawHundred);
  ASSERT_EQ(row.Result(), TRowResult::Failed);
  ASSERT_TRUE(row.Seconds(500).has_value());
  EXPECT_NEAR(*row.Seconds(500), 1.9, 1e-9);
}

struct OddLine {
  const char* name;
  std::string bytes;
  std::vector<TStationEventKind> kinds;
  std::string firstText;
};

class OddLines : public ::testing::TestWithParam<OddLine> {};

TEST_P(OddLines, AreReadOrPassedOverWithoutHarm) {
  const auto events = Read(GetParam().bytes, 3);
  std::vector<TStationEventKind> kinds;
  for (const auto& e : events) kinds.push_back(e.Kind);
  EXPECT_EQ(kinds, GetParam().kinds);
  if (!events.empty()) {
    EXPECT_EQ(events[0].Text, GetParam().firstText);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, OddLines,
    ::testing::Values(
        OddLine{"EscapesAndLatin1Carried", "{\"event\":\"log\",\"text\":\"a\\\"b\\\\c\\u00e9\\ud83d\\ude00\"}\r\n",
                {TStationEventKind::Log}, "a\"b\\c\xC3\xA9\xF0\x9F\x98\x80"},
        OddLine{"LastLineWithoutItsEnd", "{\"event\":\"message\",\"text\":\"x\"}", {TStationEventKind::Message}, "x"},
        OddLine{"NotJsonIsUnknown", "Segmentation fault\n{\"event\":\"log\",\"text\":\"y\"}\n",
                {TStationEventKind::Unknown, TStationEventKind::Log}, "Segmentation fault"},
        OddLine{"CutObjectIsUnknown", "{\"event\":\"result\",\"result\":\"succ\n", {TStationEventKind::Unknown},
                "{\"event\":\"result\",\"result\":\"succ"},
        OddLine{"TooDeepIsUnknown", std::string(40, '[') + std::string(40, ']') + "\n", {TStationEventKind::Unknown},
                std::string(40, '[') + std::string(40, ']')},
        OddLine{"OverlongLineDropped",
                "{\"event\":\"log\",\"text\":\"" + std::string(kLongestStationLine, 'z') + "\"}\n{\"event\":\"log\",\"text\":\"after\"}\n",
                {TStationEventKind::Log}, "after"}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
