// A file the operator named that cannot be used. what() is the text of the
// message box, worded as it always was; Detail() is one more line for the
// log that says which file, which line and characters, the text found there,
// and what to do about it.
#pragma once

#include <stdexcept>
#include <string>

class TFileError : public std::runtime_error {
public:
  explicit TFileError(const std::string& message, std::string detail = {})
      : std::runtime_error(message), FDetail(std::move(detail)) {}
  const std::string& Detail() const noexcept { return FDetail; }

private:
  std::string FDetail;
};
