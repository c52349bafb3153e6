// Whole downloads: the real window on the offscreen platform, the serial
// component on a real pty, the simulated receiver on the far end.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Harness.h"
#include "DialogTexts.h"

namespace {

const std::vector<std::string> kClosingLines = {
    "7. Update Version Table OK", "---------------------------------------",
    "Congraturation! Software Upgrade OK !!!", "Please Turn Off and On the STB set !!!"};

void ExpectSuccess(Session& s, const std::vector<std::uint8_t>& image) {
  const auto log = s.Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end()), kClosingLines);
  ASSERT_FALSE(s.Dialogs.empty());
  EXPECT_EQ(s.Dialogs.back(), "Congraturation! Software Upgrade OK !!!!");
  EXPECT_TRUE(s.Closed());
  ASSERT_TRUE(s.Rx().WaitFinished(3000));
  const stbsim::Summary sum = s.Rx().GetSummary();
  EXPECT_TRUE(sum.Success) << sum.ToText();
  EXPECT_TRUE(sum.Violations.empty()) << sum.ToText();
  EXPECT_EQ(s.Rx().Flash(), Padded(image));
}

// The receiver's view of a failed download: it saw nothing after the failure.
void ExpectCleanFailure(Session& s) {
  EXPECT_TRUE(s.Closed());
  s.Rx().WaitFinished(500);
  const stbsim::Summary sum = s.Rx().GetSummary();
  EXPECT_FALSE(sum.Success);
  EXPECT_TRUE(sum.Violations.empty()) << sum.ToText();
}

struct HappyCase {
  const char* name;
  std::uint8_t mode;
  std::size_t imageBytes;
  const char* selector;
  std::uint32_t address;
  std::vector<std::uint8_t> versionWrite;  // pair, then the date code
};

class HappyPath : public ::testing::TestWithParam<HappyCase> {};

TEST_P(HappyPath, ImageArrivesByteForByteAndEveryStageIsConfirmed) {
  const HappyCase& c = GetParam();
  RunSetUp setUp = RunSetUp::Of(c.imageBytes, c.mode);
  setUp.Seed = c.mode;
  setUp.Job.Selector = c.selector;
  setUp.Job.Address = Format("0x%08X", c.address);
  setUp.Receiver.Id.AcceptMode = c.mode;
  setUp.Receiver.Id.DownloadAddress = c.address;
  DownloadRun run(setUp);
  Session& s = run.S;
  s.Open();
  s.Type(std::string("noise") + kKeywords[c.mode]);
  ASSERT_TRUE(s.RunUntilClosed(30000)) << ::testing::PrintToString(s.Log());
  ExpectSuccess(s, run.Image);

  const auto log = s.Log();
  EXPECT_TRUE(Contains(log, ModeInfo(c.mode).LogLine));
  EXPECT_TRUE(Contains(log, "4. DownLoad OK"));
  EXPECT_TRUE(Contains(log, "5. Ram Image CRC OK"));
  EXPECT_TRUE(Contains(log, "6. Flash Image CRC OK"));
  EXPECT_TRUE(Contains(log, "  Version Table Write OK!"));
  EXPECT_EQ(Contains(log, "  -. Native Software Version: Set:3.0-->New:3.1 (HEX)"), c.mode > 1);
  const std::int32_t blocks = std::int32_t((c.imageBytes + 1023) / 1024);
  EXPECT_TRUE(Contains(log, Format("  -. The Download Size is %d KBytes", blocks)));
  EXPECT_EQ(s.Form().Label4->text().toStdString(), Format("( %d / %d )", blocks * 1024, blocks * 1024));
  EXPECT_EQ(s.Form().ProgressBar1->value(), blocks > 0 ? 100 : 0);
  EXPECT_EQ(s.Form().ProgressBar2->value(), blocks > 0 ? 100 : 0);
  EXPECT_EQ(s.Rx().GetSummary().VersionWrite, c.versionWrite);
}

