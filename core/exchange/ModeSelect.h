// The hidden mode keywords: eight slots that follow what is typed, and the
// table of the eight download modes.
#pragma once

#include <array>
#include <cstdint>

struct TKeywordSlot {
  std::int32_t MatchPosition = 1;        // 1..7; 7 = all six characters matched
  std::array<std::uint8_t, 6> Keyword{};
};
using TKeywordSlots = std::array<TKeywordSlot, 8>;

struct TModeInfo {
  std::uint8_t Mode;            // 1..8, also the echo the receiver must send
  const char* LogLine;          // e.g. "0. BootLoader Mode"
  const char* DescriptionFile;  // e.g. "./inc/bl.inc"
  const char* ModeWord;         // five letters sent by the probe
  const char* Name;             // e.g. "BootLoader Mode", as the record names it
};

// mode 1..8
const TModeInfo& ModeInfo(std::uint8_t mode);

// Positions back to 1 and the 48 keyword characters written in, one at a time.
void ResetKeywordSlots(TKeywordSlots& slots);

// One typed character through all eight slots; returns the mode (1..8) of the
// first slot that completed, or 0.
std::uint8_t MatchKeywordCharacter(TKeywordSlots& slots, std::uint8_t key);
