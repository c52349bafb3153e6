#include "Receiver.h"

#include "Line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

namespace stbsim {

namespace {

// The receiver's own reading of the wire, kept apart from the console's
// constants on purpose: a test passes only when two independent readings of
// the protocol agree.
constexpr std::uint8_t kWake = 0x1F;
constexpr std::uint8_t kVersionMark = 0x1E;
constexpr std::uint8_t kResend = 0x41;
constexpr std::uint8_t kVersionWritten = 0x57;
constexpr std::uint8_t kProbeLead = 0x06;
constexpr std::size_t kBlockSize = 1024;
constexpr std::size_t kModeWordSize = 5;
constexpr std::size_t kSizeCommandSize = 8;
constexpr std::size_t kViolationCap = 200;

constexpr std::string_view kModeWords[8] = {"BOOTL", "NATIV", "APPL1", "APPL2", "LASTP", "GUIDT", "CHANL", "RSVDD"};
constexpr std::string_view kAck = "ACK";
constexpr std::string_view kSizeCommand = "ok";
constexpr std::string_view kSizeReply = "Size OK\n";
constexpr std::string_view kBlockOk = "ok.";
constexpr std::string_view kBlockBad = "ng!";
constexpr std::string_view kSequenceDigits = "1234567890";
constexpr std::string_view kLeadIn = "\r\n";
constexpr std::string_view kDownloadOk = "CRC OK. : DownLoad";
constexpr std::string_view kDownloadBad = "CRC NG. : DownLoad";
constexpr std::string_view kRamCheck = "RAM check...";
constexpr std::string_view kRamOk = "CRC OK. : Ram Image";
constexpr std::string_view kFlashOk = "CRC OK. : Flash image !!";
constexpr std::string_view kUpdateVersion = "Update software version!!!";
constexpr std::string_view kVersionPrompt = "Version";
constexpr std::string_view kVersionTableOk = "CRC OK. : Version Table !!";

using Bytes = std::vector<std::uint8_t>;

// A stage's line after the download: its text, how its sending and its
// spoiling are told, and the console's 0x1F the receiver then waits for.
struct StageLine {
  Stage At;
  std::string_view Text;
  std::string_view Sending;
  Stage EarlyJunkFor;  // whose early junk rides on its tail
  std::string_view Spoiled;
  std::string_view WakeAfter;
};

constexpr StageLine kRamImageLine{Stage::RamImage, kRamOk, "the RAM image stage", Stage::FlashWrite,
                                  "spoiled the Ram Image text (fault)", "the Ram Image text"};
constexpr StageLine kFlashImageLine{Stage::FlashImage, kFlashOk, "the flash image stage", Stage::VersionUpdate,
                                    "spoiled the Flash image text (fault)", "the Flash image text"};
constexpr StageLine kUpdateVersionLine{Stage::VersionUpdate, kUpdateVersion, "the version update stage", Stage::Off,
                                       "spoiled the Update text (fault)", "the Update software version text"};
constexpr StageLine kVersionTableLine{Stage::VersionTable, kVersionTableOk, "the version table stage", Stage::Off,
                                      "spoiled the Version Table text (fault)", "the Version Table text"};

// Ways out of the session, caught at its top.
struct StopRequested {};
struct LineLost {};
struct HungUpByFault {};
struct GiveUp {
  std::string Why;
  bool Quiet = false;  // the receiver stopped talking; probing may go on
};

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

void Append(Bytes& to, std::string_view s) { to.insert(to.end(), s.begin(), s.end()); }

void AppendWord(Bytes& to, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) to.push_back(std::uint8_t(v >> shift));
}

std::uint8_t Checksum(const std::uint8_t* p, std::size_t n) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += p[i];
  return std::uint8_t(sum);
}

std::string HexByte(std::uint8_t b) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", b);
  return buf;
}

int ModeOf(std::string_view window) {
  for (int i = 0; i < 8; ++i)
    if (window == kModeWords[i]) return i + 1;
  return 0;
}

bool InSomeModeWord(std::uint8_t b) {
  for (auto w : kModeWords)
    if (w.find(char(b)) != std::string_view::npos) return true;
  return false;
}

