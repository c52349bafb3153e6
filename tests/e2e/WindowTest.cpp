// The window on its own: start-up, the hidden keyword, the description file
// errors, and what goes out on the wire while probing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <unistd.h>

#include <fstream>

#include "Bench.h"

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
  EXPECT_EQ(line.s.Form().DownloadMode, 3);
  EXPECT_EQ(line.s.Form().Label4->text().toStdString(), "( 0 / 2048 )");
  // A chosen mode is final: other keywords are ignored.
  line.s.Type(kKeywords[2]);
  EXPECT_EQ(line.s.Log(), expected);
  EXPECT_EQ(line.s.Form().DownloadMode, 3);
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
  EXPECT_EQ(f.DownloadMode, 4);
}

TEST(Keys, WrongCharacterInsideAKeywordRestartsIt) {
  SilentWindow line(5, 10);
  const std::string kw = kKeywords[5];
  // The breaking character equals the first one and must not start a match.
  line.s.Type(kw.substr(0, 3) + kw[0] + kw.substr(1));
  EXPECT_EQ(line.s.Form().DownloadMode, 0);
  line.s.Type(kw);
  EXPECT_EQ(line.s.Form().DownloadMode, 5);
}

// --- the probe on the wire -----------------------------------------------------------------------

std::vector<std::uint8_t> ReadFarEnd(int fd, int ms) {
  std::vector<std::uint8_t> out;
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    QTest::qWait(20);
    std::uint8_t buf[256];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + n);
  }
  return out;
}

TEST(Probe, OnlyWakeBytesUntilAModeThenTheModeWordAfterEach) {
  SilentWindow line(7, 10);
  const int far = line.s.FarFd();
  EXPECT_EQ(ReadFarEnd(far, 2300), std::vector<std::uint8_t>(2, 0x1F));
  line.s.Type(kKeywords[7]);
  const auto bytes = ReadFarEnd(far, 2100);
  const std::vector<std::uint8_t> probe = {0x1F, 'C', 'H', 'A', 'N', 'L'};
  std::vector<std::uint8_t> two = probe;
  two.insert(two.end(), probe.begin(), probe.end());
  EXPECT_EQ(bytes, two);
}

struct BadDescription {
  const char* name;
  std::string content;   // empty: no file at all
  std::string message;
};

class DescriptionErrors : public ::testing::TestWithParam<BadDescription> {};

TEST_P(DescriptionErrors, ShowTheirMessageKeepTheWindowAndNeverOfferTheMode) {
  const BadDescription& c = GetParam();
  Workbench bench;
  if (!c.content.empty()) std::ofstream(bench.Dir() / "inc/native.inc", std::ios::binary) << c.content;
  SilentLine line;
  line.s.Open();
  line.s.Type(kKeywords[2]);
  const int far = line.s.FarFd();
  ReadFarEnd(far, 50);
  ASSERT_EQ(line.s.Dialogs.size(), 1u);
  EXPECT_EQ(line.s.Dialogs[0], c.message);
  EXPECT_TRUE(line.s.Form().isVisible());
  EXPECT_EQ(line.s.Form().DownloadMode, 2);
  const auto log = line.s.Log();
  EXPECT_TRUE(Contains(log, "0. Native Software Mode"));
  EXPECT_EQ(line.s.Form().Label4->text().toStdString(), "( 0 / 0 )");
  // Only wake bytes from now on.
  EXPECT_EQ(ReadFarEnd(far, 2200), std::vector<std::uint8_t>(2, 0x1F));
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
    ::testing::Values(BadDescription{"Missing", "", "File not found"},
                      BadDescription{"BadModelCode", "001234\r\nZZ.01\r\n", "'0xZZ' is not a valid integer value"},
                      BadDescription{"Empty", "\x1a", "'0x' is not a valid integer value"},
                      BadDescription{"MissingImage", WithImage("nothing.bin").Text(), "Cannot open file nothing.bin"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
