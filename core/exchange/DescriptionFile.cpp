#include "DescriptionFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "FileAccess.h"
#include "FileHandle.h"
#include "Sha256.h"

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr char kCR = '\r';
constexpr char kLF = '\n';
constexpr std::size_t kLineCount = 12;
constexpr std::size_t kMaxDescriptionBytes = 1 << 20;

// The text as the operator must see it in one log line: quoted, with control
// characters and bytes beyond ASCII spelled out, so that a trailing blank, a
// tab or a stray line feed shows.
std::string Quoted(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Line 12 as it is meant to be written: "0x" and eight hexadecimal digits,
// nothing but blanks after them. Anything else is still read by its fixed
// positions, which can give another address than the one the eye reads.
bool AddressWrittenInFull(const std::string& line) {
  if (line.size() < 10 || line[0] != '0' || (line[1] != 'x' && line[1] != 'X')) return false;
  const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  if (!std::all_of(line.begin() + 2, line.begin() + 10, hex)) return false;
  return line.find_first_not_of(" \t", 10) == std::string::npos;
}

std::string WorkingFolder() {
  std::error_code ec;
  const std::string cwd = std::filesystem::current_path(ec).string();
  return ec ? std::string("(unknown)") : cwd;
}

// "<file> line <n>, characters <a>-<b>"
std::string Where(const std::string& path, int line, std::size_t first, std::size_t count) {
  std::string out = path + " line " + std::to_string(line) + ", ";
  if (count <= 1) return out + "character " + std::to_string(first);
  return out + "characters " + std::to_string(first) + "-" + std::to_string(first + count - 1);
}

std::string DescriptionDetail(const std::string& path, const std::string& problem, const std::string& remedy) {
  return "  Description file " + Quoted(path) + " " + problem + " (working folder " + WorkingFolder() + "); " +
         remedy + ".";
}

DescriptionFileError IoError(const std::string& path, int err) {
  return DescriptionFileError("I/O error " + std::to_string(err),
                              DescriptionDetail(path, std::string("cannot be read: ") + std::strerror(err),
                                                "close other programs, then start the tool again"));
}

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

// The field at characters first..first+count-1 of line `number` (1-based),
// converted with `prefix` in front of it.
std::uint8_t NumberOrFail(const std::string& line, int number, std::size_t first, std::size_t count,
                          const char* prefix) {
  const std::string field = Field(line, first, count);
  const std::string text = prefix + field;
  const auto v = ConvertInteger(text);
  if (!v) throw DescriptionFileError("'" + text + "' is not a valid integer value", number, first, count, field);
  return LowByte(*v);
}

std::uint8_t HexPairOrFail(const std::string& line, int number, std::size_t first) {
  return NumberOrFail(line, number, first, 2, "0x");
}

void ParsePair(const std::array<std::string, 12>& lines, int number, TBytePair& pair) {
  const std::string& line = lines[std::size_t(number - 1)];
  pair.First = HexPairOrFail(line, number, 1);
  pair.Second = HexPairOrFail(line, number, 4);
}


// The log line for a field that is not a number: where it is, what is there
// and how it must be written.
std::string FieldDetail(const std::string& path, const DescriptionFileError& e,
                        const std::array<std::string, 12>& lines, std::size_t lineCount) {
  std::string problem;
  if (!e.Text.empty()) {
    problem = e.Line == 11 ? "is not a digit" : e.Line == 12 && e.First == 1 ? "is not a number"
                                                                           : "is not two hexadecimal digits";
  } else if (std::size_t(e.Line) > lineCount) {
    problem = "is missing: the file holds " + std::to_string(lineCount) + " line" + (lineCount == 1 ? "" : "s") +
              " where twelve are needed";
  } else {
    problem = "is missing: the line holds " + std::to_string(lines[std::size_t(e.Line - 1)].size()) + " characters";
  }
  std::string remedy;
  if (e.Line == 11)
    remedy = "write one digit there: 1 bootloader, 2 native, 3 application 1 or 4 application 2 version";
  else if (e.Line == 12)
    remedy = "write the address as 0x and eight hexadecimal digits, e.g. 0x80010000";
  else
    remedy = "write two hexadecimal digits, one separator and two more, e.g. 0A.01";
  return "  " + Where(path, e.Line, e.First, e.Count) + " (" + DescriptionFieldName(e.Line) + "): " + Quoted(e.Text) + " " +
         problem + "; " + remedy + ".";
}

bool FolderExists(const std::string& path) {
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) folder = ".";
  return file_access::IsFolder(folder);
}