speed_t SpeedOf(std::uint32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B115200;
  }
}

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

}  // namespace

struct Receiver::Core {
  explicit Core(Config cfg) : Cfg(std::move(cfg)) {}

  Config Cfg;
  Line Wire;
  std::string Path;
  int WakeRead = -1, WakeWrite = -1;
  std::thread Thread;

  mutable std::mutex Mu;
  std::condition_variable Changed;
  Summary Sum;
  Bytes FlashMem;
  bool Finished = false;

  // Touched by the session thread only.
  Stage Current = Stage::Off;
  std::string ProbeWindow;
  std::uint8_t TotalComputed = 0;
  std::uint32_t Accepted = 0;
  std::int64_t ReplyEndNs = 0;  // when the last "ok." went out, until the next block starts

  // The faults of the transfer that strike a set number of times.
  struct TransferFaults {
    std::int32_t RejectsLeft = 0;
    bool LateDone = false;
    bool NoiseDone = false;
  };

  void Run();
  void Handshake();
  void Transfer();
  void Verify();
  void Listen(const std::string& after, bool probingAllowed);

  void ReceiveBlock(std::uint32_t k, std::uint32_t count, TransferFaults& faults);
  Bytes RejectBlock(std::uint32_t k, bool good, const Bytes& firstSending, TransferFaults& faults);
  Bytes AwaitResend(std::uint32_t k, const Bytes& firstSending);
  void AcceptBlock(std::uint32_t k, std::uint32_t count, const Bytes& block, std::uint8_t sum, TransferFaults& faults);
  bool AddSequenceDigit(Bytes& reply);

  std::uint8_t ReceiveTotal();
  void RefuseTrailingBytes();
  void SayDownloadChecked(bool agree);
  void SayStage(const StageLine& line, Bytes out);
  void WriteFlash();
  void TakeVersion();

  int AwaitModeWord();
  void AnswerProbe(int mode);
  bool AwaitSize();
  Bytes ReadBlock(std::uint32_t k, const std::uint8_t* first);
  void AwaitWake(const std::string& after);

  std::uint8_t Await();
  bool ReadWithin(std::uint8_t& b, int ms);
  void Pause(int ms);
  void Enter(Stage s, std::uint32_t block = 0);
  void SendChecked(const Bytes& bytes, const std::string& what, Stage earlyJunkFor = Stage::Off);
  Bytes Text(Stage s, std::string_view text) const;
  bool TextSpoiled(Stage s, std::string_view text) const;

  std::uint32_t GetSummaryProbes() const {
    std::lock_guard<std::mutex> lock(Mu);
    return Sum.Probes;
  }
  std::uint32_t GetBlockCount() const {
    std::lock_guard<std::mutex> lock(Mu);
    return Sum.BlockCountReceived;
  }
  void Violate(const std::string& v);
  void Finish(Stage how, bool success, const std::string& note);
  template <class F>
  void Update(F f) {
    std::lock_guard<std::mutex> lock(Mu);
    f(Sum);
  }
};

// ---- bookkeeping ---------------------------------------------------------

void Receiver::Core::Violate(const std::string& v) {
  std::lock_guard<std::mutex> lock(Mu);
  if (Sum.Violations.size() < kViolationCap) Sum.Violations.push_back(v);
  else if (Sum.Violations.size() == kViolationCap) Sum.Violations.push_back("(further violations not listed)");
}

void Receiver::Core::Finish(Stage how, bool success, const std::string& note) {
  {
    std::lock_guard<std::mutex> lock(Mu);
    if (Finished) return;
    Sum.Reached = how;
    Sum.Success = success;
    Sum.FailedAt = success ? Stage::Off : Current;
    Sum.Note = note;
    Finished = true;
  }
  Changed.notify_all();
}

std::uint8_t Receiver::Core::Await() {
  std::uint8_t b = 0;
  switch (Wire.Read(b, Current >= Stage::Identified && Cfg.QuietLimitMs > 0 ? Cfg.QuietLimitMs : -1)) {
    case Line::Got::Byte: return b;
    case Line::Got::Quiet: throw GiveUp{"the console went quiet"};
    case Line::Got::Stopped: throw StopRequested{};
    case Line::Got::Closed: break;
  }
  throw LineLost{};
}

