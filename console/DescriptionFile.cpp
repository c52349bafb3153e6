#include "DescriptionFile.h"

#include <cerrno>
#include <filesystem>

#include <sys/stat.h>

#include "FileHandle.h"
namespace {

constexpr char kCtrlZ = 0x1A;
constexpr char kCR = '\r';
constexpr char kLF = '\n';
constexpr std::size_t kLineCount = 12;
constexpr std::size_t kMaxDescriptionBytes = 1 << 20;

DescriptionFileError IoError(int err) { return DescriptionFileError("I/O error " + std::to_string(err)); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Characters first..first+count-1 (1-based) of a line; what lies past its end is simply absent.
std::string Field(const std::string& line, std::size_t first, std::size_t count) {
  if (first > line.size()) return {};
  return line.substr(first - 1, count);
}

std::uint8_t LowByte(std::int32_t v) { return std::uint8_t(std::uint32_t(v) & 0xFF); }

std::uint8_t NumberOrFail(const std::string& text) {
  const auto v = ConvertInteger(text);
  if (!v) throw DescriptionFileError("'" + text + "' is not a valid integer value");
  return LowByte(*v);
}

std::uint8_t HexPairOrFail(const std::string& line, std::size_t first) {
  return NumberOrFail("0x" + Field(line, first, 2));
}

void ParsePair(const std::string& line, TBytePair& pair) {
  pair.First = HexPairOrFail(line, 1);
  pair.Second = HexPairOrFail(line, 4);
}

bool FolderExists(const std::string& path) {
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) folder = ".";
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

[[noreturn]] void ThrowOpenError(const std::string& path, int err) {
  switch (err) {
    case ENOENT:
      throw DescriptionFileError(FolderExists(path) ? "File not found" : "Invalid filename");
    case ENOTDIR:
    case ENAMETOOLONG:
      throw DescriptionFileError("Invalid filename");
    case EMFILE:
    case ENFILE:
      throw DescriptionFileError("Too many open files");
    case EACCES:
    case EPERM:
    case EISDIR:
      throw DescriptionFileError("File access denied");
    default:
      throw IoError(err);
  }
}

std::string ReadDescriptionBytes(const std::string& path) {
  const TFileHandle file = TFileHandle::OpenForReading(path);
  if (file.Fd() < 0) ThrowOpenError(path, errno);
  struct stat st {};
  if (::fstat(file.Fd(), &st) != 0) throw IoError(errno);
  if (S_ISDIR(st.st_mode)) ThrowOpenError(path, EISDIR);

  // Twelve lines are complete once twelve CRs have come; a Ctrl-Z ends the text sooner.
  std::string bytes;
  std::size_t lineEnds = 0;
  bool complete = false;
  char chunk[4096];
  while (!complete) {
    const ssize_t n = ::read(file.Fd(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowOpenError(path, errno);
    }
    if (n == 0) break;
    bytes.append(chunk, std::size_t(n));
    for (ssize_t k = 0; k < n && !complete; ++k)
      complete = chunk[k] == kCtrlZ || (chunk[k] == kCR && ++lineEnds == kLineCount);
    if (!complete && bytes.size() > kMaxDescriptionBytes)
      throw DescriptionFileError("Description file " + path +
                                 " is too large: its first twelve lines exceed " +
                                 std::to_string(kMaxDescriptionBytes) + " bytes");
  }
  return bytes;
}

std::int64_t ImageFileSize(const std::string& name) {
  const TFileHandle file = TFileHandle::OpenForReading(name);
  struct stat st {};
  if (name.find('\0') != std::string::npos || file.Fd() < 0 || ::fstat(file.Fd(), &st) != 0 ||
      S_ISDIR(st.st_mode))
    throw DescriptionFileError("Cannot open file " + name);
  return std::int64_t(st.st_size);
}

}  // namespace

std::optional<std::int32_t> ConvertInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size()) return std::nullopt;

  bool hex = false;
  if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
    hex = true;
    i += 1;
  } else if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }

  if (hex) {
    if (i == text.size()) return std::nullopt;
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
      const int d = HexDigit(text[i]);
      if (d < 0) return std::nullopt;
      value = value << 4 | std::uint64_t(d);
      // Leading zeros are free; more than 32 significant bits are not.
      if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return std::int32_t(std::uint32_t(value));
  }

  bool negative = false;
  if (text[i] == '+' || text[i] == '-') {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > limit) return std::nullopt;
  }
  return std::int32_t(negative ? -value : value);
}

std::array<std::string, 12> SplitDescriptionLines(std::string_view bytes) {
  std::array<std::string, 12> lines;
  std::size_t line = 0;
  for (std::size_t i = 0; i < bytes.size() && line < kLineCount; ++i) {
    const char c = bytes[i];
    if (c == kCtrlZ) break;
    if (c == kCR) {
      if (i + 1 < bytes.size() && bytes[i + 1] == kLF) ++i;
      ++line;
      continue;
    }
    lines[line].push_back(c);
  }
  return lines;
}

std::string ParseDescriptionLines(const std::array<std::string, 12>& lines, TDownloadJob& job) {
  for (std::size_t b = 0; b < 3; ++b) {
    const auto v = ConvertInteger("$" + Field(lines[0], 2 * b + 1, 2));
    job.Oui[b] = v ? LowByte(*v) : 0;
  }
  ParsePair(lines[1], job.ModelCode);
  ParsePair(lines[2], job.HardwareVersion);
  ParsePair(lines[3], job.BootloaderVersion);
  ParsePair(lines[4], job.NativeVersion);
  ParsePair(lines[5], job.Application1Version);
  ParsePair(lines[6], job.Application2Version);
  job.DateCode = Field(lines[7], 1, 5);
  job.SpareText = Field(lines[8], 1, 13);
  job.ImageFileName = lines[9];
  job.VersionSelector = NumberOrFail(Field(lines[10], 1, 1));

  const std::string& address = lines[11];
  job.DownloadAddress[3] = NumberOrFail(Field(address, 1, 4));
  job.DownloadAddress[2] = HexPairOrFail(address, 5);
  job.DownloadAddress[1] = HexPairOrFail(address, 7);
  job.DownloadAddress[0] = HexPairOrFail(address, 9);

  return "  The Download Address is " + Field(address, 1, 10) +
         " in the include file(./inc/xxxx.inc).";
}

void ReadDescriptionFile(const std::string& path, TDownloadJob& job,
                         const std::function<void(const std::string&)>& appendLog) {
  const std::string bytes = ReadDescriptionBytes(path);
  const std::string addressLine = ParseDescriptionLines(SplitDescriptionLines(bytes), job);
  appendLog(addressLine);

  const std::int64_t size = ImageFileSize(job.ImageFileName);
  if (size > kMaxImageBytes)
    throw DescriptionFileError(
        "Image file " + job.ImageFileName + " is too large: " + std::to_string(size) +
        " bytes; at most " + std::to_string(kMaxImageBytes) +
        " bytes (65535 blocks) can be downloaded");

  const std::int64_t rounded = (size + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
  const std::int64_t blocks = rounded / kBlockBytes;
  job.ImageSize = std::int32_t(rounded);
  job.BlockCountLow = std::uint8_t(blocks & 0xFF);
  job.BlockCountHigh = std::uint8_t((blocks / 256) & 0xFF);
  job.BlockCount = job.BlockCountHigh * 256 + job.BlockCountLow;
}

std::string ByteCounterText(std::int64_t done, std::int64_t total) {
  return "( " + std::to_string(done) + " / " + std::to_string(total) + " )";
}
