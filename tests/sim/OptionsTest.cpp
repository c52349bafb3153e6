// The program's command line: every identity and fault is reachable, and
// numbers are taken whole or not at all.
#include <gtest/gtest.h>

#include <functional>

#include "Options.h"

namespace {

using stbsim::ProgramOptions;
using stbsim::Stage;

struct Row {
  const char* name;
  std::vector<std::string> args;
  std::function<bool(const ProgramOptions&)> check;  // null: must be refused
};

class CommandLine : public ::testing::TestWithParam<Row> {};

TEST_P(CommandLine, TakesOrRefuses) {
  const Row& r = GetParam();
  ProgramOptions o;
  std::string error;
  bool ok = stbsim::ParseOptions(r.args, o, error);
  if (!r.check) {
    EXPECT_FALSE(ok);
    EXPECT_FALSE(error.empty());
  } else {
    ASSERT_TRUE(ok) << error;
    EXPECT_TRUE(r.check(o));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CommandLine,
    ::testing::Values(
        Row{"Identity",
            {"--mode", "3", "--oui", "ab0C", "--model", "A.2", "--hw=01.06", "--bl", "0.ff", "--native", "3.1",
             "--start-date", "2612", "--address", "0xBFC00000", "--spare", "1,2,FFFFFFFF"},
            [](const ProgramOptions& o) {
              const auto& id = o.Cfg.Id;
              return id.AcceptMode == 3 && id.Oui[0] == 0xAB && id.Oui[1] == 0x0C && id.ModelCode.First == 0x0A &&
                     id.ModelCode.Second == 2 && id.Hardware.Second == 6 && id.Bootloader.Second == 0xFF &&
                     id.Native.Second == 1 && id.StartDate == "2612" && id.DownloadAddress == 0xBFC00000 &&
                     id.Spare[2] == 0xFFFFFFFF;
            }},
        Row{"PaceDefaultsTo115200", {"--pace", "--exit-when-done"},
            [](const ProgramOptions& o) { return o.Cfg.Paced && o.Cfg.Baud == 115200 && o.ExitWhenDone; }},
        Row{"PaceWithRate", {"--pace", "9600"}, [](const ProgramOptions& o) { return o.Cfg.Baud == 9600; }},
        Row{"Faults",
            {"--reject-block", "5:always", "--sequence-missing", "2", "--echo", "32", "--bad-text", "ramimage:4",
             "--flash-byte", "1:21", "--version-reply", "58", "--silent", "Transferring:4", "--hang-up",
             "FlashWrite", "--junk", "DownloadCrc", "--junk-bytes", "00FF", "--junk-early", "--reply-delay", "250",
             "--refuse-reply", "00414141"},
            [](const ProgramOptions& o) {
              const auto& f = o.Cfg.Fault;
              return f.RejectBlock == 5 && f.RejectTimes == -1 && f.SequenceCheck == 2 && f.SequenceMissing &&
                     f.Echo == 0x32 && f.TextStage == Stage::RamImage && f.TextPos == 4 && f.FlashByteAt == 1 &&
                     f.FlashByte == 0x21 && f.VersionReply == 0x58 && f.SilentAt == Stage::Transferring &&
                     f.SilentBlock == 4 && f.HangUpAt == Stage::FlashWrite && f.JunkAt == Stage::DownloadCrc &&
                     f.Junk == std::vector<std::uint8_t>{0x00, 0xFF} && f.JunkEarly && f.ReplyDelayMs == 250 &&
                     f.RefuseReply.size() == 4;
            }},
        Row{"OuiTooLong", {"--oui", "12345"}, nullptr},
        Row{"OuiTooShort", {"--oui", "123"}, nullptr},
        Row{"AddressTrailingJunk", {"--address", "8001000G"}, nullptr},
        Row{"AddressTooWide", {"--address", "180010000"}, nullptr},
        Row{"PairWithoutDot", {"--hw", "0105"}, nullptr},
        Row{"PairByteTooWide", {"--model", "100.1"}, nullptr},
        Row{"ModeOutOfRange", {"--mode", "9"}, nullptr},
        Row{"NegativeDelay", {"--flash-delay", "-5"}, nullptr},
        Row{"UnknownStage", {"--silent", "Flashing"}, nullptr},
        Row{"OddJunk", {"--junk-bytes", "ABC"}, nullptr},
        Row{"MissingValue", {"--link"}, nullptr},
        Row{"UnknownOption", {"--turbo"}, nullptr},
        Row{"LinkAndDevice", {"--link", "/tmp/x", "--device", "/dev/ttyS0"}, nullptr}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
