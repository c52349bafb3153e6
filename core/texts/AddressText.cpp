#include "AddressText.h"

#include <filesystem>
#include <system_error>

#include "Format.h"

std::string AddressText(std::uint32_t address) { return Format("0x%08X", unsigned(address)); }

std::string AddressQuestionDetail(const std::string& descriptionFile, std::uint32_t fileAddress,
                                  std::uint32_t boxAddress) {
  return "Download address in " + descriptionFile + ": " + AddressText(fileAddress) +
         "   Download address of the receiver: " + AddressText(boxAddress);
}

std::string DescriptionFileNote(const std::string& descriptionFile) {
  // The folder matters as much as the name: the tool reads it relative to
  // wherever it was started.
  std::error_code error;
  const auto where = std::filesystem::absolute(descriptionFile, error).lexically_normal();
  return "The installation file of this mode: " + (error ? descriptionFile : where.string());
}