[[noreturn]] void ThrowOpenError(const std::string& path, int err) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  const std::string noFolder =
      DescriptionDetail(path, "cannot be found: its folder " + Quoted(folder.empty() ? "." : folder) + " does not exist",
                        "start the tool in the folder that holds inc/");
  switch (err) {
    case ENOENT:
      if (!FolderExists(path)) throw DescriptionFileError("Invalid filename", noFolder);
      throw DescriptionFileError("File not found",
                                 DescriptionDetail(path, "does not exist",
                                                   "start the tool in the folder that holds inc/, or create the file"));
    case ENOTDIR:
    case ENAMETOOLONG:
      throw DescriptionFileError("Invalid filename", noFolder);
    case EMFILE:
    case ENFILE:
      throw DescriptionFileError("Too many open files",
                                 DescriptionDetail(path, "cannot be opened: too many files are open",
                                                   "close other programs, then start the tool again"));
    case EACCES:
    case EPERM:
      throw DescriptionFileError("File access denied",
                                 DescriptionDetail(path, "cannot be read: permission denied",
                                                   "make it readable, e.g. chmod a+r " + path));
    case EISDIR:
      throw DescriptionFileError("File access denied",
                                 DescriptionDetail(path, "is a folder", "put the description file there in its place"));
    default:
      throw IoError(path, err);
  }
}

std::string ReadDescriptionBytes(const std::string& path) {
  const TFileHandle file = TFileHandle::OpenForReading(path);
  if (file.Fd() < 0) ThrowOpenError(path, errno);
  file_access::Facts facts;
  if (!file_access::FactsOf(file.Fd(), facts)) throw IoError(path, errno);
  if (facts.folder) ThrowOpenError(path, EISDIR);

  // Twelve lines are complete once twelve CRs have come; a Ctrl-Z ends the text sooner.
  std::string bytes;
  std::size_t lineEnds = 0;
  bool complete = false;
  char chunk[4096];
  while (!complete) {
    const long long n = file_access::Read(file.Fd(), chunk, sizeof chunk);
    if (n < 0) ThrowOpenError(path, errno);
    if (n == 0) break;
    bytes.append(chunk, std::size_t(n));
    for (long long k = 0; k < n && !complete; ++k)
      complete = chunk[k] == kCtrlZ || (chunk[k] == kCR && ++lineEnds == kLineCount);
    if (!complete && bytes.size() > kMaxDescriptionBytes)
      throw DescriptionFileError("Description file " + path +
                                     " is too large: its first twelve lines exceed " +
                                     std::to_string(kMaxDescriptionBytes) + " bytes",
                                 DescriptionDetail(path, "holds no twelve lines in its first megabyte",
                                                   "check that it is a description file"));
  }
  return bytes;
}

std::string ImageDetail(const std::string& descriptionPath, const std::string& name, const std::string& problem,
                        const std::string& remedy) {
  return "  " + Where(descriptionPath, 10, 1, name.size()) + " (image file): " + Quoted(name) + " " + problem +
         "; " + remedy + ".";
}