const std::vector<std::uint8_t> kDate = {'2', '6', '1', '2', '0'};
std::vector<std::uint8_t> With(std::vector<std::uint8_t> pair) {
  pair.insert(pair.end(), kDate.begin(), kDate.end());
  return pair;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, HappyPath,
    ::testing::Values(
        HappyCase{"Bootloader", 1, 60 * 1024, "1", 0xBFC00000, With({0x02, 0x00})},
        HappyCase{"NativeWithPartialLastBlock", 2, 5000, "2", 0x80010000, With({0x03, 0x01})},
        // 23 blocks: sequence digits after blocks 10 and 21.
        HappyCase{"Application1TwoSequenceChecks", 3, 23 * 1024, "3", 0x80200000, With({0x04, 0x02})},
        HappyCase{"Application2", 4, 1500, "4", 0x80300000, With({0x05, 0x03})},
        HappyCase{"GuiDataNoVersionPair", 6, 4 * 1024 + 1, "0", 0x80400000, kDate},
        HappyCase{"ReservedOneByteImage", 8, 1, "9", 0x80500000, kDate}),
    [](const auto& p) { return std::string(p.param.name); });

// --- the handshake's failures -------------------------------------------------------------

struct HandshakeFailure {
  const char* name;
  std::uint8_t mode;
  void (*setup)(JobFile&, stbsim::Config&);
  std::vector<std::string> logTail;
  std::string message;
};

// The log without its last line, which says what happened in the cause's
// plain words, once a failure has a cause.
std::vector<std::string> ExchangeLines(Session& s) {
  std::vector<std::string> log = s.Log();
  const TFailure& failure = s.Form().State().Failure;
  EXPECT_NE(failure.Cause, TFailureCause::None);
  EXPECT_FALSE(log.empty());
  if (log.empty()) return log;
  EXPECT_EQ(log.back(), kCauseLinePrefix + failure.Text);
  log.pop_back();
  return log;
}

class HandshakeFails : public ::testing::TestWithParam<HandshakeFailure> {};

