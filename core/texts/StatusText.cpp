#include "StatusText.h"

#include <cmath>

#include "DownloadJob.h"
#include "Format.h"
#include "PortList.h"

std::string PortReason(const std::string& device, const std::string& reason) {
  if (reason.rfind(device + ": ", 0) == 0) return reason.substr(device.size() + 2);
  return reason;
}

std::string PortText(const std::string& device, bool open, const std::string& reason) {
  const std::string text = "COM1 = " + device;
  // Open with a reason: the port did not take all its settings.
  if (open) {
    const std::string warning = PortReason(device, reason);
    return text + kStripSeparator + "115200 8N1" + kStripSeparator + "open" +
           (warning.empty() ? "" : kStripSeparator + warning);
  }
  const std::string why = PortReason(device, reason);
  return text + kStripSeparator + "not open" + (why.empty() ? "" : ": " + why);
}

std::string LostPortText(const std::string& device) {
  return "COM1 = " + device + kStripSeparator + "lost" + kStripSeparator + "waiting for it to come back";
}

std::string LostPortMessage(const std::string& device) {
  return "ERROR:Serial Line Lost !! COM1 = " + device + " went away while the receiver was being probed";
}

std::string TransferRateText(std::int32_t done, std::int32_t total, double elapsedS) {
  if (done <= 0 || elapsedS <= 0) return {};
  const double bytesPerS = done * double(kBlockBytes) / elapsedS;
  return RateText(bytesPerS, (total - done) * double(kBlockBytes) / bytesPerS);
}

std::string RateText(double bytesPerSecond, double secondsLeft) {
  if (bytesPerSecond <= 0) return {};
  const long left = std::lround(secondsLeft);
  const std::string time = left >= 3600 ? Format("%ld:%02ld:%02ld", left / 3600, left / 60 % 60, left % 60)
                                        : Format("%ld:%02ld", left / 60, left % 60);
  return PaceText(bytesPerSecond) + kStripSeparator + time + " left";
}

std::string PaceText(double bytesPerSecond) { return Format("%.1f KiB/s", bytesPerSecond / 1024.0); }

std::string WaitingText(const char* stage, std::uint32_t silentMs) {
  return Format("waiting for %s", stage) + kStripSeparator + Format("%u s", unsigned(silentMs / 1000));
}

std::string ActivityText(const TRunState& state) {
  if (state.Result)
    return *state.Result == TDownloadResult::Success   ? "download succeeded"
           : *state.Result == TDownloadResult::Stopped ? "download stopped"
                                                        : "download failed";
  if (!state.WaitingFor.empty()) return WaitingText(state.WaitingFor.c_str(), state.SilentMs);
  if (state.BytesPerSecond && (state.Phase == TRunPhase::Sending || state.Phase == TRunPhase::Verifying))
    return RateText(*state.BytesPerSecond, state.SecondsLeft.value_or(0));
  return {};
}

TStripState StripOf(const TRunState& state) {
  TStripState strip;
  strip.PortText = state.PortState == TPortState::Lost
                       ? LostPortText(state.Port)
                       : PortText(state.Port, state.PortState == TPortState::Open, state.PortProblem);
  strip.Warning = state.PortState != TPortState::Open;
  strip.Choosable = state.PortChoosable;
  strip.Text = strip.PortText;
  const auto add = [&strip](const std::string& part) {
    if (!part.empty()) strip.Text += kStripSeparator + part;
  };
  // The offer goes before the reason, which may run past the strip's end.
  if (strip.Warning && strip.Choosable) {
    const bool lost = state.PortState == TPortState::Lost;
    strip.Text = lost ? LostPortText(state.Port) : PortText(state.Port, false, "");
    add(kChoosePortOffer);
    if (!lost) add(PortReason(state.Port, state.PortProblem));
  }
  add(state.PortNote);
  add(ActivityText(state));
  return strip;
}

std::string PortOfferText(const TSerialDevice& device, const TPortHolder& holder) {
  std::string text = device.Path;
  if (!device.Description.empty()) text += "   " + device.Description;
  for (const std::string& name : device.Names) text += "   " + name;
  if (holder) text += "   [in use: " + HolderNote(holder) + "]";
  return text;
}

std::string PortListLine(const TSerialDevice& device, const TPortHolder& holder) {
  return device.Path + (device.Description.empty() ? "" : "  " + device.Description) +
         (holder ? "  [in use: " + HolderNote(holder) + "]" : "");
}

std::string HolderNote(const TPortHolder& holder) {
  const std::string program = holder.Program.empty() ? "another program" : holder.Program;
  const std::string process = " (process " + std::to_string(holder.Pid) + ")";
  switch (holder.Kind) {
    case TPortHolder::TKind::Open: return "open in " + program + process;
    case TPortHolder::TKind::LockFile: return "locked by " + program + process;
    case TPortHolder::TKind::None: break;
  }
  return {};
}

std::string HeldPortReason(const TPortHolder& holder) {
  return "the port is " + HolderNote(holder) + "; close it first";
}

std::string PortChosenLine(const std::string& was, const std::string& device, bool open, const std::string& reason) {
  const std::string why = PortReason(device, reason);
  return "  Port chosen: COM1 = " + device + " (was " + was + "), " +
         (open ? std::string("open") : "not open" + (why.empty() ? "" : ": " + why));
}
