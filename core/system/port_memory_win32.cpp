// The remembered ports on Windows: values under the user's own keys of the
// registry, the downloader's where earlier versions kept it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <vector>

#include "PortChoice.h"
#include "PortMemory.h"

namespace {

constexpr const char* kKey = "Software\\Tarnwell\\stb-downloader";
constexpr const char* kValue = "port";

class TRegistryPortMemory : public TPortMemory {
public:
  std::optional<std::string> Remembered() const override {
    char buffer[256] = {};
    DWORD size = sizeof buffer - 1;
    if (::RegGetValueA(HKEY_CURRENT_USER, kKey, kValue, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
      return std::nullopt;
    return std::string(buffer);
  }

  void Remember(const std::string& port) override {
    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
      return;
    ::RegSetValueExA(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()), DWORD(port.size() + 1));
    ::RegCloseKey(key);
  }
};

constexpr const char* kBenchKey = "Software\\Tarnwell\\stb-bench";
constexpr const char* kBenchValue = "ports";

// One string a port, each ended by its NUL, the list by one more.
class TRegistryPortListMemory : public TPortListMemory {
public:
  std::vector<std::string> Remembered() const override {
    DWORD size = 0;
    if (::RegGetValueA(HKEY_CURRENT_USER, kBenchKey, kBenchValue, RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size) !=
        ERROR_SUCCESS)
      return {};
    std::string buffer(size, '\0');
    if (::RegGetValueA(HKEY_CURRENT_USER, kBenchKey, kBenchValue, RRF_RT_REG_MULTI_SZ, nullptr, buffer.data(), &size) !=
        ERROR_SUCCESS)
      return {};
    std::vector<std::string> ports;
    for (std::size_t start = 0; start < buffer.size() && buffer[start] != '\0';) {
      const std::size_t end = buffer.find('\0', start);
      ports.push_back(buffer.substr(start, end - start));
      start = end + 1;
    }
    return ports;
  }

  void Remember(const std::vector<std::string>& ports) override {
    std::string value;
    for (const std::string& port : ports) value += port + '\0';
    value += '\0';
    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, kBenchKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
      return;
    ::RegSetValueExA(key, kBenchValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()), DWORD(value.size()));
    ::RegCloseKey(key);
  }
};

}  // namespace

std::unique_ptr<TPortMemory> UserPortMemory() { return std::make_unique<TRegistryPortMemory>(); }

std::unique_ptr<TPortListMemory> UserBenchPortMemory() { return std::make_unique<TRegistryPortListMemory>(); }

TPortSystem ThisPortSystem() { return TPortSystem::Windows; }
