#include <gtest/gtest.h>

#include <string>

#include "StatusText.h"

namespace {

struct RateCase {
  const char* name;
  std::int32_t done, total;
  double elapsedS;
  std::string text;
};

class TransferRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(TransferRate, SpeedAndTimeLeft) {
  const RateCase& c = GetParam();
  EXPECT_EQ(TransferRateText(c.done, c.total, c.elapsedS), c.text);
}

const std::string dot = kStripSeparator;

INSTANTIATE_TEST_SUITE_P(
    Strip, TransferRate,
    ::testing::Values(RateCase{"LineSpeed", 112, 3000, 10.0, "11.2 KiB/s" + dot + "4:18 left"},
                      RateCase{"LastBlock", 256, 256, 23.0, "11.1 KiB/s" + dot + "0:00 left"},
                      RateCase{"OverAnHour", 1, 65535, 0.1, "10.0 KiB/s" + dot + "1:49:13 left"},
                      RateCase{"NothingYet", 0, 256, 0.0, ""}),
    [](const auto& p) { return std::string(p.param.name); });

// The reason the port gives starts with the device: the strip says it once.
TEST(PortStrip, DeviceNamedOnce) {
  EXPECT_EQ(PortText("/dev/ttyS0", false, "/dev/ttyS0: Permission denied (is your user in the dialout group?)"),
            "COM1 = /dev/ttyS0" + dot + "not open: Permission denied (is your user in the dialout group?)");
  EXPECT_EQ(PortText("/dev/ttyUSB0", true, ""), "COM1 = /dev/ttyUSB0" + dot + "115200 8N1" + dot + "open");
}

// What the strip says of the port when another may be chosen, or not.
struct StripCase {
  const char* name;
  TPortState port;
  bool choosable;
  std::string note;
  std::string text;
};

class PortChoiceStrip : public ::testing::TestWithParam<StripCase> {};

TEST_P(PortChoiceStrip, OffersTheListBeforeTheReason) {
  const StripCase& c = GetParam();
  TRunState state;
  state.Port = "/dev/ttyS0";
  state.PortState = c.port;
  state.PortProblem = c.port == TPortState::Open ? "" : "/dev/ttyS0: No such file or directory";
  state.PortChoosable = c.choosable;
  state.PortNote = c.note;
  const TStripState strip = StripOf(state);
  EXPECT_EQ(strip.Text, c.text);
  EXPECT_EQ(strip.Choosable, c.choosable);
  EXPECT_EQ(strip.Warning, c.port != TPortState::Open);
}

const std::string offer = kChoosePortOffer;

INSTANTIATE_TEST_SUITE_P(
    Strip, PortChoiceStrip,
    ::testing::Values(
        StripCase{"NotOpenOffersTheList", TPortState::NotOpen, true, "",
                  "COM1 = /dev/ttyS0" + dot + "not open" + dot + offer + dot + "No such file or directory"},
        StripCase{"LostOffersTheList", TPortState::Lost, true, "",
                  "COM1 = /dev/ttyS0" + dot + "lost" + dot + "waiting for it to come back" + dot + offer},
        StripCase{"NotOpenDuringADownloadOffersNothing", TPortState::NotOpen, false, "",
                  "COM1 = /dev/ttyS0" + dot + "not open: No such file or directory"},
        StripCase{"OpenNeedsNoOffer", TPortState::Open, true, "",
                  "COM1 = /dev/ttyS0" + dot + "115200 8N1" + dot + "open"},
        StripCase{"RefusedWhileADownloadRuns", TPortState::Open, false, kPortStaysNote,
                  "COM1 = /dev/ttyS0" + dot + "115200 8N1" + dot + "open" + dot + kPortStaysNote},
        StripCase{"ChosenButNotOpen", TPortState::NotOpen, true, kPortChosenNote,
                  "COM1 = /dev/ttyS0" + dot + "not open" + dot + offer + dot + "No such file or directory" + dot +
                      kPortChosenNote}),
    [](const auto& p) { return std::string(p.param.name); });

// What the download is doing follows the port, and a note on the port.
struct ActivityCase {
  const char* name;
  void (*set)(TRunState&);
  std::string after;  // what follows "COM1 = /dev/ttyUSB0 · 115200 8N1 · open"
};

class StripActivity : public ::testing::TestWithParam<ActivityCase> {};

TEST_P(StripActivity, FollowsThePort) {
  TRunState state;
  state.Port = "/dev/ttyUSB0";
  state.PortState = TPortState::Open;
  GetParam().set(state);
  EXPECT_EQ(StripOf(state).Text, "COM1 = /dev/ttyUSB0" + dot + "115200 8N1" + dot + "open" + GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Strip, StripActivity,
    ::testing::Values(
        ActivityCase{"Probing", [](TRunState&) {}, ""},
        ActivityCase{"Sending",
                     [](TRunState& s) {
                       s.Phase = TRunPhase::Sending;
                       s.BytesPerSecond = 11468.8;
                       s.SecondsLeft = 272;
                     },
                     dot + "11.2 KiB/s" + dot + "4:32 left"},
        ActivityCase{"RefusedWhileSending",
                     [](TRunState& s) {
                       s.Phase = TRunPhase::Sending;
                       s.BytesPerSecond = 11468.8;
                       s.SecondsLeft = 0;
                       s.PortNote = kPortStaysNote;
                     },
                     dot + kPortStaysNote + dot + "11.2 KiB/s" + dot + "0:00 left"},
        ActivityCase{"Waiting",
                     [](TRunState& s) {
                       s.WaitingFor = "Flash Write";
                       s.SilentMs = 12500;
                     },
                     dot + "waiting for Flash Write" + dot + "12 s"},
        ActivityCase{"Failed", [](TRunState& s) { s.Result = TDownloadResult::Failure; }, dot + "download failed"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
