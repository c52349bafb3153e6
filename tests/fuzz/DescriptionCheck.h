// One fuzz input through the description file reader, with the reader's
// promises checked against an independent reading. Shared by the libFuzzer
// target and the regression tests that replay the corpus and past findings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The folder the whole reading works in: holds image.bin (3000 bytes) and
// the description file written for each input. Created once.
const std::string& DescriptionScratchFolder();

// Empty when every promise held; otherwise what went wrong. Never throws.
std::string CheckDescriptionInput(const std::uint8_t* data, std::size_t size);
