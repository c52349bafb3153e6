#include "SerialDrv.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "PortList.h"
#include "platform.h"

namespace {

constexpr std::uint32_t kBaudRates[] = {110,   300,   600,   1200,  2400,  4800,  9600,
                                        14400, 19200, 38400, 56000, 57600, 115200};
constexpr std::uint32_t kNoPacketStart = 0xFFFFFFFFu;
constexpr std::int16_t kRawMode = -1;
constexpr std::int32_t kNoPacketTimeout = -1;
constexpr std::int32_t kPacketTimeoutMargin = 150;
constexpr std::uint16_t kNotConnectedCount = 65535;
constexpr std::uint32_t kXonXoffCap = 4096;
constexpr std::uint32_t kCapFromVersion = 0x40000;
const char* ParityName(serial_platform::Parity p) {
  switch (p) {
    case serial_platform::Parity::None: return "no parity";
    case serial_platform::Parity::Odd: return "odd parity";
    case serial_platform::Parity::Even: return "even parity";
    case serial_platform::Parity::Mark: return "mark parity";
    case serial_platform::Parity::Space: return "space parity";
  }
  return "unknown parity";
}

const char* StopBitsName(serial_platform::StopBits b) {
  switch (b) {
    case serial_platform::StopBits::One: return "1 stop bit";
    case serial_platform::StopBits::OneAndHalf: return "1.5 stop bits";
    case serial_platform::StopBits::Two: return "2 stop bits";
  }
  return "unknown stop bits";
}

std::string FlowName(const serial_platform::LineSettings& s) {
  const bool rtsCts = s.rts == serial_platform::RtsMode::Handshake;
  if (rtsCts && s.xonXoff) return "RTS/CTS and XON/XOFF flow control";
  if (rtsCts) return "RTS/CTS flow control";
  if (s.xonXoff) return "XON/XOFF flow control";
  return "no flow control";
}

// "the port runs at 9600 bit/s, not 115200", one clause per setting the
// driver did not take; empty when it took them all.
std::string SettingsDifference(const serial_platform::LineSettings& asked, const serial_platform::LineSettings& kept) {
  std::string out;
  const auto add = [&out](const std::string& clause) { out += (out.empty() ? "the port runs " : ", ") + clause; };
  if (kept.baud != asked.baud)
    add("at " + std::to_string(kept.baud) + " bit/s, not " + std::to_string(asked.baud));
  if (kept.dataBits != asked.dataBits)
    add("with " + std::to_string(kept.dataBits) + " data bits, not " + std::to_string(asked.dataBits));
  if (kept.parity != asked.parity) add(std::string("with ") + ParityName(kept.parity) + ", not " + ParityName(asked.parity));
  if (kept.stopBits != asked.stopBits)
    add(std::string("with ") + StopBitsName(kept.stopBits) + ", not " + StopBitsName(asked.stopBits));
  if (FlowName(kept) != FlowName(asked)) add("with " + FlowName(kept) + ", not " + FlowName(asked));
  return out;
}

// What the downloader sends before it waits for a short reply: a block and
// its checksum.
constexpr std::int32_t kBlockOnLine = 1025;
// Below this a held reply costs the line too little to be worth a word.
constexpr std::uint32_t kLatencyTolerableMs = 2;

// An adapter that holds each reply for its latency timer adds that timer to
// every block's line time: what that costs, and where to change it.
std::string LatencyCost(const serial_platform::AdapterLatency& latency, std::uint32_t blockMs) {
  if (latency.timerMs <= kLatencyTolerableMs) return {};
  const long percent = std::lround(100.0 * latency.timerMs / double(blockMs + latency.timerMs));
  return "the USB adapter holds each short reply for up to " + std::to_string(latency.timerMs) +
         " ms (its latency timer), so downloads run up to " + std::to_string(percent) +
         " % slower; set it to 1 ms in " + latency.where;
}

std::int64_t SteadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TSerialPortDriver::TSerialPortDriver(std::unique_ptr<TPollTimer> pollTimer)
    : FPollTimer(pollTimer ? std::move(pollTimer) : std::make_unique<TManualPollTimer>()),
      FTick(MonotonicTickSource()) {
  FReceiveBuffer.resize(FComPortInBufSize);
  FPollTimer->SetOnTick([this] { PollTick(); });
}

TSerialPortDriver::~TSerialPortDriver() { Disconnect(); }

// --- connection -----------------------------------------------------------------

std::string TSerialPortDriver::DevicePath(TComPortNumber port) {
  return serial_platform::PortDevice(unsigned(port) + 1);
}

bool TSerialPortDriver::Connect() {
  if (Connected()) return true;
  if (!Open(Device())) return false;
  FReturningName = ReturningName(Device());
  return true;
}

// The old descriptor goes first: while it is held, the driver keeps the
// vanished device's number and the adapter comes back under another.
bool TSerialPortDriver::ReconnectLost() {
  if (Connected() && !LineLost()) return true;
  Disconnect();
  if (FReturningName.empty()) return false;
  return Open(FReturningName);
}

bool TSerialPortDriver::Open(const std::string& path) {
  FHolder = {};
  // A program that shares the line would take half of every reply.
  if (FGuard != nullptr) {
    if (TPortHolder holder = FGuard->Claim(path)) return Refuse(path, holder);
  }
  serial_platform::OpenResult result;
  FPortHandle = serial_platform::PortHandle::Open(path, result);
  if (FPortHandle && FGuard != nullptr) {
    if (TPortHolder holder = FGuard->Confirm(path)) return Refuse(path, holder);
  }
  if (!FPortHandle) {
    if (FGuard != nullptr) FGuard->Release();
    FLastError = result.reason;
    if (result.outcome == serial_platform::OpenOutcome::NotFound) {
      FLastError += serial_platform::MissingPortHint(unsigned(FComPort) + 1, path);
    }
    return false;
  }
  if (FWire != nullptr) FWire->PortOpened(Now());
  ApplySettings();
  // The port works, but not as asked: the operator must hear of it.
  FLastError = FSettingsWarning.empty() ? std::string() : path + ": " + FSettingsWarning;
  // The descriptor is non-blocking, which plays the part of the 1 ms driver
  // time-outs: no read or write ever waits inside the driver.
  StartPollTimer();
  return true;
}

bool TSerialPortDriver::Refuse(const std::string& path, const TPortHolder& holder) {
  FPortHandle.reset();
  FGuard->Release();
  FHolder = holder;
  FLastError = path + ": " + FGuard->Reason(holder);
  return false;
}

void TSerialPortDriver::Disconnect() {
  if (!Connected()) return;
  SendPending();
  StopPollTimer();
  FPortHandle.reset();
  if (FGuard != nullptr) FGuard->Release();
  FKnownRoom = 0;
}

bool TSerialPortDriver::Connected() const { return FPortHandle != nullptr; }

bool TSerialPortDriver::LineLost() const { return FPortHandle && FPortHandle->Lost(); }

void TSerialPortDriver::AskedSettings(serial_platform::LineSettings& s) const {
  s.baud = BaudRateValue(FComPortSpeed);
  s.dataBits = std::uint8_t(5 + std::min<unsigned>(FComPortDataBits, db8BITS));
  s.parity = serial_platform::Parity(std::min<unsigned>(FComPortParity, ptSPACE));
  s.stopBits = serial_platform::StopBits(std::min<unsigned>(FComPortStopBits, sb2BITS));
  switch (FComPortHwHandshaking) {
    case hhNONE: s.rts = serial_platform::RtsMode::Low; break;
    case hhRTSCTS: s.rts = serial_platform::RtsMode::Handshake; break;
    default: s.rts = serial_platform::RtsMode::High; break;
  }
  s.xonXoff = FComPortSwHandshaking == shXONXOFF;
  s.dtr = FEnableDTROnOpen;
  s.xonLimit = s.xoffLimit = XonXoffLimit(FComPortInBufSize, GetPlatformName(), GetPlatformVersion());
  s.inQueue = FComPortInBufSize;
  s.outQueue = FComPortOutBufSize;
}

void TSerialPortDriver::ApplySettings() {
  if (!Connected()) return;
  serial_platform::LineSettings s;
  AskedSettings(s);
  // A refused setting leaves the port open with whatever the driver kept.
  serial_platform::LineSettings kept;
  const bool applied = FPortHandle->Apply(s, kept);
  FSettingsWarning = SettingsDifference(s, kept);
  if (!applied && FSettingsWarning.empty()) FSettingsWarning = "its settings could not be applied or read back";
  FLatencyWarning =
      LatencyCost(serial_platform::QueryAdapterLatency(Device()), PacketTime(FComPortSpeed, kBlockOnLine));
  FlushBuffers(true, true);
  // A tty driver sizes its own queues; ComPortInBufSize still sizes
  // ReceiveBuffer and ComPortOutBufSize still bounds OutputFree.
}

std::string TSerialPortDriver::GetPlatformName() const { return serial_platform::QueryPlatform().name; }

std::uint32_t TSerialPortDriver::GetPlatformVersion() const { return serial_platform::QueryPlatform().version; }

std::uint32_t TSerialPortDriver::XonXoffLimit(std::uint16_t inBufSize, const std::string& platformName,
                                              std::uint32_t platformVersion) {
  std::uint32_t limit = inBufSize / 4u;
  if (platformName == "WNT" && platformVersion >= kCapFromVersion) limit = std::min(limit, kXonXoffCap);
  return limit;
}

// --- setters --------------------------------------------------------------------

void TSerialPortDriver::SetComPort(TComPortNumber v) {
  if (!Connected()) FComPort = v;
}

void TSerialPortDriver::SetComPortSpeed(TComPortBaudRate v) {
  FComPortSpeed = v;
  ApplySettings();
}

void TSerialPortDriver::SetComPortDataBits(TComPortDataBits v) {
  FComPortDataBits = v;
  ApplySettings();
}

void TSerialPortDriver::SetComPortStopBits(TComPortStopBits v) {
  FComPortStopBits = v;
  ApplySettings();
}

void TSerialPortDriver::SetComPortParity(TComPortParity v) {
  FComPortParity = v;
  ApplySettings();
}

void TSerialPortDriver::SetComPortHwHandshaking(TComPortHwHandshaking v) {
  FComPortHwHandshaking = v;
  ApplySettings();
}

void TSerialPortDriver::SetComPortSwHandshaking(TComPortSwHandshaking v) {
  FComPortSwHandshaking = v;
  ApplySettings();
}

void TSerialPortDriver::SetComPortInBufSize(std::uint16_t v) {
  if (Connected()) return;
  FComPortInBufSize = v;
  ResizeReceiveBuffer();
  SetPacketSize(FPacketSize);
}

void TSerialPortDriver::SetComPortOutBufSize(std::uint16_t v) {
  if (!Connected()) FComPortOutBufSize = v;
}

void TSerialPortDriver::SetPacketSize(std::int16_t v) {
  if (v <= 0) {
    FPacketSize = kRawMode;
    return;
  }
  if (v > FComPortInBufSize) {
    FComPortInBufSize = std::uint16_t(2 * v);
    ResizeReceiveBuffer();
  }
  FPacketSize = v;
}

void TSerialPortDriver::SetPacketTimeout(std::int32_t v) {
  if (v <= 0) {
    FPacketTimeout = kNoPacketTimeout;
  } else if (v < FComPortPollingDelay) {
    // A time-out shorter than the poll period could never be seen in time.
    FPacketTimeout = FComPortPollingDelay + kPacketTimeoutMargin;
  } else {
    FPacketTimeout = v;
  }
}

void TSerialPortDriver::SetComPortPollingDelay(std::uint16_t v) {
  if (v == FComPortPollingDelay) return;
  const bool connected = Connected();
  if (connected) StopPollTimer();
  FComPortPollingDelay = v;
  if (connected) StartPollTimer();
  SetPacketTimeout(FPacketTimeout);
}

void TSerialPortDriver::SetTickSource(TickSource source) {
  FTick = source ? std::move(source) : MonotonicTickSource();
}

void TSerialPortDriver::ResizeReceiveBuffer() {
  FReceiveBuffer.assign(FComPortInBufSize, 0);
  FReceiveBuffer.shrink_to_fit();
}

void TSerialPortDriver::StartPollTimer() { FPollTimer->Start(FComPortPollingDelay); }

void TSerialPortDriver::StopPollTimer() { FPollTimer->Stop(); }

// --- queues and lines -------------------------------------------------------------

void TSerialPortDriver::FlushBuffers(bool inBuffer, bool outBuffer) {
  if (!Connected()) return;
  // Gathered bytes are part of the output queue: purged with it, sent otherwise.
  if (outBuffer) FPending.clear();
  else SendPending();
  if (inBuffer) TakeUnread();
  FPortHandle->Flush(inBuffer, outBuffer);
  FPacketStartTick = kNoPacketStart;
}

// A bounded number of reads: a device that never stops talking must not
// hold the flush up for ever.
void TSerialPortDriver::TakeUnread() {
  if (FWire == nullptr) return;
  std::uint8_t unread[512];
  for (int i = 0; i < 32; ++i) {
    const std::size_t got = FPortHandle->Read(unread, sizeof unread);
    if (got == 0) return;
    Heard(TWireDirection::Received, unread, got);
  }
}

std::int32_t TSerialPortDriver::InputCount() {
  if (!Connected()) return kNotConnectedCount;
  SendPending();
  return QueryInput();
}

std::int32_t TSerialPortDriver::QueryInput() {
  std::uint32_t n = 0;
  FPortHandle->InputWaiting(n);
  return std::int32_t(std::min<std::uint32_t>(n, 0x7FFFFFFFu));
}

std::uint16_t TSerialPortDriver::OutputFree() {
  if (!Connected()) return kNotConnectedCount;
  SendPending();
  return QueryRoom();
}

std::uint16_t TSerialPortDriver::QueryRoom() {
  std::uint32_t queued = 0;
  // An unanswered query counts as a full queue, so a send on a vanished device
  // waits out its time-out instead of pushing into nothing.
  if (!FPortHandle->OutputWaiting(queued)) return 0;
  return queued >= FComPortOutBufSize ? 0 : std::uint16_t(FComPortOutBufSize - queued);
}

TLineStatusSet TSerialPortDriver::GetLineStatus() {
  if (!Connected()) return 0;
  SendPending();
  return QueryLines();
}

TLineStatusSet TSerialPortDriver::QueryLines() {
  serial_platform::ModemLines lines;
  if (!FPortHandle->GetModemLines(lines)) return 0;
  TLineStatusSet set = 0;
  if (lines.cts) set |= lsCTS;
  if (lines.dsr) set |= lsDSR;
  if (lines.ring) set |= lsRING;
  if (lines.dcd) set |= lsDCD;
  return set;
}

// --- transfers ----------------------------------------------------------------------

void TSerialPortDriver::WaitRemaining(bool forInput, std::uint32_t elapsed, std::uint32_t timeout) {
  const std::uint32_t left = std::min<std::uint32_t>(timeout - elapsed + 1u, INT_MAX);
  if (forInput) FPortHandle->WaitReadable(int(left));
  else FPortHandle->WaitWritable(int(left));
}

std::uint32_t TSerialPortDriver::SendData(const void* data, std::uint32_t count, std::uint32_t timeout) {
  if (!Connected()) return 0;
  auto* bytes = static_cast<const std::uint8_t*>(data);
  if (FCoalescing > 0 && !FCheckLineStatus && count > 0) {
    const std::size_t want = FPending.size() + count;
    if (FKnownRoom < want) FKnownRoom = QueryRoom();
    // Bytes are gathered only into room the driver has reported, so handing
    // them over later cannot stall.
    if (FKnownRoom >= want) {
      FPending.insert(FPending.end(), bytes, bytes + count);
      return count;
    }
  }
  SendPending();
  return WriteNow(bytes, count, timeout);
}

std::uint32_t TSerialPortDriver::WriteNow(const std::uint8_t* next, std::uint32_t count, std::uint32_t timeout) {
  std::uint32_t written = 0;
  std::uint32_t lastProgress = Now();
  const double byteMicros = 10e6 / double(BaudRateValue(FComPortSpeed));
  while (count > 0) {
    // The queue only drains between our writes, so room the driver reported,
    // less what we wrote since, is never more than there is; asking again only
    // when it is too small for what is left spares a system call per byte
    // sent one at a time and lets a whole block go in one write.
    if (FKnownRoom < count) FKnownRoom = QueryRoom();
    const std::uint16_t room = FKnownRoom;
    if (room > 0) {
      // No modem line at all means no cable or no device: no use waiting.
      if (FCheckLineStatus && QueryLines() == 0) break;
      const std::uint32_t moved = std::uint32_t(FPortHandle->Write(next, std::min<std::uint32_t>(count, room)));
      if (moved > 0) {
        written += moved;
        count -= moved;
        next += moved;
        FKnownRoom = std::uint16_t(room - std::min<std::uint32_t>(moved, room));
        FLineFreeAtUs = std::max(FLineFreeAtUs, SteadyMicros()) + std::int64_t(double(moved) * byteMicros + 0.5);
        lastProgress = Now();
        Heard(TWireDirection::Sent, next - moved, moved);
        continue;
      }
      // The driver took nothing: the room was not there after all.
      FKnownRoom = 0;
    }
    // Nothing more can go to a device that has gone away.
    if (FPortHandle->Lost()) break;
    const std::uint32_t elapsed = TicksSince(lastProgress, Now());
    if (elapsed > timeout) break;
    WaitRemaining(false, elapsed, timeout);
  }
  return written;
}

std::uint32_t TSerialPortDriver::SendData(const void* data, std::uint32_t count) {
  return SendData(data, count, FOutputTimeout);
}

bool TSerialPortDriver::SendByte(std::uint8_t value) { return SendData(&value, 1) == 1; }

bool TSerialPortDriver::SendString(std::string_view text) {
  if (text.empty()) return true;
  return SendData(text.data(), std::uint32_t(text.size())) == text.size();
}

void TSerialPortDriver::EndCoalescing() {
  if (FCoalescing > 0 && --FCoalescing == 0) SendPending();
}

void TSerialPortDriver::SendPending() {
  if (FPending.empty() || !Connected()) {
    FPending.clear();
    return;
  }
  // Taken out first: the write may look at the lines, which must not recurse here.
  std::vector<std::uint8_t> out;
  out.swap(FPending);
  WriteNow(out.data(), std::uint32_t(out.size()), FOutputTimeout);
  out.clear();
  // Keep the buffer's capacity for the next gathering.
  if (FPending.empty()) FPending.swap(out);
}

bool TSerialPortDriver::WaitUntilSent() {
  if (!Connected()) return false;
  SendPending();
  const double byteMicros = 10e6 / double(BaudRateValue(FComPortSpeed));
  std::uint32_t lastQueued = UINT32_MAX;
  std::uint32_t lastProgress = Now();
  for (;;) {
    // An answer can only come once the far end has what we sent: then it has left.
    if (QueryInput() > 0) {
      AnswerArrived();
      return true;
    }
    if (FPortHandle->LostSeen()) return false;
    // The line time of what is still on its way is the floor everywhere.
    const std::int64_t lineLeft = FLineFreeAtUs - SteadyMicros();
    if (lineLeft > 0) {
      FPortHandle->WaitReadable(int((lineLeft + 999) / 1000));
      continue;
    }
    // Then the driver's queue must say it is empty; it may hold more than the
    // line time accounts for (flow control, a slower device).
    std::uint32_t queued = 0;
    if (!FPortHandle->OutputWaiting(queued)) return false;
    if (queued == 0) return true;
    if (queued < lastQueued) {
      lastQueued = queued;
      lastProgress = Now();
    } else if (TicksSince(lastProgress, Now()) > FOutputTimeout) {
      return false;
    }
    const auto napMs = std::clamp<std::int64_t>(std::int64_t(double(queued) * byteMicros / 1000.0), 1, 100);
    FPortHandle->WaitReadable(int(napMs));
  }
}

std::uint32_t TSerialPortDriver::ReadData(void* buffer, std::uint32_t count) {
  if (!Connected()) return 0;
  // Whatever was gathered goes out before we wait for an answer to it.
  SendPending();
  auto* next = static_cast<std::uint8_t*>(buffer);
  std::uint32_t read = 0;
  PausePolling();
  std::uint32_t lastProgress = Now();
  while (count > 0) {
    // The read takes what is there and never waits: asking first how much
    // there is would cost a second system call for every reply byte.
    const std::uint32_t moved = std::uint32_t(FPortHandle->Read(next, count));
    if (moved > 0) {
      AnswerArrived();
      read += moved;
      count -= moved;
      next += moved;
      lastProgress = Now();
      Heard(TWireDirection::Received, next - moved, moved);
      continue;
    }
    // What was queued before the hang-up has been read; nothing more can come.
    if (FPortHandle->LostSeen()) break;
    // One sleep for the rest of the time-out, ended early by an arrival;
    // the time is taken anew from the tick count after every wake-up.
    const std::uint32_t elapsed = TicksSince(lastProgress, Now());
    if (elapsed > FInputTimeout) break;
    WaitRemaining(true, elapsed, FInputTimeout);
  }
  ContinuePolling();
  return read;
}

bool TSerialPortDriver::ReadByte(std::uint8_t& value) { return ReadData(&value, 1) == 1; }

// Whatever the far end sends proves it has taken what we wrote before: the
// line time still counted for those bytes is over. Without this the floor
// would run ahead of the clock on a line faster than its nominal speed (a
// pty, a USB adapter with a deep buffer), one block's line time per block.
void TSerialPortDriver::AnswerArrived() { FLineFreeAtUs = std::min(FLineFreeAtUs, SteadyMicros()); }

// --- receive poll -----------------------------------------------------------------

void TSerialPortDriver::PollTick() {
  if (!Connected()) return;
  SendPending();
  if (FPollPauseCount > 0) return;
  std::uint32_t queued = std::uint32_t(std::max<std::int32_t>(QueryInput(), 0));

  if (FPacketSize <= 0) {
    if (queued == 0) return;
    // More than the buffer holds waits for the next tick.
    const std::size_t take = std::min<std::size_t>(queued, FReceiveBuffer.size());
    const std::uint32_t got = std::uint32_t(FPortHandle->Read(FReceiveBuffer.data(), take));
    Heard(TWireDirection::Received, FReceiveBuffer.data(), got);
    if (got > 0 && FOnReceiveData) FOnReceiveData(this, FReceiveBuffer.data(), got);
    return;
  }

  if (std::uint32_t(FPacketSize) <= queued) {
    // Bytes behind the packets count from when they can have begun to arrive;
    // with no packet being timed there is no such moment, and they start now.
    const bool timing = FPacketStartTick != kNoPacketStart;
    // A handler may change PacketSize or disconnect; each pass reads them anew.
    while (Connected() && FPacketSize > 0 && std::uint32_t(FPacketSize) <= queued) {
      const std::uint32_t size = std::uint32_t(FPacketSize);
      const std::uint32_t got =
          std::uint32_t(FPortHandle->Read(FReceiveBuffer.data(), std::min<std::size_t>(size, FReceiveBuffer.size())));
      Heard(TWireDirection::Received, FReceiveBuffer.data(), got);
      if (got > 0 && FOnReceivePacket) FOnReceivePacket(this, FReceiveBuffer.data(), got);
      if (timing) FPacketStartTick += PacketTime(FComPortSpeed, std::int32_t(size));
      queued -= size;
      if (queued == 0) FPacketStartTick = kNoPacketStart;
    }
    if (!timing && queued > 0) FPacketStartTick = Now();
    return;
  }

  if (FPacketTimeout > 0 && FPacketStartTick != kNoPacketStart &&
      TicksSince(FPacketStartTick, Now()) > std::uint32_t(FPacketTimeout)) {
    const std::uint32_t got =
        std::uint32_t(FPortHandle->Read(FReceiveBuffer.data(), std::min<std::size_t>(queued, FReceiveBuffer.size())));
    Heard(TWireDirection::Received, FReceiveBuffer.data(), got);
    if (got > 0 && FPacketMode == pmPass && FOnReceivePacket) FOnReceivePacket(this, FReceiveBuffer.data(), got);
    FPacketStartTick = kNoPacketStart;
    return;
  }
  if (queued > 0 && FPacketStartTick == kNoPacketStart) FPacketStartTick = Now();
}

// --- arithmetic -------------------------------------------------------------------

std::uint32_t TSerialPortDriver::BaudRateValue(TComPortBaudRate speed) {
  // The last entry doubles as the answer for anything out of range.
  return speed < br115200 ? kBaudRates[speed] : 115200u;
}

std::uint32_t TSerialPortDriver::PacketTime(TComPortBaudRate speed, std::int32_t size) {
  // Ten bit times a byte: start, eight data, stop, whatever the frame really is.
  const double ms = double(size) / (double(BaudRateValue(speed)) / 10.0) * 1000.0;
  return std::uint32_t(std::int64_t(std::nearbyint(ms)));
}
