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
#include "FileError.h"

// A reading that failed; what() is the text shown to the operator. A field
// that is not a number also says where it sits: Line (1-based), its
// characters First..First+Count-1 and the text found there.
class DescriptionFileError : public TFileError {
public:
  using TFileError::TFileError;
  DescriptionFileError(const std::string& message, int line, std::size_t first, std::size_t count,
                       std::string text)
      : TFileError(message), Line(line), First(first), Count(count), Text(std::move(text)) {}
  int Line = 0;
  std::size_t First = 0;
  std::size_t Count = 0;
  std::string Text;
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
// lines are empty. A leading UTF-8 byte order mark is skipped, and a text
// with no CR in it at all ends its lines with LF, as Linux editors write it.
// lineCount, when given, receives the number of lines the text holds.
std::array<std::string, 12> SplitDescriptionLines(std::string_view bytes, std::size_t* lineCount = nullptr);

// Fills job from the lines, field by field, left to right, storing each field
// as soon as it is converted. Throws DescriptionFileError at the first field
// that is not a valid number; job then keeps what was stored before it.
// On success returns the address line for the log.
std::string ParseDescriptionLines(const std::array<std::string, 12>& lines, TDownloadJob& job);

// The whole reading: opens the file at path (error texts from the system's
// reason), parses it, takes the size of the image file, derives ImageSize and
// the block count fields, takes the digests of the image's blocks, and logs
// the address line through appendLog once all of that has succeeded (and
// after it AddressLineWarning's line when line 12 is not written in full).
// Throws DescriptionFileError on any failure, including an image file that
// cannot be opened or read, is empty, or is larger than the block count can
// describe; its Detail() is then the log line that says where and what to do.
void ReadDescriptionFile(const std::string& path, TDownloadJob& job,
                         const std::function<void(const std::string&)>& appendLog);

// What a numbered line of the file holds, as the operator's messages name it
// ("model code", "download address"); lines 2 to 7, 11 and 12.
const char* DescriptionFieldName(int line);

// The log line after the address line when line 12 is not "0x" and eight
// hexadecimal digits: the line as it is written and the address it gives.
std::string AddressLineWarning(const std::string& path, const std::string& written, std::uint32_t address);

// The log line for an image file that cannot be opened: where its name is
// written, the name quoted, the system's reason and what to do.
std::string ImageOpenDetail(const std::string& descriptionPath, const std::string& imageName, int err);

