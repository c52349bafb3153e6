#include "Options.h"

#include <cstdint>
#include <functional>
#include <map>

namespace stbsim {

namespace {

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Every character must be a digit of the base: "12x" and "" are refused,
// where strtoul would take the first and call the second zero.
bool ParseNumber(std::string s, int base, std::uint64_t max, std::uint64_t& out) {
  if (base == 16 && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.erase(0, 2);
  if (s.empty() || s.size() > 16) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (base == 16 ? !IsHexDigit(c) : !(c >= '0' && c <= '9')) return false;
    unsigned d = c <= '9' ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
    v = v * unsigned(base) + d;
    if (v > max) return false;
  }
  out = v;
  return true;
}

bool ParsePair(const std::string& s, Pair& out) {
  auto dot = s.find('.');
  std::uint64_t a = 0, b = 0;
  if (dot == std::string::npos || !ParseNumber(s.substr(0, dot), 16, 0xFF, a) ||
      !ParseNumber(s.substr(dot + 1), 16, 0xFF, b))
    return false;
  out = {std::uint8_t(a), std::uint8_t(b)};
  return true;
}

bool ParseHexBytes(const std::string& s, std::vector<std::uint8_t>& out) {
  if (s.empty() || s.size() % 2 != 0) return false;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < s.size(); i += 2) {
    std::uint64_t v = 0;
    if (!ParseNumber(s.substr(i, 2), 16, 0xFF, v)) return false;
    bytes.push_back(std::uint8_t(v));
  }
  out = bytes;
  return true;
}

// STAGE or STAGE:NUMBER.
bool ParseStageAt(const std::string& s, Stage& stage, std::uint32_t& number) {
  auto colon = s.find(':');
  if (!StageFromName(s.substr(0, colon), stage)) return false;
  if (colon == std::string::npos) return true;
  std::uint64_t v = 0;
  if (!ParseNumber(s.substr(colon + 1), 10, 0xFFFFFFFF, v)) return false;
  number = std::uint32_t(v);
  return true;
}

using Handler = std::function<bool(const std::string&)>;
using Handlers = std::map<std::string, Handler>;

Handler Milliseconds(int& to) {
  return [&to](const std::string& v) {
    std::uint64_t n = 0;
    if (!ParseNumber(v, 10, 3600000, n)) return false;
    to = int(n);
    return true;
  };
}

Handler PairOf(Pair& to) {
  return [&to](const std::string& v) { return ParsePair(v, to); };
}

// Where the receiver's line is and what it writes when it ends.
void AddFileOptions(Handlers& h, ProgramOptions& out) {
  h.insert({"--link", [&](const std::string& v) { out.Link = v; return !v.empty(); }});
  h.insert({"--device", [&](const std::string& v) { out.Device = v; return !v.empty(); }});
  h.insert({"--save-flash", [&](const std::string& v) { out.SaveFlash = v; return !v.empty(); }});
  h.insert({"--summary-json", [&](const std::string& v) { out.SummaryJson = v; return !v.empty(); }});
  h.insert({"--wire-log", [&](const std::string& v) { out.WireLog = v; return !v.empty(); }});
}

// Who the receiver says it is, and the mode it answers.
void AddIdentityOptions(Handlers& h, Config& c) {
  h.insert({"--mode", [&](const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseNumber(v, 10, 8, n)) return false;
       c.Id.AcceptMode = std::uint8_t(n);
       return true;
     }});
  h.insert({"--oui", [&](const std::string& v) {
       std::uint64_t n = 0;
       if (v.size() != 4 || !ParseNumber(v, 16, 0xFFFF, n)) return false;
       c.Id.Oui = {std::uint8_t(n >> 8), std::uint8_t(n)};
       return true;
     }});
  h.insert({"--model", PairOf(c.Id.ModelCode)});
  h.insert({"--hw", PairOf(c.Id.Hardware)});
  h.insert({"--bl", PairOf(c.Id.Bootloader)});
  h.insert({"--native", PairOf(c.Id.Native)});
  h.insert({"--start-date", [&](const std::string& v) { c.Id.StartDate = v; return v.size() <= 5; }});
  h.insert({"--address", [&](const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseNumber(v, 16, 0xFFFFFFFF, n)) return false;
       c.Id.DownloadAddress = std::uint32_t(n);
       return true;
     }});
  h.insert({"--spare", [&](const std::string& v) {
       std::size_t start = 0;
       for (int i = 0; i < 3; ++i) {
         auto comma = v.find(',', start);
         if ((i < 2) != (comma != std::string::npos)) return false;
         std::uint64_t n = 0;
         if (!ParseNumber(v.substr(start, comma - start), 16, 0xFFFFFFFF, n)) return false;
         c.Id.Spare[std::size_t(i)] = std::uint32_t(n);
         start = comma + 1;
       }
       return true;
     }});
}

