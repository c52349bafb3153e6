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

}  // namespace
