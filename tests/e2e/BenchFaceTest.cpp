// stb-bench's window, offscreen, with real stb-downloader stations on three
// ptys, each against its own simulated receiver: one box passes, one fails
// in its flash write, one hangs up mid-transfer. Each row must say so, every
// box must have its record line, and no port may stay held.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <map>

#include "Harness.h"
#include "BenchWindow.h"
#include "DialogTexts.h"
#include "FormLayout.h"
#include "PortMemory.h"

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
  options.StationProgram = STB_DOWNLOADER_CLI;
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
  EXPECT_EQ(window.Totals->toolTip().toStdString(), "Failed by cause: line-lost 1   flash 1");

  // One record line per box, written by its own station.
  std::map<std::string, std::string> results;
  for (const std::string& line : FinalRecords(bench.RecordDir() / "downloads.jsonl")) {
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

// Counts every open of a file from now on: whether anything opened a port.
class OpenWatch {
public:
  explicit OpenWatch(const std::string& path) : FFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (FFd >= 0) FWatch = ::inotify_add_watch(FFd, path.c_str(), IN_OPEN);
  }
  ~OpenWatch() {
    if (FFd >= 0) ::close(FFd);
  }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;
  bool Watching() const { return FWatch >= 0; }
  int Opens() {
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(FFd, buffer, sizeof buffer)) > 0;)
      for (ssize_t at = 0; at < n; at += ssize_t(sizeof(inotify_event)) + reinterpret_cast<inotify_event*>(buffer + at)->len)
        ++FOpens;
    return FOpens;
  }

private:
  int FFd;
  int FWatch = -1;
  int FOpens = 0;
};

// Started without ports given or remembered, the bench offers the ports
// present as rows to tick. Two ptys, the receiver on one: the operator
// ticks that one and types the keyword; its box is flashed, the other port
// is never opened by a station, counts nowhere, and the ticked port is
// remembered for the next start.
// The header answers a tick at once, not at the next look at the stations.
TEST(BenchFace, ATickAnswersTheHeaderThatAskedForOne) {
  Workbench bench;
  const ConfigInBench config(bench.Dir());
  PtyPair idle;
  TBenchOptions options;
  options.StationProgram = STB_DOWNLOADER_CLI;
  options.Offered = {idle.NearPath()};
  TBenchWindow window(options);
  window.show();
  QTest::keyClicks(&window, "W4n!Rk");
  ASSERT_EQ(window.Mode(), 0);
  EXPECT_EQ(window.Header->text().toStdString(), kBenchTickFirstHeader);
  window.TickBox(0)->click();
  EXPECT_EQ(window.Header->text().toStdString(), kBenchTickHeader);
}

TEST(BenchFace, OnlyTheTickedPortIsFlashedAndRemembered) {
  Workbench bench;
  const ConfigInBench config(bench.Dir());
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 20 * 1024 + 7);
  stbsim::Receiver rx(stbsim::Config{});
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();
  PtyPair idle;
  OpenWatch opens(idle.NearPath());
  ASSERT_TRUE(opens.Watching());
  TBenchOptions options;
  options.StationProgram = STB_DOWNLOADER_CLI;
  options.Offered = {idle.NearPath(), rx.ConsolePath()};

  TBenchWindow window(options);
  window.show();
  ASSERT_EQ(window.RowCount(), 2);
  EXPECT_EQ(window.Header->text().toStdString(), kBenchTickHeader);
  for (int i = 0; i < 2; ++i) {
    ASSERT_NE(window.TickBox(i), nullptr) << i;
    EXPECT_FALSE(window.TickBox(i)->isChecked()) << "ticked at first: " << i;
    EXPECT_TRUE(window.TickBox(i)->isEnabled());
  }
  EXPECT_EQ(window.TickBox(1)->text().toStdString(), rx.ConsolePath());
  window.TickBox(1)->click();
  QTest::keyClicks(&window, "xW4n!Rk");
  ASSERT_EQ(window.Mode(), 2);
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(window.TickBox(i)->isEnabled()) << "a tick may still change: " << i;
  EXPECT_TRUE(window.TickBox(1)->isChecked());
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.Row(1).Result() != TRowResult::None; }, 90000))
      << window.Row(1).Stage();
  ASSERT_EQ(opens.Opens(), 0) << "a station opened the port left unticked";
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.Idle(); }, 60000)) << "a station never ended";

  EXPECT_EQ(window.Row(1).Result(), TRowResult::Success) << window.Row(1).ResultText();
  EXPECT_TRUE(rx.GetSummary().Success);
  EXPECT_FALSE(window.Bench().RowText(0).InUse);
  EXPECT_EQ(window.Bench().RowText(0).Labels[TBenchRowText::Stage], kBenchNotInUse);
  int greyed = 0;
  for (QLabel* label : window.findChildren<QLabel*>())
    if (label->text() == kBenchNotInUse) greyed += label->isEnabled() ? 100 : 1;
  EXPECT_EQ(greyed, 1) << "the row left unticked is not drawn greyed as not in use";
  EXPECT_EQ(window.Totals->text().toStdString(), "Passed 1   Failed 0   Boxes 1");
  EXPECT_EQ(window.ExitStatus(), 0);
  std::vector<std::string> ports;
  for (const std::string& line : FinalRecords(bench.RecordDir() / "downloads.jsonl"))
    ports.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object()["port"].toString().toStdString());
  EXPECT_EQ(ports, std::vector<std::string>{rx.ConsolePath()});
  EXPECT_EQ(UserBenchPortMemory()->Remembered(), std::vector<std::string>{rx.ConsolePath()});
  EXPECT_EQ(opens.Opens(), 0);
  window.close();
}

