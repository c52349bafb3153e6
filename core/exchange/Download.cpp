#include "Download.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include "BlockReply.h"
#include "DescriptionFile.h"
#include "FileAccess.h"
#include "FileHandle.h"
#include "Format.h"
#include "ModeSelect.h"
#include "SerialDrv.h"

// What the receiver confirms each verification stage with, compared whole,
// and what the log says of it.
struct TConfirmation {
  const char* Stage;      // names the stage when the line is lost or the receiver falls silent
  int Step;               // the number its OkLine starts with
  std::string_view Text;  // its length is the number of characters read
  const char* OkLine;     // logged on a match; none where the stage's end logs its own
  const char* BadLine;    // logged on a mismatch
};

namespace {

constexpr std::array<TConfirmation, 5> kConfirmations{{
    {"DownLoad CRC", 4, wire::DownloadChecksumOk, "4. DownLoad OK", "  DownLoad BAD CRC !!"},
    {"Ram Image CRC", 5, wire::RamImageOk, "5. Ram Image CRC OK", "  Ram Image BAD CRC !!"},
    {"Flash Image CRC", 6, wire::FlashImageOk, "6. Flash Image CRC OK", "  Flash Image BAD CRC !!"},
    {"Update Version", 0, wire::VersionUpdateOk, nullptr, "  ERROR: Update software version!!!"},
    {"Version Table", 0, wire::VersionTableOk, nullptr, "  CRC ERROR: Update software version!!!"},
}};
constexpr const TConfirmation& kDownloadChecksum = kConfirmations[0];
constexpr const TConfirmation& kRamImage = kConfirmations[1];
constexpr const TConfirmation& kFlashImage = kConfirmations[2];
constexpr const TConfirmation& kVersionUpdate = kConfirmations[3];
constexpr const TConfirmation& kVersionTable = kConfirmations[4];

// Where the exchange waits, as the lost-line and silence lines name it.
constexpr const char* kProbeStage = "Probe";
constexpr const char* kModeEchoStage = "Mode Echo";
constexpr const char* kIdentificationStage = "Machine Information";
constexpr const char* kAddressStage = "Download Address";
constexpr const char* kSizeReplyStage = "Size Acknowledge";
constexpr const char* kTransferStage = "DownLoad";
constexpr const char* kFlashWriteStage = "Flash Write";

// A wait that ends without its byte: the log names the stage; the handshake's
// message box does not.
std::string LineLostLine(const char* stage) { return Format("  ERROR:Serial Line Lost - %s !!", stage); }
std::string NoResponseLine(const char* stage) { return Format("  ERROR:No Response from STB - %s !!", stage); }
constexpr const char* kLineLostMessage = "ERROR:Serial Line Lost !!";
constexpr const char* kNoResponseMessage = "ERROR:No Response from STB !!";

constexpr const char* kSoftwareMismatch = "  ERROR:MisMatch Software Number !!";
constexpr const char* kDownloadFail = "  DownLoad Fail !!";
constexpr const char* kImageChanged = "  Image file has changed since it was read !!";

// Reads up to `count` bytes from `offset`, going on after short reads; -1 on
// a read error.
long long ReadFully(int fd, std::int64_t offset, std::uint8_t* buffer, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    const long long n = file_access::ReadAt(fd, offset + std::int64_t(got), buffer + got, count - got);
    if (n == 0) break;
    if (n < 0) return -1;
    got += std::size_t(n);
  }
  return (long long)got;
}

std::uint8_t ByteSum(const std::uint8_t* data, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += data[i];
  return std::uint8_t(sum);
}

std::uint32_t TopByteFirst(std::span<const std::uint8_t, 4> bytes) {
  return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 | std::uint32_t(bytes[2]) << 8 | bytes[3];
}

}  // namespace

// Worked out in whole numbers: in floating point 23/40 x 100 comes to
// 57.49999999999999 and would round down from what is an exact half.
int ProgressPercent(std::int64_t done, std::int64_t total) {
  if (total <= 0) return 0;
  const std::int64_t scaled = done * 100;
  std::int64_t q = scaled / total;
  const std::int64_t twiceRest = 2 * (scaled % total);
  if (twiceRest > total || (twiceRest == total && q % 2 != 0)) ++q;
  return int(q);
}