bool Receiver::Core::ReadWithin(std::uint8_t& b, int ms) {
  switch (Wire.Read(b, ms)) {
    case Line::Got::Byte: return true;
    case Line::Got::Quiet: return false;
    case Line::Got::Stopped: throw StopRequested{};
    case Line::Got::Closed: break;
  }
  throw LineLost{};
}

void Receiver::Core::Pause(int ms) {
  if (ms <= 0) return;
  pollfd p{WakeRead, POLLIN, 0};
  if (poll(&p, 1, ms) > 0) throw StopRequested{};
}

void Receiver::Core::Enter(Stage s, std::uint32_t block) {
  const bool changed = s != Current;
  Current = s;
  Update([s](Summary& sum) { sum.Reached = std::max(sum.Reached, s); });
  if (changed) Changed.notify_all();
  const Faults& f = Cfg.Fault;
  bool transferring = s == Stage::Transferring;
  if (f.HangUpAt == s && (!transferring || block == f.HangUpBlock)) {
    Pause(f.HangUpDelayMs);
    Wire.HangUp();
    const std::int64_t now = MonotonicNs();
    Update([now](Summary& sum) { sum.HungUpNs = now; });
    Finish(Stage::HungUp, false, "hung up the line (fault)");
    throw HungUpByFault{};
  }
  if (f.SilentAt == s && (!transferring || block == f.SilentBlock)) throw GiveUp{"went silent (fault)", true};
  Pause(f.ReplyDelayMs);
  bool junkHere = f.JunkAt == s && !f.JunkEarly && (!transferring || block == f.JunkBlock);
  // Only the first probe reply is spoiled, so the console's next probe can succeed.
  if (s == Stage::Probed && GetSummaryProbes() != 0) junkHere = false;
  if (junkHere && !Wire.SendBurst(f.Junk)) throw LineLost{};
}

void Receiver::Core::SendChecked(const Bytes& bytes, const std::string& what, Stage earlyJunkFor) {
  bool flagged = false;
  // The console has nothing to say while we talk: it is reading us.
  auto check = [&] {
    if (!flagged && Wire.Pending()) {
      flagged = true;
      Violate("bytes arrived from the console while the receiver was sending " + what);
    }
  };
  const Faults& f = Cfg.Fault;
  Bytes tail;
  if (earlyJunkFor != Stage::Off && f.JunkEarly && f.JunkAt == earlyJunkFor) tail = f.Junk;
  if (!Wire.Send(bytes, check, tail)) throw LineLost{};
}

bool Receiver::Core::TextSpoiled(Stage s, std::string_view text) const {
  return Cfg.Fault.TextStage == s && !text.empty();
}

Bytes Receiver::Core::Text(Stage s, std::string_view text) const {
  Bytes out = ToBytes(text);
  if (TextSpoiled(s, text)) {
    std::size_t pos = std::min<std::size_t>(Cfg.Fault.TextPos, out.size() - 1);
    std::uint8_t& c = out[pos];
    // Flip the case of a letter; anything else becomes a letter.
    if (c >= 'A' && c <= 'Z') c = std::uint8_t(c + 32);
    else if (c >= 'a' && c <= 'z') c = std::uint8_t(c - 32);
    else c = 'X';
  }
  return out;
}

// ---- the session ---------------------------------------------------------

void Receiver::Core::Run() {
  // Byte times at 115200 baud are 87 us; the default 50 us timer slack would blur them.
  prctl(PR_SET_TIMERSLACK, 1000UL);
  // A real receiver is not slowed by the PC's load: on a busy machine the
  // line's thread should still wake when its bytes are due. A short slice
  // (honoured by the EEVDF scheduler, open to every user) lets it run first.
  struct {
    std::uint32_t size, policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime, deadline, period;
  } slice{};
  slice.size = sizeof slice;
  slice.runtime = 100000;  // ns
  [[maybe_unused]] long r = syscall(SYS_sched_setattr, 0, &slice, 0);
  try {
    try {
      Handshake();
      Transfer();
      Verify();
      Finish(Stage::Done, true, "");
      Listen("the download ended", false);
    } catch (const GiveUp& g) {
      Finish(Stage::Failed, false, g.Why);
      Listen("the receiver ended the download (" + g.Why + ")", g.Quiet && Current <= Stage::Probed);
    }
  } catch (const StopRequested&) {
  } catch (const HungUpByFault&) {
  } catch (const LineLost&) {
    Finish(Stage::HungUp, false, "the line went away");
  }
}