// How long the receiver takes where it is slow on purpose.
void AddTimingOptions(Handlers& h, Config& c) {
  h.insert({"--flash-delay", Milliseconds(c.FlashWriteDelayMs)});
  h.insert({"--reply-delay", Milliseconds(c.Fault.ReplyDelayMs)});
  h.insert({"--version-quiet", Milliseconds(c.VersionQuietMs)});
  h.insert({"--block-gap", Milliseconds(c.BlockGapMs)});
  h.insert({"--quiet-limit", Milliseconds(c.QuietLimitMs)});
}

// Faults of the transfer: what the receiver does to a block or its reply.
void AddBlockFaults(Handlers& h, Faults& f) {
  h.insert({"--reject-block", [&](const std::string& v) {
       auto colon = v.find(':');
       std::uint64_t k = 0, n = 1;
       if (!ParseNumber(v.substr(0, colon), 10, 65535, k)) return false;
       if (colon != std::string::npos) {
         std::string times = v.substr(colon + 1);
         if (times == "always") n = std::uint64_t(-1);
         else if (!ParseNumber(times, 10, 1000000, n)) return false;
       }
       f.RejectBlock = std::int32_t(k);
       f.RejectTimes = n == std::uint64_t(-1) ? -1 : std::int32_t(n);
       return true;
     }});
  h.insert({"--late-reply", [&](const std::string& v) {
       auto colon = v.find(':');
       std::uint64_t k = 0, delay = 0;
       if (colon == std::string::npos || !ParseNumber(v.substr(0, colon), 10, 65535, k) ||
           !ParseNumber(v.substr(colon + 1), 10, 600000, delay))
         return false;
       f.LateBlock = std::int32_t(k);
       f.LateMs = int(delay);
       return true;
     }});
  h.insert({"--noise-after", [&](const std::string& v) {
       std::uint64_t k = 0;
       if (!ParseNumber(v, 10, 65535, k)) return false;
       f.NoiseBlock = std::int32_t(k);
       return true;
     }});
  h.insert({"--sequence-wrong", [&](const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseNumber(v, 10, 100000, n) || n == 0) return false;
       f.SequenceCheck = std::uint32_t(n);
       f.SequenceMissing = false;
       return true;
     }});
  h.insert({"--sequence-missing", [&](const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseNumber(v, 10, 100000, n) || n == 0) return false;
       f.SequenceCheck = std::uint32_t(n);
       f.SequenceMissing = true;
       return true;
     }});
  h.insert({"--echo", [&](const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseNumber(v, 16, 0xFF, n)) return false;
       f.Echo = std::int32_t(n);
       return true;
     }});
}

// Faults of the handshake and the stages after the transfer.
void AddStageFaults(Handlers& h, Faults& f) {
  h.insert({"--refuse-reply", [&](const std::string& v) { return ParseHexBytes(v, f.RefuseReply); }});
  h.insert({"--bad-text", [&](const std::string& v) { return ParseStageAt(v, f.TextStage, f.TextPos); }});
  h.insert({"--flash-byte", [&](const std::string& v) {
       auto colon = v.find(':');
       std::uint64_t j = 0, b = '#';
       if (!ParseNumber(v.substr(0, colon), 10, 65535, j)) return false;
       if (colon != std::string::npos && !ParseNumber(v.substr(colon + 1), 16, 0xFF, b)) return false;
       f.FlashByteAt = std::int32_t(j);
       f.FlashByte = std::uint8_t(b);
       return true;
     }});
  h.insert({"--version-reply", [&](const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseNumber(v, 16, 0xFF, n)) return false;
       f.VersionReply = std::int32_t(n);
       return true;
     }});
  h.insert({"--silent", [&](const std::string& v) { return ParseStageAt(v, f.SilentAt, f.SilentBlock); }});
  h.insert({"--hang-up", [&](const std::string& v) { return ParseStageAt(v, f.HangUpAt, f.HangUpBlock); }});
  h.insert({"--junk", [&](const std::string& v) { return ParseStageAt(v, f.JunkAt, f.JunkBlock); }});
  h.insert({"--junk-bytes", [&](const std::string& v) { return ParseHexBytes(v, f.Junk); }});
}
}  // namespace

// The usage in two pieces: the line, the identity and the timing, then the
// faults the receiver can be told to make.
constexpr const char* kUsageSetUp = R"(Usage: stb-receiver-sim [options]
Plays the set-top box's side of the serial download on a pseudo-terminal
(or a real port). Prints the console's device path first, the summary last;
exits 0 only when the download succeeded.

