// What the simulated receiver is and how it misbehaves.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace stbsim {

struct Pair {
  std::uint8_t First = 0, Second = 0;
};

struct Identity {
  std::uint8_t AcceptMode = 0;  // 1..8, or 0 = answer any mode word with its own number
  std::array<std::uint8_t, 2> Oui{0x12, 0x34};
  Pair ModelCode{0x0A, 0x01}, Hardware{0x01, 0x05}, Bootloader{0x02, 0x00}, Native{0x03, 0x00};
  std::string StartDate = "26120";  // 5 chars in the id block
  std::uint32_t DownloadAddress = 0x80010000;  // sent top byte first
  std::array<std::uint32_t, 3> Spare{};
};

// The stages in the order a download passes them; the last three are how it ended.
enum class Stage {
  Off, Probed, Identified, SizeReceived, Transferring, DownloadCrc, RamImage,
  FlashWrite, FlashImage, VersionUpdate, VersionTable, Done, Failed, HungUp
};

const char* StageName(Stage s);
// Accepts the names above in any case; false for anything else.
bool StageFromName(const std::string& name, Stage& out);

// Every fault is off by default. A stage of Off means "never".
struct Faults {
  // Reject block RejectBlock this many times (-1: always) before accepting it.
  std::int32_t RejectBlock = -1;
  std::int32_t RejectTimes = 1;
  // Spoil the n-th sequence check (1-based, 0: none): a wrong digit, or none at all.
  std::uint32_t SequenceCheck = 0;
  bool SequenceMissing = false;
  // Echo this byte instead of the mode number (-1: the proper echo).
  std::int32_t Echo = -1;
  // Reply to a mode word the receiver does not accept; empty means stay silent.
  std::vector<std::uint8_t> RefuseReply;
  // Spoil one character of a confirmation text: DownloadCrc, RamImage,
  // FlashImage, VersionUpdate or VersionTable.
  Stage TextStage = Stage::Off;
  std::uint32_t TextPos = 0;
  // Send FlashByte instead of the j-th "@" (0-based, -1: none).
  std::int32_t FlashByteAt = -1;
  std::uint8_t FlashByte = '#';
  // Answer the version write with this byte instead of 0x57 (-1: the proper one).
  std::int32_t VersionReply = -1;
  // Stop sending anything from this stage on (block SilentBlock when Transferring).
  Stage SilentAt = Stage::Off;
  std::uint32_t SilentBlock = 0;
  // Close the line at this stage (before replying to block HangUpBlock when Transferring).
  Stage HangUpAt = Stage::Off;
  std::uint32_t HangUpBlock = 0;
  // Hold the line this long at that stage before closing it: the console is
  // then deep in its wait.
  int HangUpDelayMs = 0;
  // Junk bytes before the stage's first reply byte (the first probe reply only;
  // before the reply to block JunkBlock when Transferring). JunkEarly sends them
  // instead with the tail of the previous message, before the console's flush:
  // for DownloadCrc, FlashWrite, VersionUpdate and VersionTable.
  Stage JunkAt = Stage::Off;
  std::vector<std::uint8_t> Junk{0x55, 0xAA, 0x3F};
  std::uint32_t JunkBlock = 0;
  bool JunkEarly = false;
  // Wait this long before every reply.
  int ReplyDelayMs = 0;
  // Hold the first reply to block LateBlock back LateMs more (-1: none): a
  // receiver that stalls after a block.
  std::int32_t LateBlock = -1;
  int LateMs = 0;
  // Noise on the line after the first reply to block NoiseBlock (-1: none):
  // the Junk bytes, between that block and the next.
  std::int32_t NoiseBlock = -1;
};

struct Config {
  Identity Id;
  Faults Fault;
  bool Paced = false;
  std::uint32_t Baud = 115200;
  int FlashWriteDelayMs = 0;  // delay per "@"
  // The console sends the date code without a length: it is complete once the
  // line has been quiet this long.
  int VersionQuietMs = 100;
  // A block that stops arriving for this long is taken as the console's last word.
  int BlockGapMs = 500;
  // Give up (Failed) when the console stays silent this long while it owes us
  // bytes after the handshake; 0 waits for ever.
  int QuietLimitMs = 0;
};

}  // namespace stbsim
