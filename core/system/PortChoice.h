// Which serial device the tool opens, decided in one place for every program
// entry. On Linux: --port, then $COM1, then the port remembered from the last
// --port that opened, then /dev/ttyS0. On Windows: --port COMn, then the
// remembered port, then COM1; Windows has no $COM1 to ask.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "PortMemory.h"

enum class TPortSource { CommandLine, Environment, Remembered, Default };

// The two ways a port is named: a device path, or COMn as Windows numbers it.
enum class TPortSystem { Posix, Windows };
// How this system names its ports (defined with the port memory, per system).
TPortSystem ThisPortSystem();

struct TPortChoice {
  std::string Name;    // as it was given (COM3, /dev/ttyUSB0), what is remembered
  std::string Device;  // what the serial component opens (\\.\COM3, /dev/ttyUSB0)
  TPortSource Source = TPortSource::Default;
};

// A variable of the environment; none when unset.
using TEnvironment = std::function<std::optional<std::string>(const std::string& name)>;
std::optional<std::string> ProcessEnvironment(const std::string& name);

TPortChoice ChoosePort(const std::optional<std::string>& commandLinePort, const TEnvironment& environment,
                       const TPortMemory& memory, TPortSystem system = ThisPortSystem());

// The port `name` (COM3, /dev/ttyUSB0) as the serial component opens it.
TPortChoice NamedPort(const std::string& name, TPortSource source, TPortSystem system = ThisPortSystem());

// A port named on the command line that opened is the one a start without
// --port uses next time; one that did not open, or came from elsewhere,
// leaves the memory as it was.
void RememberIfOpened(const TPortChoice& choice, bool opened, TPortMemory& memory);
