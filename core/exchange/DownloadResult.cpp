#include "DownloadResult.h"

#include <array>
#include <utility>

const char* ResultName(TDownloadResult result) {
  switch (result) {
    case TDownloadResult::Success: return "success";
    case TDownloadResult::Stopped: return "stopped";
    case TDownloadResult::Failure: break;
  }
  return "failure";
}

const char* ResultName(const std::optional<TDownloadResult>& result) {
  return result ? ResultName(*result) : "no-download";
}

std::optional<TDownloadResult> ResultFromName(const std::string& name) {
  for (TDownloadResult r : {TDownloadResult::Success, TDownloadResult::Failure, TDownloadResult::Stopped})
    if (name == ResultName(r)) return r;
  return std::nullopt;
}

namespace {

constexpr std::array<std::pair<TFailureCause, const char*>, 17> kCauseNames{{
    {TFailureCause::Rejected, "rejected"},
    {TFailureCause::NoReply, "no-reply"},
    {TFailureCause::LineLost, "line-lost"},
    {TFailureCause::Sequence, "sequence"},
    {TFailureCause::Identity, "identity"},
    {TFailureCause::Address, "address"},
    {TFailureCause::Crc, "crc"},
    {TFailureCause::Flash, "flash"},
    {TFailureCause::VersionTable, "version-table"},
    {TFailureCause::Image, "image"},
    {TFailureCause::Stopped, "stopped"},
    {TFailureCause::Interrupted, "interrupted"},
    {TFailureCause::NoPort, "no-port"},
    {TFailureCause::PortHeld, "port-held"},
    {TFailureCause::Description, "description"},
    {TFailureCause::NoMode, "no-mode"},
    {TFailureCause::NoReceiver, "no-receiver"},
}};

}  // namespace

const char* CauseName(TFailureCause cause) {
  for (const auto& [c, name] : kCauseNames)
    if (c == cause) return name;
  return "";
}

TFailureCause CauseFromName(const std::string& name) {
  for (const auto& [c, n] : kCauseNames)
    if (name == n) return c;
  return TFailureCause::None;
}

std::string HexOf(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (char ch : bytes) {
    const auto b = std::uint8_t(ch);
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xF];
  }
  return hex;
}
