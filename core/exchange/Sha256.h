// SHA-256, small and self-contained: the download record names the image it
// sent by its digest, and no crypto library is worth carrying for that.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class TSha256 {
public:
  TSha256();
  void Update(const void* data, std::size_t size);
  void Update(std::string_view text) { Update(text.data(), text.size()); }
  // The digest as 64 lower-case hex digits; the object is spent afterwards.
  std::string HexDigest();

private:
  void Compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> FState;
  std::array<std::uint8_t, 64> FBuffer{};
  std::size_t FBuffered = 0;
  std::uint64_t FTotalBytes = 0;
};

// The digest of a whole file, read front to back; false when it cannot be read.
bool FileSha256(const std::string& path, std::string& hexDigest);
