#include "DeviceCheck.h"

#include <algorithm>

#include "Format.h"

namespace {

constexpr std::uint8_t kBootTop = 0x9F;
constexpr std::uint8_t kBootSecond = 0xC0;
constexpr std::int32_t kMaxBootloaderBlocks = 60;

std::uint8_t TopByte(std::uint32_t a) { return std::uint8_t(a >> 24); }
std::uint8_t SecondByte(std::uint32_t a) { return std::uint8_t(a >> 16); }

TCheckResult Fail(std::vector<std::string> lines, const char* message) {
  return TCheckResult{false, std::move(lines), message};
}

// The two-line report of a pair that differs: the image's byte, then the receiver's.
TCheckResult PairFailure(const char* fmt, TBytePair image, TBytePair receiver, const char* line,
                         const char* message) {
  return Fail({Format(fmt, image.First, receiver.First), Format(fmt, image.Second, receiver.Second),
               line},
              message);
}

}  // namespace


void TDeviceInfo::StoreIdentification(const std::array<std::uint8_t, 32>& block) {
  Oui = {block[0], block[1]};
  ModelCode = {block[2], block[3]};
  HardwareVersion = {block[4], block[5]};
  BootloaderVersion = {block[6], block[7]};
  NativeVersion = {block[8], block[9]};
  std::copy_n(block.begin() + 10, Reserved1.size(), Reserved1.begin());
  std::copy_n(block.begin() + 14, StartDate.size(), StartDate.begin());
  std::copy_n(block.begin() + 19, Reserved2.size(), Reserved2.begin());
}

bool VersionPasses(TBytePair image, TBytePair receiver) {
  return image.First == receiver.First && image.Second >= receiver.Second;
}

std::uint8_t MapTopByte(std::uint8_t top) { return top > 0x9F ? std::uint8_t(top - 0x20) : top; }

bool AddressesMatch(std::uint32_t image, std::uint32_t receiver) {
  return (image & 0x00FFFFFFu) == (receiver & 0x00FFFFFFu) &&
         MapTopByte(TopByte(image)) == MapTopByte(TopByte(receiver));
}

TCheckResult CheckOui(const TDownloadJob& job, const TDeviceInfo& dev) {
  if (dev.Oui[0] == job.Oui[1] && dev.Oui[1] == job.Oui[2])
    return {true, {"  -. Pass OUI - Tarnwell. Co."}, {}};
  return Fail({Format("( %X / %X )", job.Oui[1], dev.Oui[0]),
               Format("( %X / %X )", job.Oui[2], dev.Oui[1]), "  - Invalid OUI !!"},
              "Invalid OUI");
}

TCheckResult CheckModelCode(const TDownloadJob& job, const TDeviceInfo& dev) {
  if (job.ModelCode == dev.ModelCode)
    return {true,
            {Format("  -. Model Code is same: %X.%X(HEX)", dev.ModelCode.First,
                    dev.ModelCode.Second)},
            {}};
  return PairFailure("(New: %X /Set: %X )", job.ModelCode, dev.ModelCode,
                     "  - Invalid Model Code !!", "Invalid Model Code !!");
}

TCheckResult CheckHardwareVersion(const TDownloadJob& job, const TDeviceInfo& dev) {
  const TBytePair set = dev.HardwareVersion, now = job.HardwareVersion;
  if (VersionPasses(now, set))
    return {true,
            {Format("  -. Hardware Version is same: Set:%X.%X<-->New: %X.%X (HEX)", set.First,
                    set.Second, now.First, now.Second)},
            {}};
  return PairFailure("( New: %X /Set: %X )", now, set, "  -Hardware version is invalid or lower!!",
                     "Hardware version is invalid or lower!!");
}

TCheckResult CheckBootloaderVersion(const TDownloadJob& job, const TDeviceInfo& dev) {
  const TBytePair set = dev.BootloaderVersion, now = job.BootloaderVersion;
  if (VersionPasses(now, set))
    return {true,
            {Format("  -. Bootloader Version: Set:%X.%X-->New:%X.%X (HEX)", set.First, set.Second,
                    now.First, now.Second)},
            {}};
  return PairFailure("( New: %X /Set: %X )", now, set,
                     "  -Bootloader version is invalid or lower!!",
                     "Bootloader version is invalid or lower!!");
}

TCheckResult CheckBootloaderAddress(const TDownloadJob& job) {
  const std::uint32_t a = job.Address();
  if (MapTopByte(TopByte(a)) == kBootTop && (a & 0x00FFFFFFu) == std::uint32_t(kBootSecond) << 16)
    return {};
  return Fail({"  -ERROR:Cannot Change Bootloader Address!!"},
              "ERROR:Cannot Change Bootloader Address!!");
}

TCheckResult CheckBootloaderArea(const TDownloadJob& job) {
  const std::uint32_t a = job.Address();
  const std::uint8_t top = TopByte(a);
  // The bootloader lives at 0x9FC00000 (0xBFC00000 uncached) and the region just below it.
  const bool bootTop = top == 0x9E || top == 0x9F || top == 0xBE || top == 0xBF;
  if (bootTop && SecondByte(a) <= kBootSecond)
    return Fail({"  -ERROR:Cannot Write Bootloader Area!!"}, "ERROR:Cannot Write Bootloader Area!!");
  return {};
}

TCheckResult CheckBootloaderSize(const TDownloadJob& job) {
  if (job.BlockCount() <= kMaxBootloaderBlocks) return {true, {"  -. Bootloader size check OK !!!"}, {}};
  return Fail({"  -Bootloader is too large!!"}, "Bootloader is too large!!");
}

std::string NativeVersionLine(const TDownloadJob& job, const TDeviceInfo& dev) {
  return Format("  -. Native Software Version: Set:%X.%X-->New:%X.%X (HEX)", dev.NativeVersion.First,
                dev.NativeVersion.Second, job.NativeVersion.First, job.NativeVersion.Second);
}
