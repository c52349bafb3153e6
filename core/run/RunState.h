// The state of one run as every face shows it: a value the core keeps and
// hands to its face when something worth drawing changed, at the pace the
// core sets. A face draws it; none reads the log's texts back for data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "DownloadResult.h"

// Where the run is.
enum class TRunPhase {
  Starting,     // the components are being made, the port opened
  Probing,      // waiting for the receiver (with or without a mode chosen)
  Checking,     // the receiver answered: identity, versions, address
  Sending,      // blocks go out
  Verifying,    // the receiver's checks and writes after the last block
  Ended,        // the download is over (see Result), or the run ends without one
};

// The port COM1 names, as the strip shows it.
enum class TPortState { Open, NotOpen, Lost };

// The receiver's identity as it reported it, each field as text.
struct TReceiverIdentity {
  std::string Oui;              // "1234"
  std::string Model;            // "0A.01"
  std::string Hardware;
  std::string Bootloader;
  std::string Native;
  std::string DownloadAddress;  // "0x80010000"; empty when it never came
  bool operator==(const TReceiverIdentity&) const = default;
};

struct TRunState {
  TRunPhase Phase = TRunPhase::Starting;
  std::uint8_t Mode = 0;  // 0: none chosen yet

  // The last numbered step the log told (0 the mode, 1 the check, ... 7 the
  // version table); -1 before any. StepLine is that log line, to be shown
  // as it stands.
  int Step = -1;
  std::string StepLine;

  // The transfer: bytes the receiver accepted, of the image's whole blocks.
  std::int64_t BytesSent = 0;
  std::int64_t BytesTotal = 0;
  int TransferPercent = 0;  // ProgressBar1
  int FlashPercent = 0;     // ProgressBar2
  // Payload bytes a second since the first block went out, and the seconds
  // left at that pace; none before the first block was accepted.
  std::optional<double> BytesPerSecond;
  std::optional<double> SecondsLeft;
  bool Busy = false;  // the busy animation plays

  // Where the exchange waits for a receiver that has gone quiet, and how long.
  std::string WaitingFor;  // empty: not waiting
  std::uint32_t SilentMs = 0;

  std::string Port;  // the device COM1 is on
  TPortState PortState = TPortState::NotOpen;
  std::string PortProblem;  // why it is not open, or what its driver did not take
  // The operator may choose another port now: not while a download runs.
  bool PortChoosable = false;
  // What the strip adds about the port: that the operator chose it, or why
  // it cannot change now; empty for nothing.
  std::string PortNote;

  std::optional<TReceiverIdentity> Receiver;

  // The question being asked, while it is.
  std::string Question;
  // The download address question's two addresses ("0x80010000"), while it is asked.
  std::string QuestionFileAddress, QuestionBoxAddress;

  std::optional<TDownloadResult> Result;  // once a download that reached a receiver ended
  std::optional<std::string> FailedAt;    // the line that says where it failed
  // Why the run did not succeed, a download or none (Cause None while it may
  // still); the plain line of it is Failure.Text.
  TFailure Failure;
  // Why the record of the download could not be written; empty when it was.
  std::string RecordError;
  std::int32_t Blocks = 0, BlocksAccepted = 0, Resends = 0;

  // Blocks go out: between two states the face may rest.
  bool Paced = false;
  // A window closes on this; a terminal face ends.
  bool Closing = false;
};
