// The downloader's command line, read before the window toolkit starts so
// that --help, --version and --list-ports need no display.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TCommandLine {
  bool Help = false;
  bool Version = false;
  bool ListPorts = false;
  std::string Port;              // --port DEVICE
  std::string Trace;             // --trace FILE: every byte on the line, to FILE
  bool Console = false;          // --console: the terminal face, no window
  bool Json = false;             // --json
  std::optional<bool> ContinueOnAddressMismatch;  // --address-mismatch stop|continue
  std::vector<std::string> Rest;  // left for the toolkit's own options
};

// False with a reason for an option of ours that is malformed.
bool ParseCommandLine(const std::vector<std::string>& args, TCommandLine& out, std::string& error);
std::string UsageText();
// The whole answer to --help, --version or --list-ports, whichever was
// asked; none when the command line asks for a download.
std::optional<std::string> InfoText(const TCommandLine& cl);
