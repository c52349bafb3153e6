// The simulated receiver against a scripted console on a real pty: the set-up
// of the line, hang-ups, and the summary's verdict on consoles that break the
// protocol. Whole downloads with the real console live in the end-to-end tests.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>

#include "Receiver.h"
#include "ScriptedConsole.h"

namespace {

using stbsim::Stage;

constexpr std::uint32_t kAddress = 0x80010000;

struct Rig {
  explicit Rig(stbsim::Config cfg = {}) : Rx(cfg) {
    std::string error;
    if (!Rx.OpenPty(&error)) throw std::runtime_error(error);
    Rx.Start();
    Console = std::make_unique<ScriptedConsole>(Rx.ConsolePath());
  }
  // Probe and size; the receiver then waits for block 0.
  void Handshake(std::uint16_t blocks) {
    ASSERT_EQ(Console->Probe("NATIV").size(), 54u);
    ASSERT_EQ(Console->Size(kAddress, blocks).size(), 8u);
  }
  stbsim::Summary Finished(int ms = 3000) {
    EXPECT_TRUE(Rx.WaitFinished(ms));
    return Rx.GetSummary();
  }
  bool Saw(const std::string& what) const {
    for (const auto& v : Rx.GetSummary().Violations)
      if (v.find(what) != std::string::npos) return true;
    return false;
  }
  stbsim::Receiver Rx;
  std::unique_ptr<ScriptedConsole> Console;
};

stbsim::Config Quick() {
  stbsim::Config cfg;
  cfg.BlockGapMs = 150;
  return cfg;
}

// --- the line ------------------------------------------------------------------------------

TEST(Line, ConsoleEndIsARawTtyThatCarriesEveryByteUntouched) {
  stbsim::Config cfg;
  // Bytes a cooked line would translate, swallow or act on.
  cfg.Id.Oui = {0x0D, 0x0A};
  cfg.Id.ModelCode = {0x03, 0x11};
  cfg.Id.Hardware = {0x13, 0x7F};
  cfg.Id.StartDate = std::string("\x04\x1A\x1C\xFF\x00", 5);
  cfg.Id.DownloadAddress = 0x0D0A0304;
  cfg.Id.Spare = {0x11223344, 0x0D000A00, 0xFFFFFFFF};
  Rig rig(cfg);

  struct stat st{};
  ASSERT_EQ(stat(rig.Rx.ConsolePath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  ASSERT_TRUE(isatty(rig.Console->Fd()));
  termios t{};
  ASSERT_EQ(tcgetattr(rig.Console->Fd(), &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));

  Bytes reply = rig.Console->Probe("NATIV");
  ASSERT_EQ(reply.size(), 54u);
  EXPECT_NE(reply[0], 0x00);
  EXPECT_EQ(AsText(Bytes(reply.begin() + 2, reply.begin() + 5)), "ACK");
  EXPECT_EQ(reply[5], 0x02) << "the echo is the mode number, not its digit";
  const Bytes id(reply.begin() + 6, reply.begin() + 38);
  EXPECT_EQ(Bytes(id.begin(), id.begin() + 10), (Bytes{0x0D, 0x0A, 0x03, 0x11, 0x13, 0x7F, 0x02, 0x00, 0x03, 0x00}));
  EXPECT_EQ(Bytes(id.begin() + 14, id.begin() + 19), (Bytes{0x04, 0x1A, 0x1C, 0xFF, 0x00}));
  EXPECT_EQ(Bytes(reply.begin() + 38, reply.end()),
            (Bytes{0x0D, 0x0A, 0x03, 0x04, 0x11, 0x22, 0x33, 0x44, 0x0D, 0x00, 0x0A, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
  // Nothing echoes back into the receiver: it still waits quietly for "ok".
  EXPECT_TRUE(rig.Rx.GetSummary().Violations.empty());
}

TEST(Line, ConsoleMayCloseAndReopenItsEnd) {
  Rig rig;
  rig.Console.reset();
  rig.Console = std::make_unique<ScriptedConsole>(rig.Rx.ConsolePath());
  EXPECT_EQ(rig.Console->Probe("APPL1").size(), 54u);
  EXPECT_EQ(rig.Rx.GetSummary().Reached, Stage::Identified);
}

TEST(Line, RefusedModeGetsNoAnswerAndAnAcceptedOneItsNumber) {
  stbsim::Config cfg;
  cfg.Id.AcceptMode = 6;
  Rig rig(cfg);
  EXPECT_TRUE(rig.Console->Probe("BOOTL", 300).empty());
  Bytes reply = rig.Console->Probe("GUIDT");
  ASSERT_EQ(reply.size(), 54u);
  EXPECT_EQ(reply[5], 0x06);
  EXPECT_EQ(rig.Rx.GetSummary().Probes, 1u);
}

// The console's bytes arrive in any slicing; the mode word is found all the same.
TEST(Line, ProbeNoiseIsToleratedAndAFreshProbeIsAnsweredAgain) {
  Rig rig;
  rig.Console->Send(Bytes{0x1F, 0x00, 'x', 0x1F, 'B', 'O'});
  rig.Console->Send(std::string("OTL"));
  EXPECT_EQ(rig.Console->Read(54).size(), 54u);
  EXPECT_EQ(rig.Console->Probe("BOOTL").size(), 54u);
  const auto sum = rig.Rx.GetSummary();
  EXPECT_EQ(sum.Probes, 2u);
  EXPECT_EQ(sum.ProbeNoise, 2u);
  EXPECT_TRUE(sum.Violations.empty()) << sum.ToText();
}

// --- hang-up ----------------------------------------------------------------------------------

TEST(HangUp, ConsoleEndSeesTheDeviceGoAway) {
  stbsim::Config cfg;
  cfg.Fault.HangUpAt = Stage::Transferring;
  cfg.Fault.HangUpBlock = 1;
  Rig rig(cfg);
  rig.Handshake(3);
  const Bytes image = TestImage(3);
  EXPECT_EQ(AsText(rig.Console->Block(BlockOf(image, 0), Sum(BlockOf(image, 0)))), "ok.");
  EXPECT_TRUE(rig.Console->Block(BlockOf(image, 1), Sum(BlockOf(image, 1))).empty());

  pollfd p{rig.Console->Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  std::uint8_t b = 0;
  EXPECT_EQ(write(rig.Console->Fd(), &b, 1), -1);
  EXPECT_EQ(errno, EIO);

  const auto sum = rig.Finished();
  EXPECT_EQ(sum.Reached, Stage::HungUp);
  EXPECT_EQ(sum.FailedAt, Stage::Transferring);
  EXPECT_EQ(sum.BlocksAccepted, 1u);
}

// --- a console that keeps the protocol -------------------------------------------------------------

class Download : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(Download, EndsInSuccessWithTheImageInFlash) {
  const std::uint16_t blocks = GetParam();
  Rig rig;
  rig.Handshake(blocks);
  const Bytes image = TestImage(blocks);
  std::uint8_t total = 0;
  for (std::size_t k = 0; k < blocks; ++k) {
    const Bytes block = BlockOf(image, k);
    total = std::uint8_t(total + Sum(block));
    // After blocks 10, 21, 32...: the sequence digits 1, 2, 3...
    bool check = (k + 1) % 11 == 0;
    Bytes reply = rig.Console->Block(block, Sum(block), check ? 4 : 3);
    std::string want = check ? "ok." + std::string(1, "1234567890"[((k + 1) / 11 - 1) % 10]) : "ok.";
    ASSERT_EQ(AsText(reply), want) << "block " << k;
  }
  const Bytes versionWrite{0x03, 0x01, '2', '6', '1'};
  std::string why;
  ASSERT_TRUE(rig.Console->Stages(total, blocks, versionWrite, &why)) << why;

  const auto sum = rig.Finished();
  EXPECT_TRUE(sum.Success) << sum.ToText();
  EXPECT_EQ(sum.Reached, Stage::Done);
  EXPECT_TRUE(sum.Violations.empty()) << sum.ToText();
  EXPECT_EQ(sum.ModeWord, "NATIV");
  EXPECT_EQ(sum.AddressReceived, kAddress);
  EXPECT_EQ(sum.BlockCountReceived, blocks);
  EXPECT_EQ(sum.BlocksAccepted, blocks);
  EXPECT_EQ(sum.TotalChecksumReceived, total);
  EXPECT_EQ(sum.TotalChecksumComputed, total);
  EXPECT_EQ(sum.VersionWrite, versionWrite);
  EXPECT_EQ(rig.Rx.Flash(), image);
}

INSTANTIATE_TEST_SUITE_P(Blocks, Download, ::testing::Values(0, 3, 23),
                         [](const auto& row) { return std::to_string(row.param) + "Blocks"; });

// --- consoles that break it ------------------------------------------------------------------------------

struct Breach {
  const char* name;
  std::function<void(Rig&, const Bytes& image)> script;  // image has 3 blocks; the handshake announced 3
  const char* violation;
  Stage reached;
};

class BrokenConsole : public ::testing::TestWithParam<Breach> {};

TEST_P(BrokenConsole, IsNamedInTheSummary) {
  const Breach& c = GetParam();
  stbsim::Config cfg = Quick();
  cfg.Fault.RejectBlock = 1;
  Rig rig(cfg);
  rig.Handshake(3);
  const Bytes image = TestImage(3);
  c.script(rig, image);
  if (c.reached >= Stage::Done) rig.Rx.WaitFinished(1000);
  // Violations that arrive after the end are recorded while the line stays open.
  rig.Console->ReadQuiet(200);
  const auto sum = rig.Rx.GetSummary();
  EXPECT_TRUE(rig.Saw(c.violation)) << sum.ToText();
  EXPECT_EQ(sum.Reached, c.reached) << sum.ToText();
  EXPECT_FALSE(sum.Success);
}

// Sends block k as it should, answering the receiver's rejection of block 1.
void Good(Rig& rig, const Bytes& image, std::size_t k) {
  const Bytes block = BlockOf(image, k);
  if (AsText(rig.Console->Block(block, Sum(block))) == "ok.") return;
  rig.Console->Send(Bytes{0x41});
  rig.Console->Block(block, Sum(block));
}

std::uint8_t Total(const Bytes& image, std::size_t blocks) {
  std::uint8_t t = 0;
  for (std::size_t k = 0; k < blocks; ++k) t = std::uint8_t(t + Sum(BlockOf(image, k)));
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, BrokenConsole,
    ::testing::Values(
        Breach{"WrongBlockChecksum",
               [](Rig& rig, const Bytes& image) {
                 Bytes reply = rig.Console->Block(BlockOf(image, 0), std::uint8_t(Sum(BlockOf(image, 0)) + 1));
                 EXPECT_EQ(reply.size(), 3u);
                 EXPECT_NE(AsText(reply), "ok.");
               },
               "block 0: checksum byte", Stage::Failed},
        Breach{"ResendDiffers",
               [](Rig& rig, const Bytes& image) {
                 Good(rig, image, 0);
                 Bytes block = BlockOf(image, 1);
                 EXPECT_NE(AsText(rig.Console->Block(block, Sum(block))), "ok.");
                 rig.Console->Send(Bytes{0x41});
                 block[700] ^= 0x10;
                 EXPECT_EQ(AsText(rig.Console->Block(block, Sum(block))), "ok.");
               },
               "differs from its first sending at byte 700", Stage::Transferring},
        Breach{"ResendWithoutTheResendByte",
               [](Rig& rig, const Bytes& image) {
                 Good(rig, image, 0);
                 Bytes block = BlockOf(image, 1);
                 rig.Console->Block(block, Sum(block));
                 EXPECT_EQ(AsText(rig.Console->Block(block, Sum(block))), "ok.");
               },
               "expected 0x41", Stage::Transferring},
        Breach{"WrongTotalChecksum",
               [](Rig& rig, const Bytes& image) {
                 for (std::size_t k = 0; k < 3; ++k) Good(rig, image, k);
                 rig.Console->Send(Bytes{std::uint8_t(Total(image, 3) ^ 0x80)});
                 Bytes text = rig.Console->Read(20);
                 EXPECT_NE(AsText(Bytes(text.begin() + 2, text.end())), "CRC OK. : DownLoad");
               },
               "total checksum", Stage::Failed},
        Breach{"BytesAfterARejectedFirstBlock",
               [](Rig& rig, const Bytes& image) {
                 rig.Console->Block(BlockOf(image, 0), 0);
                 rig.Console->Send(Bytes{0x41});
               },
               "byte(s) from the console after the receiver ended the download", Stage::Failed},
        Breach{"StoppedBeforeTheAnnouncedCount",
               [](Rig& rig, const Bytes& image) {
                 for (std::size_t k = 0; k < 2; ++k) Good(rig, image, k);
                 rig.Console->Send(Bytes{Total(image, 2)});
               },
               "block count mismatch: 3 blocks announced, the console sent 2", Stage::Failed},
        Breach{"MoreThanTheAnnouncedCount",
               [](Rig& rig, const Bytes& image) {
                 for (std::size_t k = 0; k < 3; ++k) Good(rig, image, k);
                 Bytes extra = BlockOf(image, 0);
                 extra.push_back(Sum(extra));
                 rig.Console->Send(extra);
               },
               "block count mismatch: the console sent 1025 bytes after the 3 blocks", Stage::Failed},
        Breach{"StrayByteBeforeTheWakeByte",
               [](Rig& rig, const Bytes& image) {
                 for (std::size_t k = 0; k < 3; ++k) Good(rig, image, k);
                 rig.Console->Send(Bytes{Total(image, 3)});
                 rig.Console->ReadQuiet(100);
                 rig.Console->Send(Bytes{0x00, 0x1F});
                 rig.Console->ReadQuiet(100);
               },
               "unexpected byte 0x00 while waiting for the console's 0x1F", Stage::FlashImage}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
