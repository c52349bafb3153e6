// The exchange with the receiver: the probe and device check handshake
// (Timer1Timer), the image block transfer and the verification stages
// (UploadFile). It speaks to the serial component and to a narrow view of the
// window, so that it reads top to bottom like the exchange it implements.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "DeviceCheck.h"
#include "DownloadJob.h"
#include "DownloadObserver.h"
#include "DownloadView.h"
#include "FileError.h"

class TSerialPortDriver;

// Raised when the image file cannot be opened at the start of the transfer;
// it reaches the application's error handler like a description file error.
class ImageFileError : public TFileError {
public:
  using TFileError::TFileError;
};

namespace wire {
inline constexpr std::uint8_t WakeByte = 0x1F;
inline constexpr std::uint8_t NoAnswer = 0x00;              // probe reply byte 1 that ends the tick
inline constexpr std::uint8_t ResendRequest = 0x41;          // 'A', before a rejected block goes again
inline constexpr std::uint8_t VersionPairRequest = 0x1E;
inline constexpr std::uint8_t VersionTableWritten = 0x57;    // 'W'
inline constexpr std::uint8_t FlashWriteMark = 0x40;         // '@', one per four blocks
inline constexpr std::string_view Acknowledge = "ACK";
inline constexpr std::string_view BlockAccepted = "ok.";
inline constexpr std::string_view AddressFollows = "ok";
inline constexpr std::string_view SequenceDigits = "1234567890";
inline constexpr std::size_t IdentificationBytes = 32;
inline constexpr std::size_t AddressBytes = 4;
inline constexpr std::size_t SizeReplyBytes = 8;
inline constexpr int BlocksPerSequenceCheck = 11;
inline constexpr int BlocksPerFlashMark = 4;
}  // namespace wire

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

struct TConfirmation;

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
  // Who hears of the download's moments besides the view; none: nobody.
  void SetObserver(TDownloadObserver* observer);

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
  bool Handshake();
  bool AwaitOrFail(std::span<std::uint8_t> bytes, const char* stage);
  bool Passes(const TCheckResult& check);
  bool GoOnDespiteAddressMismatch();
  void ReadSpareWords();
  void FailHandshake(const std::string& message);
  void End(TDownloadResult result, const std::string& reason = {});

  // The transfer and the verification stages, in the order they run.
  bool UploadFile();
  bool TransferBlocks(int imageFd, std::uint8_t& totalChecksum);
  void SendBlock(std::span<const std::uint8_t> frame, bool resend);
  bool BlockReplyAccepted(int digitDue, int& lateDigit);
  bool DownloadChecksumStage(std::uint8_t totalChecksum);
  bool RamImageStage();
  bool FlashWriteStage();
  bool FlashImageStage();
  bool VersionTableStage();
  bool SuccessfulEnd();

  TSerialPortDriver& FPort;
  TDownloadView& FView;
  TDownloadObserver* FObserver;
  std::uint8_t FDownloadMode = 0;
  TDownloadJob FJob;
  TDeviceInfo FDeviceInfo;
  std::uint32_t FSilenceLimitMs = kSilenceLimitMs;
  bool FRunning = false;
  bool FLostReported = false;
  bool FEnded = false;
};

// Position of a progress bar after `done` of `total` steps: the nearest whole
// percent, an exact half going to the even neighbour.
int ProgressPercent(std::int64_t done, std::int64_t total);
