// The JSON a run writes for programs, written and read by one schema: each
// kind of event as its exact line and back; the record and back; lines a
// station wrote before the schema grew; a stream recorded from
// `stb-downloader --console --json` read in pieces of every awkward size;
// and the lines a pipe can bring that no station should write.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "Events.h"
#include "TestNames.h"

// A failed comparison shows the events and records as their lines.
void PrintTo(const TEvent& e, std::ostream* os) { *os << EventJson(e); }
void PrintTo(const TDownloadRecord& r, std::ostream* os) { *os << RecordJson(r); }

namespace {

TDownloadRecord SampleRecord() {
  TDownloadRecord r;
  r.Time = 1796684645;
  r.Port = "/dev/ttyUSB0";
  r.Mode = 3;
  r.ModeName = "Application Software 1 Mode";
  r.Image = "/work/images/app1.bin";
  r.ImageBytes = 262151;
  r.ImageSha256 = std::string(64, 'c');
  r.VersionWritten = "04.02";
  r.DateCode = "26120";
  r.Receiver = TReceiverIdentity{"1234", "0A.01", "01.05", "02.00", "03.00", "0x80010000"};
  r.Blocks = 257;
  r.BlocksAccepted = 6;
  r.Resends = 2;
  r.DurationS = 12.5;
  r.Result = TDownloadResult::Failure;
  r.FailedAt = "  DownLoad Fail !!";
  r.Log = "/home/op/.local/state/stb-downloader/download-20261208-045701.log";
  return r;
}

TRunState Sending() {
  TRunState s;
  s.Step = 3;
  s.StepLine = "3. Start DownLoad";
  s.BytesSent = 7168;
  s.BytesTotal = 21504;
  s.TransferPercent = 38;
  s.BytesPerSecond = 11295.5;
  s.SecondsLeft = 1.3;
  return s;
}

TRunState Flashing() {
  TRunState s = Sending();
  s.BytesSent = 21504;
  s.TransferPercent = 100;
  s.FlashPercent = 33;
  s.SecondsLeft.reset();
  return s;
}

TRunState BeforeTheFirstBlock() {
  TRunState s;
  s.BytesTotal = 21504;
  return s;
}

std::optional<TDownloadRecord> NoRecord() { return std::nullopt; }

struct EventRow {
  const char* name;
  TEvent event;
  std::string json;
};

void PrintTo(const EventRow& row, std::ostream* os) { *os << row.name; }

class EventSchema : public ::testing::TestWithParam<EventRow> {};

// Scripts read these exact lines; the bench reads them back into the event.
TEST_P(EventSchema, WritesItsLineAndReadsItBack) {
  EXPECT_EQ(EventJson(GetParam().event), GetParam().json);
  EXPECT_EQ(ParseEvent(GetParam().json), GetParam().event);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EventSchema,
    ::testing::Values(
        EventRow{"Log", LogEvent("  -. Pass OUI - Tarnwell. Co."),
                 R"({"event":"log","text":"  -. Pass OUI - Tarnwell. Co."})"},
        EventRow{"Step", StepEvent(Sending()), R"({"event":"step","step":3,"text":"3. Start DownLoad"})"},
        EventRow{"ProgressSending", ProgressEvent(Sending()),
                 R"({"event":"progress","phase":"download","percent":38,"bytes":7168,"total":21504,)"
                 R"("transfer_percent":38,"flash_percent":0,"rate":11295.5,"seconds_left":1.3})"},
        EventRow{"ProgressFlashing", ProgressEvent(Flashing()),
                 R"({"event":"progress","phase":"flash","percent":33,"bytes":21504,"total":21504,)"
                 R"("transfer_percent":100,"flash_percent":33,"rate":11295.5,"seconds_left":null})"},
        EventRow{"ProgressBeforeThePace", ProgressEvent(BeforeTheFirstBlock()),
                 R"({"event":"progress","phase":"download","percent":0,"bytes":0,"total":21504,)"
                 R"("transfer_percent":0,"flash_percent":0,"rate":null,"seconds_left":null})"},
        EventRow{"ReceiverWithItsAddress", ReceiverEvent(*SampleRecord().Receiver, true),
                 R"({"event":"receiver","oui":"1234","model":"0A.01","hardware":"01.05","bootloader":"02.00",)"
                 R"("native":"03.00","download_address":"0x80010000"})"},
        EventRow{"ReceiverBeforeItsAddress", ReceiverEvent(*SampleRecord().Receiver, false),
                 R"({"event":"receiver","oui":"1234","model":"0A.01","hardware":"01.05","bootloader":"02.00",)"
                 R"("native":"03.00","download_address":null})"},
        EventRow{"QuestionAnsweredByOption", QuestionEvent("Continue?", false, "option"),
                 R"({"event":"question","text":"Continue?","answer":"no","by":"option"})"},
        EventRow{"MessageOfTwoLines", MessageEvent("Error: could not connect.\n/dev/ttyUSB0: busy"),
                 R"({"event":"message","text":"Error: could not connect.\u000a/dev/ttyUSB0: busy"})"},
        EventRow{"ResultStopped", ResultEvent(TDownloadResult::Stopped, std::nullopt, NoRecord()),
                 R"({"event":"result","result":"stopped","failed_at":null,"record":null,"cause":null,"cause_stage":null,)"
                 R"("cause_block":null,"last_heard":null,"cause_text":null,"record_error":null})"},
        EventRow{"ResultWithoutADownload", ResultEvent(std::nullopt, std::nullopt, NoRecord()),
                 R"({"event":"result","result":"no-download","failed_at":null,"record":null,"cause":null,)"
                 R"("cause_stage":null,"cause_block":null,"last_heard":null,"cause_text":null,"record_error":null})"},
        EventRow{"ResultFailureWithItsRecord",
                 ResultEvent(TDownloadResult::Failure, "  DownLoad Fail !!", SampleRecord()),
                 R"({"event":"result","result":"failure","failed_at":"  DownLoad Fail !!","record":)" +
                     RecordJson(SampleRecord()) +
                     R"(,"cause":null,"cause_stage":null,"cause_block":null,"last_heard":null,"cause_text":null,)"
                     R"("record_error":null})"},
        EventRow{"ResultWithItsCause",
                 ResultEvent(TDownloadResult::Failure, "  DownLoad Fail !!", NoRecord(),
                             TFailure{TFailureCause::Rejected, "DownLoad", 23, "3F3F", "the box rejected block 23"},
                             "/state: Read-only file system"),
                 R"({"event":"result","result":"failure","failed_at":"  DownLoad Fail !!","record":null,)"
                 R"("cause":"rejected","cause_stage":"DownLoad","cause_block":23,"last_heard":"3F3F",)"
                 R"("cause_text":"the box rejected block 23","record_error":"/state: Read-only file system"})"},
        EventRow{"ResultWithoutADownloadHasItsReason",
                 ResultEvent(std::nullopt, std::nullopt, NoRecord(),
                             TFailure{TFailureCause::NoMode, "", std::nullopt, "", "no download mode was given"}),
                 R"({"event":"result","result":"no-download","failed_at":null,"record":null,"cause":"no-mode",)"
                 R"("cause_stage":null,"cause_block":null,"last_heard":null,"cause_text":"no download mode was given",)"
                 R"("record_error":null})"}),
    RowName());

struct RecordRow {
  const char* name;
  TDownloadRecord record;
};

void PrintTo(const RecordRow& row, std::ostream* os) { *os << row.name; }

class RecordSchema : public ::testing::TestWithParam<RecordRow> {};

// The time is written as local time with its offset; a zone half an hour
// off the hour shows an offset read the wrong way round.
TEST_P(RecordSchema, ReadsBackAsWritten) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "UTC+03:30", 1);
  tzset();
  const std::string line = RecordJson(GetParam().record);
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(ParseRecord(line), std::optional<TDownloadRecord>(GetParam().record)) << line;
}

