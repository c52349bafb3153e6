// The command line of the downloader and of the bench, read before the
// window toolkit starts so that --help, --version and --list-ports need no
// display.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TCommandLine {
  bool Help = false;
  bool Version = false;
  bool ListPorts = false;
  std::string Port;              // --port DEVICE (the bench's: the last one given)
  std::vector<std::string> Ports;  // the bench's --port, once per port
  bool Continuous = false;       // the bench's --continuous
  std::string Trace;             // --trace FILE: every byte on the line, to FILE
  bool Console = false;          // --console: the terminal face, no window
  bool Json = false;             // --json
  std::optional<bool> ContinueOnAddressMismatch;  // --address-mismatch stop|continue
  std::vector<std::string> Rest;  // left for the toolkit's own options
  // --check [MODE]: the description files read without a port; no mode: every one in ./inc
  bool Check = false;
  std::optional<std::uint8_t> CheckMode;
  std::optional<int> WaitForBox;  // --wait-for-box SECONDS, with --console
};

// Which program reads it: the bench takes --port once per port and
// --continuous, and none of --console, --json, --list-ports.
enum class TProgram { Downloader, Bench };

// False with a reason for an option of ours that is malformed.
bool ParseCommandLine(const std::vector<std::string>& args, TCommandLine& out, std::string& error,
                      TProgram program = TProgram::Downloader);
std::string UsageText();
// Whether two port names reach the same device: a /dev/serial/by-id link
// and its target; "COM3", "com3" and "\\.\COM3". Each system says in its own file.
bool SamePort(const std::string& a, const std::string& b);
std::string BenchUsageText();
inline constexpr const char* kBenchNoPorts =
    "stb-bench: no ports: give each with --port PORT (they are remembered for the next start)\n";
// The whole answer to --help, --version or --list-ports, whichever was
// asked; none when the command line asks for a download (or a bench).
std::optional<std::string> InfoText(const TCommandLine& cl, TProgram program = TProgram::Downloader);
