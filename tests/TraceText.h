// A wire trace read back into the bytes of each direction: the downloader's
// own trace ("MS > HEX ... | text"), and the simulated receiver's account of
// the same line ("MS rx|tx HEX ..."), so that the two can be compared.
#pragma once

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

// A line that names an image block, and the bytes it holds.
struct NamedRun {
  std::string Label;  // "block 23", "block 23 (resend)", ...
  std::vector<std::uint8_t> Bytes;
};

struct WireBytes {
  std::vector<std::uint8_t> ToBox, FromBox;
  std::vector<NamedRun> Blocks;    // the lines to the box that name a block, in order
  std::vector<std::string> Notes;  // the lines that begin with "#"
  std::size_t Runs = 0;            // lines of bytes
  std::string Problem;             // the first line that is not as it must be; empty: none
};

namespace trace_text {

inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// " | block N", with " (resend)", " (continued)" or " (resend, continued)".
inline bool IsBlockLabel(const std::string& tail) {
  const std::string lead = " | block ";
  if (tail.rfind(lead, 0) != 0) return false;
  std::size_t i = lead.size();
  const std::size_t digits = i;
  while (i < tail.size() && tail[i] >= '0' && tail[i] <= '9') ++i;
  if (i == digits || (tail[digits] == '0' && i > digits + 1)) return false;
  const std::string rest = tail.substr(i);
  return rest.empty() || rest == " (resend)" || rest == " (continued)" || rest == " (resend, continued)";
}

// One run line of ours, strictly: digits, a blank, > or <, " HH" per byte
// (capitals), then nothing or " | " and each byte as itself or a dot, or, on
// a line to the box, " | " and the block it is.
inline bool ReadRun(const std::string& line, WireBytes& out) {
  std::size_t i = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  if (i == 0 || i + 2 > line.size() || line[i] != ' ' || (line[i + 1] != '>' && line[i + 1] != '<')) return false;
  std::vector<std::uint8_t>& to = line[i + 1] == '>' ? out.ToBox : out.FromBox;
  std::vector<std::uint8_t> run;
  for (i += 2; i + 3 <= line.size() && line[i] == ' ' && line[i + 1] != '|'; i += 3) {
    const int hi = HexDigit(line[i + 1]), lo = HexDigit(line[i + 2]);
    if (hi < 0 || lo < 0) return false;
    run.push_back(std::uint8_t(hi * 16 + lo));
  }
  if (run.empty()) return false;
  if (i < line.size()) {
    std::string text;
    for (std::uint8_t b : run) text += b >= 0x20 && b < 0x7F ? char(b) : '.';
    if (&to == &out.ToBox && IsBlockLabel(line.substr(i))) {
      out.Blocks.push_back({line.substr(i + 3), run});
    } else if (line.substr(i) != " | " + text) {
      return false;
    }
  }
  to.insert(to.end(), run.begin(), run.end());
  ++out.Runs;
  return true;
}

}  // namespace trace_text

inline WireBytes ReadTrace(const std::string& text) {
  WireBytes out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("#", 0) == 0) {
      out.Notes.push_back(line);
    } else if (!trace_text::ReadRun(line, out) && out.Problem.empty()) {
      out.Problem = line;
    }
  }
  return out;
}

// The simulated receiver's account: rx is what it took from the console
// (to the box), tx what it sent.
inline WireBytes ReadReceiverAccount(const std::string& text) {
  WireBytes out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string ms, way, hex;
    words >> ms >> way;
    std::vector<std::uint8_t>& to = way == "rx" ? out.ToBox : out.FromBox;
    while (words >> hex) to.push_back(std::uint8_t(std::stoul(hex, nullptr, 16)));
    ++out.Runs;
  }
  return out;
}

inline std::vector<std::uint8_t> LastBytes(const std::vector<std::uint8_t>& bytes, std::size_t count) {
  return {bytes.end() - std::ptrdiff_t(std::min(count, bytes.size())), bytes.end()};
}
