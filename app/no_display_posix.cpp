#include "NoDisplay.h"

#include <filesystem>
#include <system_error>

namespace {

std::string Setting(const TEnvironment& environment, const std::string& name) {
  return environment(name).value_or(std::string());
}

// -platform NAME, --platform=NAME... among the toolkit's options; the last wins.
std::string PlatformOption(const std::vector<std::string>& args, std::string& displayOption) {
  std::string platform;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg.rfind("--", 0) == 0) arg.erase(0, 1);
    const auto eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    if (name != "-platform" && name != "-display") continue;
    std::string value = eq != std::string::npos ? arg.substr(eq + 1) : i + 1 < args.size() ? args[i + 1] : std::string();
    (name == "-platform" ? platform : displayOption) = value;
  }
  return platform;
}

std::vector<std::string> Platforms(const std::string& list) {
  std::vector<std::string> names;
  for (std::size_t start = 0; start <= list.size();) {
    std::size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    // "xcb:nograb": the plugin's options follow its name.
    std::string name = list.substr(start, end - start);
    name = name.substr(0, name.find(':'));
    if (!name.empty()) names.push_back(name);
    start = end + 1;
  }
  return names;
}

}  // namespace

std::optional<std::string> MissingDisplay(const std::vector<std::string>& toolkitArgs,
                                          const TEnvironment& environment) {
  std::string displayOption;
  std::string chosen = PlatformOption(toolkitArgs, displayOption);
  if (chosen.empty()) chosen = Setting(environment, "QT_QPA_PLATFORM");
  std::vector<std::string> platforms = Platforms(chosen);
  if (platforms.empty()) {
    // A Wayland desktop is tried first, X11 after it.
    if (Setting(environment, "XDG_SESSION_TYPE") == "wayland") platforms.push_back("wayland");
    platforms.push_back("xcb");
  }

  std::string missing;
  for (const std::string& platform : platforms) {
    std::string lacks;
    if (platform == "xcb") {
      if (!displayOption.empty() || !Setting(environment, "DISPLAY").empty()) return std::nullopt;
      lacks = "$DISPLAY is not set";
    } else if (platform.rfind("wayland", 0) == 0) {
      std::error_code error;
      const std::string runtime = Setting(environment, "XDG_RUNTIME_DIR");
      if (!Setting(environment, "WAYLAND_DISPLAY").empty() ||
          (!runtime.empty() && std::filesystem::exists(std::filesystem::path(runtime) / "wayland-0", error)))
        return std::nullopt;
      lacks = "$WAYLAND_DISPLAY is not set";
    } else {
      return std::nullopt;
    }
    if (missing.find(lacks) == std::string::npos) missing += (missing.empty() ? "" : " and ") + lacks;
  }
  return missing;
}

std::string NoDisplayText(const std::string& program, const std::string& missing) {
  return program + ": there is no display to open the window on (" + missing +
         "); stb-downloader --console works without one.\n";
}