// Takes the image's size, refuses what cannot be downloaded, and takes the
// digest of every block as the image is now.
std::int64_t ReadImage(const std::string& descriptionPath, const std::string& name, std::vector<std::uint64_t>& digests,
                       std::string& sha256) {
  const auto cannotOpen = [&](int err) {
    return DescriptionFileError("Cannot open file " + name, ImageOpenDetail(descriptionPath, name, err));
  };
  if (name.find('\0') != std::string::npos) throw cannotOpen(EINVAL);
  const TFileHandle file = TFileHandle::OpenForReading(name);
  if (file.Fd() < 0) throw cannotOpen(errno);
  file_access::Facts st;
  if (!file_access::FactsOf(file.Fd(), st)) throw cannotOpen(errno);
  if (st.folder) throw cannotOpen(EISDIR);
  const std::int64_t size = st.size;
  if (size > kMaxImageBytes)
    throw DescriptionFileError(
        "Image file " + name + " is too large: " + std::to_string(size) + " bytes; at most " +
            std::to_string(kMaxImageBytes) + " bytes (65535 blocks) can be downloaded",
        ImageDetail(descriptionPath, name, "holds more than 65535 blocks", "name the image meant for this mode"));
  // Nothing to send: the receiver must never be offered a download of no blocks.
  if (size == 0)
    throw DescriptionFileError("Image file " + name + " is empty: there is nothing to download",
                               ImageDetail(descriptionPath, name, "holds 0 bytes",
                                           "name the image meant for this mode, or build it again"));

  const auto cannotRead = [&](const std::string& why) {
    return DescriptionFileError("Cannot read file " + name,
                                ImageDetail(descriptionPath, name, "cannot be read: " + why,
                                            "check the file, then start the tool again"));
  };
  digests.clear();
  digests.reserve(std::size_t((size + kBlockBytes - 1) / kBlockBytes));
  const std::size_t blockBytes = kBlockBytes;
  std::vector<std::uint8_t> chunk(64 * blockBytes);
  std::int64_t total = 0;
  TSha256 sha;
  for (;;) {
    std::size_t got = 0;
    while (got < chunk.size()) {
      const auto n = file_access::Read(file.Fd(), chunk.data() + got, chunk.size() - got);
      if (n < 0) throw cannotRead(std::strerror(errno));
      if (n == 0) break;
      got += std::size_t(n);
    }
    total += std::int64_t(got);
    if (total > size) break;
    sha.Update(chunk.data(), got);
    std::fill(chunk.begin() + std::ptrdiff_t(got), chunk.end(), std::uint8_t(0));
    for (std::size_t at = 0; at < got; at += blockBytes) digests.push_back(BlockDigest(chunk.data() + at));
    if (got < chunk.size()) break;
  }
  if (total != size) throw cannotRead("its size changed while it was read");
  sha256 = sha.HexDigest();
  return size;
}

}  // namespace

const char* DescriptionFieldName(int line) {
  switch (line) {
    case 2: return "model code";
    case 3: return "hardware version";
    case 4: return "bootloader version";
    case 5: return "native software version";
    case 6: return "application software 1 version";
    case 7: return "application software 2 version";
    case 11: return "version selector";
    default: return "download address";
  }
}

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

std::array<std::string, 12> SplitDescriptionLines(std::string_view bytes, std::size_t* lineCount) {
  static constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) bytes.remove_prefix(kByteOrderMark.size());
  bytes = bytes.substr(0, bytes.find(kCtrlZ));
  // Only a text without a single CR ends its lines with LF: every file that
  // has one keeps the CR rules, LFs and all.
  const bool lfEnds = bytes.find(kCR) == std::string_view::npos;

  std::array<std::string, 12> lines;
  std::size_t line = 0;
  bool lineStarted = false;
  for (std::size_t i = 0; i < bytes.size() && line < kLineCount; ++i) {
    const char c = bytes[i];
    if (c == kCR || (lfEnds && c == kLF)) {
      if (c == kCR && i + 1 < bytes.size() && bytes[i + 1] == kLF) ++i;
      ++line;
      lineStarted = false;
      continue;
    }
    lines[line].push_back(c);
    lineStarted = true;
  }
  // A last line without a line end still counts.
  if (lineCount != nullptr) *lineCount = std::min(kLineCount, line + (lineStarted ? 1 : 0));
  return lines;
}

