#include <gtest/gtest.h>

#include "Download.h"

namespace {

struct Step {
  std::int64_t done, total;
  int percent;
};

class ProgressRounding : public ::testing::TestWithParam<Step> {};

TEST_P(ProgressRounding, NearestPercentExactHalvesToEven) {
  EXPECT_EQ(ProgressPercent(GetParam().done, GetParam().total), GetParam().percent);
}

INSTANTIATE_TEST_SUITE_P(
    Bars, ProgressRounding,
    ::testing::Values(Step{1, 8, 12}, Step{3, 8, 38}, Step{5, 8, 62}, Step{7, 8, 88}, Step{8, 8, 100},
                      Step{1, 2, 50}, Step{1, 3, 33}, Step{2, 3, 67},
                      // Exact halves that floating point lands either side of.
                      Step{23, 40, 58}, Step{11, 40, 28}, Step{7, 200, 4}, Step{29, 200, 14},
                      Step{65535, 65535, 100}, Step{1, 65535, 0}, Step{0, 5, 0}, Step{3, 0, 0}),
    [](const auto& row) { return std::to_string(row.param.done) + "Of" + std::to_string(row.param.total); });

}  // namespace
