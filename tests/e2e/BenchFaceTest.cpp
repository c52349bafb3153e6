// stb-bench's window, offscreen, with real stb-downloader stations on three
// ptys, each against its own simulated receiver: one box passes, one fails
// in its flash write, one hangs up mid-transfer. Each row must say so, every
// box must have its record line, and no port may stay held.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <fstream>
#include <map>

#include "Harness.h"
#include "BenchWindow.h"

namespace {

// True when a new program could take the port as the stations do.
bool PortTakeable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return locked;
}

TEST(BenchFace, ThreeBoxesEachWithItsOwnEnd) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 20 * 1024 + 7);
  std::vector<stbsim::Config> configs(3);
  configs[1].Fault.FlashByteAt = 1;
  configs[2].Fault.HangUpAt = stbsim::Stage::Transferring;
  configs[2].Fault.HangUpBlock = 5;
  std::vector<std::unique_ptr<stbsim::Receiver>> receivers;
  TBenchOptions options;
  options.StationProgram = STB_DOWNLOADER;
  for (const auto& cfg : configs) {
    receivers.push_back(std::make_unique<stbsim::Receiver>(cfg));
    std::string error;
    ASSERT_TRUE(receivers.back()->OpenPty(&error)) << error;
    receivers.back()->Start();
    options.Ports.push_back(receivers.back()->ConsolePath());
  }

  TBenchWindow window(options);
  window.show();
  QTest::keyClicks(&window, "xW4n!Rk");
  ASSERT_EQ(window.Mode(), 2);
  EXPECT_EQ(window.DigestLine->text().toStdString(), "SHA-256: " + window.Job().ImageSha256);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.Idle(); }, 90000)) << "a station never ended";

  EXPECT_EQ(window.Row(0).Result(), TRowResult::Success);
  EXPECT_EQ(window.Row(0).ResultText(), "OK");
  EXPECT_EQ(window.Row(0).Identity(), "1234  0A.01  01.05");
  EXPECT_EQ(window.Row(1).Result(), TRowResult::Failed);
  EXPECT_EQ(window.Row(1).ResultText(), "Flash Write Error !!");
  EXPECT_EQ(window.Row(1).Stage(), "5. Ram Image CRC OK");
  EXPECT_EQ(window.Row(2).Result(), TRowResult::Failed);
  EXPECT_EQ(window.Row(2).Stage(), "3. Start DownLoad");
  EXPECT_EQ(window.Row(2).ResultText(), "DownLoad Fail !!");
  EXPECT_EQ(window.Passed(), 1);
  EXPECT_EQ(window.Failed(), 2);
  EXPECT_EQ(window.ExitStatus(), 1);

  // One record line per box, written by its own station.
  std::map<std::string, std::string> results;
  std::ifstream records(bench.RecordDir() / "downloads.jsonl");
  for (std::string line; std::getline(records, line);) {
    const QJsonObject r = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    results[r["port"].toString().toStdString()] = r["result"].toString().toStdString();
  }
  EXPECT_EQ(results, (std::map<std::string, std::string>{
                         {options.Ports[0], "success"}, {options.Ports[1], "failure"}, {options.Ports[2], "failure"}}));

  // The stations are gone with their locks; the hung-up line has no far
  // end left to open, so the other two are tried.
  EXPECT_TRUE(window.StationPids().empty());
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(PortTakeable(options.Ports[std::size_t(i)])) << options.Ports[std::size_t(i)];
  window.close();
  EXPECT_FALSE(window.isVisible()) << "nothing running: the bench closes without a question";
}

}  // namespace