TDownload::TDownload(TSerialPortDriver& port, TDownloadView& view) : FPort(port), FView(view) {}

void TDownload::End(TDownloadResult result, const std::string& reason) {
  if (FEnded) return;
  FEnded = true;
  if (result == TDownloadResult::Success) FFailure = {};
  FView.Ended(result, reason, FFailure);
}

void TDownload::Fail(TFailureCause cause, const char* stage, std::string text, std::optional<int> block,
                     const std::string& heard) {
  if (FFailure.Cause != TFailureCause::None) return;
  FFailure.Cause = cause;
  FFailure.Stage = stage;
  FFailure.Block = block;
  FFailure.LastHeard = HexOf(heard);
  FFailure.Text = std::move(text);
}

void TDownload::FailWait(Wait outcome, const char* stage, std::optional<int> block) {
  if (outcome == Wait::Lost)
    Fail(TFailureCause::LineLost, stage, Format("the line hung up during %s", stage), block);
  else if (outcome == Wait::Silent)
    Fail(TFailureCause::NoReply, stage,
         Format("the box stopped answering during %s: no reply for %.1f s", stage, FSilenceLimitMs / 1000.0), block);
}

// --- receiving ------------------------------------------------------------------

// Told only once a read has come back empty, so a receiver that answers
// at once is never kept waiting for it.
void TDownload::ReportSilence(const char* stage, std::uint32_t silentMs, std::uint32_t& reportedMs) {
  if (silentMs / 1000 <= reportedMs / 1000) return;
  reportedMs = silentMs;
  FView.Waiting(stage, silentMs);
}

TDownload::Wait TDownload::AwaitByte(std::uint8_t& value, const char* stage) {
  const std::uint32_t start = FPort.Now();
  std::uint32_t reported = 0;
  for (;;) {
    if (FPort.ReadByte(value)) return Wait::Got;
    if (FPort.LineLost() || !FPort.Connected()) return Wait::Lost;
    const std::uint32_t silent = TicksSince(start, FPort.Now());
    if (silent > FSilenceLimitMs) return Wait::Silent;
    ReportSilence(stage, silent, reported);
  }
}

// Reads and drops bytes up to and including `mark`. A receiver that never
// sends the mark, silent or chattering, gets the silence limit as a whole.
TDownload::Wait TDownload::SkipThrough(std::uint8_t mark, const char* stage) {
  const std::uint32_t start = FPort.Now();
  std::uint32_t reported = 0;
  for (;;) {
    std::uint8_t b = 0;
    const bool got = FPort.ReadByte(b);
    if (got) {
      if (b == mark) return Wait::Got;
    } else if (FPort.LineLost() || !FPort.Connected()) {
      return Wait::Lost;
    }
    const std::uint32_t silent = TicksSince(start, FPort.Now());
    if (silent > FSilenceLimitMs) return Wait::Silent;
    if (!got) ReportSilence(stage, silent, reported);
  }
}

// Bytes the exchange reads and does not examine: one read each, so a byte
// that does not come costs one time-out and no more. True when all came.
bool TDownload::Discard(std::size_t count) {
  std::size_t got = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t b = 0;
    if (FPort.ReadByte(b)) ++got;
  }
  return got == count;
}

// Each character gets one read; one that does not come leaves the text short,
// so it can never match.
bool TDownload::ReadText(std::size_t length, std::string& text) {
  text.clear();
  for (std::size_t i = 0; i < length; ++i) {
    std::uint8_t b = 0;
    if (!FPort.ReadByte(b)) return false;
    text.push_back(char(b));
  }
  return true;
}

bool TDownload::WaitFailed(Wait outcome, const char* stage) {
  if (outcome == Wait::Got) return false;
  FailWait(outcome, stage);
  FView.AppendLog(outcome == Wait::Lost ? LineLostLine(stage) : NoResponseLine(stage));
  return true;
}

// Two bytes before each confirmation text: the first awaited, the second read.
bool TDownload::LeadIn(const char* stage) {
  std::uint8_t b = 0;
  if (WaitFailed(AwaitByte(b, stage), stage)) return false;
  Discard(1);
  return true;
}