void Receiver::Core::Listen(const std::string& after, bool probingAllowed) {
  std::size_t slot = SIZE_MAX;
  std::uint32_t count = 0;
  std::uint8_t first = 0;
  for (;;) {
    std::uint8_t b = 0;
    Line::Got g = Wire.Read(b, -1);
    if (g != Line::Got::Byte) return;
    if (probingAllowed) continue;
    if (count++ == 0) first = b;
    std::string text = std::to_string(count) + " byte(s) from the console after " + after + ", the first " +
                       HexByte(first);
    std::lock_guard<std::mutex> lock(Mu);
    if (slot == SIZE_MAX && Sum.Violations.size() < kViolationCap) {
      slot = Sum.Violations.size();
      Sum.Violations.push_back(text);
    } else if (slot != SIZE_MAX) {
      Sum.Violations[slot] = text;
    }
  }
}

int Receiver::Core::AwaitModeWord() {
  for (;;) {
    std::uint8_t b = Await();
    if (b == kWake) {
      ProbeWindow.clear();
      continue;
    }
    ProbeWindow.push_back(char(b));
    if (ProbeWindow.size() > kModeWordSize) ProbeWindow.erase(0, 1);
    int mode = ModeOf(ProbeWindow);
    if (mode == 0) {
      if (!InSomeModeWord(b)) Update([](Summary& s) { ++s.ProbeNoise; });
      continue;
    }
    ProbeWindow.clear();
    Update([mode](Summary& s) { s.ModeWord = std::string(kModeWords[mode - 1]); });
    if (Cfg.Id.AcceptMode == 0 || Cfg.Id.AcceptMode == mode) return mode;
    if (!Cfg.Fault.RefuseReply.empty() && !Wire.Send(Cfg.Fault.RefuseReply)) throw LineLost{};
  }
}

void Receiver::Core::AnswerProbe(int mode) {
  Enter(Stage::Probed);
  Bytes reply{kProbeLead, 0x00};
  Append(reply, kAck);
  if (!Wire.Send(reply)) throw LineLost{};
  Update([](Summary& s) { ++s.Probes; });

  Enter(Stage::Identified);
  const Identity& id = Cfg.Id;
  std::uint8_t echo = Cfg.Fault.Echo >= 0 ? std::uint8_t(Cfg.Fault.Echo) : std::uint8_t(mode);
  if (echo != mode) {
    if (!Wire.Send({echo})) throw LineLost{};
    throw GiveUp{"echoed " + HexByte(echo) + " for mode " + std::to_string(mode) + " (fault)"};
  }
  Bytes block(32, 0x00);
  block[0] = id.Oui[0];
  block[1] = id.Oui[1];
  const Pair* pairs[] = {&id.ModelCode, &id.Hardware, &id.Bootloader, &id.Native};
  for (int i = 0; i < 4; ++i) {
    block[std::size_t(2 + 2 * i)] = pairs[i]->First;
    block[std::size_t(3 + 2 * i)] = pairs[i]->Second;
  }
  for (std::size_t i = 0; i < 5; ++i) block[14 + i] = i < id.StartDate.size() ? std::uint8_t(id.StartDate[i]) : ' ';
  Bytes out{echo};
  out.insert(out.end(), block.begin(), block.end());
  AppendWord(out, id.DownloadAddress);
  for (std::uint32_t w : id.Spare) AppendWord(out, w);
  if (!Wire.Send(out)) throw LineLost{};
}

