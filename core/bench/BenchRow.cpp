#include "BenchRow.h"

#include <algorithm>
#include <cmath>

#include "Format.h"

namespace {

constexpr const char* kWaitingForBox = "waiting for a box";
constexpr const char* kWaitingForNextBox = "waiting for the next box";

// The step of the transfer: blocks go out while the row stands at it.
constexpr int kSendingStep = 3;

// The log's indent and its "-. " bullets go: a row has room for the words.
std::string Trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" -.");
  const auto last = s.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

// A message may carry the system's reason on a second line: one row, one line.
std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n') c = ' ';
  return Trimmed(s);
}

}  // namespace

std::string MinutesText(double seconds) {
  const long whole = std::lround(std::max(0.0, seconds));
  return Format("%ld:%02ld", whole / 60, whole % 60);
}

void TBenchRow::StationStarted(double) {
  FRunning = true;
  FBoxSeen = false;
  FResultSaid = false;
  FStopAsked = false;
  FSending = false;
  FLastMessage.clear();
  FCause = TFailureCause::None;
  FStage = FResult == TRowResult::None ? kWaitingForBox : kWaitingForNextBox;
  ++FVersion;
}

// The box answered: whatever the row showed of the one before goes.
void TBenchRow::NewBox(double nowS) {
  FBoxSeen = true;
  FResult = TRowResult::None;
  FResultText.clear();
  FDownloadPercent = FFlashPercent = 0;
  FBytes = FTotal = 0;
  FRate.reset();
  FSecondsLeft.reset();
  FBoxStartS = nowS;
  FBoxEndS.reset();
}

void TBenchRow::Take(const TEvent& e, double nowS) {
  switch (e.Kind) {
    case TEventKind::Step:
      // Step 0 is the mode being chosen, not a box.
      if (e.Step > 0) {
        if (!FBoxSeen) NewBox(nowS);
        FStage = e.Text;
        FSending = e.Step == kSendingStep;
      }
      break;
    case TEventKind::Receiver:
      if (!FBoxSeen) NewBox(nowS);
      FIdentity = e.Receiver.Oui + "  " + e.Receiver.Model + "  " + e.Receiver.Hardware;
      break;
    case TEventKind::Progress:
      FDownloadPercent = e.TransferPercent;
      FFlashPercent = e.FlashPercent;
      if (e.BytesPerSecond) FRate = e.BytesPerSecond;
      FSecondsLeft = e.SecondsLeft;
      if (e.FlashPhase) {
        FSending = false;
        break;
      }
      // At the 100 the whole image is on the box, whatever bytes came with it.
      FBytes = e.TransferPercent >= 100 ? e.Total : e.Bytes;
      FTotal = e.Total;
      if (e.TransferPercent >= 100) FSending = false;
      break;
    case TEventKind::Message:
      FLastMessage = OneLine(e.Text);
      return;  // nothing to draw
    case TEventKind::Result:
      TakeResult(e, nowS);
      break;
    case TEventKind::Log:
    case TEventKind::Question:
    case TEventKind::Unknown: return;
  }
  ++FVersion;
}

// How the box ended, as its station said.
void TBenchRow::TakeResult(const TEvent& e, double nowS) {
  FResultSaid = true;
  FCause = e.Failure.Cause;
  if (!e.Result) {
    End(TRowResult::Failed, FLastMessage.empty() ? "no download" : FLastMessage, nowS);
  } else if (*e.Result == TDownloadResult::Success) {
    End(TRowResult::Success, "OK", nowS);
  } else {
    const std::string at = e.FailedAt ? Trimmed(*e.FailedAt) : FLastMessage;
    if (*e.Result == TDownloadResult::Stopped)
      End(TRowResult::Failed, at.empty() ? std::string("stopped") : "stopped: " + at, nowS);
    else
      End(TRowResult::Failed, at.empty() ? std::string(ResultName(e.Result)) : at, nowS);
  }
  // The record's time is the station's own: from the box's answer to its end.
  if (e.Record && FBoxSeen) FBoxStartS = *FBoxEndS - e.Record->DurationS;
}

void TBenchRow::End(TRowResult result, std::string text, double nowS) {
  FResult = result;
  FResultText = std::move(text);
  FSending = false;
  // Only a box that answered is timed and counted, passed or failed.
  if (!FBoxSeen) {
    if (result == TRowResult::Failed && !FStopAsked) ++FStationFailures;
    return;
  }
  FBoxEndS = nowS;
  if (result == TRowResult::Success) {
    ++FPassed;
  } else {
    ++FFailed;
    ++FFailedBy[FCause];
  }
}

void TBenchRow::StationEnded(int exitStatus, bool signalled, const std::string& lastError, double nowS) {
  FRunning = false;
  FSending = false;
  if (!FResultSaid) {
    // A crash on Windows ends with its exception's code, 0xC0000005 and the like.
    std::string text = exitStatus == -1 ? std::string("station could not start")
                       : signalled      ? Format("station killed by signal %d", exitStatus)
                       : exitStatus < 0 ? Format("station ended without a result (status 0x%08X)", unsigned(exitStatus))
                                        : Format("station ended without a result (status %d)", exitStatus);
    if (!lastError.empty()) text += ": " + OneLine(lastError);
    End(TRowResult::Failed, text, nowS);
  }
  if (FStage == kWaitingForBox || FStage == kWaitingForNextBox) FStage = "stopped";
  ++FVersion;
}

std::optional<double> TBenchRow::SecondsLeft() const {
  if (FResult != TRowResult::None || FDownloadPercent >= 100) return std::nullopt;
  return FSecondsLeft;
}

std::optional<double> TBenchRow::Seconds(double nowS) const {
  if (!FBoxStartS || (!FBoxSeen && !FBoxEndS)) return std::nullopt;
  return (FBoxEndS ? *FBoxEndS : nowS) - *FBoxStartS;
}

std::string LastWrittenLine(const std::string& text) {
  std::string last;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (std::string line = text.substr(start, end - start); line.find_first_not_of(" \r") != std::string::npos)
      last = std::move(line);
    start = end + 1;
  }
  return last;
}