bool TDownload::Confirmed(const TConfirmation& confirmation) {
  std::string text;
  ReadText(confirmation.Text.size(), text);
  if (text != confirmation.Text) {
    const bool lost = FPort.LineLost() || !FPort.Connected();
    if (lost) {
      FView.AppendLog(LineLostLine(confirmation.Stage));
      FailWait(Wait::Lost, confirmation.Stage);
    } else if (text.empty()) {
      Fail(TFailureCause::NoReply, confirmation.Stage,
           Format("the box stopped answering during %s: its verdict did not come", confirmation.Stage));
    } else {
      const TFailureCause cause = &confirmation == &kFlashImage                                   ? TFailureCause::Flash
                                  : &confirmation == &kDownloadChecksum || &confirmation == &kRamImage ? TFailureCause::Crc
                                                                                                     : TFailureCause::VersionTable;
      Fail(cause, confirmation.Stage, Format("the box did not confirm %s: it answered %s", confirmation.Stage,
                                             HexOf(text).c_str()), std::nullopt, text);
    }
    FView.AppendLog(confirmation.BadLine);
    return false;
  }
  if (confirmation.OkLine != nullptr) FView.AppendStep(confirmation.Step, confirmation.OkLine);
  return true;
}

// The operator closed the window while messages were being handled: nothing
// more goes to the receiver.
bool TDownload::StoppedByOperator() {
  if (!FView.StopAsked()) return false;
  const std::string how = FView.StopReason();
  FView.AppendLog("  DownLoad stopped: " + how + " !!");
  Fail(TFailureCause::Stopped, kTransferStage, "the download was stopped: " + how);
  return true;
}

// --- the probe and the handshake ----------------------------------------------------

void TDownload::Timer1Timer(std::uint8_t downloadMode, const TDownloadJob* job) {
  if (FRunning) return;
  if (FPort.Connected() && FPort.LineLost()) {
    // One line for a device that went away, not one a second; whoever
    // listens decides whether to wait for it or to give up.
    if (!FLostReported) {
      FLostReported = true;
      FView.AppendLog(LineLostLine(kProbeStage));
      FView.LineLost();
    }
    return;
  }
  FLostReported = false;
  FPort.SendByte(wire::WakeByte);
  if (downloadMode == 0) return;
  // A description that could not be read is never offered to the receiver.
  if (job == nullptr) return;

  // Whatever came before the mode word is no answer to it.
  FPort.FlushBuffers(true, false);
  FPort.SendString(ModeInfo(downloadMode).ModeWord);
  if (!ProbeAnswered()) return;

  // From here on no further tick may run, not even inside a dialog.
  FView.ProbeAnswered();
  FDownloadMode = downloadMode;
  FJob = *job;
  // Cleared on every way out, an image file error included, so that the
  // window can still be closed afterwards.
  struct RunningFlag {
    bool& flag;
    explicit RunningFlag(bool& f) : flag(f) { flag = true; }
    ~RunningFlag() { flag = false; }
  } running(FRunning);
  FEnded = false;
  FFailure = {};
  FView.Reached(downloadMode, FJob);
  try {
    if (Handshake()) Transfer();
  } catch (const std::exception& e) {
    Fail(TFailureCause::Image, kTransferStage, std::string("the image could not be sent: ") + e.what());
    End(TDownloadResult::Failure, e.what());
    throw;
  }
  // Every way out above has said how it ended; this one is for a way that has not.
  End(TDownloadResult::Failure);
}

// The reply to the mode word: a first byte other than 0x00, one byte not
// examined, then "ACK". A byte that does not come ends the tick quietly.
bool TDownload::ProbeAnswered() {
  std::uint8_t first = 0;
  if (!FPort.ReadByte(first)) return false;
  std::string ack;
  const bool answered = first != wire::NoAnswer && Discard(1) && ReadText(wire::Acknowledge.size(), ack) &&
                        ack == wire::Acknowledge;
  if (!answered) DropRestOfRefusal();
  return answered;
}

