// The window on its own: start-up, the hidden keyword, the description file
// errors, and what goes out on the wire while probing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QImage>
#include <QScreen>
#include <QTest>

#include <unistd.h>

#include <fstream>

#include "Harness.h"
#include "DescriptionFile.h"
#include "CounterText.h"
#include "DialogTexts.h"

namespace {

const std::vector<std::string> kDirections = {
    std::string(73, '-'),
    " <<< DIRECTIONS >>> ",
    " 0. First, check Your serial cable and COM1 port.",
    " 1. Now, type the download mode in this box.",
    "    It is not displayed.",
    " 2. Lastly, turn on the Set-Top Box(KVR).",
    " 3. Wait for complete.",
    std::string(73, '-')};

// The window on a pty whose far end nobody answers (the probe's bytes can be
// read there), in a working folder that holds a description for `mode`.
struct SilentWindow {
  SilentWindow(std::uint8_t mode, std::size_t imageBytes) {
    bench.WriteJob(mode, JobFile{});
    bench.WriteImage("image.bin", imageBytes);
    s.Open();
  }
  Workbench bench;
  Session s;
};

// Nobody on the line, no description yet.
struct SilentLine {
  Session s;
};

TEST(StartUp, ShowsCaptionDirectionsCounterAndStartsTheProbe) {
  Workbench bench;
  SilentLine line;
  line.s.Open();
  TForm1& f = line.s.Form();
  EXPECT_EQ(f.windowTitle().toStdString(), kCaption);
  EXPECT_EQ(line.s.Log(), kDirections);
  EXPECT_EQ(f.Label4->text().toStdString(), "( 0 / 0 )");
  EXPECT_TRUE(f.Timer1->Active());
  EXPECT_EQ(f.Timer1->Interval(), 1000u);
  EXPECT_TRUE(f.SerialPortDriver1->Connected());
  EXPECT_FALSE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(line.s.Dialogs.empty());
}

TEST(StartUp, WithoutAPortTheWindowStillOpensAfterOneMessage) {
  Workbench bench;
  SilentLine line;
  setenv("COM1", (bench.Dir() / "no-such-port").c_str(), 1);
  line.s.Open();
  EXPECT_EQ(line.s.Dialogs, std::vector<std::string>{kConnectError});
  EXPECT_EQ(line.s.Log(), kDirections);
  EXPECT_FALSE(line.s.Form().SerialPortDriver1->Connected());
  EXPECT_NE(line.s.Form().SerialPortDriver1->LastError().find("no-such-port"), std::string::npos);
}

// --- the counter beside the Down Load bar ------------------------------------------------------

const std::string kLongestCounter = ByteCounterText(kMaxImageBytes, kMaxImageBytes);

TEST(Counter, LongestTextIsReadableAndOverlapsNeitherBar) {
  Workbench bench;
  SilentLine line;
  line.s.Open();
  TForm1& f = line.s.Form();
  ASSERT_EQ(kLongestCounter, "( 67107840 / 67107840 )");
  f.View().BlockAccepted({0, 65535, kMaxImageBytes, kMaxImageBytes, 0});
  const QRect label = f.Label4->geometry();
  EXPECT_EQ(label.topLeft(), QPoint(428, 20));
  EXPECT_FALSE(label.intersects(f.ProgressBar1->geometry()));
  EXPECT_FALSE(label.intersects(f.ProgressBar2->geometry()));
  EXPECT_TRUE(f.Panel1->contentsRect().contains(label));
  const QFontMetrics fm(f.Label4->font());
  const QString text = f.Label4->text();
  EXPECT_EQ(text.toStdString(), kLongestCounter);
  EXPECT_LE(std::max(fm.horizontalAdvance(text), fm.boundingRect(text).width()), f.Label4->contentsRect().width());
  EXPECT_LE(fm.height(), label.height());
  EXPECT_GE(f.Label4->font().pixelSize(), 8) << "too small to read";
}

// The window as it was last painted, cut to `w`'s place in it.
QImage OnScreen(TForm1& f, QWidget* w) {
  const QImage window = f.screen()->grabWindow(f.winId()).toImage();
  return window.copy(QRect(w->mapTo(&f, QPoint(0, 0)), w->size()));
}

// Alike but for the rounding of a gradient, which differs a little between
// the window's backing store and a widget's own picture.
bool LooksAlike(const QImage& a, const QImage& b) {
  if (a.size() != b.size()) return false;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
      if (std::abs(qRed(p) - qRed(q)) > 8 || std::abs(qGreen(p) - qGreen(q)) > 8 || std::abs(qBlue(p) - qBlue(q)) > 8)
        return false;
    }
  }
  return true;
}

