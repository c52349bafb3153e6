// The serial ports of a Linux machine: the ttys with a device behind them,
// each with its /dev/serial/by-id names (which stay the same whichever USB
// socket the adapter is in).
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "PortList.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFirstLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// A USB adapter's maker and model, as the device above its tty tells them.
std::string UsbDescription(const fs::path& ttyDevice) {
  std::error_code ec;
  fs::path dir = fs::canonical(ttyDevice, ec);
  for (int up = 0; !ec && up < 4 && dir.has_relative_path(); ++up, dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec)) continue;
    const std::string maker = ReadFirstLine(dir / "manufacturer");
    const std::string model = ReadFirstLine(dir / "product");
    return maker.empty() ? model : model.empty() ? maker : maker + " " + model;
  }
  return {};
}

}  // namespace

std::vector<TSerialDevice> SerialDevices() {
  std::map<std::string, std::vector<std::string>> byId;
  std::error_code ec;
  for (const auto& link : fs::directory_iterator("/dev/serial/by-id", ec)) {
    std::error_code lec;
    const fs::path target = fs::canonical(link.path(), lec);
    if (!lec) byId[target.string()].push_back(link.path().string());
  }

  std::vector<TSerialDevice> devices;
  for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
    const std::string name = entry.path().filename().string();
    // Consoles and pseudo-terminals have no device behind them.
    std::error_code dec;
    if (!fs::exists(entry.path() / "device", dec)) continue;
    // The on-board ports are all listed; type 0 means no UART answered there.
    if (fs::exists(entry.path() / "type", dec) && ReadFirstLine(entry.path() / "type") == "0") continue;
    TSerialDevice d;
    d.Path = "/dev/" + name;
    if (!fs::exists(d.Path, dec)) continue;
    if (auto it = byId.find(d.Path); it != byId.end()) d.Names = it->second;
    d.Description = UsbDescription(entry.path() / "device");
    std::sort(d.Names.begin(), d.Names.end());
    devices.push_back(std::move(d));
  }
  std::sort(devices.begin(), devices.end(), [](const TSerialDevice& a, const TSerialDevice& b) {
    // ttyS2 before ttyS10.
    if (a.Path.size() != b.Path.size() && a.Path.substr(0, a.Path.find_first_of("0123456789")) ==
                                              b.Path.substr(0, b.Path.find_first_of("0123456789")))
      return a.Path.size() < b.Path.size();
    return a.Path < b.Path;
  });
  return devices;
}

std::string ReturningName(const std::string& path) {
  std::error_code ec;
  const fs::path target = fs::canonical(path, ec);
  if (ec) return path;
  std::vector<std::string> names;
  for (const auto& link : fs::directory_iterator("/dev/serial/by-id", ec)) {
    std::error_code lec;
    if (fs::canonical(link.path(), lec) == target && !lec) names.push_back(link.path().string());
  }
  if (!names.empty()) return *std::min_element(names.begin(), names.end());
  if (fs::path(path).lexically_normal().parent_path() == "/dev/pts") return {};
  return path;
}
