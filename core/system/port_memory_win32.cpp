// The remembered port on Windows: a value under the user's own key of the
// registry, where earlier versions kept it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

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

}  // namespace

std::unique_ptr<TPortMemory> UserPortMemory() { return std::make_unique<TRegistryPortMemory>(); }

TPortSystem ThisPortSystem() { return TPortSystem::Windows; }
