// The port chosen in the window: the strip's list of the ports present,
// what choosing one does to the line, the log, the strip and the memory, and
// why it is refused while a download runs.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QTest>

#include "DialogTexts.h"
#include "Harness.h"
#include "OtherProgram.h"
#include "StatusText.h"

namespace {

// The ports the window is told are present, and what it remembered.
class KeptPorts : public TPortMemory {
public:
  explicit KeptPorts(std::vector<std::string>& kept) : FKept(kept) {}
  std::optional<std::string> Remembered() const override { return std::nullopt; }
  void Remember(const std::string& port) override { FKept.push_back(port); }

private:
  std::vector<std::string>& FKept;
};

// The window with the simulated receiver on a pty the list offers, COM1 on
// it unless the test starts it elsewhere. The list also offers a silent pty.
struct ChoosingWindow {
  explicit ChoosingWindow(const RunSetUp& setUp) : Run(setUp), ReceiverPort(Run.S.Rx().ConsolePath()) {}
  void StartOn(const std::string& port) { ::setenv("COM1", port.c_str(), 1); }
  std::string MissingPort() const { return (Run.Bench.Dir() / "no-such-port").string(); }
  void Open(std::vector<TSerialDevice> present) {
    Run.S.Open();
    Form().SetPortMemory(std::make_unique<KeptPorts>(Remembered));
    Form().SetPortLister([present] { return present; });
  }
  std::vector<TSerialDevice> BothPresent() const {
    return {{Silent.NearPath(), {"/dev/serial/by-id/usb-Silent_Line-if00"}, ""},
            {ReceiverPort, {"/dev/serial/by-id/usb-Sim_Receiver_RX01-if00-port0"}, "Simulated Receiver"}};
  }
  TForm1& Form() { return Run.S.Form(); }
  Session& S() { return Run.S; }
  void PressF4() { QTest::keyClick(Form().RxMemo, Qt::Key_F4); }
  std::string Strip() { return Run.S.Form().StatusStrip->text().toStdString(); }
  bool Finished() {
    return S().RunUntilClosed(60000) && S().Rx().WaitFinished(5000) && S().Rx().Flash() == Padded(Run.Image);
  }

