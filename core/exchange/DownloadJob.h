// What one download needs, read from a mode's description file and the size
// of the image file it names.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Wire.h"

// A model code or a version: two bytes, printed as first.second in hex.
struct TBytePair {
  std::uint8_t First = 0;
  std::uint8_t Second = 0;
  friend bool operator==(const TBytePair&, const TBytePair&) = default;
};

struct TDownloadJob {
  // The image file's own size in bytes: the one fact the block count, the
  // size shown and the two count bytes sent are all worked out from.
  std::int64_t ImageFileBytes = 0;
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
  // One digest per 1024-byte block of the image as it was when the job was
  // read, the last block padded with zeros: the transfer compares every block
  // it reads against it, so an image rewritten in place is never sent half
  // old, half new.
  std::vector<std::uint64_t> BlockDigests;
  // The image's SHA-256 (64 lower-case hex digits), taken from the same
  // reading: every block sent is checked against the digests above, so this
  // names exactly what the receiver was given.
  std::string ImageSha256;

  // Whole blocks, the last one padded with zeros (0..65535: the reader
  // refuses larger images).
  std::int32_t BlockCount() const { return std::int32_t((ImageFileBytes + kBlockBytes - 1) / kBlockBytes); }
  // Bytes sent, the image rounded up to whole blocks.
  std::int32_t ImageSize() const { return BlockCount() * kBlockBytes; }
  // The count as the size command sends it, low byte first.
  std::uint8_t BlockCountLow() const { return std::uint8_t(BlockCount() & 0xFF); }
  std::uint8_t BlockCountHigh() const { return std::uint8_t((BlockCount() >> 8) & 0xFF); }

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

// A digest of one whole block. Each 8-byte word passes through a step that is
// one-to-one for a given word, so two blocks that differ in a single word
// never share a digest; any other difference collides with odds of 2^-64.
inline std::uint64_t BlockDigest(const std::uint8_t* block) {
  std::uint64_t h = 0x243F6A8885A308D3u;
  for (std::size_t i = 0; i < std::size_t(kBlockBytes); i += 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, block + i, 8);
    h = (h ^ w) * 0x9E3779B97F4A7C15u;
    h ^= h >> 29;
  }
  return h;
}
