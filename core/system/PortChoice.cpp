#include "PortChoice.h"

#include <cctype>
#include <cstdlib>

namespace {

// COM3, com12: the number Windows gave the port. \\.\COM12 is the only
// spelling that reaches ports above 9; anything else is a device already.
std::string WindowsDevice(const std::string& name) {
  if (name.size() < 4 || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
      std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
      std::toupper(static_cast<unsigned char>(name[2])) != 'M')
    return name;
  for (std::size_t i = 3; i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return name;
  return "\\\\.\\COM" + name.substr(3);
}

}  // namespace

TPortChoice NamedPort(const std::string& name, TPortSource source, TPortSystem system) {
  return {name, system == TPortSystem::Windows ? WindowsDevice(name) : name, source};
}

std::optional<std::string> ProcessEnvironment(const std::string& name) {
  if (const char* value = std::getenv(name.c_str())) return std::string(value);
  return std::nullopt;
}

TPortChoice ChoosePort(const std::optional<std::string>& commandLinePort, const TEnvironment& environment,
                       const TPortMemory& memory, TPortSystem system) {
  // An empty name is as good as none, wherever it comes from.
  if (commandLinePort && !commandLinePort->empty()) return NamedPort(*commandLinePort, TPortSource::CommandLine, system);
  if (system == TPortSystem::Posix && environment) {
    if (const auto com1 = environment("COM1"); com1 && !com1->empty())
      return NamedPort(*com1, TPortSource::Environment, system);
  }
  if (const auto remembered = memory.Remembered(); remembered && !remembered->empty())
    return NamedPort(*remembered, TPortSource::Remembered, system);
  // Port 1 as the serial component numbers it: the first on-board UART, COM1.
  if (system == TPortSystem::Windows) return {"COM1", "\\\\.\\COM1", TPortSource::Default};
  return {"/dev/ttyS0", "/dev/ttyS0", TPortSource::Default};
}

void RememberIfOpened(const TPortChoice& choice, bool opened, TPortMemory& memory) {
  if (opened && choice.Source == TPortSource::CommandLine) memory.Remember(choice.Name);
}
