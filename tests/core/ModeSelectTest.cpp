// The hidden keyword matcher. The keywords come from the operator's table in
// README.md, so no test holds them as whole words and the slots are checked
// against what the operator is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "ModeSelect.h"

namespace {

// One row of README's table of download modes.
struct ReadmeMode {
  std::string name;  // "BootLoader"
  std::string keyword, descriptionFile, modeWord;
};

// The table's rows, mode 1 first; "| 1 BootLoader | `...` | ./inc/bl.inc | BOOTL |".
const std::array<ReadmeMode, 8>& ReadmeModes() {
  static const std::array<ReadmeMode, 8> modes = [] {
    std::array<ReadmeMode, 8> rows{};
    std::ifstream in(STB_README);
    for (std::string line; std::getline(in, line);) {
      if (line.size() < 4 || line[0] != '|' || line[2] < '1' || line[2] > '8' || line[3] != ' ') continue;
      std::vector<std::string> cells;
      for (std::size_t from = 1, bar; (bar = line.find(" |", from)) != std::string::npos; from = bar + 2)
        cells.push_back(line.substr(from + 1, bar - from - 1));
      if (cells.size() != 4 || cells[1].size() < 2 || cells[1].front() != '`' || cells[1].back() != '`') continue;
      ReadmeMode& m = rows[std::size_t(line[2] - '1')];
      for (char c : cells[0].substr(2))
        if (std::isalnum(static_cast<unsigned char>(c))) m.name += c;
      m.keyword = cells[1].substr(1, cells[1].size() - 2);
      m.descriptionFile = cells[2];
      m.modeWord = cells[3];
    }
    return rows;
  }();
  return modes;
}

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
  std::string Keyword() const { return ReadmeModes()[std::size_t(Mode() - 1)].keyword; }

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

TEST(KeywordSlots, HoldTheKeywordsOfTheReadmeTable) {
  TKeywordSlots slots;
  ResetKeywordSlots(slots);
  for (std::uint8_t m = 1; m <= 8; ++m) {
    const ReadmeMode& row = ReadmeModes()[m - 1];
    SCOPED_TRACE("mode " + std::to_string(m) + " " + row.name);
    ASSERT_EQ(row.keyword.size(), 6u) << "README.md has no row for this mode";
    EXPECT_EQ(KeywordOf(slots, m), row.keyword);
    EXPECT_EQ(ModeInfo(m).DescriptionFile, row.descriptionFile);
    EXPECT_EQ(ModeInfo(m).ModeWord, row.modeWord);
  }
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
    for (char c : ReadmeModes()[std::size_t(other - 1)].keyword) MatchKeywordCharacter(slots, std::uint8_t(c));
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

INSTANTIATE_TEST_SUITE_P(Modes, MatcherTest, ::testing::Range(1, 9),
                         [](const auto& row) { return ReadmeModes()[std::size_t(row.param - 1)].name; });

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
