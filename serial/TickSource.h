// The 32-bit millisecond tick count that every time-out is measured on.
// It wraps to 0 after 2^32 ms; elapsed time is (now - start) modulo 2^32.
#pragma once

#include <cstdint>
#include <functional>

using TickSource = std::function<std::uint32_t()>;

// Milliseconds of the monotonic clock, cut to 32 bits.
TickSource MonotonicTickSource();

// Elapsed milliseconds from start to now across the wrap of the counter.
constexpr std::uint32_t TicksSince(std::uint32_t start, std::uint32_t now) { return now - start; }