// The rest of a reply that was no answer is read here rather than left to
// the receive poll, which would drop it as well but up to a poll period
// later: the wire trace then shows it when it came, in one line.
void TDownload::DropRestOfRefusal() {
  const TInputTimeoutFor pause(FPort, kRefusalPauseMs);
  const std::uint32_t start = FPort.Now();
  std::uint8_t b = 0;
  std::size_t read = 0;
  while (read < kRefusalMostBytes && TicksSince(start, FPort.Now()) <= kRefusalMostMs && FPort.ReadByte(b)) ++read;
}

void TDownload::FailHandshake(const std::string& message) {
  End(TDownloadResult::Failure);
  FView.Tell(message);
  FView.Finished();
}

// Awaits every byte of `bytes`; silence or a lost line ends the handshake.
bool TDownload::AwaitOrFail(std::span<std::uint8_t> bytes, const char* stage) {
  for (std::uint8_t& b : bytes) {
    const Wait w = AwaitByte(b, stage);
    if (w == Wait::Got) continue;
    WaitFailed(w, stage);
    FailHandshake(w == Wait::Lost ? kLineLostMessage : kNoResponseMessage);
    return false;
  }
  return true;
}

// A check's lines go to the log, pass or fail; a failure ends the handshake
// with the check's message.
bool TDownload::Passes(const TCheckResult& check, TFailureCause cause) {
  for (const auto& line : check.LogLines) FView.AppendLog(line);
  if (!check.Passed) {
    Fail(cause, kIdentificationStage,
         cause == TFailureCause::Address ? "the description's download address breaks the rules: " + check.Message
                                         : "this is not the box the description is for: " + check.Message);
    FailHandshake(check.Message);
  }
  return check.Passed;
}

// The one check the operator may overrule.
bool TDownload::GoOnDespiteAddressMismatch() {
  FView.AppendLog("  Warning !!!. Download Address MisMatch... !!!");
  FView.Tell("Warning !!!. Download Address MisMatch... !!!");
  const bool exitNow = FView.AskAboutAddresses("Warning!!!. Download Address MisMatch!!!  Exit now?",
                                               {FJob.Address(), FDeviceInfo.DownloadAddress});
  // A window closed while the question was open is no answer to go on with.
  if (StoppedByOperator()) {
    End(TDownloadResult::Stopped);
    FView.Finished();
    return false;
  }
  if (exitNow) {
    Fail(TFailureCause::Address, kAddressStage,
         Format("the box's download address 0x%08X is not the description's: stopped at the question",
                unsigned(FDeviceInfo.DownloadAddress)));
    End(TDownloadResult::Stopped);
    FView.InformAboutDescription("Download Address MisMatch!!!. Check Your installation file(./inc/xxxx.inc).");
    FView.Finished();
    return false;
  }
  return true;
}

// The spare words are not examined: a byte that does not come keeps its place.
void TDownload::ReadSpareWords() {
  for (auto& word : FDeviceInfo.SpareWords) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      std::uint8_t b = 0;
      if (FPort.ReadByte(b)) word = (word & ~(std::uint32_t(0xFF) << shift)) | (std::uint32_t(b) << shift);
    }
  }
}

