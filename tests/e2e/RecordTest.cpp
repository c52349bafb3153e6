// The record a download leaves in downloads.jsonl, and the exit status the
// program will end with, after whole downloads against the simulated receiver.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <fstream>

#include "Harness.h"

namespace fs = std::filesystem;

namespace {

std::string Sha256Of(const std::vector<std::uint8_t>& bytes) {
  return QCryptographicHash::hash(QByteArrayView(bytes.data(), qsizetype(bytes.size())), QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

struct RecordCase {
  const char* name;
  void (*fault)(stbsim::Config&);
  const char* result;
  const char* failedAt;  // null for none
  int resends;
  int exitStatus;
};

class Record : public ::testing::TestWithParam<RecordCase> {};

TEST_P(Record, OneLineWithTheImageAndTheReceiverAndTheExitStatus) {
  const RecordCase& c = GetParam();
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  const auto image = bench.WriteImage("image.bin", 30 * 1024 + 100);
  stbsim::Config cfg;
  c.fault(cfg);
  Session s(cfg);
  s.Open();
  s.Type(kKeywords[2]);
  ASSERT_TRUE(s.RunUntilClosed(30000)) << ::testing::PrintToString(s.Log());
  EXPECT_EQ(ExitStatus(s.Form().DownloadResult()), c.exitStatus);

  // The running line when the receiver answered, then the final one of the same run.
  const auto all = FileLines(bench.RecordDir() / "downloads.jsonl");
  ASSERT_EQ(all.size(), 2u);
  const QJsonObject running = QJsonDocument::fromJson(QByteArray::fromStdString(all[0])).object();
  EXPECT_EQ(running["result"].toString(), "running");
  EXPECT_TRUE(running["log"].isNull());
  const auto lines = FinalRecords(bench.RecordDir() / "downloads.jsonl");
  ASSERT_EQ(lines.size(), 1u);
  QJsonParseError error{};
  const QJsonObject r = QJsonDocument::fromJson(QByteArray::fromStdString(lines[0]), &error).object();
  ASSERT_EQ(error.error, QJsonParseError::NoError) << lines[0];
  EXPECT_EQ(r["run"], running["run"]);
  EXPECT_EQ(r["cause"].toString(), c.failedAt ? "flash" : "");
  EXPECT_EQ(r["cause_text"].isNull(), c.failedAt == nullptr);

  EXPECT_EQ(r["result"].toString(), c.result);
  if (c.failedAt)
    EXPECT_EQ(r["failed_at"].toString(), c.failedAt);
  else
    EXPECT_TRUE(r["failed_at"].isNull());
  EXPECT_EQ(r["port"].toString().toStdString(), s.PortPath());
  EXPECT_EQ(r["mode"].toObject()["number"].toInt(), 2);
  EXPECT_EQ(r["mode"].toObject()["name"].toString(), "Native Software Mode");
  EXPECT_EQ(r["image"].toString().toStdString(), (bench.Dir() / "image.bin").string());
  EXPECT_EQ(r["image_bytes"].toInteger(), qint64(image.size()));
  EXPECT_EQ(r["image_sha256"].toString().toStdString(), Sha256Of(image));
  const QJsonObject rx = r["receiver"].toObject();
  EXPECT_EQ(rx["oui"].toString(), "1234");
  EXPECT_EQ(rx["model"].toString(), "0A.01");
  EXPECT_EQ(rx["hardware"].toString(), "01.05");
  EXPECT_EQ(rx["bootloader"].toString(), "02.00");
  EXPECT_EQ(rx["native"].toString(), "03.00");
  EXPECT_EQ(rx["download_address"].toString(), "0x80010000");
  EXPECT_EQ(r["blocks"].toInt(), 31);
  EXPECT_EQ(r["resends"].toInt(), c.resends);
  EXPECT_GE(r["duration_s"].toDouble(), 0.0);
  EXPECT_TRUE(QDateTime::fromString(r["time"].toString(), Qt::ISODate).isValid()) << r["time"].toString().toStdString();

  // The saved log is the window's log, line for line.
  EXPECT_EQ(FileLines(r["log"].toString().toStdString()), s.Log());
  // Only a failure keeps its wire trace, beside its log.
  if (c.failedAt) {
    ASSERT_TRUE(r["trace"].isString());
    EXPECT_EQ(fs::path(r["trace"].toString().toStdString()),
              fs::path(r["log"].toString().toStdString()).replace_extension(".trace.txt"));
    EXPECT_GT(fs::file_size(r["trace"].toString().toStdString()), 30u * 1024u);
  } else {
    EXPECT_FALSE(r.contains("trace"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Results, Record,
    ::testing::Values(
        RecordCase{"Success", [](stbsim::Config& c) {
                     c.Fault.RejectBlock = 4;
                     c.Fault.RejectTimes = 2;
                   },
                   "success", nullptr, 2, 0},
        RecordCase{"Failure", [](stbsim::Config& c) { c.Fault.FlashByteAt = 1; }, "failure", "  Flash Write Error !!",
                   0, 1}),
    [](const auto& p) { return std::string(p.param.name); });

// A folder the record cannot be written to costs one log line, not the download.
TEST(RecordFolder, UnwritableFolderLeavesTheDownloadAlone) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  const auto image = bench.WriteImage("image.bin", 8 * 1024);
  std::ofstream(bench.Dir() / "not-a-folder") << "x";
  setenv("XDG_STATE_HOME", (bench.Dir() / "not-a-folder").c_str(), 1);
  Session s{stbsim::Config{}};
  s.Open();
  s.Type(kKeywords[2]);
  ASSERT_TRUE(s.RunUntilClosed(30000)) << ::testing::PrintToString(s.Log());

  ASSERT_TRUE(s.Rx().WaitFinished(3000));
  EXPECT_TRUE(s.Rx().GetSummary().Success) << s.Rx().GetSummary().ToText();
  EXPECT_EQ(s.Rx().Flash(), Padded(image));
  EXPECT_EQ(s.Dialogs.back(), "Congraturation! Software Upgrade OK !!!!");
  const auto log = s.Log();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) { return l.rfind("  Download record not saved: ", 0) == 0; }),
            1);
  EXPECT_EQ(ExitStatus(s.Form().DownloadResult()), 0);
  EXPECT_NE(s.Form().State().RecordError.find("Not a directory"), std::string::npos) << s.Form().State().RecordError;
}

}  // namespace
