// The one command-line parser of the downloader and the bench: what each
// takes, and what each refuses with its reason, before any window.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <map>
#include <optional>

#include "CommandLine.h"
#include "NoDisplay.h"
#include "TestNames.h"

namespace fs = std::filesystem;

namespace {

// "LINK" in a row stands for a symbolic link to the file "TARGET" stands for.
struct ParseRow {
  const char* name;
  TProgram program;
  std::vector<std::string> args;
  std::string error;  // empty: taken
};

class ParseCommandLineTest : public ::testing::TestWithParam<ParseRow> {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/stb-cmdline-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    FDir = tmpl;
    FTarget = (FDir / "ttyUSB0").string();
    FLink = (FDir / "usb-FTDI_FT232R-if00-port0").string();
    std::ofstream(FTarget) << "";
    fs::create_symlink(FTarget, FLink);
  }
  void TearDown() override { fs::remove_all(FDir); }

  std::string Fill(std::string text) const {
    for (const auto& [token, path] : {std::pair{std::string("LINK"), FLink}, std::pair{std::string("TARGET"), FTarget}})
      for (std::size_t at; (at = text.find(token)) != std::string::npos;) text.replace(at, token.size(), path);
    return text;
  }

  fs::path FDir;
  std::string FTarget, FLink;
};

TEST_P(ParseCommandLineTest, TakesOrRefusesWithItsReason) {
  std::vector<std::string> args;
  for (const std::string& a : GetParam().args) args.push_back(Fill(a));
  TCommandLine cl;
  std::string error;
  const bool taken = ParseCommandLine(args, cl, error, GetParam().program);
  EXPECT_EQ(error, Fill(GetParam().error));
  EXPECT_EQ(taken, GetParam().error.empty());
}

constexpr TProgram D = TProgram::Downloader;
constexpr TProgram B = TProgram::Bench;

INSTANTIATE_TEST_SUITE_P(
    Rows, ParseCommandLineTest,
    ::testing::Values(
        ParseRow{"OnePort", D, {"--port", "/dev/ttyUSB0"}, ""},
        ParseRow{"PortWithEquals", D, {"--port=/dev/ttyUSB0", "--console"}, ""},
        ParseRow{"OptionNameAfterEqualsIsAName", D, {"--port=--console"}, ""},
        ParseRow{"OptionForAPort", D, {"--port", "--console"},
                 "--port: needs a device, e.g. --port /dev/ttyUSB0 (\"--console\" is an option; write "
                 "--port=--console for a name that starts with -)"},
        ParseRow{"ShortOptionForAPort", D, {"--port", "-h"},
                 "--port: needs a device, e.g. --port /dev/ttyUSB0 (\"-h\" is an option; write --port=-h for a "
                 "name that starts with -)"},
        ParseRow{"NothingForAPort", D, {"--console", "--port"}, "--port: needs a device, e.g. --port /dev/ttyUSB0"},
        ParseRow{"OptionForATrace", D, {"--trace", "--json", "--console"},
                 "--trace: needs a file, e.g. --trace wire.txt (\"--json\" is an option; write --trace=--json for "
                 "a name that starts with -)"},
        ParseRow{"OptionForAnAnswer", D, {"--console", "--address-mismatch", "--json"},
                 "--address-mismatch: stop or continue (\"--json\" is an option; write --address-mismatch=--json "
                 "for a name that starts with -)"},
        ParseRow{"WrongAnswer", D, {"--console", "--address-mismatch", "maybe"}, "--address-mismatch: stop or continue"},
        ParseRow{"TwoPorts", D, {"--port", "/dev/ttyUSB0", "--port", "/dev/ttyUSB1"},
                 "--port: given twice (/dev/ttyUSB0 and /dev/ttyUSB1); the downloader uses one port"},
        ParseRow{"TheSamePortTwice", D, {"--port", "/dev/ttyUSB0", "--port=/dev/ttyUSB0"},
                 "--port: given twice (/dev/ttyUSB0 and /dev/ttyUSB0); the downloader uses one port"},
        ParseRow{"TwoTraces", D, {"--trace", "a.txt", "--trace", "b.txt"}, "--trace: given twice (a.txt and b.txt)"},
        ParseRow{"TwoAnswersThatDiffer", D, {"--console", "--address-mismatch", "stop", "--address-mismatch", "continue"},
                 "--address-mismatch: given twice, as stop and as continue"},
        ParseRow{"TheSameAnswerTwice", D, {"--console", "--address-mismatch", "stop", "--address-mismatch=stop"}, ""},
        ParseRow{"ToolkitOptionKeepsItsValue", D, {"-platform", "offscreen", "--port", "/dev/ttyUSB0"}, ""},
        ParseRow{"BenchTwoPorts", B, {"--port", "/dev/ttyUSB0", "--port", "/dev/ttyUSB1"}, ""},
        ParseRow{"BenchTheSamePortTwice", B, {"--port", "/dev/ttyUSB0", "--port", "/dev/ttyUSB1", "--port", "/dev/ttyUSB0"},
                 "--port: /dev/ttyUSB0 is given twice; a port can serve one row only"},
        ParseRow{"BenchALinkAndItsTarget", B, {"--port", "LINK", "--port", "TARGET"},
                 "--port: TARGET is given twice (LINK is the same port); a port can serve one row only"},
        ParseRow{"BenchAPathWrittenTwoWays", B, {"--port", "TARGET", "--port", "/tmp/../TARGET"},
                 "--port: /tmp/../TARGET is given twice (TARGET is the same port); a port can serve one row only"},
        ParseRow{"BenchOptionForAPort", B, {"--port", "--continuous"},
                 "--port: needs a device, e.g. --port /dev/ttyUSB0 (\"--continuous\" is an option; write "
                 "--port=--continuous for a name that starts with -)"}),
    RowName());

}  // namespace