TDownloadRecord BareRecord() {
  TDownloadRecord r = SampleRecord();
  r.ImageSha256.clear();
  r.VersionWritten.reset();
  r.Receiver->DownloadAddress.clear();
  r.Result = TDownloadResult::Success;
  r.FailedAt.reset();
  return r;
}

TDownloadRecord RecordWithTrace() {
  TDownloadRecord r = SampleRecord();
  r.Trace = "/home/op/.local/state/stb-downloader/download-20261208-045701.trace.txt";
  return r;
}

TDownloadRecord RunningRecord() {
  TDownloadRecord r = SampleRecord();
  r.Running = true;
  r.FailedAt.reset();
  r.Log.clear();
  r.Run = "2026-12-08T04:57:01+01:00/4242//dev/ttyUSB0";
  r.Pid = 4242;
  return r;
}

TDownloadRecord InterruptedRecord() {
  TDownloadRecord r = RunningRecord();
  r.Running = false;
  r.BlocksAccepted = 40;
  r.Failure = {TFailureCause::Interrupted, "DownLoad", std::nullopt, "", "the program ended"};
  return r;
}

TDownloadRecord RejectedRecord() {
  TDownloadRecord r = SampleRecord();
  r.Failure = {TFailureCause::Rejected, "DownLoad", 23, "3F3F3F", "the box rejected block 23 17 times"};
  return r;
}

