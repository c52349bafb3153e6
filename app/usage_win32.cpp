#include "CommandLine.h"

#include <cctype>

#include "PortChoice.h"

// Windows names its ports COMn, keeps the remembered port in the registry
// and the record under %LOCALAPPDATA%; the terminal face is a program of
// its own there.
std::string UsageText() {
  return R"(Usage: stb-downloader.exe [--port COMn] [--trace FILE] [--list-ports] [--help] [--version]
       stb-downloader-cli.exe [--json] [--address-mismatch stop|continue] [--port COMn]
                              [--trace FILE] [--wait-for-box SECONDS]
       stb-downloader-cli.exe --check [MODE]
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
  --wait-for-box SECONDS
                  stb-downloader-cli.exe: end with status 2 when no box has
                  answered the probe SECONDS after the mode was chosen
  --check [MODE]  read a mode's description file and image without a port
                  or a window, print what the download would use and every
                  problem, and end (0 all good, 2 a problem); MODE is 1 to 8
                  or the file's name (native, bl, ...), none: every file in
                  inc\
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

// COM3, com3 and \\.\COM3 are one port: Windows does not care for the case.
bool SamePort(const std::string& a, const std::string& b) {
  const auto device = [](const std::string& name) {
    std::string d = NamedPort(name, TPortSource::CommandLine, TPortSystem::Windows).Device;
    for (char& c : d) c = char(std::toupper(static_cast<unsigned char>(c)));
    return d;
  };
  return device(a) == device(b);
}
