// The downloader's command line, read before the window toolkit starts so
// that --help, --version and --list-ports need no display.
#pragma once

#include <string>
#include <vector>

struct TCommandLine {
  bool Help = false;
  bool Version = false;
  bool ListPorts = false;
  std::string Port;              // --port DEVICE
  std::vector<std::string> Rest;  // left for the toolkit's own options
};

// False with a reason for an option of ours that is malformed.
bool ParseCommandLine(const std::vector<std::string>& args, TCommandLine& out, std::string& error);
std::string UsageText();

struct TSerialDevice {
  std::string Path;                // /dev/ttyUSB0
  std::vector<std::string> ById;   // /dev/serial/by-id/usb-FTDI_..., when the system names it
};
// The serial devices present: USB adapters, on-board ports that have a UART
// behind them, and other serial drivers' devices.
std::vector<TSerialDevice> SerialDevices();
