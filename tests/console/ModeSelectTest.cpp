// The hidden keyword matcher. The keywords are read back from the slots, so
// no test holds them as whole words.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "ModeSelect.h"

namespace {

std::string KeywordOf(const TKeywordSlots& slots, int mode) {
  const auto& k = slots[std::size_t(mode - 1)].Keyword;
  return std::string(k.begin(), k.end());
}

class MatcherTest : public ::testing::TestWithParam<int> {
protected:
  void SetUp() override { ResetKeywordSlots(slots); }

  // Types text; returns the mode chosen by the last character, failing if an
  // earlier one already chose one.
  std::uint8_t Type(const std::string& text) {
    std::uint8_t mode = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      EXPECT_EQ(mode, 0) << "completed early, before character " << i;
      mode = MatchKeywordCharacter(slots, std::uint8_t(text[i]));
    }
    return mode;
  }
  int Mode() const { return GetParam(); }
  std::string Keyword() const { return KeywordOf(slots, Mode()); }

  TKeywordSlots slots;
};

TEST(KeywordSlots, EightDistinctPrintableWordsStartingAtPositionOne) {
  TKeywordSlots slots;
  for (auto& s : slots) s.MatchPosition = 5;
  ResetKeywordSlots(slots);
  std::set<std::string> words;
  std::set<char> firsts;
  for (int m = 1; m <= 8; ++m) {
    EXPECT_EQ(slots[std::size_t(m - 1)].MatchPosition, 1);
    const std::string w = KeywordOf(slots, m);
    words.insert(w);
    firsts.insert(w[0]);
    for (char c : w) EXPECT_TRUE(c > ' ' && c < 0x7F) << "mode " << m;
    // A keyword that repeats its first character would trap the operator's retry.
    EXPECT_EQ(w.find(w[0], 1), std::string::npos) << "mode " << m;
  }
  EXPECT_EQ(words.size(), 8u);
  EXPECT_EQ(firsts.size(), 8u);
}

TEST_P(MatcherTest, CompletesOnSixthCharacterAtStart) { EXPECT_EQ(Type(Keyword()), Mode()); }

TEST_P(MatcherTest, CompletesAfterNoise) {
  const std::string noise[] = {"~~~", "\r\n", std::string(1, '\0'), "\x08\x08", "\xFF\xE9",
                               Keyword().substr(0, 5) + "~"};
  for (const auto& n : noise) {
    ResetKeywordSlots(slots);
    EXPECT_EQ(Type(n + Keyword()), Mode()) << "after noise of " << n.size() << " bytes";
  }
}

TEST_P(MatcherTest, CompletesAfterAnotherKeyword) {
  for (int other = 1; other <= 8; ++other) {
    if (other == Mode()) continue;
    ResetKeywordSlots(slots);
    for (char c : KeywordOf(slots, other)) MatchKeywordCharacter(slots, std::uint8_t(c));
    EXPECT_EQ(Type(Keyword()), Mode()) << "after keyword of mode " << other;
  }
}

// A wrong character equal to the first one does not start a new match.
TEST_P(MatcherTest, WrongCharacterIsNotComparedAgainWithTheFirst) {
  const std::string k = Keyword();
  for (std::size_t typed = 1; typed <= 5; ++typed) {
    ResetKeywordSlots(slots);
    EXPECT_EQ(Type(k.substr(0, typed) + k[0] + k.substr(1)), 0) << "wrong after " << typed;
    EXPECT_EQ(slots[std::size_t(Mode() - 1)].MatchPosition, 1);
    EXPECT_EQ(Type(k), Mode());
  }
}

TEST_P(MatcherTest, OtherCaseIsAWrongCharacter) {
  const std::string k = Keyword();
  int letters = 0;
  for (std::size_t i = 0; i < k.size(); ++i) {
    if (!std::isalpha(static_cast<unsigned char>(k[i]))) continue;
    ++letters;
    std::string flipped = k;
    flipped[i] = char(flipped[i] ^ 0x20);
    ResetKeywordSlots(slots);
    EXPECT_EQ(Type(flipped), 0) << "case flipped at " << i;
  }
  EXPECT_GT(letters, 0);
}

// Characters that differ only in the high bit must not match: 0x80 + c, 0xFF.
TEST_P(MatcherTest, HighBitCharactersAreWrong) {
  const std::string k = Keyword();
  for (std::size_t i = 0; i < k.size(); ++i) {
    for (char bad : {char(k[i] | 0x80), char(0xFF)}) {
      std::string typed = k;
      typed[i] = bad;
      ResetKeywordSlots(slots);
      EXPECT_EQ(Type(typed), 0) << "at " << i;
    }
  }
}

TEST_P(MatcherTest, BackspaceDoesNotUndo) {
  const std::string k = Keyword();
  EXPECT_EQ(Type(k.substr(0, 3) + "\x08" + k.substr(3)), 0);
  EXPECT_EQ(Type(k.substr(0, 3) + "\x08" + k.substr(2)), 0);
  EXPECT_EQ(Type("\x08" + k), Mode());
}

INSTANTIATE_TEST_SUITE_P(Modes, MatcherTest, ::testing::Range(1, 9));

TEST(MatcherRule, AllSlotsUpdatedAndFirstCompletedSlotWins) {
  TKeywordSlots slots;
  const std::string abc = "abcdef", fx = "fxyzuv";
  for (auto& s : slots) s.Keyword = {'#', '#', '#', '#', '#', '#'};
  auto set = [&](int mode, const std::string& w) {
    std::copy(w.begin(), w.end(), slots[std::size_t(mode - 1)].Keyword.begin());
  };
  set(3, abc);
  set(5, abc);
  set(1, fx);
  std::uint8_t mode = 0;
  for (char c : abc) mode = MatchKeywordCharacter(slots, std::uint8_t(c));
  EXPECT_EQ(mode, 3);
  EXPECT_EQ(slots[4].MatchPosition, 7);  // slot 5 completed too, but later in the order
  EXPECT_EQ(slots[0].MatchPosition, 2);
  EXPECT_EQ(slots[7].MatchPosition, 1);
}

}  // namespace
