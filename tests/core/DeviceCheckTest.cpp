// The checks of the receiver's identification against the description file.
#include <gtest/gtest.h>

#include <numeric>

#include "DeviceCheck.h"
#include "TestNames.h"

namespace {

using Lines = std::vector<std::string>;

TEST(DeviceInfo, IdentificationBytesLandInTheirFields) {
  std::array<std::uint8_t, 32> block{};
  std::iota(block.begin(), block.end(), std::uint8_t(1));
  TDeviceInfo dev;
  dev.StoreIdentification(block);
  EXPECT_EQ(dev.Oui, (std::array<std::uint8_t, 2>{1, 2}));
  EXPECT_EQ(dev.ModelCode, (TBytePair{3, 4}));
  EXPECT_EQ(dev.HardwareVersion, (TBytePair{5, 6}));
  EXPECT_EQ(dev.BootloaderVersion, (TBytePair{7, 8}));
  EXPECT_EQ(dev.NativeVersion, (TBytePair{9, 10}));
  EXPECT_EQ(dev.Reserved1, (std::array<std::uint8_t, 4>{11, 12, 13, 14}));
  EXPECT_EQ(dev.StartDate, (std::array<std::uint8_t, 5>{15, 16, 17, 18, 19}));
  EXPECT_EQ(dev.Reserved2.front(), 20);
  EXPECT_EQ(dev.Reserved2.back(), 32);
}

// ---- version rule --------------------------------------------------------

struct VersionRow {
  TBytePair image, receiver;
  bool passes;
};

void PrintTo(const VersionRow& r, std::ostream* os) {
  *os << "image " << int(r.image.First) << "." << int(r.image.Second) << ", receiver "
      << int(r.receiver.First) << "." << int(r.receiver.Second);
}

class VersionRuleTest : public ::testing::TestWithParam<VersionRow> {};

TEST_P(VersionRuleTest, Decides) {
  const auto& r = GetParam();
  EXPECT_EQ(VersionPasses(r.image, r.receiver), r.passes);
}

INSTANTIATE_TEST_SUITE_P(Table, VersionRuleTest,
                         ::testing::Values(VersionRow{{1, 5}, {1, 5}, true},
                                           VersionRow{{1, 6}, {1, 5}, true},
                                           VersionRow{{1, 4}, {1, 5}, false},
                                           VersionRow{{2, 5}, {1, 5}, false},
                                           VersionRow{{0, 9}, {1, 5}, false},
                                           // unsigned: 0x80 is above 0x7F, not below
                                           VersionRow{{1, 0x80}, {1, 0x7F}, true},
                                           VersionRow{{1, 0x7F}, {1, 0x80}, false},
                                           VersionRow{{0xFF, 0xFF}, {0xFF, 0}, true}),
                         [](const auto& row) {
                           const VersionRow& r = row.param;
                           return "Image" + HexName(r.image.First) + "_" + HexName(r.image.Second) + "_Receiver" +
                                  HexName(r.receiver.First) + "_" + HexName(r.receiver.Second);
                         });

// ---- download address (check 5) -----------------------------------------

struct AddressRow {
  std::uint32_t image, receiver;
  bool match;
};

void PrintTo(const AddressRow& r, std::ostream* os) {
  *os << std::hex << "0x" << r.image << " vs 0x" << r.receiver;
}

class AddressMatchTest : public ::testing::TestWithParam<AddressRow> {};

TEST_P(AddressMatchTest, MatchesBothWays) {
  const auto& r = GetParam();
  EXPECT_EQ(AddressesMatch(r.image, r.receiver), r.match);
  EXPECT_EQ(AddressesMatch(r.receiver, r.image), r.match);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddressMatchTest,
    ::testing::Values(AddressRow{0xBFC00000, 0x9FC00000, true},
                      AddressRow{0x80010000, 0xA0010000, true},
                      AddressRow{0xC0000000, 0xE0000000, false},
                      AddressRow{0x20000000, 0x00000000, false},
                      AddressRow{0xA0000000, 0xC0000000, false},
                      AddressRow{0x7F000000, 0x9F000000, false},
                      AddressRow{0x9F000000, 0x9F000000, true},
                      AddressRow{0xBFC00001, 0xBFC00000, false},
                      AddressRow{0xBFC10000, 0xBFC00000, false},
                      AddressRow{0x80000100, 0xA0000000, false}),
    [](const auto& row) { return HexName(row.param.image) + "_" + HexName(row.param.receiver); });

// ---- checks 1 to 4: pass lines and failure reports -----------------------

struct CheckRow {
  const char* name;
  std::function<void(TDownloadJob&, TDeviceInfo&)> setUp;
  std::function<TCheckResult(const TDownloadJob&, const TDeviceInfo&)> check;
  Lines lines;
  std::string message;  // empty: passes
};

void PrintTo(const CheckRow& r, std::ostream* os) { *os << r.name; }

class IdentityCheckTest : public ::testing::TestWithParam<CheckRow> {};

TEST_P(IdentityCheckTest, LogsAndDecides) {
  const auto& r = GetParam();
  TDownloadJob job;
  TDeviceInfo dev;
  r.setUp(job, dev);
  const TCheckResult result = r.check(job, dev);
  EXPECT_EQ(result.Passed, r.message.empty());
  EXPECT_EQ(result.LogLines, r.lines);
  EXPECT_EQ(result.Message, r.message);
}

using J = TDownloadJob&;
using D = TDeviceInfo&;

INSTANTIATE_TEST_SUITE_P(
    Table, IdentityCheckTest,
    ::testing::Values(
        CheckRow{"OuiFirstByteZero", [](J j, D d) { j.Oui = {0x00, 0x12, 0x34}; d.Oui = {0x12, 0x34}; },
                 CheckOui, {"  -. Pass OUI - Tarnwell. Co."}, ""},
        CheckRow{"OuiFirstByteFF", [](J j, D d) { j.Oui = {0xFF, 0x12, 0x34}; d.Oui = {0x12, 0x34}; },
                 CheckOui, {"  -. Pass OUI - Tarnwell. Co."}, ""},
        CheckRow{"OuiShifted", [](J j, D d) { j.Oui = {0x12, 0x34, 0x00}; d.Oui = {0x12, 0x34}; },
                 CheckOui, {"( 34 / 12 )", "( 0 / 34 )", "  - Invalid OUI !!"}, "Invalid OUI"},
        CheckRow{"ModelSame", [](J j, D d) { j.ModelCode = d.ModelCode = {0x0A, 0xC0}; },
                 CheckModelCode, {"  -. Model Code is same: A.C0(HEX)"}, ""},
        CheckRow{"ModelDiffers",
                 [](J j, D d) { j.ModelCode = {0x0A, 0x01}; d.ModelCode = {0x0A, 0x02}; },
                 CheckModelCode, {"(New: A /Set: A )", "(New: 1 /Set: 2 )", "  - Invalid Model Code !!"},
                 "Invalid Model Code !!"},
        CheckRow{"HardwareSame",
                 [](J j, D d) { j.HardwareVersion = d.HardwareVersion = {1, 5}; },
                 CheckHardwareVersion, {"  -. Hardware Version is same: Set:1.5<-->New: 1.5 (HEX)"}, ""},
        CheckRow{"HardwareHigher",
                 [](J j, D d) { j.HardwareVersion = {1, 6}; d.HardwareVersion = {1, 5}; },
                 CheckHardwareVersion, {"  -. Hardware Version is same: Set:1.5<-->New: 1.6 (HEX)"}, ""},
        CheckRow{"HardwareLower",
                 [](J j, D d) { j.HardwareVersion = {1, 4}; d.HardwareVersion = {1, 5}; },
                 CheckHardwareVersion,
                 {"( New: 1 /Set: 1 )", "( New: 4 /Set: 5 )", "  -Hardware version is invalid or lower!!"},
                 "Hardware version is invalid or lower!!"},
        CheckRow{"HardwareOtherFirst",
                 [](J j, D d) { j.HardwareVersion = {0, 9}; d.HardwareVersion = {1, 5}; },
                 CheckHardwareVersion,
                 {"( New: 0 /Set: 1 )", "( New: 9 /Set: 5 )", "  -Hardware version is invalid or lower!!"},
                 "Hardware version is invalid or lower!!"},
        CheckRow{"BootloaderHigher",
                 [](J j, D d) { j.BootloaderVersion = {0x1F, 0xA0}; d.BootloaderVersion = {0x1F, 0x0B}; },
                 CheckBootloaderVersion, {"  -. Bootloader Version: Set:1F.B-->New:1F.A0 (HEX)"}, ""},
        CheckRow{"BootloaderOtherFirst",
                 [](J j, D d) { j.BootloaderVersion = {2, 5}; d.BootloaderVersion = {1, 5}; },
                 CheckBootloaderVersion,
                 {"( New: 2 /Set: 1 )", "( New: 5 /Set: 5 )", "  -Bootloader version is invalid or lower!!"},
                 "Bootloader version is invalid or lower!!"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- checks 6 to 8: the bootloader area ---------------------------------

struct AreaRow {
  std::uint32_t address;
  bool bootloaderAddressPasses;  // check 6, mode 1
  bool bootloaderAreaPasses;     // check 7, modes 2-8
};

void PrintTo(const AreaRow& r, std::ostream* os) { *os << std::hex << "0x" << r.address; }

class BootloaderAreaTest : public ::testing::TestWithParam<AreaRow> {};

TEST_P(BootloaderAreaTest, Checks6And7) {
  const auto& r = GetParam();
  TDownloadJob job;
  for (int i = 0; i < 4; ++i) job.DownloadAddress[std::size_t(i)] = std::uint8_t(r.address >> (8 * i));

  const TCheckResult six = CheckBootloaderAddress(job);
  EXPECT_EQ(six.Passed, r.bootloaderAddressPasses);
  EXPECT_EQ(six.LogLines, r.bootloaderAddressPasses
                              ? Lines{}
                              : Lines{"  -ERROR:Cannot Change Bootloader Address!!"});
  EXPECT_EQ(six.Message,
            r.bootloaderAddressPasses ? "" : "ERROR:Cannot Change Bootloader Address!!");

  const TCheckResult seven = CheckBootloaderArea(job);
  EXPECT_EQ(seven.Passed, r.bootloaderAreaPasses);
  EXPECT_EQ(seven.LogLines,
            r.bootloaderAreaPasses ? Lines{} : Lines{"  -ERROR:Cannot Write Bootloader Area!!"});
  EXPECT_EQ(seven.Message, r.bootloaderAreaPasses ? "" : "ERROR:Cannot Write Bootloader Area!!");
}

INSTANTIATE_TEST_SUITE_P(Table, BootloaderAreaTest,
                         ::testing::Values(AreaRow{0xBFC00000, true, false},
                                           AreaRow{0x9FC00000, true, false},
                                           AreaRow{0xBFC10000, false, true},
                                           AreaRow{0xDFC00000, false, true},
                                           AreaRow{0x7FC00000, false, true},
                                           AreaRow{0x9FC00001, false, false},
                                           AreaRow{0xBF000000, false, false},
                                           AreaRow{0x9EC0FFFF, false, false},
                                           AreaRow{0xBE000000, false, false},
                                           AreaRow{0xBEC10000, false, true},
                                           AreaRow{0x9D000000, false, true},
                                           AreaRow{0x80000000, false, true},
                                           AreaRow{0x00C00000, false, true}),
                         [](const auto& row) { return "Address" + HexName(row.param.address); });

TEST(BootloaderSize, SixtyBlocksPassSixtyOneFail) {
  TDownloadJob job;
  for (std::int32_t blocks : {0, 60}) {
    job.ImageFileBytes = std::int64_t(blocks) * 1024;
    const auto r = CheckBootloaderSize(job);
    EXPECT_TRUE(r.Passed);
    EXPECT_EQ(r.LogLines, Lines{"  -. Bootloader size check OK !!!"});
  }
  for (std::int32_t blocks : {61, 65535}) {
    job.ImageFileBytes = std::int64_t(blocks) * 1024 - 1;
    const auto r = CheckBootloaderSize(job);
    EXPECT_FALSE(r.Passed);
    EXPECT_EQ(r.LogLines, Lines{"  -Bootloader is too large!!"});
    EXPECT_EQ(r.Message, "Bootloader is too large!!");
  }
}

TEST(NativeVersion, ReceiverFirstThenImage) {
  TDownloadJob job;
  TDeviceInfo dev;
  job.NativeVersion = {2, 0xFF};
  dev.NativeVersion = {1, 0};
  EXPECT_EQ(NativeVersionLine(job, dev), "  -. Native Software Version: Set:1.0-->New:2.FF (HEX)");
}

}  // namespace
