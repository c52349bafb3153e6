#include "CommandLine.h"

#include <map>

#include "DescriptionCheck.h"
#include "PortClaim.h"
#include "PortList.h"
#include "StatusText.h"

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

// The value of `--name VALUE` or `--name=VALUE` at args[i], with i left on
// its last part; empty when it has none. None when args[i] is another option.
// An option where the value should be (--port --console) is no value: it is
// left where it is, and `optionInstead` says what stood there.
std::optional<std::string> OptionValue(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
                                       std::string* optionInstead = nullptr) {
  const std::string& arg = args[i];
  if (arg.rfind(name + "=", 0) == 0) return arg.substr(name.size() + 1);
  if (arg != name) return std::nullopt;
  if (i + 1 >= args.size()) return std::string();
  if (const std::string& next = args[i + 1]; next.size() > 1 && next[0] == '-') {
    if (optionInstead != nullptr) *optionInstead = next;
    return std::string();
  }
  return args[++i];
}

// Why an option that takes a value has none: nothing after it, or another option.
std::string MissingValue(const std::string& name, const std::string& what, const std::string& optionInstead) {
  std::string reason = name + ": " + what;
  if (!optionInstead.empty()) reason += " (\"" + optionInstead + "\" is an option; write " + name + "=" + optionInstead + " for a name that starts with -)";
  return reason;
}

// The switch `arg` sets for `program`; none when it is none of its.
bool* SwitchOf(const std::string& arg, TCommandLine& out, TProgram program) {
  if (arg == "--help" || arg == "-h") return &out.Help;
  if (arg == "--version") return &out.Version;
  if (program == TProgram::Bench) return arg == "--continuous" ? &out.Continuous : nullptr;
  if (arg == "--list-ports") return &out.ListPorts;
  if (arg == "--console") return &out.Console;
  if (arg == "--json") return &out.Json;
  return nullptr;
}

// --check takes a mode only as a word of its own or after "=", never an option.
std::optional<std::string> CheckValue(const std::vector<std::string>& args, std::size_t& i) {
  if (args[i].rfind("--check=", 0) == 0) return args[i].substr(8);
  if (i + 1 < args.size() && args[i + 1].rfind("-", 0) != 0) return args[++i];
  return std::nullopt;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, TCommandLine& out, std::string& error, TProgram program) {
  std::string optionInstead;
  bool traceGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    optionInstead.clear();
    if (bool* on = SwitchOf(arg, out, program)) {
      *on = true;
    } else if (const auto port = OptionValue(args, i, "--port", &optionInstead)) {
      if (port->empty()) {
        error = MissingValue("--port", "needs a device, e.g. --port /dev/ttyUSB0", optionInstead);
        return false;
      }
      // One window, one line: a second --port would silently win.
      if (program == TProgram::Downloader && !out.Port.empty()) {
        error = "--port: given twice (" + out.Port + " and " + *port + "); the downloader uses one port";
        return false;
      }
      // Two stations on one line would fight over every byte.
      for (const std::string& earlier : out.Ports) {
        if (SamePort(earlier, *port)) {
          error = "--port: " + *port + " is given twice" +
                  (earlier == *port ? std::string() : " (" + earlier + " is the same port)") +
                  "; a port can serve one row only";
          return false;
        }
      }
      out.Port = *port;
      out.Ports.push_back(*port);
    } else if (const auto trace = OptionValue(args, i, "--trace", &optionInstead)) {
      if (trace->empty()) {
        error = MissingValue("--trace", "needs a file, e.g. --trace wire.txt", optionInstead);
        return false;
      }
      if (traceGiven) {
        error = "--trace: given twice (" + out.Trace + " and " + *trace + ")";
        return false;
      }
      traceGiven = true;
      out.Trace = *trace;
    } else if (const auto answer = OptionValue(args, i, "--address-mismatch", &optionInstead)) {
      if (*answer != "stop" && *answer != "continue") {
        error = MissingValue("--address-mismatch", "stop or continue", optionInstead);
        return false;
      }
      if (out.ContinueOnAddressMismatch && *out.ContinueOnAddressMismatch != (*answer == "continue")) {
        error = "--address-mismatch: given twice, as stop and as continue";
        return false;
      }
      out.ContinueOnAddressMismatch = *answer == "continue";
    } else if (program == TProgram::Downloader && (arg == "--check" || arg.rfind("--check=", 0) == 0)) {
      out.Check = true;
      if (const auto mode = CheckValue(args, i)) {
        out.CheckMode = ModeNamed(*mode);
        if (!out.CheckMode) {
          error = "--check: a mode's number 1 to 8 or its file's name: bl, native, app1, app2, lpd, gui, psi, rsvd";
          return false;
        }
      }
    } else if (const auto wait = program == TProgram::Downloader ? OptionValue(args, i, "--wait-for-box")
                                                                 : std::nullopt) {
      const auto seconds = wait->find_first_not_of("0123456789") == std::string::npos && !wait->empty() &&
                                   wait->size() < 7
                               ? std::stoi(*wait)
                               : 0;
      if (seconds <= 0) {
        error = "--wait-for-box: needs whole seconds, e.g. --wait-for-box 60";
        return false;
      }
      out.WaitForBox = seconds;
    } else if (int values = ToolkitOption(arg); values >= 0) {
      out.Rest.push_back(arg);
      if (values == 1 && arg.find('=') == std::string::npos && i + 1 < args.size()) out.Rest.push_back(args[++i]);
    } else {
      error = "unknown option \"" + arg + "\"";
      return false;
    }
  }
  // The bench's stations are always asked in JSON and can be asked nothing.
  if (program == TProgram::Downloader && (out.Json || out.ContinueOnAddressMismatch) && !out.Console) {
    error = out.Json ? "--json: only with --console" : "--address-mismatch: only with --console";
    return false;
  }
  if (out.WaitForBox && !out.Console) {
    error = "--wait-for-box: only with --console";
    return false;
  }
  return true;
}

