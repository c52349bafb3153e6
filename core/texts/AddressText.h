// What the download address question shows beside its own words: both
// addresses, and which description file the operator is to look at.
#pragma once

#include <cstdint>
#include <string>

// "0x80010000": as line 12 of a description file is meant to be written.
std::string AddressText(std::uint32_t address);
// One line: the description file's address and the receiver's.
std::string AddressQuestionDetail(const std::string& descriptionFile, std::uint32_t fileAddress,
                                  std::uint32_t boxAddress);
// One line naming the description file of the mode, where it lies.
std::string DescriptionFileNote(const std::string& descriptionFile);
