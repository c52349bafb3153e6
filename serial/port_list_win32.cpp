// The serial ports of a Windows machine: the registry's list of the comm
// ports whose drivers have started, one value per port, its data the port's
// name (COM3) and its name the driver's device.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>

#include "PortList.h"

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
  // COM2 before COM10.
  std::sort(devices.begin(), devices.end(), [](const TSerialDevice& a, const TSerialDevice& b) {
    return a.Path.size() != b.Path.size() ? a.Path.size() < b.Path.size() : a.Path < b.Path;
  });
  return devices;
}