std::string BenchUsageText() {
  return R"(Usage: stb-bench [--port PORT]... [--continuous] [--address-mismatch stop|continue]
                 [--trace FILE]
Flashes boxes on several serial ports at once: one row per port, each served
by its own station, a downloader process on that port that tells the bench
what it does (stb-downloader-cli --json, installed beside stb-bench; on
Windows stb-downloader-cli.exe --json). Start it in the folder that holds the
description files (inc/*.inc) and type the download mode's keyword into the
window (it is not displayed): it chooses the mode for every port.

Options:
  --port PORT     a port of the bench (/dev/ttyUSB0, COM3), once per port.
                  The ports given are remembered; without any, the ports of
                  the last bench; without those, the window shows every
                  port the system lists (stb-downloader --list-ports) with
                  a check box: the ports ticked when the keyword is typed
                  are the bench's, and are remembered
  --continuous    a row that finished starts again at once and waits for
                  the next box on its port (also a check box in the window)
  --address-mismatch stop|continue
                  the stations' answer to the download address question
                  (default: stop, nothing is written to such a box)
  --trace FILE    each station writes every byte on its line to a file of
                  its own: FILE with the port's name in it (wire.txt gives
                  wire-ttyUSB0.txt, wire-COM3.txt)
  --help          this text
  --version       the version

Every box gets its line in the download record, as with stb-downloader.
The totals go to standard output when the window closes.
Exit status: 0 every box passed, 1 a box failed or a port's station failed
before reaching a box (its port would not open), 2 no box was reached.
)";
}

std::optional<std::string> InfoText(const TCommandLine& cl, TProgram program) {
  const bool bench = program == TProgram::Bench;
  if (cl.Help) return bench ? BenchUsageText() : UsageText();
  if (cl.Version) return std::string(bench ? "stb-bench " : "stb-downloader ") + STB_VERSION "\n";
  if (!cl.ListPorts) return std::nullopt;
  const auto devices = SerialDevices();
  if (devices.empty()) return std::string("No serial devices found.\n");
  std::string text;
  for (const TSerialDevice& d : devices) {
    text += PortListLine(d, PortHolderOf(d.Path)) + '\n';
    for (const std::string& name : d.Names) text += "    " + name + '\n';
  }
  return text;
}
