// A window needs a display. Without one (a session over SSH, a service)
// the toolkit would abort with its own words and status 134; the programs
// say so themselves first, in one sentence, and end with status 2.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "PortChoice.h"

// What is missing for the window, as the toolkit would choose its platform:
// its -platform option, else $QT_QPA_PLATFORM (a list, the first that works),
// else the desktop's own; a platform that needs no display (offscreen,
// minimal, a frame buffer) is taken as able. None when the window can open.
std::optional<std::string> MissingDisplay(const std::vector<std::string>& toolkitArgs,
                                          const TEnvironment& environment);
// The sentence for `program`, with what is missing.
std::string NoDisplayText(const std::string& program, const std::string& missing);