TEST_P(HandshakeFails, LogsMessagesClosesAndSendsNothingMore) {
  const HandshakeFailure& c = GetParam();
  RunSetUp setUp = RunSetUp::Of(3000, c.mode);
  setUp.Receiver.Id.AcceptMode = c.mode;
  c.setup(setUp.Job, setUp.Receiver);
  setUp.ImageBytes = setUp.Job.Image == "big.bin" ? 61 * 1024 : 3000;
  DownloadRun run(setUp);
  Session& s = run.S;
  run.Start();
  ASSERT_TRUE(s.RunUntilClosed(15000)) << ::testing::PrintToString(s.Log());
  const auto log = ExchangeLines(s);
  ASSERT_GE(log.size(), c.logTail.size());
  EXPECT_EQ(std::vector<std::string>(log.end() - std::ptrdiff_t(c.logTail.size()), log.end()), c.logTail);
  ASSERT_EQ(s.Dialogs.size(), 1u);
  EXPECT_EQ(s.Dialogs[0], c.message);
  ExpectCleanFailure(s);
  EXPECT_EQ(s.Rx().GetSummary().BlocksAccepted, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, HandshakeFails,
    ::testing::Values(
        HandshakeFailure{"WrongEcho", 2, [](JobFile&, stbsim::Config& c) { c.Fault.Echo = 0x32; },
                         {"  ERROR:MisMatch Software Number !!"}, "  ERROR:MisMatch Software Number !!"},
        HandshakeFailure{"Oui", 2, [](JobFile&, stbsim::Config& c) { c.Id.Oui = {0x12, 0x35}; },
                         {"( 12 / 12 )", "( 34 / 35 )", "  - Invalid OUI !!"}, "Invalid OUI"},
        HandshakeFailure{"ModelCode", 2, [](JobFile& j, stbsim::Config& c) {
                           j.Model = "0A.01";
                           c.Id.ModelCode = {0x0A, 0x02};
                         },
                         {"(New: A /Set: A )", "(New: 1 /Set: 2 )", "  - Invalid Model Code !!"},
                         "Invalid Model Code !!"},
        HandshakeFailure{"HardwareLower", 3, [](JobFile& j, stbsim::Config&) { j.Hardware = "01.04"; },
                         {"( New: 1 /Set: 1 )", "( New: 4 /Set: 5 )", "  -Hardware version is invalid or lower!!"},
                         "Hardware version is invalid or lower!!"},
        HandshakeFailure{"BootloaderOther", 4, [](JobFile& j, stbsim::Config&) { j.Bootloader = "03.00"; },
                         {"( New: 3 /Set: 2 )", "( New: 0 /Set: 0 )", "  -Bootloader version is invalid or lower!!"},
                         "Bootloader version is invalid or lower!!"},
        HandshakeFailure{"BootloaderAddress", 1, [](JobFile& j, stbsim::Config& c) {
                           j.Address = "0xBFC10000";
                           c.Id.DownloadAddress = 0xBFC10000;
                         },
                         {"  -ERROR:Cannot Change Bootloader Address!!"}, "ERROR:Cannot Change Bootloader Address!!"},
        HandshakeFailure{"BootloaderArea", 5, [](JobFile& j, stbsim::Config& c) {
                           j.Address = "0x9EC0FFFF";
                           c.Id.DownloadAddress = 0x9EC0FFFF;
                         },
                         {"  -ERROR:Cannot Write Bootloader Area!!"}, "ERROR:Cannot Write Bootloader Area!!"},
        HandshakeFailure{"BootloaderTooLarge", 1, [](JobFile& j, stbsim::Config& c) {
                           j.Address = "0xBFC00000";
                           j.Image = "big.bin";
                           c.Id.DownloadAddress = 0x9FC00000;
                         },
                         {"  -Bootloader is too large!!"}, "Bootloader is too large!!"}),
    [](const auto& p) { return std::string(p.param.name); });

// --- the address question ----------------------------------------------------------------------

TEST(AddressMismatch, YesEndsTheDownloadNoGoesOnWithTheDescriptionsAddress) {
  for (bool yes : {true, false}) {
    SCOPED_TRACE(yes ? "Yes" : "No");
    RunSetUp setUp = RunSetUp::Of(2048);
    setUp.Job.Address = "0x80010000";
    setUp.Receiver.Id.DownloadAddress = 0x80020000;
    DownloadRun run(setUp);
    Session& s = run.S;
    s.AnswerYes = yes;
    run.Start();
    ASSERT_TRUE(s.RunUntilClosed(20000));
    EXPECT_TRUE(Contains(s.Log(), "  Warning !!!. Download Address MisMatch... !!!"));
    ASSERT_GE(s.Dialogs.size(), 3u);
    EXPECT_EQ(s.Dialogs[0], "Warning !!!. Download Address MisMatch... !!!");
    EXPECT_EQ(s.Dialogs[1], "Warning!!!. Download Address MisMatch!!!  Exit now?");
    EXPECT_EQ(s.DialogDetails[1],
              "Download address in ./inc/native.inc: 0x80010000   Download address of the receiver: 0x80020000");
    if (yes) {
      EXPECT_EQ(s.Dialogs[2], "Download Address MisMatch!!!. Check Your installation file(./inc/xxxx.inc).");
      EXPECT_EQ(s.DialogDetails[2], "The installation file of this mode: " +
                                        (std::filesystem::current_path() / "inc" / "native.inc").string());
      ExpectCleanFailure(s);
    } else {
      ExpectSuccess(s, run.Image);
      EXPECT_EQ(s.Rx().GetSummary().AddressReceived, 0x80010000u);
    }
  }
}

TEST(AddressMismatch, WindowClosedWhileAskedSendsNothingMore) {
  RunSetUp setUp = RunSetUp::Of(2048);
  setUp.Receiver.Id.DownloadAddress = 0x80020000;
  DownloadRun run(setUp);
  Session& s = run.S;
  s.CloseAtQuestion = true;
  run.Start();
  ASSERT_TRUE(s.RunUntilClosed(20000));
  // The window's own line, then what happened in a word.
  ASSERT_GE(s.Log().size(), 2u);
  EXPECT_EQ(s.Log()[s.Log().size() - 2], "  DownLoad stopped: the window was closed !!");
  EXPECT_EQ(s.Log().back(), "  What happened: the download was stopped: the window was closed");
  EXPECT_EQ(s.Dialogs.size(), 2u);
  s.Rx().WaitFinished(300);
  const auto sum = s.Rx().GetSummary();
  EXPECT_LT(sum.Reached, stbsim::Stage::SizeReceived);
  EXPECT_TRUE(sum.Violations.empty()) << sum.ToText();
}

// --- the transfer ----------------------------------------------------------------------------------

TEST(Transfer, RejectedBlockIsResentAfterTheResendByteAndCountedOnce) {
  RunSetUp setUp = RunSetUp::Of(8 * 1024 + 100);
  setUp.Receiver.Fault.RejectBlock = 5;
  setUp.Receiver.Fault.RejectTimes = 2;
  DownloadRun run(setUp);
  Session& s = run.S;
  run.Start();
  ASSERT_TRUE(s.RunUntilClosed(20000));
  const auto log = s.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "  retry : 5 block"), 2);
  ExpectSuccess(s, run.Image);
  EXPECT_EQ(s.Rx().GetSummary().BlocksRejected, 2u);
}

