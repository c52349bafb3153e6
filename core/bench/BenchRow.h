// One row of the bench: the typed events its station has sent about the box
// on its port, folded into what the row shows. No toolkit: the window draws
// it. Nothing here reads a log line: the stage, the bytes, the pace and the
// result come as the station's own values.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "Events.h"

enum class TRowResult { None, Success, Failed };

class TBenchRow {
public:
  explicit TBenchRow(std::string port) : FPort(std::move(port)) {}

  // A station starts on the port: the row waits, probing, for a box. The
  // last box's result stays shown until the next box answers.
  void StationStarted(double nowS);
  void Take(const TEvent& event, double nowS);
  // The bench asks the station to stop: an end without a box from here on
  // is the bench's doing, no failure of the station.
  void StopAsked() { FStopAsked = true; }
  // The station's process ended (exitStatus -1: it never started); one that
  // said no result has failed with its exit status or signal. `lastError`:
  // its last line on standard error, or why it could not start.
  void StationEnded(int exitStatus, bool signalled, const std::string& lastError, double nowS);

  const std::string& Port() const { return FPort; }
  const std::string& Identity() const { return FIdentity; }  // empty until the box answered
  const std::string& Stage() const { return FStage; }
  int DownloadPercent() const { return FDownloadPercent; }
  int FlashPercent() const { return FFlashPercent; }
  std::int64_t Bytes() const { return FBytes; }
  std::int64_t Total() const { return FTotal; }
  // Bytes a second and the seconds left, as the station worked them out;
  // none before it told them. The time left goes once the blocks are out.
  std::optional<double> Rate() const { return FRate; }
  std::optional<double> SecondsLeft() const;
  TRowResult Result() const { return FResult; }
  const std::string& ResultText() const { return FResultText; }
  // The box's time: from its answer to the end (the record's when written).
  std::optional<double> Seconds(double nowS) const;

  bool Running() const { return FRunning; }
  // Blocks are going out: closing now leaves the box without an image.
  bool Sending() const { return FRunning && FSending && FResult == TRowResult::None; }
  // The station ended without reaching a box (a port that would not open, a stop before any box).
  bool EndedWithoutBox() const { return !FRunning && !FBoxSeen; }
  int Passed() const { return FPassed; }
  int Failed() const { return FFailed; }
  // Stations on this port that failed before any box answered: the port
  // would not open, the station could not start or crashed, the
  // description was refused. A station the bench stopped is not counted.
  int StationFailures() const { return FStationFailures; }
  // The boxes that failed, by the cause their station gave (None where it
  // gave none: a crash, an older station).
  const std::map<TFailureCause, int>& FailedBy() const { return FFailedBy; }
  // Bumped on every change the window has to draw.
  std::uint64_t Version() const { return FVersion; }

private:
  void NewBox(double nowS);
  void TakeResult(const TEvent& e, double nowS);
  void End(TRowResult result, std::string text, double nowS);

  std::string FPort;
  std::string FIdentity;
  std::string FStage;
  int FDownloadPercent = 0, FFlashPercent = 0;
  std::int64_t FBytes = 0, FTotal = 0;
  std::optional<double> FRate, FSecondsLeft;
  TRowResult FResult = TRowResult::None;
  std::string FResultText;
  std::string FLastMessage;
  std::optional<double> FBoxStartS, FBoxEndS;
  bool FRunning = false;
  bool FSending = false;
  bool FBoxSeen = false;
  bool FResultSaid = false;
  bool FStopAsked = false;
  int FPassed = 0, FFailed = 0, FStationFailures = 0;
  TFailureCause FCause = TFailureCause::None;
  std::map<TFailureCause, int> FFailedBy;
  std::uint64_t FVersion = 0;
};

// The last line of `text` that is not blank (a station's last word on its
// standard error); empty when there is none.
std::string LastWrittenLine(const std::string& text);

// "1:05", "0:07": seconds as minutes and seconds.
std::string MinutesText(double seconds);
