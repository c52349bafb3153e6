// The reader of a mode's description file: twelve lines at fixed character
// positions, turned into a TDownloadJob. No widgets here, so that it can be
// tested and fuzzed on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "DownloadJob.h"

// A reading that failed; what() is the text shown to the operator.
class DescriptionFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Largest image the two block count bytes can describe: 65,535 blocks.
inline constexpr std::int64_t kMaxImageBytes = 65535LL * kBlockBytes;

// The integer conversion of every numeric field: leading blanks; then an
// optional sign and decimal digits, or "$", "0x", "0X", "x", "X" and hex
// digits; nothing after the digits; at least one digit. Empty when the text
// is not a valid integer.
std::optional<std::int32_t> ConvertInteger(std::string_view text);

// Splits the file's bytes into its first twelve lines (CR LF or a lone CR end
// a line, a lone LF is an ordinary character, Ctrl-Z ends the file); missing
// lines are empty.
std::array<std::string, 12> SplitDescriptionLines(std::string_view bytes);

// Fills job from the lines, field by field, left to right, storing each field
// as soon as it is converted. Throws DescriptionFileError at the first field
// that is not a valid number; job then keeps what was stored before it.
// On success returns the address line for the log.
std::string ParseDescriptionLines(const std::array<std::string, 12>& lines, TDownloadJob& job);

// The whole reading: opens the file at path (error texts from the system's
// reason), parses it, logs the address line through appendLog, takes the size
// of the image file and derives ImageSize and the block count fields.
// Throws DescriptionFileError on any failure, including an image file that
// cannot be opened or is larger than the block count can describe.
void ReadDescriptionFile(const std::string& path, TDownloadJob& job,
                         const std::function<void(const std::string&)>& appendLog);

// "( %d / %d )" as shown on Label4.
std::string ByteCounterText(std::int64_t done, std::int64_t total);
