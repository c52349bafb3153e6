#include "CommandLine.h"

#include <filesystem>
#include <system_error>

// Linux names its ports by their device, takes $COM1, keeps the remembered
// port in an INI file and the record under ~/.local/state.
std::string UsageText() {
  return R"(Usage: stb-downloader [--port DEVICE] [--trace FILE] [--list-ports] [--help] [--version]
       stb-downloader --console [--json] [--address-mismatch stop|continue] [--port DEVICE]
                              [--trace FILE] [--wait-for-box SECONDS]
       stb-downloader --check [MODE]
       stb-downloader-cli [the options of --console]
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
  --wait-for-box SECONDS
                  with --console: end with status 2 when no box has
                  answered the probe SECONDS after the mode was chosen
  --check [MODE]  read a mode's description file and image without a port
                  or a window, print what the download would use and every
                  problem, and end (0 all good, 2 a problem); MODE is 1 to 8
                  or the file's name (native, bl, ...), none: every file in
                  ./inc
  --list-ports    list the serial devices present, with their
                  /dev/serial/by-id names and any program that holds
                  one, and end
  --help          this text
  --version       the version

stb-downloader-cli is the same as stb-downloader --console (implied), with
no window toolkit linked: for machines without a display, and the bench.

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

// The same device under two names: a /dev/serial/by-id link and its target,
// or a path written two ways. A name that is not there is compared as written.
bool SamePort(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code error;
  if (std::filesystem::equivalent(a, b, error) && !error) return true;
  const auto left = std::filesystem::weakly_canonical(a, error);
  if (error) return false;
  const auto right = std::filesystem::weakly_canonical(b, error);
  return !error && left == right;
}