// False when the console probes again instead: it did not take our reply.
bool Receiver::Core::AwaitSize() {
  for (;;) {
    std::uint8_t b = Await();
    if (b == kWake || InSomeModeWord(b)) {
      ProbeWindow.assign(b == kWake ? 0 : 1, char(b));
      return false;
    }
    if (b != std::uint8_t(kSizeCommand[0])) {
      Violate("unexpected byte " + HexByte(b) + " while waiting for \"ok\"");
      continue;
    }
    Bytes cmd{b};
    while (cmd.size() < kSizeCommandSize) {
      if (!ReadWithin(b, Cfg.BlockGapMs)) {
        Violate("the size command stopped after " + std::to_string(cmd.size()) + " of 8 bytes");
        throw GiveUp{"incomplete size command"};
      }
      cmd.push_back(b);
    }
    if (cmd[1] != std::uint8_t(kSizeCommand[1])) Violate("size command starts " + HexByte(cmd[0]) + " " + HexByte(cmd[1]) + ", not \"ok\"");
    std::uint32_t address = std::uint32_t(cmd[2]) | std::uint32_t(cmd[3]) << 8 | std::uint32_t(cmd[4]) << 16 |
                            std::uint32_t(cmd[5]) << 24;
    auto count = std::uint16_t(cmd[6] | cmd[7] << 8);
    {
      std::lock_guard<std::mutex> lock(Mu);
      Sum.AddressReceived = address;
      Sum.BlockCountReceived = count;
      FlashMem.assign(std::size_t(count) * kBlockSize, 0);
    }
    return true;
  }
}

void Receiver::Core::Handshake() {
  for (;;) {
    int mode = AwaitModeWord();
    AnswerProbe(mode);
    if (AwaitSize()) break;
  }
  Enter(Stage::SizeReceived);
  SendChecked(ToBytes(kSizeReply), "the reply to the size", GetBlockCount() == 0 ? Stage::DownloadCrc : Stage::Off);
}

Bytes Receiver::Core::ReadBlock(std::uint32_t k, const std::uint8_t* first) {
  Bytes block;
  block.reserve(kBlockSize + 1);
  if (first) block.push_back(*first);
  else block.push_back(Await());
  if (ReplyEndNs != 0) {
    const std::int64_t turnaround = Wire.LastByteStartNs() - ReplyEndNs;
    Update([turnaround](Summary& s) { s.TurnaroundsNs.push_back(turnaround); });
    ReplyEndNs = 0;
  }
  std::uint8_t b = 0;
  while (block.size() < kBlockSize + 1) {
    if (ReadWithin(b, Cfg.BlockGapMs)) {
      block.push_back(b);
      continue;
    }
    std::uint32_t announced = GetBlockCount();
    if (block.size() == 1)
      Violate("block count mismatch: " + std::to_string(announced) + " blocks announced, the console sent " +
              std::to_string(k) + " and then the single byte " + HexByte(block[0]));
    else
      Violate("block " + std::to_string(k) + " stopped after " + std::to_string(block.size()) + " of 1025 bytes");
    throw GiveUp{"the transfer broke off at block " + std::to_string(k)};
  }
  return block;
}

void Receiver::Core::Transfer() {
  std::uint32_t count = GetBlockCount();
  if (count > 0) Enter(Stage::Transferring);
  TransferFaults faults;
  faults.RejectsLeft = Cfg.Fault.RejectTimes;
  for (std::uint32_t k = 0; k < count; ++k) ReceiveBlock(k, count, faults);
}

// One block, through as many rejections as it takes until it is accepted.
void Receiver::Core::ReceiveBlock(std::uint32_t k, std::uint32_t count, TransferFaults& faults) {
  const Faults& f = Cfg.Fault;
  Bytes block = ReadBlock(k, nullptr);
  const Bytes firstSending = block;
  std::uint8_t sum = 0;
  for (;;) {
    sum = Checksum(block.data(), kBlockSize);
    bool good = sum == block[kBlockSize];
    if (!good)
      Violate("block " + std::to_string(k) + ": checksum byte " + HexByte(block[kBlockSize]) +
              " but the data sum to " + HexByte(sum));
    bool forced =
        f.RejectBlock >= 0 && std::uint32_t(f.RejectBlock) == k && (f.RejectTimes < 0 || faults.RejectsLeft > 0);
    Enter(Stage::Transferring, k);
    if (f.LateBlock >= 0 && std::uint32_t(f.LateBlock) == k && !faults.LateDone) {
      faults.LateDone = true;
      Pause(f.LateMs);
    }
    if (good && !forced) break;
    block = RejectBlock(k, good, firstSending, faults);
  }
  AcceptBlock(k, count, block, sum, faults);
}

