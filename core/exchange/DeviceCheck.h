// The receiver's identification and the checks that decide whether the image
// may go into it. No widgets and no serial port here: the handshake feeds the
// bytes in and writes the outcome to the log.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "DownloadJob.h"

struct TDeviceInfo {
  std::uint32_t DownloadAddress = 0;
  std::array<std::uint32_t, 3> SpareWords{};
  std::array<std::uint8_t, 2> Oui{};
  TBytePair ModelCode;
  TBytePair HardwareVersion;
  TBytePair BootloaderVersion;
  TBytePair NativeVersion;
  std::array<std::uint8_t, 4> Reserved1{};   // bytes 11-14, not examined
  std::array<std::uint8_t, 5> StartDate{};   // bytes 15-19, not examined
  std::array<std::uint8_t, 13> Reserved2{};  // bytes 20-32, not examined

  // Bytes 1 to 32 of the identification block, in arrival order.
  void StoreIdentification(const std::array<std::uint8_t, 32>& block);
};

// The outcome of one check: the log lines it writes (pass or fail) and, on a
// failure, the text of its message box.
struct TCheckResult {
  bool Passed = true;
  std::vector<std::string> LogLines;
  std::string Message;
};

// The image's pair passes when the first bytes are equal and its second byte
// is at least the receiver's.
bool VersionPasses(TBytePair image, TBytePair receiver);
// Top bytes above 0x9F count 0x20 lower, so 0x8n and 0xAn addresses agree.
std::uint8_t MapTopByte(std::uint8_t top);
bool AddressesMatch(std::uint32_t image, std::uint32_t receiver);

TCheckResult CheckOui(const TDownloadJob& job, const TDeviceInfo& dev);              // 1
TCheckResult CheckModelCode(const TDownloadJob& job, const TDeviceInfo& dev);        // 2
TCheckResult CheckHardwareVersion(const TDownloadJob& job, const TDeviceInfo& dev);  // 3
TCheckResult CheckBootloaderVersion(const TDownloadJob& job, const TDeviceInfo& dev);// 4
TCheckResult CheckBootloaderAddress(const TDownloadJob& job);                        // 6, mode 1
TCheckResult CheckBootloaderArea(const TDownloadJob& job);                           // 7, modes 2-8
TCheckResult CheckBootloaderSize(const TDownloadJob& job);                           // 8, mode 1

// "  -. Native Software Version: Set:%x.%x-->New:%x.%x (HEX)"
std::string NativeVersionLine(const TDownloadJob& job, const TDeviceInfo& dev);