bool TDownload::Handshake() {
  std::uint8_t echo = 0;
  if (!AwaitOrFail({&echo, 1}, kModeEchoStage)) return false;
  if (echo != FDownloadMode) {
    Fail(TFailureCause::Identity, kModeEchoStage,
         Format("the box echoed mode %d for mode %d", int(echo), int(FDownloadMode)), std::nullopt,
         std::string(1, char(echo)));
    FView.AppendLog(kSoftwareMismatch);
    FailHandshake(kSoftwareMismatch);
    return false;
  }
  FView.AppendStep(1, "1. Check Machine");

  std::array<std::uint8_t, wire::IdentificationBytes> identification{};
  if (!AwaitOrFail(identification, kIdentificationStage)) return false;
  FDeviceInfo.StoreIdentification(identification);
  FView.Identified(FDeviceInfo, false);
  if (!Passes(CheckOui(FJob, FDeviceInfo)) || !Passes(CheckModelCode(FJob, FDeviceInfo)) ||
      !Passes(CheckHardwareVersion(FJob, FDeviceInfo)) || !Passes(CheckBootloaderVersion(FJob, FDeviceInfo)))
    return false;
  if (FDownloadMode > 1) FView.AppendLog(NativeVersionLine(FJob, FDeviceInfo));
  FView.AppendLog(Format("  -. Start DATE : %s .", FJob.DateCode.c_str()));

  std::array<std::uint8_t, wire::AddressBytes> address{};
  if (!AwaitOrFail(address, kAddressStage)) return false;
  FDeviceInfo.DownloadAddress = TopByteFirst(address);
  FView.Identified(FDeviceInfo, true);
  ReadSpareWords();

  if (!AddressesMatch(FJob.Address(), FDeviceInfo.DownloadAddress) && !GoOnDespiteAddressMismatch()) return false;
  const bool rulesPass = FDownloadMode == 1
                             ? Passes(CheckBootloaderAddress(FJob), TFailureCause::Address) &&
                                   Passes(CheckBootloaderSize(FJob), TFailureCause::Address)
                             : Passes(CheckBootloaderArea(FJob), TFailureCause::Address);
  if (!rulesPass) return false;

  SendSizeCommand();
  std::array<std::uint8_t, wire::SizeReplyBytes> sizeReply{};
  if (!AwaitOrFail(sizeReply, kSizeReplyStage)) return false;

  FView.AppendStep(2, "2. Start Software Upgrade");
  FView.AppendStep(3, "3. Start DownLoad");
  return true;
}

// "ok", the download address and the block count, least significant byte
// first, in one write.
void TDownload::SendSizeCommand() {
  {
    TCoalescedSends gather(FPort);
    FPort.SendString(wire::AddressFollows);
    for (std::uint8_t b : FJob.DownloadAddress) FPort.SendByte(b);
    FPort.SendByte(FJob.BlockCountLow());
    FPort.SendByte(FJob.BlockCountHigh());
  }
  FView.AppendLog(Format("  -. The Download Size is %d KBytes", int(FJob.BlockCount())));
}

// --- the transfer -------------------------------------------------------------------

bool TDownload::UploadFile(std::uint8_t downloadMode, const TDownloadJob& job) {
  FDownloadMode = downloadMode;
  FJob = job;
  return UploadFile();
}

// The image, then the verification stages; a failure ends the download here.
void TDownload::Transfer() {
  if (UploadFile()) return;
  End(FView.StopAsked() ? TDownloadResult::Stopped : TDownloadResult::Failure);
  // An operator who closed the window has been told in the log already.
  if (!FView.StopAsked()) FView.Tell("Software Upgrade Fail !!!");
  FView.Finished();
}

bool TDownload::UploadFile() {
  FView.Working(true);
  const TFileHandle image = TFileHandle::OpenForReading(FJob.ImageFileName);
  if (!image.IsOpen())
    throw ImageFileError("Cannot open file " + FJob.ImageFileName,
                         ImageOpenDetail(ModeInfo(FDownloadMode).DescriptionFile, FJob.ImageFileName, errno));
  std::uint8_t total = 0;
  return TransferBlocks(image.Fd(), total) && DownloadChecksumStage(total) && RamImageStage() &&
         FlashWriteStage() && FlashImageStage() && VersionTableStage() && SuccessfulEnd();
}

// What the transfer carries from block to block.
struct TTransfer {
  int ImageFd = -1;
  std::int64_t FileBytes = 0;
  std::int32_t BlockCount = 0;
  // The block on the line and its checksum byte, in the order they go out.
  std::array<std::uint8_t, kBlockBytes + 1> Frame{};
  int SinceSequenceDigit = 0;        // blocks accepted since the last sequence digit
  std::size_t SequencePosition = 0;  // of the next digit due
  std::uint8_t TotalChecksum = 0;
  std::int32_t BytesSent = 0;
};