// A port whose station never reached it fails the bench as a failed box
// does; its row shows as much of the reason as its column holds, and the
// whole reason over every cell of the row.
TEST(BenchFace, AStationThatNeverReachedItsPortFailsTheBench) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 2048);
  stbsim::Receiver rx{stbsim::Config{}};
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();
  const std::string missing = (bench.Dir() / "ttyUSB9").string();
  TBenchWindow window(TBenchOptions{{rx.ConsolePath(), missing}, false, false, STB_DOWNLOADER, {}});
  window.show();
  QTest::keyClicks(&window, "W4n!Rk");
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.Idle(); }, 90000)) << "a station never ended";

  EXPECT_EQ(window.Row(0).Result(), TRowResult::Success);
  EXPECT_EQ(window.Row(1).Result(), TRowResult::Failed);
  EXPECT_EQ(window.Row(1).StationFailures(), 1);
  EXPECT_EQ(window.Passed(), 1);
  EXPECT_EQ(window.Failed(), 0) << "no box answered on the missing port";
  EXPECT_EQ(window.ExitStatus(), 1);
  const std::string reason = window.Row(1).ResultText();
  EXPECT_EQ(reason.rfind("Error: could not connect.  Check COM port settings " + missing + ": ", 0), 0u) << reason;
  EXPECT_EQ(window.RowToolTip(1).toStdString(), reason);
  const QString shown = window.ResultShown(1);
  EXPECT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
  EXPECT_TRUE(QString::fromStdString(reason).startsWith(shown.chopped(1))) << shown.toStdString();
  EXPECT_EQ(window.ResultShown(0), "OK");
}

// Stations the bench stopped while they waited for a box failed nothing:
// the box that passed makes it a bench that passed.
TEST(BenchFace, AStationStoppedWhileWaitingIsNoFailure) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 2048);
  stbsim::Receiver rx{stbsim::Config{}};
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();
  PtyPair silent;
  TBenchWindow window(TBenchOptions{{rx.ConsolePath(), silent.NearPath()}, false, false, STB_DOWNLOADER, {}});
  window.show();
  QTest::keyClicks(&window, "W4n!Rk");
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.Row(0).Result() == TRowResult::Success; }, 90000))
      << window.Row(0).Stage();
  ASSERT_FALSE(silent.Read(1, 30000).empty()) << "the second station never probed its port";
  window.close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 60000)) << "the bench never closed";
  EXPECT_EQ(window.Row(1).StationFailures(), 0);
  EXPECT_EQ(window.ExitStatus(), 0);
}

// A station's last word on standard error is shown in its row, even when
// the station ended before it wrote the line's end.
TEST(BenchFace, AStationsLastLineWithoutItsEndIsShown) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 1024);
  const std::string station = (bench.Dir() / "station.sh").string();
  std::ofstream(station) << "#!/bin/sh\nprintf 'first words\\nlast words' >&2\nexit 3\n";
  ASSERT_EQ(::chmod(station.c_str(), 0755), 0);
  TBenchWindow window(TBenchOptions{{"/dev/ttyS9"}, false, false, station, {}});
  window.show();
  QTest::keyClicks(&window, "W4n!Rk");
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.Idle(); }, 60000)) << "the station never ended";
  EXPECT_EQ(window.Row(0).ResultText(), "station ended without a result (status 3): last words");
}

// Closed while blocks go out: the operator is asked first; once told to
// stop, the window waits for its stations to end after the block on the
// line, and then closes by itself.
TEST(BenchFace, ClosedWhileBlocksGoOutAsksThenClosesOnceItsStationsEnded) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 64 * 1024);
  stbsim::Config paced;
  paced.Paced = true;
  stbsim::Receiver rx(paced);
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();
  TBenchWindow window(TBenchOptions{{rx.ConsolePath()}, false, false, STB_DOWNLOADER_CLI, {}});
  window.show();
  QTest::keyClicks(&window, "W4n!Rk");
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.Row(0).Sending(); }, 60000)) << window.Row(0).Stage();

  std::vector<std::string> asked;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    asked.push_back(box->text().toStdString());
    box->button(QMessageBox::Yes)->click();
  });
  answer.start(20);
  window.close();
  EXPECT_EQ(asked, std::vector<std::string>{kStopQuestion});
  EXPECT_TRUE(window.isVisible()) << "a station still runs";
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 60000)) << "the stations ended, the window stayed";
  EXPECT_TRUE(window.Idle());
  EXPECT_EQ(window.Row(0).Result(), TRowResult::Failed);
  EXPECT_LT(rx.GetSummary().BlocksAccepted, 64u) << "the station stopped before the last block";
}

}  // namespace
