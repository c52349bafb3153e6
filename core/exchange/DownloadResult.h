// How a download ended, as the exchange tells it and every record, event and
// document spells it; and why, when it did not succeed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// How a download ended. Spelt one way wherever it is written: the record,
// the JSON events, the documents (see ResultName).
enum class TDownloadResult { Success, Failure, Stopped };

// "success", "failure", "stopped"; and for a run that reached no receiver,
// "no-download".
const char* ResultName(TDownloadResult result);
const char* ResultName(const std::optional<TDownloadResult>& result);
// The result a name stands for; none for "no-download" or a name unknown.
std::optional<TDownloadResult> ResultFromName(const std::string& name);

// Why a run did not succeed: one cause a failure, spelt once (CauseName) for
// the record, the JSON result, the bench and the documents. The first group
// ends a download that reached a receiver, the second a run that reached none.
enum class TFailureCause {
  None,
  // A download.
  Rejected,      // the receiver kept answering a block with something but "ok."
  NoReply,       // the receiver fell silent where the exchange waited for it
  LineLost,      // the line hung up: the device or the far end went away
  Sequence,      // a sequence digit came wrong or not at all
  Identity,      // the receiver is not the one the description is for (or echoed another mode)
  Address,       // the download address: the receiver's differs, or the description breaks the rules
  Crc,           // the receiver's checks of the image it took failed
  Flash,         // writing the flash failed, or its check did
  VersionTable,  // the version update or the version table failed
  Image,         // the image file could not be read, or changed since it was read
  Stopped,       // the operator stopped it: a window closed, Ctrl-C, a terminate signal
  Interrupted,   // the program ended mid-download (killed, power cut); found at the next start
  // No download.
  NoPort,        // the port could not be opened, or went away while probing
  PortHeld,      // another program holds the port
  Description,   // the description file could not be read
  NoMode,        // no download mode was given, or not a known one
  NoReceiver,    // stopped before a receiver answered
};

// "rejected", "no-reply", "line-lost", ...; "" for None.
const char* CauseName(TFailureCause cause);
// The cause a name stands for; None for "" or a name unknown.
TFailureCause CauseFromName(const std::string& name);

// What the exchange knows of a failure: the cause, where it was, and what
// the receiver said last. Text is the plain line the log adds after the
// exchange's own lines.
struct TFailure {
  TFailureCause Cause = TFailureCause::None;
  std::string Stage;              // where the exchange waited or what it did ("DownLoad", "Flash Write")
  std::optional<int> Block;       // the block on the line, during the transfer
  std::string LastHeard;          // the receiver's last bytes, in hex ("6F6B"); empty for none
  std::string Text;               // "the box stopped answering at block 100: no reply for 10.0 s"
  bool operator==(const TFailure&) const = default;
};

// The bytes as the record keeps them: upper-case hex, no separators.
std::string HexOf(const std::string& bytes);