// Answers "ng!" and reads the block again.
Bytes Receiver::Core::RejectBlock(std::uint32_t k, bool good, const Bytes& firstSending, TransferFaults& faults) {
  if (good) --faults.RejectsLeft;
  Update([](Summary& s) { ++s.BlocksRejected; });
  ReplyEndNs = 0;
  SendChecked(ToBytes(kBlockBad), "the reply to block " + std::to_string(k));
  // The console gives up on a rejected first block.
  if (k == 0) throw GiveUp{"block 0 rejected"};
  return AwaitResend(k, firstSending);
}

Bytes Receiver::Core::AwaitResend(std::uint32_t k, const Bytes& firstSending) {
  std::uint8_t b = Await();
  Bytes again;
  if (b == kResend) {
    again = ReadBlock(k, nullptr);
  } else {
    Violate("expected 0x41 before the resend of block " + std::to_string(k) + ", got " + HexByte(b));
    again = ReadBlock(k, &b);
  }
  auto diff = std::mismatch(again.begin(), again.end(), firstSending.begin());
  if (diff.first != again.end())
    Violate("the resend of block " + std::to_string(k) + " differs from its first sending at byte " +
            std::to_string(diff.first - again.begin()));
  return again;
}

// Keeps the block and answers "ok.", with the sequence digit every eleventh block.
void Receiver::Core::AcceptBlock(std::uint32_t k, std::uint32_t count, const Bytes& block, std::uint8_t sum,
                                 TransferFaults& faults) {
  const Faults& f = Cfg.Fault;
  ++Accepted;
  TotalComputed = std::uint8_t(TotalComputed + sum);
  {
    std::lock_guard<std::mutex> lock(Mu);
    std::copy(block.begin(), block.begin() + kBlockSize, FlashMem.begin() + std::ptrdiff_t(k * kBlockSize));
    ++Sum.BlocksAccepted;
  }
  Bytes reply = ToBytes(kBlockOk);
  const bool spoiled = AddSequenceDigit(reply);
  SendChecked(reply, "the reply to block " + std::to_string(k), k + 1 == count ? Stage::DownloadCrc : Stage::Off);
  if (k + 1 < count) ReplyEndNs = Wire.LastSendEndNs();
  if (f.NoiseBlock >= 0 && std::uint32_t(f.NoiseBlock) == k && !faults.NoiseDone) {
    faults.NoiseDone = true;
    if (!Wire.SendBurst(f.Junk)) throw LineLost{};
  }
  if (spoiled) throw GiveUp{"spoiled sequence check " + std::to_string(f.SequenceCheck) + " (fault)"};
}

// True when this check is the one the fault spoils: its digit is wrong or missing.
bool Receiver::Core::AddSequenceDigit(Bytes& reply) {
  if (Accepted % 11 != 0) return false;
  const Faults& f = Cfg.Fault;
  std::uint32_t check = Accepted / 11;
  char digit = kSequenceDigits[(check - 1) % 10];
  const bool spoiled = f.SequenceCheck == check;
  if (spoiled && !f.SequenceMissing) digit = kSequenceDigits[check % 10];
  if (!spoiled || !f.SequenceMissing) {
    reply.push_back(std::uint8_t(digit));
    Update([](Summary& s) { ++s.SequenceDigitsSent; });
  }
  return spoiled;
}

void Receiver::Core::AwaitWake(const std::string& after) {
  for (;;) {
    std::uint8_t b = Await();
    if (b == kWake) return;
    Violate("unexpected byte " + HexByte(b) + " while waiting for the console's 0x1F after " + after);
  }
}