  DownloadRun Run;
  PtyPair Silent;
  const std::string ReceiverPort;
  std::vector<std::string> Remembered;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(PortList, APortThatDidNotOpenAtStartIsChosenFromTheListAndFlashesTheBox) {
  ChoosingWindow w(RunSetUp::Of(8192));
  w.StartOn(w.MissingPort());
  w.Open(w.BothPresent());
  EXPECT_EQ(w.S().Dialogs, std::vector<std::string>{kConnectError});
  EXPECT_TRUE(Has(w.Strip(), "not open")) << w.Strip();
  EXPECT_TRUE(Has(w.Strip(), kChoosePortOffer)) << w.Strip();

  w.S().PickPortLine = w.ReceiverPort;
  w.PressF4();
  ASSERT_EQ(w.S().PortLists.size(), 1u);
  EXPECT_EQ(w.S().PortLists[0].Lines,
            (std::vector<std::string>{w.Silent.NearPath() + "   /dev/serial/by-id/usb-Silent_Line-if00",
                                      w.ReceiverPort + "   Simulated Receiver   "
                                                       "/dev/serial/by-id/usb-Sim_Receiver_RX01-if00-port0"}));
  EXPECT_FALSE(w.S().PortLists[0].Probing) << "no probe goes out while the operator chooses";
  EXPECT_TRUE(Contains(w.S().Log(), "  Port chosen: COM1 = " + w.ReceiverPort + " (was " +
                                        w.MissingPort() + "), open"));
  EXPECT_TRUE(w.Form().PortOpen());
  EXPECT_EQ(w.Form().PortDevice(), w.ReceiverPort);
  EXPECT_EQ(w.Strip(), PortText(w.ReceiverPort, true, "") + kStripSeparator + kPortChosenNote);
  EXPECT_FALSE(w.Form().StatusStrip->palette().color(QPalette::WindowText) == QColor(255, 0, 0));
  EXPECT_EQ(w.Remembered, std::vector<std::string>{w.ReceiverPort});
  EXPECT_TRUE(w.Form().Timer1->Active()) << "the probe goes on after the list";

  w.S().Type(kKeywords[w.Run.Mode]);
  EXPECT_TRUE(w.Finished());
  const auto records = FinalRecords(w.Run.Bench.RecordDir() / "downloads.jsonl");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(Has(records[0], "\"port\":\"" + w.ReceiverPort + "\"")) << records[0];
}

// The probe with a mode chosen moves to the chosen port: the port left is
// closed, and a click on the strip opens the list as F4 does.
TEST(PortList, ClickedWhileProbingWithAModeChosenMovesTheProbe) {
  PtyPair first;
  const int ours = DescriptorsOn(first.NearPath());  // the pair's own
  ChoosingWindow w(RunSetUp::Of(4096));
  w.StartOn(first.NearPath());
  w.Open(w.BothPresent());
  w.S().Type(kKeywords[w.Run.Mode]);
  ASSERT_TRUE(w.S().RunUntil([&] { return DescriptorsOn(first.NearPath()) > ours && w.Form().DownloadMode() != 0; },
                             5000));
  w.S().PickPortLine = w.ReceiverPort;
  w.S().ClickPortLine = true;
  QTest::mouseClick(w.Form().StatusStrip, Qt::LeftButton);
  ASSERT_EQ(w.S().PortLists.size(), 1u);
  for (const std::string& line : w.S().PortLists[0].Lines)
    EXPECT_NE(line.rfind("[x] ", 0), 0u) << "the port in use is not among those present: " << line;
  EXPECT_EQ(DescriptorsOn(first.NearPath()), ours) << "the port left is closed";
  EXPECT_TRUE(w.Finished());
  EXPECT_EQ(DescriptorsOn(first.NearPath()), ours);
}

// The port in use is ticked; Escape leaves everything as it was.
TEST(PortList, ClosedWithoutAChoiceLeavesThePortAndTheProbe) {
  ChoosingWindow w(RunSetUp::Of(4096));
  w.Open(w.BothPresent());
  w.PressF4();
  ASSERT_EQ(w.S().PortLists.size(), 1u);
  EXPECT_EQ(w.S().PortLists[0].Lines.at(1).rfind("[x] " + w.ReceiverPort, 0), 0u) << w.S().PortLists[0].Lines.at(1);
  EXPECT_EQ(w.S().PortLists[0].Lines.at(0).rfind("[x] ", 0), std::string::npos);
  EXPECT_FALSE(Contains(w.S().Log(), "  Port chosen: COM1 = " + w.ReceiverPort + " (was " + w.ReceiverPort + "), open"));
  EXPECT_TRUE(w.Remembered.empty());
  EXPECT_TRUE(w.Form().Timer1->Active());
  w.S().Type(kKeywords[w.Run.Mode]);
  EXPECT_TRUE(w.Finished());
}

// However short the one port listed, the list is wide enough for its title
// and the room an item's text has around it.
TEST(PortList, IsWideEnoughForItsTitle) {
  ChoosingWindow w(RunSetUp::Of(4096));
  w.Open({{w.Silent.NearPath(), {}, ""}});
  w.PressF4();
  ASSERT_EQ(w.S().PortLists.size(), 1u);
  const auto& shown = w.S().PortLists[0];
  ASSERT_GT(shown.TitleWidth, 0) << "the list has no title";
  EXPECT_GE(shown.Width, shown.TitleWidth + 2 * QFontMetrics(w.Form().font()).averageCharWidth())
      << "the title is cut: " << shown.Width << " pixels for a title of " << shown.TitleWidth;
}

TEST(PortList, NoPortsPresentTheListSaysSo) {
  ChoosingWindow w(RunSetUp::Of(4096));
  w.Open({});
  w.PressF4();
  ASSERT_EQ(w.S().PortLists.size(), 1u);
  EXPECT_EQ(w.S().PortLists[0].Lines, std::vector<std::string>{std::string("(-) ") + kNoPortsPresent});
  EXPECT_TRUE(w.Form().PortOpen());
  EXPECT_EQ(w.Form().PortDevice(), w.ReceiverPort);
}

// A chosen port that does not open is said in the log and the strip, and
// never remembered; the list stays on offer.
TEST(PortList, AChosenPortThatDoesNotOpenIsNotRemembered) {
  ChoosingWindow w(RunSetUp::Of(4096));
  const std::string gone = (w.Run.Bench.Dir() / "gone-port").string();
  w.Open({{gone, {}, "Unplugged adapter"}});
  w.S().PickPortLine = gone;
  w.PressF4();
  const auto log = w.S().Log();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(Has(log.back(), "  Port chosen: COM1 = " + gone + " (was " + w.ReceiverPort + "), not open: ")) << log.back();
  EXPECT_FALSE(w.Form().PortOpen());
  EXPECT_TRUE(w.Remembered.empty());
  EXPECT_TRUE(Has(w.Strip(), "not open")) << w.Strip();
  EXPECT_TRUE(Has(w.Strip(), kChoosePortOffer)) << w.Strip();
  EXPECT_EQ(w.S().Dialogs.size(), 0u) << "the strip and the log say it; no message box";
}

// On a line paced at 115200 the list is asked for while blocks go out: the
// strip says why not, no list opens, and the download ends as it would.
TEST(PortList, AskedWhileADownloadRunsTheStripSaysWhyNot) {
  RunSetUp setUp = RunSetUp::Of(48 * 1024);
  setUp.Receiver.Paced = true;
  ChoosingWindow w(setUp);
  w.Open(w.BothPresent());
  // The strip invites the click while a port may be chosen, and only then.
  EXPECT_EQ(w.Form().StatusStrip->cursor().shape(), Qt::PointingHandCursor);
  std::string stripWhileSending;
  Qt::CursorShape cursorWhileSending = Qt::PointingHandCursor;
  QTimer look;
  look.setInterval(20);
  QObject::connect(&look, &QTimer::timeout, [&] {
    if (!stripWhileSending.empty() || w.Form().State().Phase != TRunPhase::Sending) return;
    w.PressF4();
    QTest::mouseClick(w.Form().StatusStrip, Qt::LeftButton);
    stripWhileSending = w.Strip();
    cursorWhileSending = w.Form().StatusStrip->cursor().shape();
  });
  look.start();
  w.S().Type(kKeywords[w.Run.Mode]);
  EXPECT_TRUE(w.Finished());
  EXPECT_TRUE(w.S().PortLists.empty());
  EXPECT_TRUE(Has(stripWhileSending, kPortStaysNote)) << stripWhileSending;
  EXPECT_EQ(cursorWhileSending, Qt::ArrowCursor);
  EXPECT_EQ(w.Form().PortDevice(), w.ReceiverPort);
  EXPECT_FALSE(Contains(w.S().Log(), "  Port chosen"));
}

// A port another program holds: refused at start-up with the program's name
// and process id in the log and the strip, noted in the list, and chosen
// from it once that program is gone.
TEST(PortList, APortAnotherProgramHoldsIsRefusedNamedInTheListAndChosenOnceFree) {
  ChoosingWindow w(RunSetUp::Of(8192));
  auto other = std::make_unique<OtherProgram>(w.ReceiverPort);
  const std::string reason = "the port is open in sleep (process " + other->PidText() + "); close it first";
  w.StartOn(w.ReceiverPort);
  w.Open(w.BothPresent());
  EXPECT_EQ(w.S().Dialogs, std::vector<std::string>{kConnectError});
  EXPECT_FALSE(w.Form().PortOpen());
  EXPECT_TRUE(Contains(w.S().Log(), "  COM1 = " + w.ReceiverPort + " is not open: " + reason));
  EXPECT_EQ(w.Strip(), PortText(w.ReceiverPort, false, "") + kStripSeparator + kChoosePortOffer + kStripSeparator +
                           reason);

  w.PressF4();
  ASSERT_EQ(w.S().PortLists.size(), 1u);
  ASSERT_EQ(w.S().PortLists[0].Lines.size(), 2u);
  EXPECT_TRUE(Has(w.S().PortLists[0].Lines[1], "   [in use: open in sleep (process " + other->PidText() + ")]"))
      << w.S().PortLists[0].Lines[1];

  other.reset();
  w.S().PickPortLine = w.ReceiverPort;
  w.PressF4();
  EXPECT_TRUE(w.Form().PortOpen());
  w.S().Type(kKeywords[w.Run.Mode]);
  EXPECT_TRUE(w.Finished());
}

}  // namespace