// Columns of the bar's middle row that differ from the empty bar.
int FilledColumns(const QImage& bar, const QImage& empty) {
  int filled = 0;
  for (int x = 0; x < bar.width(); ++x) filled += bar.pixel(x, bar.height() / 2) != empty.pixel(x, bar.height() / 2);
  return filled;
}

TEST(Counter, BarRepaintsEveryStepWithTheLongestTextShown) {
  Workbench bench;
  SilentLine line;
  line.s.Open();
  TForm1& f = line.s.Form();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  f.View().BlockAccepted({0, 65535, kMaxImageBytes, kMaxImageBytes, 0});
  line.s.RunFor(50);
  const QImage empty = OnScreen(f, f.ProgressBar1);
  int before = 0;
  for (int percent : {10, 30, 50, 70, 90, 100}) {
    SCOPED_TRACE(percent);
    f.View().BlockAccepted({percent * 655, 65535, std::int64_t(percent) * kMaxImageBytes / 100, kMaxImageBytes, percent});
    // Only what one block's message handling lets through.
    f.View().BetweenBlocks();
    // On screen, the bar and the counter look exactly as each paints itself:
    // nothing covers either, and neither is left stale.
    const QImage bar = OnScreen(f, f.ProgressBar1);
    EXPECT_TRUE(LooksAlike(bar, f.ProgressBar1->grab().toImage())) << "the bar is covered or stale";
    EXPECT_TRUE(LooksAlike(OnScreen(f, f.Label4), f.Label4->grab().toImage())) << "the counter is covered";
    const int filled = FilledColumns(bar, empty);
    EXPECT_GT(filled, before);
    EXPECT_NEAR(filled, f.ProgressBar1->width() * percent / 100, 6);
    before = filled;
  }
}

// --- typing ---------------------------------------------------------------------------------

TEST(Keys, KeywordAfterNoiseChoosesTheModeAndNothingTypedIsShown) {
  SilentWindow line(3, 1025);
  line.s.Type("xx\b\r\x1b");
  line.s.Type(kKeywords[3]);
  auto log = line.s.Log();
  std::vector<std::string> expected = kDirections;
  expected.push_back("0. Application Software 1. Mode");
  expected.push_back("  The Download Address is 0x80010000 in the include file(./inc/xxxx.inc).");
  EXPECT_EQ(log, expected);
  EXPECT_EQ(line.s.Form().DownloadMode(), 3);
  EXPECT_EQ(line.s.Form().Label4->text().toStdString(), "( 0 / 2048 )");
  // A chosen mode is final: other keywords are ignored.
  line.s.Type(kKeywords[2]);
  EXPECT_EQ(line.s.Log(), expected);
  EXPECT_EQ(line.s.Form().DownloadMode(), 3);
}