void Receiver::Core::Verify() {
  const std::uint8_t received = ReceiveTotal();
  bool agree = received == TotalComputed;
  if (!agree)
    Violate("total checksum " + HexByte(received) + " received, the accepted blocks sum to " + HexByte(TotalComputed));
  Enter(Stage::DownloadCrc);
  SayDownloadChecked(agree);

  Enter(Stage::RamImage);
  Bytes out = {received, TotalComputed, TotalComputed};
  Append(out, kRamCheck);
  out.push_back(kWake);
  SayStage(kRamImageLine, std::move(out));

  WriteFlash();
  Enter(Stage::FlashImage);
  SayStage(kFlashImageLine, {});
  Enter(Stage::VersionUpdate);
  SayStage(kUpdateVersionLine, {});
  TakeVersion();

  Enter(Stage::VersionTable);
  const Faults& f = Cfg.Fault;
  SayStage(kVersionTableLine, {f.VersionReply >= 0 ? std::uint8_t(f.VersionReply) : kVersionWritten});
}

std::uint8_t Receiver::Core::ReceiveTotal() {
  std::uint8_t received = Await();
  Current = Stage::DownloadCrc;
  Update([&](Summary& s) {
    s.TotalChecksumReceived = received;
    s.TotalChecksumComputed = TotalComputed;
  });
  RefuseTrailingBytes();
  return received;
}

// Nothing follows the total checksum until we answer; a console that sent
// more blocks than it announced is still talking.
void Receiver::Core::RefuseTrailingBytes() {
  std::uint32_t extra = 0;
  std::uint8_t b = 0;
  int settleMs = 20 + int(2 * Wire.ByteTimeNs() / 1000000);
  while (ReadWithin(b, extra == 0 ? settleMs : Cfg.BlockGapMs)) ++extra;
  if (extra == 0) return;
  if (extra + 1 >= kBlockSize + 1)
    Violate("block count mismatch: the console sent " + std::to_string(extra + 1) + " bytes after the " +
            std::to_string(GetBlockCount()) + " blocks it announced");
  else
    Violate(std::to_string(extra) + " stray byte(s) after the total checksum");
  throw GiveUp{"the console kept sending after its total checksum"};
}

void Receiver::Core::SayDownloadChecked(bool agree) {
  Bytes out = ToBytes(kLeadIn);
  Bytes text = Text(Stage::DownloadCrc, agree ? kDownloadOk : kDownloadBad);
  out.insert(out.end(), text.begin(), text.end());
  SendChecked(out, "the download checksum stage");
  if (!agree) throw GiveUp{"wrong total checksum"};
  if (TextSpoiled(Stage::DownloadCrc, kDownloadOk)) throw GiveUp{"spoiled the DownLoad text (fault)"};
}

// Sends `out`, then the line's text on a line of its own, and waits for the console's go-ahead.
void Receiver::Core::SayStage(const StageLine& line, Bytes out) {
  Append(out, kLeadIn);
  Bytes text = Text(line.At, line.Text);
  out.insert(out.end(), text.begin(), text.end());
  SendChecked(out, std::string(line.Sending), line.EarlyJunkFor);
  if (TextSpoiled(line.At, line.Text)) throw GiveUp{std::string(line.Spoiled)};
  AwaitWake(std::string(line.WakeAfter));
}

void Receiver::Core::WriteFlash() {
  const Faults& f = Cfg.Fault;
  Enter(Stage::FlashWrite);
  std::uint32_t writes = (GetBlockCount() + 3) / 4;
  for (std::uint32_t j = 0; j < writes; ++j) {
    Pause(Cfg.FlashWriteDelayMs);
    bool spoiled = f.FlashByteAt >= 0 && std::uint32_t(f.FlashByteAt) == j;
    SendChecked({spoiled ? f.FlashByte : std::uint8_t('@')}, "the flash write");
    // The console takes whatever comes last.
    if (spoiled && f.FlashByte != '@' && j + 1 < writes) throw GiveUp{"spoiled flash write byte (fault)"};
  }
}

