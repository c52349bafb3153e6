// What one download needs, read from a mode's description file and the size
// of the image file it names.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// The image goes to the receiver in blocks of this many bytes; ImageSize and
// BlockCount count in them.
inline constexpr std::int32_t kBlockBytes = 1024;

// A model code or a version: two bytes, printed as first.second in hex.
struct TBytePair {
  std::uint8_t First = 0;
  std::uint8_t Second = 0;
  friend bool operator==(const TBytePair&, const TBytePair&) = default;
};

struct TDownloadJob {
  std::int32_t ImageSize = 0;    // bytes, rounded up to whole blocks
  std::int32_t BlockCount = 0;   // BlockCountHigh * 256 + BlockCountLow
  std::uint8_t BlockCountLow = 0;
  std::uint8_t BlockCountHigh = 0;
  std::array<std::uint8_t, 3> Oui{};  // Oui[0] is byte 1 of the file; only bytes 2 and 3 are checked
  TBytePair ModelCode;
  TBytePair HardwareVersion;
  TBytePair BootloaderVersion;
  TBytePair NativeVersion;
  TBytePair Application1Version;
  TBytePair Application2Version;
  std::string DateCode;       // 0 to 5 characters
  std::string SpareText;      // 0 to 13 characters
  std::string ImageFileName;
  std::uint8_t VersionSelector = 0;
  std::array<std::uint8_t, 4> DownloadAddress{};  // least significant byte first

  // The pair that the version stage records: by VersionSelector 1..4 the
  // bootloader, native, application 1 or application 2 version; none for any
  // other value.
  const TBytePair* SelectedVersion() const {
    switch (VersionSelector) {
      case 1: return &BootloaderVersion;
      case 2: return &NativeVersion;
      case 3: return &Application1Version;
      case 4: return &Application2Version;
      default: return nullptr;
    }
  }

  std::uint32_t Address() const {
    return std::uint32_t(DownloadAddress[3]) << 24 | std::uint32_t(DownloadAddress[2]) << 16 |
           std::uint32_t(DownloadAddress[1]) << 8 | DownloadAddress[0];
  }
};
