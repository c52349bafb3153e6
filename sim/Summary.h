// What the simulated receiver saw of one download.
#pragma once

#include "Config.h"

#include <cstdint>
#include <string>
#include <vector>

namespace stbsim {

struct Summary {
  Stage Reached = Stage::Off;
  bool Success = false;  // every stage completed and the console's final 0x1F received
  Stage FailedAt = Stage::Off;  // the stage that was running when Reached became Failed or HungUp
  std::string Note;             // why it ended that way
  std::string ModeWord;
  std::uint32_t Probes = 0;      // mode words answered
  std::uint32_t ProbeNoise = 0;  // bytes during probing that were neither 0x1F nor part of a mode word
  std::uint32_t AddressReceived = 0;
  std::uint16_t BlockCountReceived = 0;
  std::uint32_t BlocksAccepted = 0, BlocksRejected = 0;
  std::uint32_t SequenceDigitsSent = 0;
  std::uint8_t TotalChecksumReceived = 0, TotalChecksumComputed = 0;
  std::vector<std::uint8_t> VersionWrite;  // raw bytes the console sent after the 0x1E (pair + date code)
  std::vector<std::string> Violations;     // every protocol violation seen from the console
  // For each block that followed an accepted one: from our reply's last byte
  // to the line time of the block's first byte, in ns (figures only).
  std::vector<std::int64_t> TurnaroundsNs;
  // When the hang-up fault closed the line, on the monotonic clock in ns; 0: it did not.
  std::int64_t HungUpNs = 0;

  std::string ToText() const;
  std::string ToJson() const;
};

}  // namespace stbsim
