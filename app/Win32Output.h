// What a Windows program entry needs before it has a window: its command line
// as UTF-8, and a way to answer --help, --version or a wrong option whether
// it was started from a command prompt, a script or Explorer.
#pragma once

#include <string>
#include <vector>

// The command line as UTF-8, whatever the ANSI code page: a port or a
// folder may carry any name. Without the program's own name.
std::vector<std::string> Arguments();

// To the output (or error output) the program inherited when there is one,
// else to the console of the program that started it, else in a message
// box titled `title`.
void Tell(const std::string& text, bool error, const char* title);

// Only to an output the program inherited (a file, a pipe); false when it has none.
bool TellInherited(const std::string& text);
