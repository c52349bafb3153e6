// --check: a mode's description file and image read as the download would
// read them, without a port, and every problem with them said at once, so
// that a mistake in a file is found at the desk rather than at a box.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DownloadJob.h"

struct TDescriptionCheck {
  std::uint8_t Mode = 0;
  std::string Path;                  // the mode's description file, as the mode table names it
  // What the download would use, when every field reads; its image facts only with ImageRead.
  std::optional<TDownloadJob> Job;
  bool ImageRead = false;
  std::string AddressAsWritten;      // characters 1-10 of line 12
  std::optional<std::int64_t> ImageBytes;  // the image's size, when it opened
  std::vector<std::string> Problems;  // one sentence each, without indent
  bool Good() const { return Problems.empty(); }
};

// The mode named by a number 1..8 or by its description file's name without
// its folder and .inc ("native", "bl"); none for anything else.
std::optional<std::uint8_t> ModeNamed(const std::string& name);

// The one mode's file and image, from the working folder.
TDescriptionCheck CheckDescription(std::uint8_t mode);

// What --check prints for one file.
std::string DescriptionCheckText(const TDescriptionCheck& check);

// The whole of --check: the one mode, or every mode whose description file is
// in ./inc. Appends what it prints to `text`; returns the exit status, 0 when
// every file checked is good, 2 when any has a problem or none was there.
int RunDescriptionChecks(std::optional<std::uint8_t> mode, std::string& text);