// The version pair and the date code carry no length: they are complete
// once the line has been quiet for VersionQuietMs.
void Receiver::Core::TakeVersion() {
  Current = Stage::VersionTable;
  Bytes out = ToBytes(kLeadIn);
  Append(out, kVersionPrompt);
  out.push_back(kVersionMark);
  SendChecked(out, "the version prompt", Stage::VersionTable);
  Bytes version;
  std::uint8_t b = 0;
  int quietMs = Cfg.VersionQuietMs + int(2 * Wire.ByteTimeNs() / 1000000);
  while (ReadWithin(b, quietMs)) version.push_back(b);
  Update([&](Summary& s) { s.VersionWrite = version; });
}

// ---- Receiver ------------------------------------------------------------

Receiver::Receiver(Config cfg) : FCore(std::make_unique<Core>(std::move(cfg))) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    FCore->WakeRead = fds[0];
    FCore->WakeWrite = fds[1];
  }
  FCore->Wire.SetWake(FCore->WakeRead);
  FCore->Wire.SetPacing(FCore->Cfg.Paced, FCore->Cfg.Baud);
}

Receiver::~Receiver() {
  Stop();
  FCore->Wire.HangUp();
  if (FCore->WakeRead >= 0) close(FCore->WakeRead);
  if (FCore->WakeWrite >= 0) close(FCore->WakeWrite);
}

bool Receiver::OpenPty(std::string* error) {
  int master = -1, slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    SetError(error, std::string("openpty: ") + std::strerror(errno));
    return false;
  }
  // Turn off all line discipline: bytes pass untouched and nothing echoes back.
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  cfsetspeed(&t, B115200);
  tcsetattr(slave, TCSANOW, &t);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  // Holding the slave open keeps the master readable while the console
  // closes and reopens its end.
  FCore->Wire.Adopt(master, slave);
  FCore->Path = name;
  return true;
}

bool Receiver::OpenDevice(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, path + ": " + std::strerror(errno));
    return false;
  }
  auto fail = [&](const std::string& why) {
    SetError(error, path + ": " + why);
    close(fd);
    return false;
  };
  if (!isatty(fd)) return fail("not a serial device");
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail("in use by another program");
  ioctl(fd, TIOCEXCL);
  termios t{};
  if (tcgetattr(fd, &t) != 0) return fail(std::strerror(errno));
  cfmakeraw(&t);
  t.c_cflag &= ~tcflag_t(CSTOPB | PARENB | CRTSCTS | CSIZE);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetspeed(&t, SpeedOf(FCore->Cfg.Baud));
  if (tcsetattr(fd, TCSANOW, &t) != 0) return fail(std::strerror(errno));
  tcflush(fd, TCIOFLUSH);
  int bits = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIS, &bits);
  FCore->Wire.Adopt(fd, -1);
  FCore->Path = path;
  return true;
}

std::string Receiver::ConsolePath() const { return FCore->Path; }

void Receiver::Start() {
  if (FCore->Thread.joinable()) return;
  std::uint8_t drain[16];
  while (FCore->WakeRead >= 0 && read(FCore->WakeRead, drain, sizeof drain) > 0) {
  }
  FCore->Thread = std::thread([core = FCore.get()] { core->Run(); });
}

void Receiver::Stop() {
  if (!FCore->Thread.joinable()) return;
  std::uint8_t one = 1;
  if (FCore->WakeWrite >= 0) (void)!write(FCore->WakeWrite, &one, 1);
  FCore->Thread.join();
}

bool Receiver::WaitFinished(int timeoutMs) {
  std::unique_lock<std::mutex> lock(FCore->Mu);
  return FCore->Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FCore->Finished; });
}

bool Receiver::WaitReached(Stage s, int timeoutMs) {
  std::unique_lock<std::mutex> lock(FCore->Mu);
  return FCore->Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this, s] { return FCore->Sum.Reached >= s || FCore->Finished; }) &&
         FCore->Sum.Reached >= s && !FCore->Finished;
}

Summary Receiver::GetSummary() const {
  std::lock_guard<std::mutex> lock(FCore->Mu);
  return FCore->Sum;
}

void Receiver::KeepWireAccount() { FCore->Wire.KeepAccount(); }

std::string Receiver::WireAccount() const { return FCore->Wire.Account(); }

std::vector<std::uint8_t> Receiver::Flash() const {
  std::lock_guard<std::mutex> lock(FCore->Mu);
  return FCore->FlashMem;
}

}  // namespace stbsim
