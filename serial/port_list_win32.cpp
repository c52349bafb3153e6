// The serial ports of a Windows machine: the registry's list of the comm
// ports whose drivers have started, one value per port, its data the port's
// name (COM3) and its name the driver's device. The names people know the
// ports by ("USB Serial Port (COM3)") come from the device installer's list
// of the Ports class, where the drivers that say so have put them.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <map>

#include "PortList.h"

namespace {

// The Ports (COM & LPT) device class.
constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// COM3 -> "USB Serial Port (COM3)", for the ports whose drivers give a name.
std::map<std::string, std::string> FriendlyNames() {
  std::map<std::string, std::string> names;
  HDEVINFO set = ::SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return names;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char port[64] = {};
    DWORD size = sizeof port - 1;
    const LONG got = ::RegGetValueA(key, nullptr, "PortName", RRF_RT_REG_SZ, nullptr, port, &size);
    ::RegCloseKey(key);
    if (got != ERROR_SUCCESS) continue;
    BYTE friendly[256] = {};
    if (::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr, friendly, sizeof friendly - 1,
                                            nullptr))
      names[port] = reinterpret_cast<const char*>(friendly);
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return names;
}

}  // namespace

std::vector<TSerialDevice> SerialDevices() {
  std::vector<TSerialDevice> devices;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return devices;
  for (DWORD i = 0;; ++i) {
    char name[256];
    BYTE data[256];
    DWORD nameSize = sizeof name;
    DWORD dataSize = sizeof data - 1;
    DWORD type = 0;
    const LONG got = ::RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize);
    if (got == ERROR_NO_MORE_ITEMS) break;
    if (got != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataSize] = 0;
    TSerialDevice d;
    d.Path = reinterpret_cast<const char*>(data);
    d.Names.push_back(std::string(name, nameSize));
    if (!d.Path.empty()) devices.push_back(std::move(d));
  }
  ::RegCloseKey(key);
  const auto friendly = FriendlyNames();
  for (TSerialDevice& d : devices)
    if (const auto it = friendly.find(d.Path); it != friendly.end()) d.Names.insert(d.Names.begin(), it->second);
  // COM2 before COM10.
  std::sort(devices.begin(), devices.end(), [](const TSerialDevice& a, const TSerialDevice& b) {
    return a.Path.size() != b.Path.size() ? a.Path.size() < b.Path.size() : a.Path < b.Path;
  });
  return devices;
}

// Windows gives an adapter the same COM number whichever socket it is in.
std::string ReturningName(const std::string& path) { return path; }
