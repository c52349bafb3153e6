// What the exchange tells of a download as it goes, in its own words: the
// log and its numbered steps, the blocks and bytes the receiver took, the
// flash write's progress, its waits, its questions and how it ended. The run
// (TDownloadConsole) turns that into what its face shows; a test records it.
#pragma once

#include <cstdint>
#include <string>

#include "DeviceCheck.h"
#include "DownloadJob.h"
#include "DownloadResult.h"

// How far the transfer is once the receiver accepted a block.
struct TTransferProgress {
  std::int32_t Done = 0;        // blocks accepted
  std::int32_t Blocks = 0;      // of the image's
  std::int64_t BytesSent = 0;   // the bytes of the blocks accepted
  std::int64_t BytesTotal = 0;  // of the image's whole blocks
  int Percent = 0;              // what the Down Load bar (ProgressBar1) shows
};

// The two download addresses that differ: the description file's and the receiver's.
struct TAddressPair {
  std::uint32_t File = 0;
  std::uint32_t Box = 0;
};

class TDownloadView {
public:
  virtual ~TDownloadView() = default;

  virtual void AppendLog(const std::string& line) = 0;
  // A numbered step's line (1. to 7.), logged here in place of AppendLog.
  virtual void AppendStep(int step, const std::string& line) { AppendLog(line); (void)step; }

  // Every call below returns at once: none may hold up the exchange or
  // handle the operator's input, but for the questions and BetweenBlocks.
  // The receiver answered the mode word: no probe may go out from here on,
  // not even inside a question.
  virtual void ProbeAnswered() = 0;
  // From here on there is a download.
  virtual void Reached(std::uint8_t /*mode*/, const TDownloadJob& /*job*/) {}
  // The receiver's identification; its download address once it came.
  virtual void Identified(const TDeviceInfo& /*info*/, bool /*addressRead*/) {}
  // The image is being written into the receiver (true), until it confirmed
  // the last stage (false); a failure ends it with the download.
  virtual void Working(bool working) = 0;
  virtual void TransferStarting(std::int32_t /*blockCount*/) {}
  virtual void BlockAccepted(const TTransferProgress& progress) = 0;
  virtual void BlockResent(std::int32_t /*block*/) {}
  // Block `block` (counted from 0) is handed to the port now, for the first
  // time or again: the wire trace names the bytes that follow.
  virtual void BlockGoingOut(std::int32_t /*block*/, bool /*resend*/) {}
  // Between two blocks: the one moment of the transfer at which the run may
  // handle what is pending, so a window repaints and its timers run.
  virtual void BetweenBlocks() = 0;
  // The flash write's progress (ProgressBar2), in percent.
  virtual void FlashProgress(int percent) = 0;
  // The receiver has been silent this long where the exchange waits for it:
  // reported about once a second after the first second. Nothing may be
  // handled here.
  virtual void Waiting(const char* /*stage*/, std::uint32_t /*silentMs*/) {}
  // The device went away while the receiver was being probed (said once,
  // after its log line). Nothing more is sent until the line is back; the
  // probe goes on ticking unless the run stops it.
  virtual void LineLost() {}

  // The questions, each modal: a message (OK), an information (OK), and a
  // question (true for Yes).
  virtual void Tell(const std::string& text) = 0;
  virtual void Inform(const std::string& text) = 0;
  virtual bool AskYesNo(const std::string& text) = 0;
  // The download address question, with the description file's address and
  // the receiver's to show beside it.
  virtual bool AskAboutAddresses(const std::string& text, const TAddressPair& addresses) {
    (void)addresses;
    return AskYesNo(text);
  }
  // An information about the description file, with the file named beside it.
  virtual void InformAboutDescription(const std::string& text) { Inform(text); }
  // True once the operator has asked to stop (a window closed, a signal).
  virtual bool StopAsked() const = 0;
  // How the operator asked, as the stop's log line says it.
  virtual std::string StopReason() const { return "the window was closed"; }

  // The download is over, before its closing message is told. `reason`
  // names a failure the log has no line for; `failure` says why it did not
  // succeed (its Cause None for a success).
  virtual void Ended(TDownloadResult /*result*/, const std::string& /*reason*/, const TFailure& /*failure*/) {}
  // The exchange is done with this run: the window that ran it closes.
  virtual void Finished() = 0;
};