INSTANTIATE_TEST_SUITE_P(Records, RecordSchema,
                         ::testing::Values(RecordRow{"EveryFieldGiven", SampleRecord()},
                                           RecordRow{"FailureWithItsTrace", RecordWithTrace()},
                                           RecordRow{"NullsWhereNothingCame", BareRecord()},
                                           RecordRow{"RunningWithoutItsLogYet", RunningRecord()},
                                           RecordRow{"InterruptedNamesItsRun", InterruptedRecord()},
                                           RecordRow{"RejectedWithTheBlockAndWhatWasHeard", RejectedRecord()}),
                         RowName());

// A station of before the schema grew: its progress told only the phase's
// percent, and a failure was spelt "failed".
TEST(OldStationLines, StillRead) {
  const TEvent sending = ParseEvent(R"({"event":"progress","phase":"download","percent":38,"bytes":7168,"total":21504})");
  EXPECT_EQ(sending.TransferPercent, 38);
  EXPECT_EQ(sending.FlashPercent, 0);
  EXPECT_EQ(sending.BytesPerSecond, std::nullopt);
  const TEvent flashing = ParseEvent(R"({"event":"progress","phase":"flash","percent":33,"bytes":7096,"total":21504})");
  EXPECT_EQ(flashing.TransferPercent, 100);
  EXPECT_EQ(flashing.FlashPercent, 33);
  const TEvent failed = ParseEvent(R"({"event":"result","result":"failed","failed_at":"  Flash Write Error !!","record":null})");
  EXPECT_EQ(failed.Kind, TEventKind::Result);
  EXPECT_EQ(failed.Result, std::optional<TDownloadResult>(TDownloadResult::Failure));
}

// --- the reader over a pipe ---------------------------------------------------------------------------

