// The serial ports this machine has, as the system lists them. One source
// file per system, picked by CMake.
#pragma once

#include <string>
#include <vector>

struct TSerialDevice {
  std::string Path;                 // /dev/ttyUSB0, or COM3
  std::vector<std::string> Names;   // the system's other names for it: /dev/serial/by-id/usb-FTDI_...,
                                    // or the driver's friendly name and device, \Device\VCP0
  std::string Description;          // a USB adapter's maker and model, "FTDI FT232R USB UART"; may be empty
};

// The serial devices present: USB adapters, on-board ports that have a UART
// behind them, and other serial drivers' devices; in a stable order.
std::vector<TSerialDevice> SerialDevices();

// The name under which the device `path` can come back after it went away
// (unplugged, a hub reset): its /dev/serial/by-id name where it has one,
// which follows the adapter into any socket; else `path` as given. Empty
// for a pseudo-terminal's own number, which the system hands to an unrelated
// terminal next.
std::string ReturningName(const std::string& path);