// Replies that do not line up with the console's read of them: the
// receiver's last word decides, and the exchange stays in step.
struct OutOfStepReply {
  const char* name;
  void (*setup)(stbsim::Config&);
  int retries;  // "  retry : 3 block" lines
};

class RepliesOutOfStep : public ::testing::TestWithParam<OutOfStepReply> {};

TEST_P(RepliesOutOfStep, NeverThrowTheExchangeOutOfStep) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  // Block 3 is followed by block 10, whose reply carries a sequence digit.
  const auto image = bench.WriteImage("image.bin", 12 * 1024);
  stbsim::Config cfg;
  GetParam().setup(cfg);
  Session s(cfg);
  s.Open();
  s.Type(kKeywords[2]);
  ASSERT_TRUE(s.RunUntilClosed(20000));
  const auto log = s.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "  retry : 3 block"), GetParam().retries);
  ExpectSuccess(s, image);
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, RepliesOutOfStep,
    ::testing::Values(
        // Held back past the first reply byte's time-out, well inside the
        // quiet spell that follows it.
        OutOfStepReply{"LateAcceptance", [](stbsim::Config& c) { c.Fault.LateBlock = 3, c.Fault.LateMs = 320; }, 0},
        OutOfStepReply{"LateRejection",
                       [](stbsim::Config& c) {
                         c.Fault.LateBlock = 3, c.Fault.LateMs = 320;
                         c.Fault.RejectBlock = 3;
                       },
                       1},
        // Noise behind a reply is read in front of the next one.
        OutOfStepReply{"NoiseBetweenBlocks", [](stbsim::Config& c) { c.Fault.NoiseBlock = 2; }, 0},
        OutOfStepReply{"NoiseBeforeASequenceDigit", [](stbsim::Config& c) { c.Fault.NoiseBlock = 9; }, 0}),
    [](const ::testing::TestParamInfo<OutOfStepReply>& i) { return std::string(i.param.name); });

struct TransferFailure {
  const char* name;
  void (*setup)(stbsim::Config&);
  std::vector<std::string> logTail;
  bool resendsIntoSilence = false;
};

class TransferFails : public ::testing::TestWithParam<TransferFailure> {};