TEST(Keys, EachKeyReachesTheMatcherOnceWhetherTheLogOrTheWindowHasIt) {
  SilentWindow line(4, 10);
  TForm1& f = line.s.Form();
  const std::string kw = kKeywords[4];
  // Doubled delivery would complete the word early or break it: "YY22..."
  for (std::size_t i = 0; i < kw.size(); ++i) {
    QWidget* target = i % 2 ? static_cast<QWidget*>(f.RxMemo) : static_cast<QWidget*>(&f);
    QTest::keyClick(target, kw[i]);
    QTest::keyClick(target, Qt::Key_Left);  // types nothing
    QTest::keyClick(target, Qt::Key_Shift);
  }
  EXPECT_EQ(f.DownloadMode(), 4);
}

TEST(Keys, WrongCharacterInsideAKeywordRestartsIt) {
  SilentWindow line(5, 10);
  const std::string kw = kKeywords[5];
  // The breaking character equals the first one and must not start a match.
  line.s.Type(kw.substr(0, 3) + kw[0] + kw.substr(1));
  EXPECT_EQ(line.s.Form().DownloadMode(), 0);
  line.s.Type(kw);
  EXPECT_EQ(line.s.Form().DownloadMode(), 5);
}

// --- the probe on the wire -----------------------------------------------------------------------

// What has reached the far end, once `want` bytes have or 10 s have passed,
// and whatever else is already there.
std::vector<std::uint8_t> ReadFarEnd(int fd, std::size_t want) {
  std::vector<std::uint8_t> out;
  QElapsedTimer t;
  t.start();
  for (;;) {
    std::uint8_t buf[256];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + n);
    if (out.size() >= want || t.elapsed() > 10000) return out;
    QTest::qWait(5);
  }
}

// The probe timer's ticks, two of them, given by hand: the bytes of each
// tick are then exactly countable, however loaded the machine.
void TwoTicks(TForm1& f) {
  f.Timer1->Stop();
  f.Timer1Timer();
  f.Timer1Timer();
}

TEST(Probe, OnlyWakeBytesUntilAModeThenTheModeWordAfterEach) {
  SilentWindow line(7, 10);
  TForm1& f = line.s.Form();
  const int far = line.s.FarFd();
  TwoTicks(f);
  EXPECT_EQ(ReadFarEnd(far, 2), std::vector<std::uint8_t>(2, 0x1F));
  line.s.Type(kKeywords[7]);
  TwoTicks(f);
  const std::vector<std::uint8_t> probe = {0x1F, 'C', 'H', 'A', 'N', 'L'};
  std::vector<std::uint8_t> two = probe;
  two.insert(two.end(), probe.begin(), probe.end());
  EXPECT_EQ(ReadFarEnd(far, two.size()), two);
}

struct BadDescription {
  const char* name;
  std::string content;   // empty: no file at all
  std::string message;
  std::string detail;    // what the log line after the mode line must hold
};

class DescriptionErrors : public ::testing::TestWithParam<BadDescription> {};

TEST_P(DescriptionErrors, ShowTheirMessageKeepTheWindowAndNeverOfferTheMode) {
  const BadDescription& c = GetParam();
  Workbench bench;
  if (!c.content.empty()) std::ofstream(bench.Dir() / "inc/native.inc", std::ios::binary) << c.content;
  std::ofstream(bench.Dir() / "empty.bin", std::ios::binary).flush();
  SilentLine line;
  line.s.Open();
  // Stopped before the message loop first runs: no tick of its own.
  line.s.Form().Timer1->Stop();
  line.s.Type(kKeywords[2]);
  const int far = line.s.FarFd();
  ASSERT_EQ(line.s.Dialogs.size(), 1u);
  EXPECT_EQ(line.s.Dialogs[0], c.message);
  EXPECT_TRUE(line.s.Form().isVisible());
  EXPECT_EQ(line.s.Form().DownloadMode(), 2);
  const auto log = line.s.Log();
  // The mode line, then one line that says where the fault is: no address line.
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "0. Native Software Mode");
  EXPECT_NE(log.back().find(c.detail), std::string::npos) << log.back();
  EXPECT_EQ(line.s.Form().Label4->text().toStdString(), "( 0 / 0 )");
  // Only wake bytes from now on.
  TwoTicks(line.s.Form());
  EXPECT_EQ(ReadFarEnd(far, 2), std::vector<std::uint8_t>(2, 0x1F));
  line.s.Type(kKeywords[3]);
  EXPECT_EQ(line.s.Log(), log);
}