namespace {

// Whether the window can open, as the toolkit would choose its platform.
struct DisplayRow {
  const char* name;
  std::map<std::string, std::string> environment;
  std::vector<std::string> toolkitArgs;
  std::optional<std::string> missing;  // none: the window can open
};

class MissingDisplayTest : public ::testing::TestWithParam<DisplayRow> {};

TEST_P(MissingDisplayTest, AsTheToolkitWouldChoose) {
  const auto& env = GetParam().environment;
  const TEnvironment environment = [&env](const std::string& name) -> std::optional<std::string> {
    const auto it = env.find(name);
    return it == env.end() ? std::nullopt : std::optional(it->second);
  };
  EXPECT_EQ(MissingDisplay(GetParam().toolkitArgs, environment), GetParam().missing);
}

const std::optional<std::string> kNoX = "$DISPLAY is not set";
const std::optional<std::string> kNoWayland = "$WAYLAND_DISPLAY is not set";

INSTANTIATE_TEST_SUITE_P(
    Rows, MissingDisplayTest,
    ::testing::Values(
        DisplayRow{"NothingAtAll", {}, {}, kNoX},
        DisplayRow{"EmptyDisplay", {{"DISPLAY", ""}}, {}, kNoX},
        DisplayRow{"X11", {{"DISPLAY", ":0"}}, {}, std::nullopt},
        DisplayRow{"WaylandDesktop", {{"XDG_SESSION_TYPE", "wayland"}, {"WAYLAND_DISPLAY", "wayland-1"}}, {}, std::nullopt},
        DisplayRow{"WaylandDesktopGone", {{"XDG_SESSION_TYPE", "wayland"}}, {}, "$WAYLAND_DISPLAY is not set and $DISPLAY is not set"},
        DisplayRow{"OffscreenAsked", {{"QT_QPA_PLATFORM", "offscreen"}}, {}, std::nullopt},
        DisplayRow{"MinimalAsked", {{"QT_QPA_PLATFORM", "minimal"}}, {}, std::nullopt},
        DisplayRow{"OffscreenOnTheCommandLine", {}, {"-platform", "offscreen"}, std::nullopt},
        DisplayRow{"OffscreenWithEquals", {}, {"--platform=offscreen"}, std::nullopt},
        DisplayRow{"CommandLineBeforeSetting", {{"QT_QPA_PLATFORM", "offscreen"}}, {"-platform", "xcb"}, kNoX},
        DisplayRow{"XcbAskedWithoutDisplay", {{"QT_QPA_PLATFORM", "xcb"}}, {}, kNoX},
        DisplayRow{"XcbWithItsOptions", {{"QT_QPA_PLATFORM", "xcb:nograb"}, {"DISPLAY", ":1"}}, {}, std::nullopt},
        DisplayRow{"DisplayOnTheCommandLine", {}, {"-display", ":0"}, std::nullopt},
        DisplayRow{"WaylandAskedOverX11", {{"QT_QPA_PLATFORM", "wayland"}, {"DISPLAY", ":0"}}, {}, kNoWayland},
        DisplayRow{"ListFallsBackToOffscreen", {{"QT_QPA_PLATFORM", "wayland;offscreen"}}, {}, std::nullopt},
        DisplayRow{"ListOfTwoWithout", {{"QT_QPA_PLATFORM", "wayland;xcb"}}, {}, "$WAYLAND_DISPLAY is not set and $DISPLAY is not set"}),
    RowName());

TEST(NoDisplayText, IsOneSentenceNamingTheConsole) {
  EXPECT_EQ(NoDisplayText("stb-bench", "$DISPLAY is not set"),
            "stb-bench: there is no display to open the window on ($DISPLAY is not set); "
            "stb-downloader --console works without one.\n");
}

}  // namespace
