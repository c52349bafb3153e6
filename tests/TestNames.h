// Names for the rows of parameterised tests that read like the row and stay
// the same from one listing to the next (never the row's raw bytes).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

// Text spelt as a test name: letters and digits stay, every other byte
// becomes a word ("Blank", "Dollar", "CR"...) or "x" and its hex code; no
// text at all is "Empty".
std::string TextName(std::string_view text);

// A number in capital hexadecimal digits, without prefix: "BFC00000".
std::string HexName(std::uint64_t value);

// The name generator for rows that carry their own `name`.
struct RowName {
  template <class Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
    return std::string(info.param.name);
  }
};
