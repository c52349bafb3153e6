// Programs under test run as processes of their own: standard input from a
// file, standard output and error into files in the same folder.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

// argv[0] is the program's path. The environment is this process's, less
// every variable named in `drop` (by name, "DISPLAY"), plus `set`
// ("NAME=value", which also drops the inherited one). Its process id, or -1
// when it could not be started.
pid_t SpawnProgram(const std::filesystem::path& dir, const std::string& input, std::vector<std::string> argv,
                   const std::vector<std::string>& set = {},
                   const std::vector<std::string>& drop = {"DISPLAY", "WAYLAND_DISPLAY"});

// Its exit status; -1 when it had not ended after timeoutMs (it is then
// killed), -3 when a signal ended it.
int AwaitExit(pid_t pid, int timeoutMs);

// The whole of a file, empty when there is none.
std::string ReadAll(const std::filesystem::path& path);

// A command line run by the shell with no display in its environment
// (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM unset), its standard error
// joined to its output: what it said, and its exit status (-1 when it did
// not exit by itself).
struct TCommandRun {
  std::string Said;
  int Status = -1;
};
TCommandRun RunWithoutDisplay(const std::string& command);