bool TDownload::TransferBlocks(int imageFd, std::uint8_t& totalChecksum) {
  TTransfer t;
  t.ImageFd = imageFd;
  t.BlockCount = FJob.BlockCount();
  if (t.BlockCount <= 0) return true;

  // The image must still be the one the description was read for: a file
  // whose size now needs another number of blocks would be sent cut short or
  // padded with bytes that are not in it.
  file_access::Facts facts;
  if (!file_access::FactsOf(imageFd, facts) || (facts.size + kBlockBytes - 1) / kBlockBytes != t.BlockCount) {
    Fail(TFailureCause::Image, kTransferStage, "the image file changed since its description was read");
    FView.AppendLog(kImageChanged);
    FView.AppendLog(kDownloadFail);
    return false;
  }
  t.FileBytes = facts.size;
  FView.TransferStarting(t.BlockCount);

  // The next block goes out before the window's messages are handled, so its
  // reply may arrive while they are: the receive poll must not take it.
  const TPollingPaused paused(FPort);
  if (!SendNextBlock(t, 0)) return false;
  for (std::int32_t k = 0; k < t.BlockCount; ++k) {
    int lateDigit = -1;
    if (!AwaitBlockAccepted(t, k, lateDigit) || !SequenceDigitChecked(t, lateDigit)) return false;
    t.TotalChecksum = std::uint8_t(t.TotalChecksum + t.Frame[kBlockBytes]);
    t.BytesSent += kBlockBytes;
    // The next block is on the line before the window repaints: the receiver
    // never waits for the GUI.
    if (k + 1 < t.BlockCount && !SendNextBlock(t, k + 1)) return false;
    ShowBlockProgress(t, k + 1);
    FView.BetweenBlocks();
  }
  totalChecksum = t.TotalChecksum;
  return !StoppedByOperator();
}

// Reads block k from the image and hands it, with its checksum, to the
// driver in one write.
bool TDownload::SendNextBlock(TTransfer& t, std::int32_t k) {
  if (StoppedByOperator() || !ReadBlock(t, k)) return false;
  SendBlock(t.Frame, k, false);
  return true;
}

bool TDownload::ReadBlock(TTransfer& t, std::int32_t k) {
  const std::int64_t expected = std::min<std::int64_t>(kBlockBytes, t.FileBytes - std::int64_t(k) * kBlockBytes);
  const long long got = ReadFully(t.ImageFd, std::int64_t(k) * kBlockBytes, t.Frame.data(), kBlockBytes);
  if (got < expected) {
    // Zero bytes in place of image data would be written into the box.
    Fail(TFailureCause::Image, kTransferStage, Format("the image file could not be read at block %d", int(k)), k);
    FView.AppendLog(Format("  Cannot read the image file at block %d !!", int(k)));
    FView.AppendLog(kDownloadFail);
    return false;
  }
  std::fill(t.Frame.begin() + std::ptrdiff_t(expected), t.Frame.begin() + kBlockBytes, std::uint8_t(0));
  // Rewritten in place since the job was read: the receiver would be given
  // blocks of two different images.
  if (std::size_t(k) >= FJob.BlockDigests.size() || BlockDigest(t.Frame.data()) != FJob.BlockDigests[std::size_t(k)]) {
    Fail(TFailureCause::Image, kTransferStage,
         Format("the image file changed since its description was read (block %d)", int(k)), k);
    FView.AppendLog(kImageChanged);
    FView.AppendLog(kDownloadFail);
    return false;
  }
  t.Frame[kBlockBytes] = ByteSum(t.Frame.data(), kBlockBytes);
  return true;
}

// Block k's reply, the block sent again while the receiver rejects it;
// false when the transfer ends here.
bool TDownload::AwaitBlockAccepted(TTransfer& t, std::int32_t k, int& lateDigit) {
  const bool digitDue = t.SinceSequenceDigit + 1 >= wire::BlocksPerSequenceCheck;
  const int due = digitDue ? std::uint8_t(wire::SequenceDigits[t.SequencePosition]) : -1;
  const std::uint32_t start = FPort.Now();
  std::string heard;  // the last answer that had anything in it
  for (int resends = 0;; ++resends) {
    if (BlockReplyAccepted(due, lateDigit)) return true;
    if (!FLastReply.empty()) heard = FLastReply;
    if (FPort.LineLost() || !FPort.Connected()) {
      FView.AppendLog(LineLostLine(kTransferStage));
      FView.AppendLog(kDownloadFail);
      Fail(TFailureCause::LineLost, kTransferStage, Format("the line hung up at block %d", int(k)), k, heard);
      return false;
    }
    FView.AppendLog(Format("  retry : %d block", int(k)));
    if (k == 0 || resends >= kMaxResends) {
      FView.AppendLog(kDownloadFail);
      const int tries = resends + 1;
      if (heard.empty())
        Fail(TFailureCause::NoReply, kTransferStage,
             Format("the box stopped answering at block %d: no reply for %.1f s", int(k),
                    TicksSince(start, FPort.Now()) / 1000.0),
             k);
      else if (k == 0)
        Fail(TFailureCause::Rejected, kTransferStage, "the box rejected block 0, which is never sent again", k, heard);
      else
        Fail(TFailureCause::Rejected, kTransferStage,
             Format("the box rejected block %d %d times (its last answer: %s)", int(k), tries, HexOf(heard).c_str()),
             k, heard);
      return false;
    }
    FView.BlockResent(k);
    SendBlock(t.Frame, k, true);
  }
}