JobFile WithImage(std::string image) {
  JobFile j;
  j.Image = std::move(image);
  return j;
}

INSTANTIATE_TEST_SUITE_P(
    Files, DescriptionErrors,
    ::testing::Values(BadDescription{"Missing", "", "File not found",
                                     "  Description file \"./inc/native.inc\" does not exist"},
                      BadDescription{"BadModelCode", "001234\r\nZZ.01\r\n", "'0xZZ' is not a valid integer value",
                                     "  ./inc/native.inc line 2, characters 1-2 (model code): \"ZZ\" is not two"},
                      BadDescription{"Empty", "\x1a", "'0x' is not a valid integer value",
                                     "line 2, characters 1-2 (model code): \"\" is missing: the file holds 0 lines"},
                      BadDescription{"MissingImage", WithImage("nothing.bin").Text(), "Cannot open file nothing.bin",
                                     "  ./inc/native.inc line 10, characters 1-11 (image file): \"nothing.bin\" "
                                     "cannot be opened: No such file or directory"},
                      // Never offered: the receiver would get an address command for 0 blocks.
                      BadDescription{"EmptyImage", WithImage("empty.bin").Text(),
                                     "Image file empty.bin is empty: there is nothing to download",
                                     "  ./inc/native.inc line 10, characters 1-9 (image file): \"empty.bin\" holds 0 "
                                     "bytes"}),
    [](const auto& p) { return std::string(p.param.name); });

// An adapter pulled out while the window probes, then plugged back in: the
// window lets the device go, says so once in its log and in its strip, and
// once the device is back under its name opens it again and goes on probing,
// so the box switched on afterwards is flashed with no restart.
TEST(LostPort, TheWindowWaitsForTheDeviceAndGoesOnWhenItIsBack) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  const auto image = bench.WriteImage("image.bin", 3 * 1024 + 5);
  const std::string port = (bench.Dir() / "com1").string();
  auto first = std::make_unique<PtyPair>();
  ASSERT_EQ(symlink(first->NearPath().c_str(), port.c_str()), 0);
  Session s;
  setenv("COM1", port.c_str(), 1);
  s.Open();
  s.Type(kKeywords[2]);
  std::size_t probed = 0;
  ASSERT_TRUE(s.RunUntil([&] { return (probed += first->Read(1, 5).size()) >= 6; }, 30000))
      << s.Log().back() << " " << s.Form().StatusStrip->text().toStdString();

  first->HangUp();
  const std::string lost = "  ERROR:Serial Line Lost - Probe !!";
  ASSERT_TRUE(s.RunUntil([&] { return Contains(s.Log(), lost); }, 30000));
  ASSERT_TRUE(s.RunUntil([&] { return s.Form().StatusStrip->text().contains("waiting for it to come back"); }, 30000))
      << s.Form().StatusStrip->text().toStdString();
  first.reset();

  stbsim::Receiver rx{stbsim::Config{}};
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  ASSERT_EQ(unlink(port.c_str()), 0);
  ASSERT_EQ(symlink(rx.ConsolePath().c_str(), port.c_str()), 0);
  rx.Start();
  ASSERT_TRUE(s.RunUntilClosed(60000)) << s.Log().back();
  const auto log = s.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), lost), 1);
  EXPECT_TRUE(Contains(log, "  Serial line is back: COM1 = " + port + " is open again"));
  ASSERT_TRUE(rx.WaitFinished(5000));
  EXPECT_EQ(rx.Flash(), Padded(image));
  rx.Stop();
}

}  // namespace
