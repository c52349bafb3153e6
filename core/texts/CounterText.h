// The byte counter beside the Down Load bar (Label4), as every face shows it.
#pragma once

#include <cstdint>
#include <string>

// "( %d / %d )" as shown on Label4.
std::string ByteCounterText(std::int64_t done, std::int64_t total);
// The counter at the largest image a mode can download: the widest it gets,
// which the windows size Label4 for.
std::string LongestByteCounterText();
