#include "DescriptionCheck.h"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "DescriptionFile.h"

namespace {

// A second reading of the integer rule, written from the rule and not from
// the reader, so that the two can disagree.
std::optional<std::int32_t> ReferenceInteger(std::string_view t) {
  const std::size_t first = t.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::nullopt;
  t.remove_prefix(first);
  int base = 10;
  for (std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
    if (t.substr(0, prefix.size()) == prefix) {
      t.remove_prefix(prefix.size());
      base = 16;
      break;
    }
  }
  bool negative = false;
  if (base == 10 && !t.empty() && (t[0] == '+' || t[0] == '-')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  // from_chars takes a '-' of its own and no '+': neither may follow here.
  if (t.empty() || t[0] == '-' || t[0] == '+') return std::nullopt;
  if (t.find_first_not_of(base == 16 ? "0123456789abcdefABCDEF" : "0123456789") != std::string_view::npos)
    return std::nullopt;
  const std::size_t significant = std::min(t.find_first_not_of('0'), t.size());
  t.remove_prefix(significant);
  if (t.empty()) return 0;
  if (t.size() > (base == 16 ? 8u : 10u)) return std::nullopt;
  std::uint64_t v = 0;
  std::from_chars(t.data(), t.data() + t.size(), v, base);
  if (base == 16) return std::int32_t(std::uint32_t(v));
  if (v > (negative ? 2147483648ULL : 2147483647ULL)) return std::nullopt;
  return std::int32_t(negative ? -std::int64_t(v) : std::int64_t(v));
}

std::string Show(std::string_view s) {
  std::string out = "'";
  for (char c : s.substr(0, 64)) {
    if (c >= 0x20 && c < 0x7F) {
      out += c;
    } else {
      static const char* hex = "0123456789ABCDEF";
      out += "\\x";
      out += hex[(unsigned char)c >> 4];
      out += hex[(unsigned char)c & 15];
    }
  }
  return out + (s.size() > 64 ? "...'" : "'");
}

std::string CheckInteger(std::string_view text) {
  const auto got = ConvertInteger(text);
  const auto want = ReferenceInteger(text);
  if (got == want) return {};
  return "ConvertInteger(" + Show(text) + ") gave " + (got ? std::to_string(*got) : "nothing") + ", expected " +
         (want ? std::to_string(*want) : "nothing");
}

std::string CheckLines(std::string_view bytes, const std::array<std::string, 12>& lines) {
  std::size_t total = 0;
  for (const auto& line : lines) {
    if (line.find('\r') != std::string::npos) return "a split line holds a CR";
    if (line.find('\x1A') != std::string::npos) return "a split line holds a Ctrl-Z";
    total += line.size();
  }
  if (total > bytes.size()) return "the lines hold more characters than the file";
  // Lines are taken in order from the front: the first line is a prefix of
  // the file, after a byte order mark.
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (bytes.substr(0, lines[0].size()) != lines[0]) return "line 1 is not the start of the file";
  return {};
}

std::string CheckJob(const TDownloadJob& job, const std::array<std::string, 12>& lines) {
  if (job.DateCode.size() > 5) return "DateCode longer than 5";
  if (job.SpareText.size() > 13) return "SpareText longer than 13";
  if (job.ImageFileName != lines[9]) return "ImageFileName is not line 10";
  return {};
}

}  // namespace

const std::string& DescriptionScratchFolder() {
  static const std::string folder = [] {
    char tmpl[] = "/tmp/stb-fuzz-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) std::abort();
    std::string dir = made;
    std::ofstream(dir + "/image.bin", std::ios::binary) << std::string(3000, 'i');
    return dir;
  }();
  return folder;
}

std::string CheckDescriptionInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // The whole input, and each field-sized piece of its first line, as a number.
  if (size <= 64) {
    if (auto e = CheckInteger(bytes); !e.empty()) return e;
  }

  const auto lines = SplitDescriptionLines(bytes);
  if (auto e = CheckLines(bytes, lines); !e.empty()) return e;
  for (const auto& line : lines) {
    if (auto e = CheckInteger(line.substr(0, 64)); !e.empty()) return e;
  }

  TDownloadJob job;
  try {
    const std::string address = ParseDescriptionLines(lines, job);
    if (address.rfind("  The Download Address is ", 0) != 0) return "address line " + Show(address);
    if (auto e = CheckJob(job, lines); !e.empty()) return e;
  } catch (const DescriptionFileError& err) {
    // what() is a C string: a NUL inside the field ends the text early, as it
    // would in the message box.
    const std::string_view text = err.what();
    if (text.empty() || text[0] != '\'' ||
        (text.find("' is not a valid integer value") == std::string_view::npos && bytes.find('\0') == bytes.npos))
      return std::string("parse error text ") + Show(text);
  } catch (const std::exception& err) {
    return std::string("ParseDescriptionLines threw a stray ") + Show(err.what());
  }

  // The whole reading through a real file. Image names that leave the
  // scratch folder are not followed: the fuzzer must not open devices.
  if (lines[9].find('/') != std::string::npos) return {};
  const std::string& dir = DescriptionScratchFolder();
  // A memory file keeps the disk out of every execution.
  static const int memory = ::memfd_create("mode.inc", MFD_CLOEXEC);
  if (memory < 0 || ::ftruncate(memory, 0) != 0 ||
      ::pwrite(memory, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size()))
    return "cannot write the description file";
  const std::string path = "/proc/self/fd/" + std::to_string(memory);
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr || ::chdir(dir.c_str()) != 0) return "cannot enter the scratch folder";
  std::string problem;
  TDownloadJob fileJob;
  std::vector<std::string> logged;
  try {
    ReadDescriptionFile(path, fileJob, [&logged](const std::string& line) { logged.push_back(line); });
    // The address line, and a warning after it when line 12 is not written in full.
    const bool warned = logged.size() == 2 && logged[1].rfind("  Warning: ", 0) == 0 &&
                        logged[1].find(" line 12 is written ") != std::string::npos;
    if (logged.size() != 1 && !warned) problem = "the reading logged " + std::to_string(logged.size()) + " lines";
    else if (fileJob.ImageSize() % 1024 != 0 || fileJob.ImageSize() < 0 || fileJob.ImageSize() > kMaxImageBytes)
      problem = "ImageSize " + std::to_string(fileJob.ImageSize());
    else if (fileJob.BlockCount() * 1024 != fileJob.ImageSize() ||
             fileJob.BlockCount() != fileJob.BlockCountHigh() * 256 + fileJob.BlockCountLow())
      problem = "block count does not match the size";
    else if (fileJob.ImageFileName == "image.bin" && fileJob.ImageSize() != 3072)
      problem = "image.bin is 3000 bytes but ImageSize is " + std::to_string(fileJob.ImageSize());
  } catch (const DescriptionFileError&) {
  } catch (const std::exception& err) {
    problem = std::string("ReadDescriptionFile threw a stray ") + Show(err.what());
  }
  if (::chdir(cwd) != 0) return "cannot leave the scratch folder";
  return problem;
}
