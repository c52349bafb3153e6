#include "BenchRow.h"

#include <algorithm>
#include <cmath>

#include "Format.h"

namespace {

constexpr const char* kWaitingForBox = "waiting for a box";
constexpr const char* kWaitingForNextBox = "waiting for the next box";

// The numbered log lines ("3. Start DownLoad") name the stages; the number
// alone says where the box is.
int StageNumber(const std::string& line) {
  return line.size() > 2 && line[0] >= '0' && line[0] <= '9' && line[1] == '.' ? line[0] - '0' : -1;
}

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
  FSending = false;
  FLastMessage.clear();
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
  FFirstBytes = -1;
  FBoxStartS = nowS;
  FBoxEndS.reset();
}

void TBenchRow::Take(const TStationEvent& e, double nowS) {
  switch (e.Kind) {
    case TStationEventKind::Log:
      if (const int n = StageNumber(e.Text); n > 0) {
        // "0. Native Software Mode" is the mode, not a box.
        if (!FBoxSeen) NewBox(nowS);
        FStage = e.Text;
        FSending = n == 3;
      }
      break;
    case TStationEventKind::Receiver:
      if (!FBoxSeen) NewBox(nowS);
      FIdentity = e.Oui + "  " + e.Model + "  " + e.Hardware;
      break;
    case TStationEventKind::Progress:
      if (e.FlashPhase) {
        FFlashPercent = e.Percent;
        FSending = false;
        break;
      }
      FDownloadPercent = e.Percent;
      // The 100 is sent as the last block is accepted, and may come with the
      // byte count of the block before; the whole image is on the box.
      FBytes = e.Percent >= 100 ? e.Total : e.Bytes;
      FTotal = e.Total;
      if (e.Percent >= 100) FSending = false;
      // The pace is taken from the first block's report on, so the
      // handshake before it does not count as a slow line; the 100 may be
      // told only once the receiver's checks are over, so it is left out.
      if (FFirstBytes < 0 && e.Bytes > 0) {
        FFirstBytes = e.Bytes;
        FFirstProgressS = nowS;
      } else if (FFirstBytes >= 0 && nowS > FFirstProgressS && e.Bytes > FFirstBytes && e.Percent < 100) {
        FRate = double(e.Bytes - FFirstBytes) / (nowS - FFirstProgressS);
      }
      break;
    case TStationEventKind::Message:
      FLastMessage = OneLine(e.Text);
      return;  // nothing to draw
    case TStationEventKind::Result: {
      FResultSaid = true;
      if (e.Result == "success") {
        End(TRowResult::Success, "OK", nowS);
      } else if (e.Result == "no-download") {
        End(TRowResult::Failed, FLastMessage.empty() ? "no download" : FLastMessage, nowS);
      } else {
        const std::string at = e.FailedAt ? Trimmed(*e.FailedAt) : FLastMessage;
        if (e.Result == "stopped")
          End(TRowResult::Failed, at.empty() ? std::string("stopped") : "stopped: " + at, nowS);
        else
          End(TRowResult::Failed, at.empty() ? e.Result : at, nowS);
      }
      if (e.DurationS && FBoxSeen) FBoxStartS = *FBoxEndS - *e.DurationS;
      break;
    }
    case TStationEventKind::Question:
    case TStationEventKind::Unknown: return;
  }
  ++FVersion;
}

void TBenchRow::End(TRowResult result, std::string text, double nowS) {
  FResult = result;
  FResultText = std::move(text);
  FSending = false;
  // Only a box that answered is timed and counted, passed or failed.
  if (!FBoxSeen) return;
  FBoxEndS = nowS;
  if (result == TRowResult::Success)
    ++FPassed;
  else
    ++FFailed;
}

void TBenchRow::StationEnded(int exitStatus, bool signalled, const std::string& lastError, double nowS) {
  FRunning = false;
  FSending = false;
  if (!FResultSaid) {
    std::string text = exitStatus < 0 ? std::string("station could not start")
                       : signalled    ? Format("station killed by signal %d", exitStatus)
                                      : Format("station ended without a result (status %d)", exitStatus);
    if (!lastError.empty()) text += ": " + OneLine(lastError);
    End(TRowResult::Failed, text, nowS);
  }
  if (FStage == kWaitingForBox || FStage == kWaitingForNextBox) FStage = "stopped";
  ++FVersion;
}

std::optional<double> TBenchRow::SecondsLeft() const {
  if (!FRate || *FRate <= 0 || FResult != TRowResult::None || FDownloadPercent >= 100) return std::nullopt;
  return double(FTotal - FBytes) / *FRate;
}

std::optional<double> TBenchRow::Seconds(double nowS) const {
  if (!FBoxStartS || (!FBoxSeen && !FBoxEndS)) return std::nullopt;
  return (FBoxEndS ? *FBoxEndS : nowS) - *FBoxStartS;
}
