#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "DownloadRecord.h"
#include "Events.h"
#include "FileAccess.h"
#include "TestNames.h"

namespace fs = std::filesystem;

namespace {

class DownloadRecordTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/stb-record-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { fs::remove_all(dir); }

  std::vector<std::string> Lines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  fs::path dir;
};

TDownloadRecord Sample() {
  TDownloadRecord r;
  r.Time = 1796684645;
  r.Port = "/dev/ttyUSB0";
  r.Mode = 2;
  r.ModeName = "Native Software Mode";
  r.Image = "/work/images/native.bin";
  r.ImageBytes = 262144;
  r.ImageSha256 = std::string(64, 'a');
  r.VersionWritten = "03.01";
  r.DateCode = "26120";
  r.Blocks = 256;
  r.Result = TDownloadResult::Failure;
  // A quote, a backslash and a Latin-1 letter from the log.
  r.FailedAt = "  \"Set\" \\ caf\xE9";
  return r;
}

// Two runs append two whole lines, each naming its own saved log; the JSON
// holds the texts exactly, Latin-1 carried into UTF-8.
TEST_F(DownloadRecordTest, AppendsOneLinePerRunWithItsLog) {
  std::string error;
  TDownloadRecord first = Sample();
  ASSERT_TRUE(SaveRecord((dir / "state").string(), first, {"0. Native Software Mode", "  DownLoad Fail !!"}, error))
      << error;
  TDownloadRecord second = Sample();
  second.Receiver = TReceiverIdentity{"1234", "0A.01", "01.05", "02.00", "03.00", "0x80010000"};
  second.Result = TDownloadResult::Success;
  second.FailedAt.reset();
  ASSERT_TRUE(SaveRecord((dir / "state").string(), second, {"7. Update Version Table OK"}, error)) << error;

  const auto lines = Lines(dir / "state" / kRecordFileName);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(first.Log, second.Log);
  EXPECT_EQ(Lines(first.Log), (std::vector<std::string>{"0. Native Software Mode", "  DownLoad Fail !!"}));
  const std::string time = "\"time\":\"" + IsoLocalTime(first.Time) + "\"";
  EXPECT_EQ(lines[0],
            "{" + time + ",\"port\":\"/dev/ttyUSB0\",\"mode\":{\"number\":2,\"name\":\"Native Software Mode\"},"
            "\"image\":\"/work/images/native.bin\",\"image_bytes\":262144,\"image_sha256\":\"" + std::string(64, 'a') +
            "\",\"version_written\":\"03.01\",\"date_code\":\"26120\",\"receiver\":null,\"blocks\":256,\"blocks_accepted\":0,\"resends\":0,\"duration_s\":0.0,"
            "\"result\":\"failure\",\"failed_at\":\"  \\\"Set\\\" \\\\ caf\xC3\xA9\",\"log\":\"" + first.Log + "\","
            "\"cause\":null,\"cause_stage\":null,\"cause_block\":null,\"last_heard\":null,\"cause_text\":null}");
  EXPECT_NE(lines[1].find(",\"receiver\":{\"oui\":\"1234\",\"model\":\"0A.01\",\"hardware\":\"01.05\","
                          "\"bootloader\":\"02.00\",\"native\":\"03.00\",\"download_address\":\"0x80010000\"},"),
            std::string::npos)
      << lines[1];
  EXPECT_NE(lines[1].find(",\"result\":\"success\",\"failed_at\":null,"), std::string::npos) << lines[1];
}

TEST_F(DownloadRecordTest, FolderThatCannotBeMadeIsReported) {
  std::ofstream(dir / "plain-file") << "x";
  std::string error;
  TDownloadRecord r = Sample();
  EXPECT_FALSE(SaveRecord((dir / "plain-file" / "state").string(), r, {"line"}, error));
  EXPECT_NE(error.find("plain-file"), std::string::npos) << error;
}

// A log that cannot be written (here: every name of its second is taken)
// leaves no file, and the record line is written all the same, naming no log.
TEST_F(DownloadRecordTest, TheLineIsWrittenWhenItsLogCannotBe) {
  TDownloadRecord r = Sample();
  const std::tm local = *std::localtime(&r.Time);
  char stem[64];
  std::strftime(stem, sizeof stem, "download-%Y%m%d-%H%M%S", &local);
  fs::create_directories(dir / "state");
  for (int n = 1; n < 100; ++n)
    std::ofstream(dir / "state" / (std::string(stem) + (n == 1 ? "" : "-" + std::to_string(n)) + ".log")) << "taken";
  const auto before = std::distance(fs::directory_iterator(dir / "state"), fs::directory_iterator());
  std::string error;
  bool lineWritten = false;
  EXPECT_FALSE(SaveRecord((dir / "state").string(), r, {"line"}, error, std::nullopt, nullptr, &lineWritten));
  EXPECT_TRUE(lineWritten);
  EXPECT_NE(error.find("too many logs"), std::string::npos) << error;
  const auto lines = Lines(dir / "state" / kRecordFileName);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(",\"log\":null,"), std::string::npos) << lines[0];
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "state"), fs::directory_iterator()), before + 1)
      << "downloads.jsonl and nothing else";
}