// After every eleventh accepted block the receiver sends the next digit of
// "1234567890", starting again after the "0"; a wrong or missing one ends
// the transfer.
bool TDownload::SequenceDigitChecked(TTransfer& t, int lateDigit) {
  if (++t.SinceSequenceDigit < wire::BlocksPerSequenceCheck) return true;
  t.SinceSequenceDigit = 0;
  std::uint8_t digit = 0;
  const bool came = lateDigit >= 0 ? (digit = std::uint8_t(lateDigit), true) : FPort.ReadByte(digit);
  const char due = wire::SequenceDigits[t.SequencePosition];
  if (!came || digit != std::uint8_t(due)) {
    const int block = int(t.BytesSent / kBlockBytes);
    // A line that hung up in the digit's place is said as everywhere else.
    if (!came && (FPort.LineLost() || !FPort.Connected())) {
      FView.AppendLog(LineLostLine(kTransferStage));
      Fail(TFailureCause::LineLost, kTransferStage, Format("the line hung up at block %d", block), block);
    } else if (!came) {
      Fail(TFailureCause::Sequence, kTransferStage,
           Format("the sequence digit '%c' after block %d did not come", due, block), block);
    } else {
      Fail(TFailureCause::Sequence, kTransferStage,
           Format("the box sent sequence digit %02X after block %d where '%c' was due", unsigned(digit), block, due),
           block, std::string(1, char(digit)));
    }
    FView.AppendLog(kDownloadFail);
    return false;
  }
  t.SequencePosition = (t.SequencePosition + 1) % wire::SequenceDigits.size();
  return true;
}

void TDownload::ShowBlockProgress(const TTransfer& t, std::int32_t done) {
  FView.BlockAccepted({done, t.BlockCount, t.BytesSent, FJob.ImageSize(), ProgressPercent(done, t.BlockCount)});
}

void TDownload::SendBlock(std::span<const std::uint8_t> frame, std::int32_t k, bool resend) {
  FView.BlockGoingOut(k, resend);
  TCoalescedSends gather(FPort);
  if (resend) FPort.SendByte(wire::ResendRequest);
  FPort.SendData(frame.data(), std::uint32_t(frame.size()));
}

// The reply to a block is awaited only once the block has left the PC, so
// the receiver has its full time-out after the last byte, however long the
// block's own line time. Anything but "ok." is followed by reading whatever
// the receiver still sends until the line has been quiet for a while: the
// receiver's last word decides, so a reply that came late, or behind noise,
// is taken for what it is. Only a reply later than the reply window and the
// quiet spell together (about 400 ms after the last byte) meets a resend, and
// may then be read as the answer to it. The byte that came in a sequence
// digit's place behind a late "ok." is handed back in lateDigit.
bool TDownload::BlockReplyAccepted(int digitDue, int& lateDigit) {
  lateDigit = -1;
  FPort.WaitUntilSent();
  std::string& reply = FLastReply;
  if (ReadText(wire::BlockAccepted.size(), reply) && reply == wire::BlockAccepted) return true;
  if (FPort.LineLost() || !FPort.Connected()) return false;

  {
    const TInputTimeoutFor quiet(FPort, std::max(kLateReplyQuietMs, FPort.InputTimeout()));
    const std::uint32_t start = FPort.Now();
    std::uint8_t b = 0;
    while (reply.size() < kLateReplyMostBytes && TicksSince(start, FPort.Now()) <= kLateReplyMostMs &&
           FPort.ReadByte(b))
      reply.push_back(char(b));
  }

  const TBlockVerdict verdict = JudgeBlockReply(reply, digitDue);
  lateDigit = verdict.Digit;
  return verdict.Accepted;
}

