// The exchange with the receiver: the probe and device check handshake
// (Timer1Timer), the image block transfer and the verification stages
// (UploadFile). It speaks to the serial component and to a narrow view of the
// window, so that it reads top to bottom like the exchange it implements.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "DeviceCheck.h"
#include "DownloadJob.h"
#include "DownloadView.h"
#include "FileError.h"
#include "Wire.h"

class TSerialPortDriver;

// Raised when the image file cannot be opened at the start of the transfer;
// it reaches the application's error handler like a description file error.
class ImageFileError : public TFileError {
public:
  using TFileError::TFileError;
};

// How long the receiver may stay silent where the exchange waits for it
// before the download is given up. A real box erasing its flash is slow.
inline constexpr std::uint32_t kSilenceLimitMs = 60000;
// A block after the first that keeps being rejected is sent this many times
// more at most.
inline constexpr int kMaxResends = 16;
// After a block's reply was not "ok.", the rest of what the receiver sends is
// read until the line has been quiet this long, and never less than the input
// time-out, so that a reply whose bytes come slowly is not cut in the middle
// (bounded in time and bytes), before the resend request goes out.
inline constexpr std::uint32_t kLateReplyQuietMs = 200;
inline constexpr std::uint32_t kLateReplyMostMs = 2000;
inline constexpr std::size_t kLateReplyMostBytes = 64;
// The rest of a probe's reply that was no answer is read up to a pause this
// long (an FTDI adapter holds bytes up to 16 ms), and at most this much of it
// for at most this long, so that a chattering receiver never delays a tick.
inline constexpr std::uint32_t kRefusalPauseMs = 20;
inline constexpr std::size_t kRefusalMostBytes = 64;
inline constexpr std::uint32_t kRefusalMostMs = 50;

struct TConfirmation;
struct TTransfer;

class TDownload {
public:
  TDownload(TSerialPortDriver& port, TDownloadView& view);

  // One tick of the probe timer: wake byte, then, with a mode chosen
  // (downloadMode 1..8) and its description read (job not null), the mode
  // word and the receiver's answer; an answer runs the whole download in this
  // call, on a copy of the job taken when the handshake begins.
  void Timer1Timer(std::uint8_t downloadMode, const TDownloadJob* job);
  // The transfer and the verification stages, as the handshake runs them;
  // true only when the receiver confirmed every stage. Throws ImageFileError
  // when the image cannot be opened.
  bool UploadFile(std::uint8_t downloadMode, const TDownloadJob& job);

  void SetSilenceLimitMs(std::uint32_t ms) { FSilenceLimitMs = ms; }
  std::uint32_t SilenceLimitMs() const { return FSilenceLimitMs; }
  bool Running() const { return FRunning; }
  // The receiver's identification, filled by the handshake.
  const TDeviceInfo& DeviceInfo() const { return FDeviceInfo; }

private:
  enum class Wait { Got, Silent, Lost };

  // Receiving.
  Wait AwaitByte(std::uint8_t& value, const char* stage);
  Wait SkipThrough(std::uint8_t mark, const char* stage);
  void ReportSilence(const char* stage, std::uint32_t silentMs, std::uint32_t& reportedMs);
  bool Discard(std::size_t count);
  bool ReadText(std::size_t length, std::string& text);
  bool WaitFailed(Wait outcome, const char* stage);
  bool LeadIn(const char* stage);
  bool Confirmed(const TConfirmation& confirmation);
  bool StoppedByOperator();

  // The probe and the handshake.
  bool ProbeAnswered();
  void DropRestOfRefusal();
  bool Handshake();
  void SendSizeCommand();
  bool AwaitOrFail(std::span<std::uint8_t> bytes, const char* stage);
  bool Passes(const TCheckResult& check, TFailureCause cause = TFailureCause::Identity);
  bool GoOnDespiteAddressMismatch();
  void ReadSpareWords();
  void FailHandshake(const std::string& message);
  void End(TDownloadResult result, const std::string& reason = {});
  // Why the download is failing; the first said stands, a later one is its consequence.
  void Fail(TFailureCause cause, const char* stage, std::string text, std::optional<int> block = std::nullopt,
            const std::string& heard = {});
  void FailWait(Wait outcome, const char* stage, std::optional<int> block = std::nullopt);

  // The transfer and the verification stages, in the order they run.
  void Transfer();
  bool UploadFile();
  bool TransferBlocks(int imageFd, std::uint8_t& totalChecksum);
  bool SendNextBlock(TTransfer& t, std::int32_t k);
  bool ReadBlock(TTransfer& t, std::int32_t k);
  void SendBlock(std::span<const std::uint8_t> frame, std::int32_t k, bool resend);
  bool AwaitBlockAccepted(TTransfer& t, std::int32_t k, int& lateDigit);
  bool BlockReplyAccepted(int digitDue, int& lateDigit);
  bool SequenceDigitChecked(TTransfer& t, int lateDigit);
  void ShowBlockProgress(const TTransfer& t, std::int32_t done);
  bool DownloadChecksumStage(std::uint8_t totalChecksum);
  bool RamImageStage();
  bool FlashWriteStage();
  bool FlashImageStage();
  bool VersionTableStage();
  bool SuccessfulEnd();

  TSerialPortDriver& FPort;
  TDownloadView& FView;
  std::uint8_t FDownloadMode = 0;
  TDownloadJob FJob;
  TDeviceInfo FDeviceInfo;
  std::uint32_t FSilenceLimitMs = kSilenceLimitMs;
  bool FRunning = false;
  bool FLostReported = false;
  bool FEnded = false;
  TFailure FFailure;
  // The receiver's answer to the block last awaited, as it came.
  std::string FLastReply;
};

// Position of a progress bar after `done` of `total` steps: the nearest whole
// percent, an exact half going to the even neighbour.
int ProgressPercent(std::int64_t done, std::int64_t total);
