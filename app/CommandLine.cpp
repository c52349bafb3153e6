#include "CommandLine.h"

#include <map>

#include "PortList.h"

#ifdef _WIN32
// Windows names its ports COMn, keeps the remembered port in the registry
// and the record under %LOCALAPPDATA%; the terminal face is a program of
// its own there.
std::string UsageText() {
  return R"(Usage: stb-downloader.exe [--port COMn] [--trace FILE] [--list-ports] [--help] [--version]
       stb-downloader-cli.exe [--json] [--address-mismatch stop|continue] [--port COMn]
                              [--trace FILE]
Writes a software image into a set-top box over a serial cable. Start it in
the folder that holds inc\*.inc, type the download mode's keyword into the
window (it is not displayed) and switch the receiver on.

Options:
  --port COMn     the serial port, e.g. COM3; remembered for the next start
                  once it has opened
  --trace FILE    write every byte on the line to FILE, one line per run of
                  bytes: milliseconds since the port opened, > to the box or
                  < from it, the bytes in hex | as text
  --json          stb-downloader-cli.exe: one JSON event a line on standard
                  output (log, progress, question, message, result)
  --address-mismatch stop|continue
                  stb-downloader-cli.exe: the answer to the download address
                  question when no console can ask it (default: stop)
  --list-ports    list the serial ports present, with their drivers' names,
                  and end
  --help          this text
  --version       the version

stb-downloader-cli.exe is the same tool without a window: the log on
standard output, messages on standard error; the keyword is asked without
echo, or read as the first line of standard input when that is no console:
  echo KEYWORD| stb-downloader-cli.exe --port COM3

The port: --port, else the one remembered from an earlier --port (in
HKEY_CURRENT_USER\Software\Tarnwell\stb-downloader), else COM1. The line
runs at 115200 bit/s, 8N1.

Every download that reached the receiver is recorded as one line of JSON in
%LOCALAPPDATA%\stb-downloader\downloads.jsonl, with the whole log of the run
saved beside it; a failed download keeps its wire trace there too.

Exit status:
  0  a download succeeded
  1  a download failed or was stopped (also Ctrl+C during one)
  2  the program ended without a download (port, description or image
     problems, the window closed while waiting, Ctrl+C before a download)
)";
}
#else
std::string UsageText() {
  return R"(Usage: stb-downloader [--port DEVICE] [--trace FILE] [--list-ports] [--help] [--version]
       stb-downloader --console [--json] [--address-mismatch stop|continue] [--port DEVICE]
                              [--trace FILE]
Writes a software image into a set-top box over a serial cable. Start it in
the folder that holds inc/*.inc, type the download mode's keyword into the
window (it is not displayed) and switch the receiver on.

Options:
  --port DEVICE   the serial device of COM1, e.g. /dev/ttyUSB0; remembered
                  for the next start once it has opened
  --trace FILE    write every byte on the line to FILE, one line per run of
                  bytes: milliseconds since the port opened, > to the box or
                  < from it, the bytes in hex | as text
  --console       no window: the log on standard output, messages on
                  standard error; the keyword is asked with echo off, or
                  read as the first line of standard input when that is
                  no terminal:  printf 'KEYWORD\n' | stb-downloader --console
  --json          with --console: one JSON event a line on standard output
                  (log, progress, question, message, result)
  --address-mismatch stop|continue
                  with --console: the answer to the download address
                  question when no terminal can ask it (default: stop)
  --list-ports    list the serial devices present, with their
                  /dev/serial/by-id names, and end
  --help          this text
  --version       the version

The device: --port, else $COM1, else the device remembered from an earlier
--port, else /dev/ttyS0. The line runs at 115200 bit/s, 8N1.

Every download that reached the receiver is recorded as one line of JSON in
$XDG_STATE_HOME/stb-downloader/downloads.jsonl (by default
~/.local/state/stb-downloader/downloads.jsonl), with the whole log of the run
saved beside it; a failed download keeps its wire trace there too.

Exit status:
  0  a download succeeded
  1  a download failed or was stopped (also SIGINT or SIGTERM during one)
  2  the program ended without a download (port, description or image
     problems, the window closed while waiting, SIGINT or SIGTERM)
)";
}
#endif

namespace {

// The window toolkit's own options (-style fusion, -platform offscreen...),
// with one dash or two: how many values each takes, or -1 for none of its.
int ToolkitOption(std::string arg) {
  if (arg.rfind("--", 0) == 0) arg.erase(0, 1);
  if (arg.rfind("-", 0) != 0) return -1;
  arg.erase(0, 1);
  if (const auto eq = arg.find('='); eq != std::string::npos) arg.resize(eq);
  static const std::map<std::string, int> known = {
      {"platform", 1}, {"platformpluginpath", 1}, {"platformtheme", 1}, {"plugin", 1}, {"qwindowgeometry", 1},
      {"qwindowicon", 1}, {"qwindowtitle", 1}, {"session", 1}, {"display", 1}, {"geometry", 1}, {"style", 1},
      {"stylesheet", 1}, {"reverse", 0}, {"widgetcount", 0}, {"nograb", 0}, {"dograb", 0}, {"qmljsdebugger", 0}};
  const auto it = known.find(arg);
  return it == known.end() ? -1 : it->second;
}

// An option with a value, as "--name VALUE" or "--name=VALUE": false when
// `arg` is not that option; else `value` (empty when none was given) and
// `i` moved past it.
bool ValueOption(const std::string& name, const std::vector<std::string>& args, std::size_t& i, std::string& value) {
  const std::string& arg = args[i];
  if (arg.rfind(name + "=", 0) == 0) {
    value = arg.substr(name.size() + 1);
    return true;
  }
  if (arg != name) return false;
  value = i + 1 < args.size() ? args[++i] : std::string();
  return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, TCommandLine& out, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out.Help = true;
    } else if (arg == "--version") {
      out.Version = true;
    } else if (arg == "--list-ports") {
      out.ListPorts = true;
    } else if (ValueOption("--port", args, i, out.Port)) {
      if (out.Port.empty()) {
        error = "--port: needs a device, e.g. --port /dev/ttyUSB0";
        return false;
      }
    } else if (ValueOption("--trace", args, i, out.Trace)) {
      if (out.Trace.empty()) {
        error = "--trace: needs a file, e.g. --trace wire.txt";
        return false;
      }
    } else if (arg == "--console") {
      out.Console = true;
    } else if (arg == "--json") {
      out.Json = true;
    } else if (arg == "--address-mismatch" || arg.rfind("--address-mismatch=", 0) == 0) {
      std::string answer;
      if (arg == "--address-mismatch") {
        if (i + 1 < args.size()) answer = args[++i];
      } else {
        answer = arg.substr(19);
      }
      if (answer != "stop" && answer != "continue") {
        error = "--address-mismatch: stop or continue";
        return false;
      }
      out.ContinueOnAddressMismatch = answer == "continue";
    } else if (int values = ToolkitOption(arg); values >= 0) {
      out.Rest.push_back(arg);
      if (values == 1 && arg.find('=') == std::string::npos && i + 1 < args.size()) out.Rest.push_back(args[++i]);
    } else {
      error = "unknown option \"" + arg + "\"";
      return false;
    }
  }
  if ((out.Json || out.ContinueOnAddressMismatch) && !out.Console) {
    error = out.Json ? "--json: only with --console" : "--address-mismatch: only with --console";
    return false;
  }
  return true;
}

std::optional<std::string> InfoText(const TCommandLine& cl) {
  if (cl.Help) return UsageText();
  if (cl.Version) return std::string("stb-downloader " STB_VERSION "\n");
  if (!cl.ListPorts) return std::nullopt;
  const auto devices = SerialDevices();
  if (devices.empty()) return std::string("No serial devices found.\n");
  std::string text;
  for (const TSerialDevice& d : devices) {
    text += d.Path + (d.Description.empty() ? "" : "  " + d.Description) + '\n';
    for (const std::string& name : d.Names) text += "    " + name + '\n';
  }
  return text;
}