// --- the verification stages ------------------------------------------------------------

bool TDownload::DownloadChecksumStage(std::uint8_t totalChecksum) {
  FPort.FlushBuffers(true, false);
  FPort.SendByte(totalChecksum);
  return LeadIn(kDownloadChecksum.Stage) && Confirmed(kDownloadChecksum);
}

// The receiver's report (the total as it received it, the sum it worked
// out, its RAM check value), whatever it says up to a 0x1F, two bytes, then
// its verdict. A report byte of 0x1F is part of the report, not the end of it.
bool TDownload::RamImageStage() {
  std::uint8_t received = 0;
  if (WaitFailed(AwaitByte(received, kRamImage.Stage), kRamImage.Stage)) return false;
  Discard(2);
  if (WaitFailed(SkipThrough(wire::WakeByte, kRamImage.Stage), kRamImage.Stage)) return false;
  Discard(2);
  return Confirmed(kRamImage);
}

// One mark per four blocks; every mark but the last must be "@".
bool TDownload::FlashWriteStage() {
  FPort.FlushBuffers(true, false);
  FPort.SendByte(wire::WakeByte);
  const std::int32_t marks = (FJob.BlockCount() + wire::BlocksPerFlashMark - 1) / wire::BlocksPerFlashMark;
  for (std::int32_t j = 0; j < marks; ++j) {
    std::uint8_t mark = 0;
    if (WaitFailed(AwaitByte(mark, kFlashWriteStage), kFlashWriteStage)) return false;
    if (mark != wire::FlashWriteMark && j != marks - 1) {
      Fail(TFailureCause::Flash, kFlashWriteStage,
           Format("the box reported a flash write error at mark %d of %d", int(j + 1), int(marks)), std::nullopt,
           std::string(1, char(mark)));
      FView.AppendLog("  Flash Write Error !!");
      return false;
    }
    FView.FlashProgress(ProgressPercent(j + 1, marks));
  }
  return true;
}

bool TDownload::FlashImageStage() { return LeadIn(kFlashImage.Stage) && Confirmed(kFlashImage); }

// The version update text, then the version pair and the date code, then the
// version table's verdict.
bool TDownload::VersionTableStage() {
  FPort.FlushBuffers(true, false);
  FPort.SendByte(wire::WakeByte);
  if (!LeadIn(kVersionUpdate.Stage) || !Confirmed(kVersionUpdate)) return false;
  FPort.SendByte(wire::WakeByte);
  if (WaitFailed(SkipThrough(wire::VersionPairRequest, kVersionUpdate.Stage), kVersionUpdate.Stage)) return false;

  if (const TBytePair* pair = FJob.SelectedVersion()) {
    TCoalescedSends gather(FPort);
    FPort.SendByte(pair->First);
    FPort.SendByte(pair->Second);
  }
  FPort.FlushBuffers(true, false);
  FPort.SendString(FJob.DateCode);

  std::uint8_t written = 0;
  if (WaitFailed(AwaitByte(written, kVersionTable.Stage), kVersionTable.Stage)) return false;
  if (written == wire::VersionTableWritten) FView.AppendLog("  Version Table Write OK!");
  if (!LeadIn(kVersionTable.Stage) || !Confirmed(kVersionTable)) return false;
  FPort.SendByte(wire::WakeByte);
  return true;
}

bool TDownload::SuccessfulEnd() {
  FView.AppendStep(7, "7. Update Version Table OK");
  FView.AppendLog("---------------------------------------");
  FView.AppendLog("Congraturation! Software Upgrade OK !!!");
  FView.AppendLog("Please Turn Off and On the STB set !!!");
  FView.Working(false);
  End(TDownloadResult::Success);
  FView.Tell("Congraturation! Software Upgrade OK !!!!");
  FView.Finished();
  return true;
}
