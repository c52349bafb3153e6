#include "Download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "ModeSelect.h"
#include "SerialDrv.h"

namespace {

// The image file, open only while UploadFile runs and closed on every way out.
// O_NONBLOCK so that a FIFO named as the image cannot freeze the window in open.
class ImageFile {
public:
  explicit ImageFile(const std::string& path) : FFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
    if (FFd < 0) throw ImageFileError("Cannot open file " + path);
  }
  ~ImageFile() { ::close(FFd); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  int Fd() const { return FFd; }

private:
  int FFd;
};

// Reads up to `count` bytes, going on after short reads; -1 on a read error.
long ReadFully(int fd, std::uint8_t* buffer, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    ssize_t n = ::read(fd, buffer + got, count - got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    got += std::size_t(n);
  }
  return long(got);
}

std::uint8_t ByteSum(const std::uint8_t* data, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += data[i];
  return std::uint8_t(sum);
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

// --- receiving ------------------------------------------------------------------

TDownload::Wait TDownload::AwaitByte(std::uint8_t& value) {
  const std::uint32_t start = FPort.Now();
  for (;;) {
    if (FPort.ReadByte(value)) return Wait::Got;
    if (FPort.LineLost() || !FPort.Connected()) return Wait::Lost;
    if (TicksSince(start, FPort.Now()) > FSilenceLimitMs) return Wait::Silent;
  }
}

// Reads and drops bytes up to and including `mark`. A receiver that never
// sends the mark, silent or chattering, gets the silence limit as a whole.
TDownload::Wait TDownload::SkipThrough(std::uint8_t mark) {
  const std::uint32_t start = FPort.Now();
  for (;;) {
    std::uint8_t b = 0;
    if (FPort.ReadByte(b)) {
      if (b == mark) return Wait::Got;
    } else if (FPort.LineLost() || !FPort.Connected()) {
      return Wait::Lost;
    }
    if (TicksSince(start, FPort.Now()) > FSilenceLimitMs) return Wait::Silent;
  }
}

bool TDownload::WaitFailed(Wait outcome, const char* stage) {
  if (outcome == Wait::Got) return false;
  if (outcome == Wait::Lost)
    FView.AppendLog(Format("  ERROR:Serial Line Lost - %s !!", stage));
  else
    FView.AppendLog(Format("  ERROR:No Response from STB - %s !!", stage));
  return true;
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

bool TDownload::LeadIn(const char* stage) {
  std::uint8_t b = 0;
  if (WaitFailed(AwaitByte(b), stage)) return false;
  FPort.ReadByte(b);
  return true;
}

bool TDownload::StageText(std::size_t length, std::string_view expected, const char* okLine,
                          const char* badLine) {
  std::string text;
  ReadText(length, text);
  if (text != expected) {
    if (FPort.LineLost()) FView.AppendLog("  ERROR:Serial Line Lost !!");
    FView.AppendLog(badLine);
    return false;
  }
  if (okLine != nullptr) FView.AppendLog(okLine);
  return true;
}

// --- the probe and the handshake ----------------------------------------------------

void TDownload::Timer1Timer(std::uint8_t downloadMode, const TDownloadJob* job) {
  if (FRunning) return;
  if (FPort.Connected() && FPort.LineLost()) {
    // One line for a device that went away, not one a second.
    if (!FLostReported) {
      FLostReported = true;
      FView.StopProbeTimer();
      FView.AppendLog("  ERROR:Serial Line Lost !!");
    }
    return;
  }
  FPort.SendByte(wire::WakeByte);
  if (downloadMode == 0) return;
  // A description that could not be read is never offered to the receiver.
  if (job == nullptr) return;

  FPort.FlushBuffers(true, false);
  FPort.SendString(ModeInfo(downloadMode).ModeWord);

  std::uint8_t reply = 0;
  if (!FPort.ReadByte(reply) || reply == 0x00) return;
  std::string ack;
  for (int i = 2; i <= 5; ++i) {
    if (!FPort.ReadByte(reply)) return;
    if (i >= 3) ack.push_back(char(reply));
  }
  if (ack != wire::Acknowledge) return;

  // From here on no further tick may run, not even inside a dialog.
  FView.StopProbeTimer();
  FDownloadMode = downloadMode;
  FJob = *job;
  // Cleared on every way out, an image file error included, so that the
  // window can still be closed afterwards.
  struct RunningFlag {
    bool& flag;
    explicit RunningFlag(bool& f) : flag(f) { flag = true; }
    ~RunningFlag() { flag = false; }
  } running(FRunning);
  Handshake();
}

void TDownload::FailHandshake(const std::string& logLine, const std::string& message) {
  if (!logLine.empty()) FView.AppendLog(logLine);
  FView.ShowMessage(message);
  FView.CloseWindow();
}

bool TDownload::Handshake() {
  std::uint8_t echo = 0;
  if (Wait w = AwaitByte(echo); w != Wait::Got) {
    WaitFailed(w, "Mode Echo");
    FailHandshake("", w == Wait::Lost ? "ERROR:Serial Line Lost !!" : "ERROR:No Response from STB !!");
    return false;
  }
  if (echo != FDownloadMode) {
    FailHandshake("  ERROR:MisMatch Software Number !!", "  ERROR:MisMatch Software Number !!");
    return false;
  }
  FView.AppendLog("1. Check Machine");

  auto awaitBytes = [this](std::uint8_t* out, std::size_t count, const char* stage) {
    for (std::size_t i = 0; i < count; ++i) {
      if (Wait w = AwaitByte(out[i]); w != Wait::Got) {
        WaitFailed(w, stage);
        FailHandshake("", w == Wait::Lost ? "ERROR:Serial Line Lost !!" : "ERROR:No Response from STB !!");
        return false;
      }
    }
    return true;
  };

  std::array<std::uint8_t, 32> block{};
  if (!awaitBytes(block.data(), block.size(), "Machine Information")) return false;
  FDeviceInfo.StoreIdentification(block);

  for (auto check : {CheckOui, CheckModelCode, CheckHardwareVersion, CheckBootloaderVersion}) {
    TCheckResult r = check(FJob, FDeviceInfo);
    for (const auto& line : r.LogLines) FView.AppendLog(line);
    if (!r.Passed) {
      FailHandshake("", r.Message);
      return false;
    }
  }
  if (FDownloadMode > 1) FView.AppendLog(NativeVersionLine(FJob, FDeviceInfo));
  FView.AppendLog(Format("  -. Start DATE : %s .", FJob.DateCode.c_str()));

  std::array<std::uint8_t, 4> address{};
  if (!awaitBytes(address.data(), address.size(), "Download Address")) return false;
  FDeviceInfo.DownloadAddress = std::uint32_t(address[0]) << 24 | std::uint32_t(address[1]) << 16 |
                                std::uint32_t(address[2]) << 8 | address[3];

  // The spare words are not examined: a byte that does not come keeps its place.
  for (auto& word : FDeviceInfo.SpareWords) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      std::uint8_t b = 0;
      if (FPort.ReadByte(b))
        word = (word & ~(std::uint32_t(0xFF) << shift)) | (std::uint32_t(b) << shift);
    }
  }

  if (!AddressesMatch(FJob.Address(), FDeviceInfo.DownloadAddress)) {
    FView.AppendLog("  Warning !!!. Download Address MisMatch... !!!");
    FView.ShowMessage("Warning !!!. Download Address MisMatch... !!!");
    const bool exitNow = FView.ConfirmYesNo("Warning!!!. Download Address MisMatch!!!  Exit now?");
    // A window closed while the question was open is no answer to go on with.
    if (StoppedByOperator()) {
      FView.CloseWindow();
      return false;
    }
    if (exitNow) {
      FView.ShowInformation("Download Address MisMatch!!!. Check Your installation file(./inc/xxxx.inc).");
      FView.CloseWindow();
      return false;
    }
  }

  std::vector<TCheckResult> rules;
  rules.push_back(FDownloadMode == 1 ? CheckBootloaderAddress(FJob) : CheckBootloaderArea(FJob));
  if (FDownloadMode == 1) rules.push_back(CheckBootloaderSize(FJob));
  for (const auto& r : rules) {
    for (const auto& line : r.LogLines) FView.AppendLog(line);
    if (!r.Passed) {
      FailHandshake("", r.Message);
      return false;
    }
  }

  FPort.SendString(wire::AddressFollows);
  for (std::uint8_t b : FJob.DownloadAddress) FPort.SendByte(b);
  FPort.SendByte(FJob.BlockCountLow);
  FPort.SendByte(FJob.BlockCountHigh);
  FView.AppendLog(Format("  -. The Download Size is %d KBytes", int(FJob.BlockCount)));

  std::array<std::uint8_t, 8> sizeReply{};
  if (!awaitBytes(sizeReply.data(), sizeReply.size(), "Size Acknowledge")) return false;

  FView.AppendLog("2. Start Software Upgrade");
  FView.AppendLog("3. Start DownLoad");
  if (!UploadFile()) {
    // An operator who closed the window has been told in the log already.
    if (!FView.CloseRequested()) FView.ShowMessage("Software Upgrade Fail !!!");
    FView.CloseWindow();
    return false;
  }
  return true;
}

// --- the transfer -------------------------------------------------------------------

bool TDownload::UploadFile() {
  FView.StartBusyAnimation();
  ImageFile image(FJob.ImageFileName);
  std::uint8_t total = 0;
  if (!TransferBlocks(image.Fd(), total)) return false;
  return VerificationStages(total);
}

bool TDownload::TransferBlocks(int imageFd, std::uint8_t& totalChecksum) {
  const std::int32_t blockCount = FJob.BlockCount;
  if (blockCount <= 0) return true;

  // The image must still be the one the description was read for: a file
  // whose size now needs another number of blocks would be sent cut short or
  // padded with bytes that are not in it.
  struct stat st {};
  if (::fstat(imageFd, &st) != 0 || (st.st_size + wire::BlockBytes - 1) / wire::BlockBytes != blockCount) {
    FView.AppendLog("  Image file has changed since it was read !!");
    FView.AppendLog("  DownLoad Fail !!");
    return false;
  }
  const std::int64_t fileBytes = st.st_size;

  std::int32_t bytesSent = 0;
  int sequenceCounter = 0;
  std::size_t sequencePosition = 0;
  std::array<std::uint8_t, wire::BlockBytes> block{};

  for (std::int32_t k = 0; k < blockCount; ++k) {
    if (StoppedByOperator()) return false;
    const std::int64_t expected = std::min<std::int64_t>(wire::BlockBytes, fileBytes - std::int64_t(k) * wire::BlockBytes);
    const long got = ReadFully(imageFd, block.data(), block.size());
    if (got < expected) {
      // Zero bytes in place of image data would be written into the box.
      FView.AppendLog(Format("  Cannot read the image file at block %d !!", int(k)));
      FView.AppendLog("  DownLoad Fail !!");
      return false;
    }
    std::fill(block.begin() + std::ptrdiff_t(expected), block.end(), std::uint8_t(0));
    const std::uint8_t checksum = ByteSum(block.data(), block.size());

    for (int resends = 0;; ++resends) {
      for (std::uint8_t b : block) FPort.SendByte(b);
      FPort.SendByte(checksum);

      std::string reply;
      if (ReadText(wire::BlockAccepted.size(), reply) && reply == wire::BlockAccepted) break;

      if (FPort.LineLost()) {
        FView.AppendLog("  ERROR:Serial Line Lost !!");
        FView.AppendLog("  DownLoad Fail !!");
        return false;
      }
      FView.AppendLog(Format("  retry : %d block", int(k)));
      if (k == 0 || resends >= kMaxResends) {
        FView.AppendLog("  DownLoad Fail !!");
        return false;
      }
      FPort.SendByte(wire::ResendRequest);
    }

    if (++sequenceCounter >= wire::BlocksPerSequenceCheck) {
      sequenceCounter = 0;
      std::uint8_t digit = 0;
      if (!FPort.ReadByte(digit) || digit != std::uint8_t(wire::SequenceDigits[sequencePosition])) {
        FView.AppendLog("  DownLoad Fail !!");
        return false;
      }
      sequencePosition = (sequencePosition + 1) % wire::SequenceDigits.size();
    }

    totalChecksum = std::uint8_t(totalChecksum + checksum);
    bytesSent += wire::BlockBytes;
    FView.SetTransferProgress(ProgressPercent(k + 1, blockCount));
    FView.SetByteCounter(Format("( %d / %d )", int(bytesSent), int(FJob.ImageSize)));

    FView.ProcessPendingMessages();
  }
  return !StoppedByOperator();
}

// The operator closed the window while messages were being handled: nothing
// more goes to the receiver.
bool TDownload::StoppedByOperator() {
  if (!FView.CloseRequested()) return false;
  FView.AppendLog("  DownLoad stopped: the window was closed !!");
  return true;
}

// --- the verification stages ------------------------------------------------------------

bool TDownload::VerificationStages(std::uint8_t totalChecksum) {
  // Download checksum.
  FPort.FlushBuffers(true, false);
  FPort.SendByte(totalChecksum);
  if (!LeadIn("DownLoad CRC")) return false;
  if (!StageText(18, "CRC OK. : DownLoad", "4. DownLoad OK", "  DownLoad BAD CRC !!")) return false;

  // RAM image: the receiver's checksum report, then whatever it says up to a
  // 0x1F, then its verdict.
  std::uint8_t b = 0;
  if (WaitFailed(AwaitByte(b), "Ram Image CRC")) return false;
  FPort.ReadByte(b);
  FPort.ReadByte(b);
  if (WaitFailed(SkipThrough(wire::WakeByte), "Ram Image CRC")) return false;
  FPort.ReadByte(b);
  FPort.ReadByte(b);
  if (!StageText(19, "CRC OK. : Ram Image", "5. Ram Image CRC OK", "  Ram Image BAD CRC !!")) return false;

  // Flash write: one mark per four blocks; the last may be anything.
  FPort.FlushBuffers(true, false);
  FPort.SendByte(wire::WakeByte);
  const std::int32_t marks = FJob.BlockCount / wire::BlocksPerFlashMark +
                             (FJob.BlockCount % wire::BlocksPerFlashMark != 0 ? 1 : 0);
  for (std::int32_t j = 0; j < marks; ++j) {
    if (WaitFailed(AwaitByte(b), "Flash Write")) return false;
    if (b != wire::FlashWriteMark && j != marks - 1) {
      FView.AppendLog("  Flash Write Error !!");
      return false;
    }
    FView.SetFlashProgress(ProgressPercent(j + 1, marks));
  }

  // Flash image checksum.
  if (!LeadIn("Flash Image CRC")) return false;
  if (!StageText(24, "CRC OK. : Flash image !!", "6. Flash Image CRC OK", "  Flash Image BAD CRC !!")) return false;

  // Version table.
  FPort.FlushBuffers(true, false);
  FPort.SendByte(wire::WakeByte);
  if (!LeadIn("Update Version")) return false;
  if (!StageText(26, "Update software version!!!", nullptr, "  ERROR: Update software version!!!")) return false;
  FPort.SendByte(wire::WakeByte);
  if (WaitFailed(SkipThrough(wire::VersionPairRequest), "Update Version")) return false;

  if (const TBytePair* pair = FJob.SelectedVersion()) {
    FPort.SendByte(pair->First);
    FPort.SendByte(pair->Second);
  }
  FPort.FlushBuffers(true, false);
  FPort.SendString(FJob.DateCode);

  if (WaitFailed(AwaitByte(b), "Version Table")) return false;
  if (b == wire::VersionTableWritten) FView.AppendLog("  Version Table Write OK!");
  if (!LeadIn("Version Table")) return false;
  if (!StageText(26, "CRC OK. : Version Table !!", nullptr, "  CRC ERROR: Update software version!!!")) return false;
  FPort.SendByte(wire::WakeByte);

  FView.AppendLog("7. Update Version Table OK");
  FView.AppendLog("---------------------------------------");
  FView.AppendLog("Congraturation! Software Upgrade OK !!!");
  FView.AppendLog("Please Turn Off and On the STB set !!!");
  FView.StopBusyAnimation();
  FView.ShowMessage("Congraturation! Software Upgrade OK !!!!");
  FView.CloseWindow();
  return true;
}