// A running line whose program is gone gets its interrupted line, with the
// blocks its side file counted; one whose program still runs (a station
// beside this one) is left to it.
TEST_F(DownloadRecordTest, ARunningLineOfAProgramGoneIsMarkedInterrupted) {
  const std::string folder = (dir / "state").string();
  TDownloadJob job;
  job.ImageFileBytes = 40 * 1024;
  TDownloadRecorder recorder("/dev/ttyUSB0", folder);
  recorder.Reached(2, job);
  // As a killed program leaves it: no final line. Its own process id stands
  // for one that ended (a process id taken again by this start).
  const std::vector<std::string> running = Lines(dir / "state" / kRecordFileName);
  ASSERT_EQ(running.size(), 1u);
  std::optional<TDownloadRecord> first = ParseRecord(running[0]);
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->Running);
  std::string sideName = first->Run + ".running";
  for (char& c : sideName)
    if (c == '/' || c == ':') c = '-';
  std::ofstream(dir / "state" / sideName) << "17\n";
  TDownloadRecord other = *first;
  other.Run = "elsewhere";
  other.Pid = 1;  // init: always running
  std::string error;
  ASSERT_TRUE(file_access::AppendWhole(dir / "state" / kRecordFileName, RecordJson(other) + "\n", error)) << error;

  const std::vector<std::string> said = MarkInterrupted(folder);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("after 17 of 40 blocks"), std::string::npos) << said[0];
  const auto lines = Lines(dir / "state" / kRecordFileName);
  ASSERT_EQ(lines.size(), 3u);
  const std::optional<TDownloadRecord> marked = ParseRecord(lines[2]);
  ASSERT_TRUE(marked);
  EXPECT_FALSE(marked->Running);
  EXPECT_EQ(marked->Run, first->Run);
  EXPECT_EQ(marked->Result, TDownloadResult::Failure);
  EXPECT_EQ(marked->Failure.Cause, TFailureCause::Interrupted);
  EXPECT_EQ(marked->BlocksAccepted, 17);
  EXPECT_FALSE(fs::exists(dir / "state" / sideName));
  EXPECT_TRUE(MarkInterrupted(folder).empty()) << "marked once";
}

// The pair the receiver is sent is the one the record names, whichever the
// description file's selector chose.
struct WrittenRow {
  const char* name;
  std::uint8_t mode;
  std::uint8_t selector;
  const char* versionWritten;  // as the record's JSON spells it
};

void PrintTo(const WrittenRow& r, std::ostream* os) { *os << r.name; }

class VersionWritten : public DownloadRecordTest, public ::testing::WithParamInterface<WrittenRow> {};

TEST_P(VersionWritten, IsThePairTheSelectorChose) {
  TDownloadJob job;
  job.BootloaderVersion = {0x02, 0x00};
  job.NativeVersion = {0x03, 0x01};
  job.Application1Version = {0x04, 0x02};
  job.Application2Version = {0x05, 0x03};
  job.VersionSelector = GetParam().selector;
  TDownloadRecorder recorder("/dev/ttyUSB0", (dir / "state").string());
  recorder.Reached(GetParam().mode, job);
  ASSERT_EQ(recorder.Finish(TDownloadResult::Success), "");
  // The running line when the receiver answered, then the final one: both name it.
  const auto lines = Lines(dir / "state" / kRecordFileName);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\"result\":\"running\""), std::string::npos) << lines[0];
  for (const std::string& line : lines)
    EXPECT_NE(line.find(std::string(",\"version_written\":") + GetParam().versionWritten + ","), std::string::npos)
        << line;
}

INSTANTIATE_TEST_SUITE_P(Selectors, VersionWritten,
                         ::testing::Values(WrittenRow{"BootLoader", 1, 1, "\"02.00\""},
                                           WrittenRow{"Native", 2, 2, "\"03.01\""},
                                           WrittenRow{"Application1", 3, 3, "\"04.02\""},
                                           WrittenRow{"Application2", 4, 4, "\"05.03\""},
                                           WrittenRow{"NoneForZero", 5, 0, "null"}),
                         RowName());

// The offset printed is the one that brings the local time back to UTC.
TEST(RecordTime, LocalTimeCarriesItsOffset) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "UTC-05:30", 1);
  tzset();
  EXPECT_EQ(IsoLocalTime(0), "1970-01-01T05:30:00+05:30");
  setenv("TZ", "UTC+03", 1);
  tzset();
  EXPECT_EQ(IsoLocalTime(0), "1969-12-31T21:00:00-03:00");
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

}  // namespace