std::string ParseDescriptionLines(const std::array<std::string, 12>& lines, TDownloadJob& job) {
  for (std::size_t b = 0; b < 3; ++b) {
    const auto v = ConvertInteger("$" + Field(lines[0], 2 * b + 1, 2));
    job.Oui[b] = v ? LowByte(*v) : 0;
  }
  ParsePair(lines, 2, job.ModelCode);
  ParsePair(lines, 3, job.HardwareVersion);
  ParsePair(lines, 4, job.BootloaderVersion);
  ParsePair(lines, 5, job.NativeVersion);
  ParsePair(lines, 6, job.Application1Version);
  ParsePair(lines, 7, job.Application2Version);
  job.DateCode = Field(lines[7], 1, 5);
  job.SpareText = Field(lines[8], 1, 13);
  job.ImageFileName = lines[9];
  job.VersionSelector = NumberOrFail(lines[10], 11, 1, 1, "");

  const std::string& address = lines[11];
  job.DownloadAddress[3] = NumberOrFail(address, 12, 1, 4, "");
  job.DownloadAddress[2] = HexPairOrFail(address, 12, 5);
  job.DownloadAddress[1] = HexPairOrFail(address, 12, 7);
  job.DownloadAddress[0] = HexPairOrFail(address, 12, 9);

  return "  The Download Address is " + Field(address, 1, 10) +
         " in the include file(./inc/xxxx.inc).";
}

void ReadDescriptionFile(const std::string& path, TDownloadJob& job,
                         const std::function<void(const std::string&)>& appendLog) {
  const std::string bytes = ReadDescriptionBytes(path);
  std::size_t lineCount = 0;
  const auto lines = SplitDescriptionLines(bytes, &lineCount);
  std::string addressLine;
  try {
    addressLine = ParseDescriptionLines(lines, job);
  } catch (const DescriptionFileError& e) {
    throw DescriptionFileError(e.what(), FieldDetail(path, e, lines, lineCount));
  }

  std::vector<std::uint64_t> digests;
  std::string sha256;
  const std::int64_t size = ReadImage(path, job.ImageFileName, digests, sha256);

  job.ImageFileBytes = size;
  job.BlockDigests = std::move(digests);
  job.ImageSha256 = std::move(sha256);
  // Only a job read to its end shows its address in the log.
  appendLog(addressLine);
  if (const std::string& written = lines[11]; !AddressWrittenInFull(written))
    appendLog(AddressLineWarning(path, written, job.Address()));
}

std::string AddressLineWarning(const std::string& path, const std::string& written, std::uint32_t address) {
  std::string shown = written;
  while (!shown.empty() && (shown.back() == ' ' || shown.back() == '\t')) shown.pop_back();
  char read[16];
  std::snprintf(read, sizeof read, "0x%08X", unsigned(address));
  return "  Warning: " + path + " line 12 is written " + Quoted(shown) +
         ", not 0x and eight hexadecimal digits: the download address is read as " + read + ".";
}

std::string ImageOpenDetail(const std::string& descriptionPath, const std::string& imageName, int err) {
  std::string remedy;
  const std::size_t firstBlank = imageName.find_first_of(" \t");
  if (imageName.empty())
    remedy = "line 10 is empty: write the image file's name there";
  else if (firstBlank == 0 || imageName.find_last_of(" \t") == imageName.size() - 1)
    remedy = "a blank at either end of line 10 is part of the name: remove it";
  else if (err == ENOENT || err == ENOTDIR)
    remedy = "put the image there, or correct line 10";
  else if (err == EACCES || err == EPERM)
    remedy = "make the image readable, e.g. chmod a+r " + imageName;
  else if (err == EISDIR)
    remedy = "it is a folder: name the image file itself";
  else
    remedy = "check the image file and line 10";
  return ImageDetail(descriptionPath, imageName,
                     std::string("cannot be opened: ") + std::strerror(err) + " (working folder " +
                         WorkingFolder() + ")",
                     remedy);
}