TEST_P(TransferFails, EndsWithTheFailureLinesAndTheFailMessage) {
  const TransferFailure& c = GetParam();
  RunSetUp setUp = RunSetUp::Of(24 * 1024);
  c.setup(setUp.Receiver);
  DownloadRun run(setUp);
  Session& s = run.S;
  s.SilenceLimitMs = 1500;
  run.Start();
  ASSERT_TRUE(s.RunUntilClosed(30000)) << ::testing::PrintToString(s.Log());
  const auto log = ExchangeLines(s);
  ASSERT_GE(log.size(), c.logTail.size());
  EXPECT_EQ(std::vector<std::string>(log.end() - std::ptrdiff_t(c.logTail.size()), log.end()), c.logTail);
  ASSERT_FALSE(s.Dialogs.empty());
  EXPECT_EQ(s.Dialogs.back(), "Software Upgrade Fail !!!");
  if (c.resendsIntoSilence) {
    // A missing reply counts as a rejection: the block goes again, at most
    // sixteen times, into a receiver that has stopped listening.
    EXPECT_EQ(std::count(log.begin(), log.end(), log[log.size() - 2]), 17);
  } else {
    ExpectCleanFailure(s);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TransferFails,
    ::testing::Values(
        TransferFailure{"FirstBlockRejected", [](stbsim::Config& c) { c.Fault.RejectBlock = 0; },
                        {"  retry : 0 block", "  DownLoad Fail !!"}},
        TransferFailure{"BlockAlwaysRejected",
                        [](stbsim::Config& c) {
                          c.Fault.RejectBlock = 3;
                          c.Fault.RejectTimes = -1;
                        },
                        {"  retry : 3 block", "  DownLoad Fail !!"}},
        TransferFailure{"WrongSequenceDigit", [](stbsim::Config& c) { c.Fault.SequenceCheck = 2; },
                        {"  DownLoad Fail !!"}},
        TransferFailure{"MissingSequenceDigit",
                        [](stbsim::Config& c) {
                          c.Fault.SequenceCheck = 1;
                          c.Fault.SequenceMissing = true;
                        },
                        {"  DownLoad Fail !!"}},
        TransferFailure{"DownloadCrcText",
                        [](stbsim::Config& c) {
                          c.Fault.TextStage = stbsim::Stage::DownloadCrc;
                          c.Fault.TextPos = 17;
                        },
                        {"  DownLoad BAD CRC !!"}},
        TransferFailure{"RamImageText",
                        [](stbsim::Config& c) {
                          c.Fault.TextStage = stbsim::Stage::RamImage;
                          c.Fault.TextPos = 0;
                        },
                        {"  Ram Image BAD CRC !!"}},
        TransferFailure{"FlashWriteByte", [](stbsim::Config& c) { c.Fault.FlashByteAt = 2; },
                        {"  Flash Write Error !!"}},
        TransferFailure{"FlashImageText",
                        [](stbsim::Config& c) {
                          c.Fault.TextStage = stbsim::Stage::FlashImage;
                          c.Fault.TextPos = 9;
                        },
                        {"  Flash Image BAD CRC !!"}},
        TransferFailure{"VersionUpdateText",
                        [](stbsim::Config& c) {
                          c.Fault.TextStage = stbsim::Stage::VersionUpdate;
                          c.Fault.TextPos = 25;
                        },
                        {"  ERROR: Update software version!!!"}},
        TransferFailure{"VersionTableText",
                        [](stbsim::Config& c) {
                          c.Fault.TextStage = stbsim::Stage::VersionTable;
                          c.Fault.TextPos = 3;
                        },
                        {"  CRC ERROR: Update software version!!!"}},
        TransferFailure{"SilentDuringTransfer",
                        [](stbsim::Config& c) {
                          c.Fault.SilentAt = stbsim::Stage::Transferring;
                          c.Fault.SilentBlock = 4;
                        },
                        {"  retry : 4 block", "  DownLoad Fail !!"},
                        true},
        TransferFailure{"SilentAtFlashWrite", [](stbsim::Config& c) { c.Fault.SilentAt = stbsim::Stage::FlashWrite; },
                        {"  ERROR:No Response from STB - Flash Write !!"}},
        TransferFailure{"SilentAtDownloadCrc", [](stbsim::Config& c) { c.Fault.SilentAt = stbsim::Stage::DownloadCrc; },
                        {"  ERROR:No Response from STB - DownLoad CRC !!"}},
        TransferFailure{"HangUpDuringTransfer",
                        [](stbsim::Config& c) {
                          c.Fault.HangUpAt = stbsim::Stage::Transferring;
                          c.Fault.HangUpBlock = 7;
                        },
                        {"  ERROR:Serial Line Lost - DownLoad !!", "  DownLoad Fail !!"}},
        TransferFailure{"HangUpAtFlashWrite", [](stbsim::Config& c) { c.Fault.HangUpAt = stbsim::Stage::FlashWrite; },
                        {"  ERROR:Serial Line Lost - Flash Write !!"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Stages, VersionWriteReplyOtherThanWIsNotAFailure) {
  RunSetUp setUp = RunSetUp::Of(3 * 1024);
  setUp.Receiver.Fault.VersionReply = 'X';
  DownloadRun run(setUp);
  run.Start();
  ASSERT_TRUE(run.S.RunUntilClosed(20000));
  EXPECT_FALSE(Contains(run.S.Log(), "  Version Table Write OK!"));
  ExpectSuccess(run.S, run.Image);
}

TEST(Stages, JunkBeforeTheLeadInsIsSkippedOrFlushed) {
  RunSetUp setUp = RunSetUp::Of(5 * 1024);
  setUp.Receiver.Fault.JunkAt = stbsim::Stage::FlashWrite;
  setUp.Receiver.Fault.JunkEarly = true;
  DownloadRun run(setUp);
  run.Start();
  ASSERT_TRUE(run.S.RunUntilClosed(20000));
  ExpectSuccess(run.S, run.Image);
}

// --- the image file changes under the download ---------------------------------------------------------

TEST(ImageFile, VanishedBeforeTheTransferIsReportedAndNothingIsSent) {
  DownloadRun run(RunSetUp{});
  Session& s = run.S;
  run.Start();
  std::filesystem::remove(run.Bench.Dir() / "image.bin");
  ASSERT_TRUE(s.RunUntil([&s] { return !s.Dialogs.empty(); }, 20000));
  EXPECT_EQ(s.Dialogs.back(), "Cannot open file image.bin");
  EXPECT_NE(s.Log().back().find("  ./inc/native.inc line 10, characters 1-9 (image file): \"image.bin\" cannot be "
                                 "opened: No such file or directory"),
            std::string::npos)
      << s.Log().back();
  EXPECT_EQ(s.Rx().GetSummary().BlocksAccepted, 0u);
  EXPECT_FALSE(s.Form().Timer1->Active());
}

TEST(ImageFile, ShrunkSinceTheDescriptionWasReadFailsBeforeAnyBlock) {
  DownloadRun run(RunSetUp::Of(8 * 1024));
  Session& s = run.S;
  run.Start();
  std::filesystem::resize_file(run.Bench.Dir() / "image.bin", 3 * 1024);
  ASSERT_TRUE(s.RunUntilClosed(20000));
  EXPECT_TRUE(Contains(s.Log(), "  DownLoad Fail !!"));
  EXPECT_EQ(s.Dialogs.back(), "Software Upgrade Fail !!!");
  EXPECT_EQ(s.Rx().GetSummary().BlocksAccepted, 0u);
}

// A build script copying a new image over the old one while blocks go out.
TEST(ImageFile, RewrittenInPlaceAfterBlockTenFailsBeforeTheTotalChecksum) {
  const std::size_t size = 24 * 1024 - 100;
  DownloadRun run(RunSetUp::Of(size));
  Workbench& bench = run.Bench;
  Session& s = run.S;
  s.Open();
  bool rewritten = false;
  // At the message handling of block 10, the eleventh accepted.
  QTimer atEveryPump;
  QObject::connect(&atEveryPump, &QTimer::timeout, [&] {
    if (rewritten || s.Form().State().BlocksAccepted != 11) return;
    rewritten = true;
    bench.WriteImage("image.bin", size, 2);
  });
  atEveryPump.start(0);
  s.Type(kKeywords[2]);
  ASSERT_TRUE(s.RunUntilClosed(20000)) << ::testing::PrintToString(s.Log());
  ASSERT_TRUE(rewritten);
  const auto log = s.Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
            (std::vector<std::string>{"  Image file has changed since it was read !!", "  DownLoad Fail !!",
                                      "  What happened: the image file changed since its description was read (block 12)"}));
  EXPECT_EQ(s.Form().State().Failure.Cause, TFailureCause::Image);
  EXPECT_EQ(s.Dialogs, std::vector<std::string>{"Software Upgrade Fail !!!"});
  ExpectCleanFailure(s);
  const auto sum = s.Rx().GetSummary();
  // Block 11 was read and on the line before the bar moved: block 12 is the
  // first read of the rewritten file.
  EXPECT_EQ(sum.BlocksAccepted, 12u);
  EXPECT_LT(sum.Reached, stbsim::Stage::DownloadCrc) << sum.ToText();
}

// What Linux editors and some Windows editors write downloads like CR LF.
TEST(DescriptionFormats, LfOnlyAndByteOrderMarkFilesDownload) {
  std::string lf = JobFile{}.Text();
  for (std::size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
  for (const auto& [name, text] : {std::pair{"lf", lf}, {"bom", "\xEF\xBB\xBF" + JobFile{}.Text()}}) {
    SCOPED_TRACE(name);
    RunSetUp setUp = RunSetUp::Of(3 * 1024 + 7);
    setUp.WriteDescription = false;
    DownloadRun run(setUp);
    std::ofstream(run.Bench.Dir() / ModeInfo(2).DescriptionFile, std::ios::binary) << text;
    Session& s = run.S;
    run.Start();
    ASSERT_TRUE(s.RunUntilClosed(20000)) << ::testing::PrintToString(s.Log());
    ExpectSuccess(s, run.Image);
  }
}

// --- closing the window while blocks go out --------------------------------------------------------------

struct CloseCase {
  const char* name;
  bool stop;  // the operator's answer to the question
};

class Closing : public ::testing::TestWithParam<CloseCase> {};

// Closing while blocks go out asks first: Yes stops at the next block, No
// lets the download run to its end.
TEST_P(Closing, DuringTheTransferAsksFirst) {
  RunSetUp setUp = RunSetUp::Of(100 * 1024);
  setUp.Receiver.Paced = true;  // slow enough to close it half way
  DownloadRun run(setUp);
  Session& s = run.S;
  s.AnswerYes = GetParam().stop;
  run.Start();
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&s, &watch] {
    if (s.Rx().GetSummary().BlocksAccepted >= 3) {
      watch.stop();
      s.Form().close();
    }
  });
  watch.start(20);
  ASSERT_TRUE(s.RunUntilClosed(30000));
  ASSERT_FALSE(s.Dialogs.empty());
  EXPECT_EQ(s.Dialogs.front(), kStopQuestion);
  if (GetParam().stop) {
    ASSERT_GE(s.Log().size(), 2u);
    EXPECT_EQ(s.Log()[s.Log().size() - 2], "  DownLoad stopped: the window was closed !!");
    EXPECT_EQ(s.Log().back(), "  What happened: the download was stopped: the window was closed");
    EXPECT_EQ(s.Form().State().Failure.Cause, TFailureCause::Stopped);
    EXPECT_EQ(s.Dialogs.size(), 1u);
    EXPECT_LT(s.Rx().GetSummary().BlocksAccepted, 100u);
    EXPECT_EQ(s.Form().DownloadResult(), TDownloadResult::Stopped);
    EXPECT_EQ(ExitStatus(s.Form().DownloadResult()), kExitDownloadFailed);
  } else {
    ExpectSuccess(s, run.Image);
  }
}

INSTANTIATE_TEST_SUITE_P(Question, Closing,
                         ::testing::Values(CloseCase{"AnsweredYesStops", true}, CloseCase{"AnsweredNoGoesOn", false}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