Line:
  --link PATH            make PATH a symlink to the console's end (removed on exit)
  --device PATH          use a real serial port instead of a pty
  --pace [BAUD]          behave like a real 8N1 line (default 115200)
  --exit-when-done       exit once the download is done, failed or hung up
  --save-flash FILE      write the simulated flash to FILE on exit
  --summary-json FILE    write the summary as JSON to FILE on exit
  --wire-log FILE        write every read and write on the line to FILE on
                         exit, one line each: MS rx|tx HEX... (rx from the
                         console, tx to it; MS since the line opened)
Identity:
  --mode N               accept only mode N (1..8); 0 answers every mode (default)
  --oui HEX4             OUI bytes, e.g. 1234
  --model A.B            model code, hex bytes (default A.1)
  --hw A.B               hardware version (default 1.5)
  --bl A.B               bootloader version (default 2.0)
  --native A.B           native version (default 3.0)
  --start-date TEXT      up to 5 characters (default 26120)
  --address HEX          download address (default 80010000)
  --spare HEX,HEX,HEX    the three spare words
Timing:
  --flash-delay MS       pause before every "@"
  --reply-delay MS       pause before every reply (fault when over 200 ms)
  --version-quiet MS     silence that ends the version write (default 100)
  --block-gap MS         silence inside a block that ends the transfer (default 500)
  --quiet-limit MS       give up when the console owes bytes this long (default never)
)";
constexpr const char* kUsageFaults = R"(Faults (STAGE: Probed Identified SizeReceived Transferring DownloadCrc RamImage
        FlashWrite FlashImage VersionUpdate VersionTable):
  --reject-block K[:N]   reject block K N times (default 1; N=always never accepts)
  --late-reply K:MS      hold the first reply to block K back MS more
  --noise-after K        send the --junk-bytes after the first reply to block K
  --sequence-wrong C     send a wrong digit at the C-th sequence check (1-based)
  --sequence-missing C   leave the digit out at the C-th sequence check
  --echo HEX             echo this byte instead of the mode number
  --refuse-reply HEX     reply these bytes (e.g. 00414141) to a mode not accepted
  --bad-text STAGE[:POS] spoil character POS of that stage's confirmation text
  --flash-byte J[:HEX]   send HEX (default 23 '#') instead of the J-th "@" (0-based)
  --version-reply HEX    answer the version write with HEX instead of 57
  --silent STAGE[:BLOCK] stop sending from that stage (block when Transferring)
  --hang-up STAGE[:BLOCK] close the line at that stage (block when Transferring)
  --junk STAGE[:BLOCK]   junk bytes before the stage's first reply
  --junk-bytes HEX       the junk (default 55AA3F)
  --junk-early           send the junk with the previous message, before the console's flush
  --help                 this text
  --version              the version
Exit status: 0 when the download succeeded, 1 when it did not, 2 for a bad
option or a line that could not be opened, 3 when a file asked for could
not be written.
)";

std::string UsageText() { return std::string(kUsageSetUp) + kUsageFaults; }

bool ParseOptions(const std::vector<std::string>& args, ProgramOptions& out, std::string& error) {
  Config& c = out.Cfg;
  Faults& f = c.Fault;
  Handlers withValue;
  AddFileOptions(withValue, out);
  AddIdentityOptions(withValue, c);
  AddTimingOptions(withValue, c);
  AddBlockFaults(withValue, f);
  AddStageFaults(withValue, f);

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::string value;
    bool inlineValue = false;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inlineValue = true;
    }
    if (arg == "--help" || arg == "-h") {
      out.Help = true;
    } else if (arg == "--version" && !inlineValue) {
      out.Version = true;
    } else if (arg == "--exit-when-done" && !inlineValue) {
      out.ExitWhenDone = true;
    } else if (arg == "--junk-early" && !inlineValue) {
      f.JunkEarly = true;
    } else if (arg == "--pace") {
      c.Paced = true;
      if (!inlineValue && i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') {
        value = args[++i];
        inlineValue = true;
      }
      std::uint64_t baud = 0;
      if (inlineValue) {
        if (!ParseNumber(value, 10, 4000000, baud) || baud == 0) {
          error = "--pace: bad baud rate \"" + value + "\"";
          return false;
        }
        c.Baud = std::uint32_t(baud);
      }
    } else if (auto h = withValue.find(arg); h != withValue.end()) {
      if (!inlineValue) {
        if (i + 1 >= args.size()) {
          error = arg + ": needs a value";
          return false;
        }
        value = args[++i];
      }
      if (!h->second(value)) {
        error = arg + ": bad value \"" + value + "\"";
        return false;
      }
    } else {
      error = "unknown option \"" + args[i] + "\"";
      return false;
    }
  }
  if (!out.Link.empty() && !out.Device.empty()) {
    error = "--link and --device exclude each other";
    return false;
  }
  return true;
}

}  // namespace stbsim
