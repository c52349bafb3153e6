// The port after every way out of the window: a download that succeeds, one
// that fails, a description error shown in a dialog, and a window closed
// half way through the transfer. Once the window is gone nothing may hold the
// device; while it is there, nobody else may open it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Harness.h"
#include "TestNames.h"
#include "DialogTexts.h"

namespace {

struct WayOut {
  const char* name;
  void (*setup)(RunSetUp&);
  void (*during)(Session&);  // what the operator does once the keyword is typed
  const char* lastDialog;
};

class PortAfterWayOut : public ::testing::TestWithParam<WayOut> {};

TEST_P(PortAfterWayOut, HeldWhileTheWindowIsUpReleasedOnceItIsGone) {
  const WayOut& c = GetParam();
  RunSetUp setUp = RunSetUp::Of(40 * 1024);
  c.setup(setUp);
  DownloadRun run(setUp);
  Session& rig = run.S;
  const int receiverHolds = DescriptorsOn(rig.PortPath());
  rig.SilenceLimitMs = 1500;
  rig.Open();
  EXPECT_FALSE(rig.PortFree()) << "a second component opened the port the window holds";
  rig.Type(kKeywords[run.Mode]);
  c.during(rig);
  ASSERT_TRUE(rig.Closed()) << ::testing::PrintToString(rig.Log());
  if (c.lastDialog != nullptr) {
    ASSERT_FALSE(rig.Dialogs.empty());
    EXPECT_EQ(rig.Dialogs.back(), c.lastDialog);
  }
  EXPECT_FALSE(rig.PortFree()) << "the port went before the window did";
  rig.DestroyForm();
  EXPECT_EQ(DescriptorsOn(rig.PortPath()), receiverHolds);
  EXPECT_TRUE(rig.PortFree());
}

void Nothing(RunSetUp&) {}
void RunToTheEnd(Session& rig) { rig.RunUntilClosed(30000); }

INSTANTIATE_TEST_SUITE_P(
    Window, PortAfterWayOut,
    ::testing::Values(
        WayOut{"Success", Nothing, RunToTheEnd, "Congraturation! Software Upgrade OK !!!!"},
        WayOut{"StageFailure", [](RunSetUp& r) { r.Receiver.Fault.FlashByteAt = 1; }, RunToTheEnd,
               "Software Upgrade Fail !!!"},
        WayOut{"HandshakeFailure", [](RunSetUp& r) { r.Receiver.Fault.Echo = 7; }, RunToTheEnd,
               "  ERROR:MisMatch Software Number !!"},
        WayOut{"DescriptionErrorThenClosed",
               [](RunSetUp& r) { r.WriteDescription = false; },
               [](Session& rig) {
                 rig.RunUntil([&rig] { return !rig.Dialogs.empty(); }, 5000);
                 rig.RunFor(200);
                 EXPECT_FALSE(rig.Closed()) << "a description error leaves the window open";
                 rig.Form().close();
                 rig.RunUntilClosed(2000);
               },
               "File not found"},
        WayOut{"ClosedDuringTheTransfer", [](RunSetUp& r) { r.Receiver.Paced = true; },
               [](Session& rig) {
                 // The transfer runs inside one timer tick: the close has to
                 // come from the message pump it turns once per block.
                 rig.AnswerYes = true;  // to the question whether to stop
                 QTimer watch;
                 QObject::connect(&watch, &QTimer::timeout, [&rig] {
                   if (rig.Rx().GetSummary().BlocksAccepted >= 3) rig.Form().close();
                 });
                 watch.start(20);
                 rig.RunUntilClosed(20000);
                 const auto& log = rig.Log();
                 ASSERT_GE(log.size(), 2u);
                 EXPECT_EQ(log[log.size() - 2], "  DownLoad stopped: the window was closed !!");
                 EXPECT_EQ(log.back(), "  What happened: the download was stopped: the window was closed");
               },
               nullptr}),
    RowName());

TEST(PortHygiene, SecondWindowOnTheSamePortIsTurnedAway) {
  Workbench bench;
  Session rig{stbsim::Config{}};
  rig.SilenceLimitMs = 1500;
  rig.Open();
  TForm1 second(WindowPort());
  rig.RunUntil([&rig] { return !rig.Dialogs.empty(); }, 3000);
  EXPECT_FALSE(second.SerialPortDriver1->Connected());
  ASSERT_EQ(rig.Dialogs.size(), 1u);
  EXPECT_EQ(rig.Dialogs[0], kConnectError);
  EXPECT_NE(second.SerialPortDriver1->LastError().find("held by another program"), std::string::npos)
      << second.SerialPortDriver1->LastError();
  EXPECT_TRUE(rig.Form().SerialPortDriver1->Connected());
}

TEST(PortHygiene, RegularFileAndFolderAreRefusedAtConnect) {
  Workbench bench;
  std::filesystem::create_directory(bench.Dir() / "folder");
  bench.WriteImage("plain-file", 100);
  for (const char* name : {"plain-file", "folder"}) {
    SCOPED_TRACE(name);
    const std::string path = (bench.Dir() / name).string();
    TSerialPortDriver drv;
    drv.SetComPortDevice(path);
    EXPECT_FALSE(drv.Connect());
    EXPECT_FALSE(drv.Connected());
    EXPECT_EQ(DescriptorsOn(path), 0);
    EXPECT_NE(drv.LastError().find(path), std::string::npos) << drv.LastError();
    EXPECT_FALSE(drv.SendByte(0x1F));
    std::uint8_t b = 0;
    EXPECT_FALSE(drv.ReadByte(b));
  }
  // Nothing was written into the file that posed as a port.
  EXPECT_EQ(std::filesystem::file_size(bench.Dir() / "plain-file"), 100u);
}

}  // namespace
