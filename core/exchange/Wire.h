// Every byte and text the console and the receiver exchange, and the sizes
// that frame them, in one place: the exchange is read against this page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The image goes to the receiver in blocks of this many bytes.
inline constexpr std::int32_t kBlockBytes = 1024;

namespace wire {
// The probe's wake-up byte, and the console's acknowledgement at the
// verification stages.
inline constexpr std::uint8_t WakeByte = 0x1F;
inline constexpr std::uint8_t NoAnswer = 0x00;              // probe reply byte 1 that ends the tick
inline constexpr std::uint8_t ResendRequest = 0x41;          // 'A', before a rejected block goes again
inline constexpr std::uint8_t VersionPairRequest = 0x1E;
inline constexpr std::uint8_t VersionTableWritten = 0x57;    // 'W'
inline constexpr std::uint8_t FlashWriteMark = 0x40;         // '@', one per four blocks
inline constexpr std::string_view Acknowledge = "ACK";
inline constexpr std::string_view BlockAccepted = "ok.";
inline constexpr std::string_view AddressFollows = "ok";
inline constexpr std::string_view SequenceDigits = "1234567890";
inline constexpr std::size_t IdentificationBytes = 32;
inline constexpr std::size_t AddressBytes = 4;
inline constexpr std::size_t SizeReplyBytes = 8;
inline constexpr int BlocksPerSequenceCheck = 11;
inline constexpr int BlocksPerFlashMark = 4;

// The receiver's confirmations, compared whole, case included.
inline constexpr std::string_view DownloadChecksumOk = "CRC OK. : DownLoad";
inline constexpr std::string_view RamImageOk = "CRC OK. : Ram Image";
inline constexpr std::string_view FlashImageOk = "CRC OK. : Flash image !!";
inline constexpr std::string_view VersionUpdateOk = "Update software version!!!";
inline constexpr std::string_view VersionTableOk = "CRC OK. : Version Table !!";
}  // namespace wire