std::string Recorded() {
  std::ifstream in(STB_STATION_STREAM, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<TEvent> Read(const std::string& bytes, std::size_t piece) {
  std::vector<TEvent> events;
  TEventReader reader([&](const TEvent& e) { events.push_back(e); });
  for (std::size_t i = 0; i < bytes.size(); i += piece) reader.Feed(std::string_view(bytes).substr(i, piece));
  reader.Finish();
  return events;
}

class RecordedStream : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RecordedStream, EveryEventWhateverThePieces) {
  const std::string stream = Recorded();
  ASSERT_FALSE(stream.empty());
  const auto events = Read(stream, GetParam());
  ASSERT_EQ(events.size(), 45u);
  std::map<TEventKind, int> kinds;
  for (const auto& e : events) ++kinds[e.Kind];
  EXPECT_EQ(kinds[TEventKind::Log], 23);
  EXPECT_EQ(kinds[TEventKind::Step], 6);
  EXPECT_EQ(kinds[TEventKind::Progress], 12);
  EXPECT_EQ(kinds[TEventKind::Receiver], 2);
  EXPECT_EQ(kinds[TEventKind::Message], 1);
  EXPECT_EQ(kinds[TEventKind::Unknown], 0);

  EXPECT_EQ(events[8].Text, "0. Native Software Mode");
  const TEvent& id = events[13];
  ASSERT_EQ(id.Kind, TEventKind::Receiver);
  EXPECT_EQ(id.Receiver.Oui + " " + id.Receiver.Model + " " + id.Receiver.Hardware, "1234 0A.01 01.05");
  EXPECT_FALSE(id.AddressRead);
  EXPECT_TRUE(events[20].AddressRead);
  const TEvent& flash = events[42];
  EXPECT_TRUE(flash.FlashPhase);
  EXPECT_EQ(flash.FlashPercent, 17);
  EXPECT_EQ(flash.TransferPercent, 100);

  const TEvent& result = events.back();
  ASSERT_EQ(result.Kind, TEventKind::Result);
  EXPECT_EQ(result.Result, std::optional<TDownloadResult>(TDownloadResult::Failure));
  EXPECT_EQ(result.FailedAt, std::optional<std::string>("  Flash Write Error !!"));
  ASSERT_TRUE(result.Record.has_value());
  EXPECT_EQ(result.Record->DurationS, 1.9);
  EXPECT_EQ(result.Record->BlocksAccepted, 21);
}

INSTANTIATE_TEST_SUITE_P(Pieces, RecordedStream, ::testing::Values(1, 7, 100, 4096, 1 << 20),
                         [](const auto& row) { return "Bytes" + std::to_string(row.param); });

struct OddLine {
  const char* name;
  std::string bytes;
  std::vector<TEventKind> kinds;
  std::string firstText;
};

void PrintTo(const OddLine& row, std::ostream* os) { *os << row.name; }

class OddLines : public ::testing::TestWithParam<OddLine> {};

TEST_P(OddLines, AreReadOrPassedOverWithoutHarm) {
  const auto events = Read(GetParam().bytes, 3);
  std::vector<TEventKind> kinds;
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
                {TEventKind::Log}, "a\"b\\c\xC3\xA9\xF0\x9F\x98\x80"},
        OddLine{"LastLineWithoutItsEnd", "{\"event\":\"message\",\"text\":\"x\"}", {TEventKind::Message}, "x"},
        // A newer station's fields, of every kind of value: the line is still its event.
        OddLine{"NewerFieldsReadAsTheirKind",
                "{\"event\":\"log\",\"text\":\"x\",\"since\":{\"ms\":[1,2.5,true,null]}}\n"
                "{\"event\":\"progress\",\"phase\":\"download\",\"percent\":38,\"bytes\":7168,\"total\":21504,"
                "\"transfer_percent\":38,\"flash_percent\":0,\"rate\":11295.5,\"seconds_left\":1.3,\"eta\":\"17:02\"}\n",
                {TEventKind::Log, TEventKind::Progress}, "x"},
        OddLine{"NotJsonIsUnknown", "Segmentation fault\n{\"event\":\"log\",\"text\":\"y\"}\n",
                {TEventKind::Unknown, TEventKind::Log}, "Segmentation fault"},
        OddLine{"CutObjectIsUnknown", "{\"event\":\"result\",\"result\":\"succ\n", {TEventKind::Unknown},
                "{\"event\":\"result\",\"result\":\"succ"},
        OddLine{"TooDeepIsUnknown", std::string(40, '[') + std::string(40, ']') + "\n", {TEventKind::Unknown},
                std::string(40, '[') + std::string(40, ']')},
        OddLine{"OverlongLineDropped",
                "{\"event\":\"log\",\"text\":\"" + std::string(kLongestEventLine, 'z') +
                    "\"}\n{\"event\":\"log\",\"text\":\"after\"}\n",
                {TEventKind::Log}, "after"}),
    RowName());

}  // namespace
