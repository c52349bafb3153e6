// On Windows the port is remembered in the registry, under
// HKCU\Software\Tarnwell\stb-downloader, value "port".
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cctype>

#include "PortMemory.h"

namespace {
constexpr const char* kKey = "Software\\Tarnwell\\stb-downloader";
constexpr const char* kValue = "port";
}  // namespace

std::string RememberedPort() {
  char buffer[256] = {};
  DWORD size = sizeof buffer - 1;
  if (::RegGetValueA(HKEY_CURRENT_USER, kKey, kValue, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return {};
  return buffer;
}

void RememberPort(const std::string& device) {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  ::RegSetValueExA(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(device.c_str()), DWORD(device.size() + 1));
  ::RegCloseKey(key);
}

std::string PortDeviceFor(const std::string& name) {
  if (name.size() < 4 || (name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') ||
      (name[2] != 'M' && name[2] != 'm'))
    return name;
  for (std::size_t i = 3; i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return name;
  return "\\\\.\\COM" + name.substr(3);
}
