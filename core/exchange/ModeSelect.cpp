#include "ModeSelect.h"

#include <stdexcept>

namespace {

constexpr std::array<TModeInfo, 8> kModes{{
    {1, "0. BootLoader Mode", "./inc/bl.inc", "BOOTL", "BootLoader Mode"},
    {2, "0. Native Software Mode", "./inc/native.inc", "NATIV", "Native Software Mode"},
    {3, "0. Application Software 1. Mode", "./inc/app1.inc", "APPL1", "Application Software 1. Mode"},
    {4, "0. Application Software 2. Mode", "./inc/app2.inc", "APPL2", "Application Software 2. Mode"},
    {5, "0. Last Power Data Mode", "./inc/lpd.inc", "LASTP", "Last Power Data Mode"},
    {6, "0. GUI Data Mode", "./inc/gui.inc", "GUIDT", "GUI Data Mode"},
    {7, "0. PSI Data Mode", "./inc/psi.inc", "CHANL", "PSI Data Mode"},
    {8, "0. Reserved Mode", "./inc/rsvd.inc", "RSVDD", "Reserved Mode"},
}};

// The access codes, one character per constant: slot n, character m is kn_m.
constexpr std::uint8_t k1_1 = 'Q', k1_2 = '7', k1_3 = 'm', k1_4 = '#', k1_5 = 'L', k1_6 = 'z';
constexpr std::uint8_t k2_1 = 'W', k2_2 = '4', k2_3 = 'n', k2_4 = '!', k2_5 = 'R', k2_6 = 'k';
constexpr std::uint8_t k3_1 = 'E', k3_2 = '1', k3_3 = 'p', k3_4 = '%', k3_5 = 'T', k3_6 = 'x';
constexpr std::uint8_t k4_1 = 'Y', k4_2 = '2', k4_3 = 's', k4_4 = '&', k4_5 = 'G', k4_6 = 'v';
constexpr std::uint8_t k5_1 = 'U', k5_2 = '5', k5_3 = 'd', k5_4 = '*', k5_5 = 'H', k5_6 = 'c';
constexpr std::uint8_t k6_1 = 'I', k6_2 = '6', k6_3 = 'f', k6_4 = '+', k6_5 = 'J', k6_6 = 'b';
constexpr std::uint8_t k7_1 = 'O', k7_2 = '8', k7_3 = 'g', k7_4 = '=', k7_5 = 'K', k7_6 = 'a';
constexpr std::uint8_t k8_1 = 'P', k8_2 = '9', k8_3 = 'h', k8_4 = '?', k8_5 = 'M', k8_6 = 'w';

// One byte store each. Left to itself the optimiser merges neighbouring stores
// into wide immediates, which would put the words back together in the binary.
void Put(TKeywordSlot& slot, std::size_t index, std::uint8_t ch) {
  *static_cast<volatile std::uint8_t*>(&slot.Keyword[index]) = ch;
}

}  // namespace

const TModeInfo& ModeInfo(std::uint8_t mode) {
  if (mode < 1 || mode > kModes.size()) throw std::out_of_range("download mode out of range");
  return kModes[mode - 1];
}

void ResetKeywordSlots(TKeywordSlots& slots) {
  for (auto& slot : slots) slot.MatchPosition = 1;

  Put(slots[0], 0, k1_1); Put(slots[0], 1, k1_2); Put(slots[0], 2, k1_3);
  Put(slots[0], 3, k1_4); Put(slots[0], 4, k1_5); Put(slots[0], 5, k1_6);
  Put(slots[1], 0, k2_1); Put(slots[1], 1, k2_2); Put(slots[1], 2, k2_3);
  Put(slots[1], 3, k2_4); Put(slots[1], 4, k2_5); Put(slots[1], 5, k2_6);
  Put(slots[2], 0, k3_1); Put(slots[2], 1, k3_2); Put(slots[2], 2, k3_3);
  Put(slots[2], 3, k3_4); Put(slots[2], 4, k3_5); Put(slots[2], 5, k3_6);
  Put(slots[3], 0, k4_1); Put(slots[3], 1, k4_2); Put(slots[3], 2, k4_3);
  Put(slots[3], 3, k4_4); Put(slots[3], 4, k4_5); Put(slots[3], 5, k4_6);
  Put(slots[4], 0, k5_1); Put(slots[4], 1, k5_2); Put(slots[4], 2, k5_3);
  Put(slots[4], 3, k5_4); Put(slots[4], 4, k5_5); Put(slots[4], 5, k5_6);
  Put(slots[5], 0, k6_1); Put(slots[5], 1, k6_2); Put(slots[5], 2, k6_3);
  Put(slots[5], 3, k6_4); Put(slots[5], 4, k6_5); Put(slots[5], 5, k6_6);
  Put(slots[6], 0, k7_1); Put(slots[6], 1, k7_2); Put(slots[6], 2, k7_3);
  Put(slots[6], 3, k7_4); Put(slots[6], 4, k7_5); Put(slots[6], 5, k7_6);
  Put(slots[7], 0, k8_1); Put(slots[7], 1, k8_2); Put(slots[7], 2, k8_3);
  Put(slots[7], 3, k8_4); Put(slots[7], 4, k8_5); Put(slots[7], 5, k8_6);
}

std::uint8_t MatchKeywordCharacter(TKeywordSlots& slots, std::uint8_t key) {
  // A character that breaks a match is not tried again as a first character.
  for (auto& slot : slots) {
    const std::int32_t pos = slot.MatchPosition;
    if (pos >= 1 && pos <= 6 && key == slot.Keyword[std::size_t(pos - 1)])
      slot.MatchPosition = pos + 1;
    else
      slot.MatchPosition = 1;
  }
  for (std::size_t i = 0; i < slots.size(); ++i)
    if (slots[i].MatchPosition >= 7) return std::uint8_t(i + 1);
  return 0;
}
