#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "PortChoice.h"
#include "TestNames.h"

namespace {

class TKeptPort : public TPortMemory {
public:
  explicit TKeptPort(std::optional<std::string> port = std::nullopt) : FPort(std::move(port)) {}
  std::optional<std::string> Remembered() const override { return FPort; }
  void Remember(const std::string& port) override { Written.push_back(port); }
  std::vector<std::string> Written;

private:
  std::optional<std::string> FPort;
};

using Maybe = std::optional<std::string>;

struct ChoiceCase {
  const char* name;
  TPortSystem system;
  Maybe option, com1, remembered;
  std::string device;
  TPortSource source;
};

class PortChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(PortChoice, DeviceAndWhereItCameFrom) {
  const ChoiceCase& c = GetParam();
  const TEnvironment environment = [&c](const std::string& name) { return name == "COM1" ? c.com1 : std::nullopt; };
  const TPortChoice chosen = ChoosePort(c.option, environment, TKeptPort(c.remembered), c.system);
  EXPECT_EQ(chosen.Device, c.device);
  EXPECT_EQ(chosen.Source, c.source);
}

constexpr auto Posix = TPortSystem::Posix;
constexpr auto Windows = TPortSystem::Windows;
using enum TPortSource;

INSTANTIATE_TEST_SUITE_P(
    Port, PortChoice,
    ::testing::Values(
        ChoiceCase{"OptionWins", Posix, "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB0", CommandLine},
        ChoiceCase{"Com1Next", Posix, {}, "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB1", Environment},
        ChoiceCase{"EmptyCom1IsNone", Posix, {}, "", "/dev/ttyUSB2", "/dev/ttyUSB2", Remembered},
        ChoiceCase{"RememberedNext", Posix, {}, {}, "/dev/serial/by-id/usb-FTDI-if00", "/dev/serial/by-id/usb-FTDI-if00",
                   Remembered},
        ChoiceCase{"EmptyRememberedIsNone", Posix, {}, {}, "", "/dev/ttyS0", Default},
        ChoiceCase{"TtyS0Last", Posix, {}, {}, {}, "/dev/ttyS0", Default},
        ChoiceCase{"ComNameIsAPathOnLinux", Posix, "COM3", {}, {}, "COM3", CommandLine},
        ChoiceCase{"WindowsOptionCom3", Windows, "COM3", {}, "COM4", "\\\\.\\COM3", CommandLine},
        ChoiceCase{"WindowsOptionAboveNineInLowerCase", Windows, "com12", {}, {}, "\\\\.\\COM12", CommandLine},
        ChoiceCase{"WindowsDeviceNameKept", Windows, "\\\\.\\CNCA0", {}, {}, "\\\\.\\CNCA0", CommandLine},
        ChoiceCase{"WindowsComWithoutNumberKept", Windows, "COMX", {}, {}, "COMX", CommandLine},
        ChoiceCase{"WindowsHasNoCom1Variable", Windows, {}, "COM7", {}, "\\\\.\\COM1", Default},
        ChoiceCase{"WindowsRememberedNext", Windows, {}, "COM7", "COM4", "\\\\.\\COM4", Remembered},
        ChoiceCase{"WindowsCom1Last", Windows, {}, {}, {}, "\\\\.\\COM1", Default}),
    RowName());

// Only a port named on the command line that opened is remembered, and as
// it was named: COM3 is what the next start maps again.
TEST(PortChoice, RememberedOnlyAfterAnOptionThatOpened) {
  TKeptPort memory;
  const auto none = [](const std::string&) -> Maybe { return std::nullopt; };
  const TPortChoice option = ChoosePort("COM3", none, memory, Windows);
  RememberIfOpened(option, false, memory);
  EXPECT_TRUE(memory.Written.empty()) << "a port that did not open";
  RememberIfOpened(option, true, memory);
  EXPECT_EQ(memory.Written, std::vector<std::string>{"COM3"});
  const TPortChoice fromCom1 =
      ChoosePort(std::nullopt, [](const std::string&) -> Maybe { return "/dev/ttyUSB1"; }, memory, Posix);
  RememberIfOpened(fromCom1, true, memory);
  EXPECT_EQ(memory.Written.size(), 1u) << "$COM1 is the caller's, not to be remembered";
}

#ifdef _WIN32
// The registry is the store on Windows: what one start writes, the next reads.
TEST(PortMemory, RegistryGivesBackWhatItWasGiven) {
  const auto memory = UserPortMemory();
  const Maybe before = memory->Remembered();
  memory->Remember("COM17");
  EXPECT_EQ(UserPortMemory()->Remembered(), Maybe("COM17"));
  if (before) memory->Remember(*before);
}
#endif

}  // namespace
