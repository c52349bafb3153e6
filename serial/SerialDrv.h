// TSerialPortDriver: a non-visual component that owns one serial port.
//
// It keeps the line settings as properties, opens the port and pushes the
// settings to the driver, runs a periodic receive poll on the thread that
// owns it, and offers sends and reads that end on an inactivity time-out.
// Every operation reports through its result only; nothing here throws.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "PollTimer.h"
#include "PortGuard.h"
#include "TickSource.h"
#include "WireObserver.h"

enum TComPortNumber : std::uint8_t {
  pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8,
  pnCOM9, pnCOM10, pnCOM11, pnCOM12, pnCOM13, pnCOM14, pnCOM15, pnCOM16
};

enum TComPortBaudRate : std::uint8_t {
  br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200
};

enum TComPortDataBits : std::uint8_t { db5BITS, db6BITS, db7BITS, db8BITS };
enum TComPortStopBits : std::uint8_t { sb1BITS, sb1HALFBITS, sb2BITS };
enum TComPortParity : std::uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum TComPortHwHandshaking : std::uint8_t { hhNONE, hhNONERTSON, hhRTSCTS };
enum TComPortSwHandshaking : std::uint8_t { shNONE, shXONXOFF };
enum TPacketMode : std::uint8_t { pmDiscard, pmPass };

// Modem status lines, as bits of one byte.
enum TLineStatus : std::uint8_t { lsCTS = 0x01, lsDSR = 0x02, lsRING = 0x04, lsDCD = 0x08 };
using TLineStatusSet = std::uint8_t;

class TSerialPortDriver;
using TComPortReceiveDataEvent =
    std::function<void(TSerialPortDriver* Sender, const std::uint8_t* DataPtr, std::uint32_t DataSize)>;
using TComPortReceivePacketEvent =
    std::function<void(TSerialPortDriver* Sender, const std::uint8_t* Packet, std::uint32_t DataSize)>;

namespace serial_platform {
class PortHandle;
struct LineSettings;
}

class TSerialPortDriver {
public:
  // The poll timer delivers the receive poll's ticks; without one the
  // component gets a TManualPollTimer, which ticks only when fired.
  explicit TSerialPortDriver(std::unique_ptr<TPollTimer> pollTimer = nullptr);
  ~TSerialPortDriver();
  TSerialPortDriver(const TSerialPortDriver&) = delete;
  TSerialPortDriver& operator=(const TSerialPortDriver&) = delete;

  // --- connection -----------------------------------------------------------
  bool Connect();
  void Disconnect();
  bool Connected() const;
  // After the device went away: lets it go, then opens it again if it is
  // back under the name it can return by (see ReturningName); true once the
  // port is open on a line that is not lost. Cheap enough for every tick.
  bool ReconnectLost();

  // --- properties -------------------------------------------------------------
  TComPortNumber ComPort() const { return FComPort; }
  void SetComPort(TComPortNumber v);
  TComPortBaudRate ComPortSpeed() const { return FComPortSpeed; }
  void SetComPortSpeed(TComPortBaudRate v);
  TComPortDataBits ComPortDataBits() const { return FComPortDataBits; }
  void SetComPortDataBits(TComPortDataBits v);
  TComPortStopBits ComPortStopBits() const { return FComPortStopBits; }
  void SetComPortStopBits(TComPortStopBits v);
  TComPortParity ComPortParity() const { return FComPortParity; }
  void SetComPortParity(TComPortParity v);
  TComPortHwHandshaking ComPortHwHandshaking() const { return FComPortHwHandshaking; }
  void SetComPortHwHandshaking(TComPortHwHandshaking v);
  TComPortSwHandshaking ComPortSwHandshaking() const { return FComPortSwHandshaking; }
  void SetComPortSwHandshaking(TComPortSwHandshaking v);
  std::uint16_t ComPortInBufSize() const { return FComPortInBufSize; }
  void SetComPortInBufSize(std::uint16_t v);
  std::uint16_t ComPortOutBufSize() const { return FComPortOutBufSize; }
  void SetComPortOutBufSize(std::uint16_t v);
  std::int16_t PacketSize() const { return FPacketSize; }
  void SetPacketSize(std::int16_t v);
  std::int32_t PacketTimeout() const { return FPacketTimeout; }
  void SetPacketTimeout(std::int32_t v);
  TPacketMode PacketMode() const { return FPacketMode; }
  void SetPacketMode(TPacketMode v) { FPacketMode = v; }
  std::uint16_t ComPortPollingDelay() const { return FComPortPollingDelay; }
  void SetComPortPollingDelay(std::uint16_t v);
  bool EnableDTROnOpen() const { return FEnableDTROnOpen; }
  void SetEnableDTROnOpen(bool v) { FEnableDTROnOpen = v; }
  std::uint16_t OutputTimeout() const { return FOutputTimeout; }
  void SetOutputTimeout(std::uint16_t v) { FOutputTimeout = v; }
  std::uint32_t InputTimeout() const { return FInputTimeout; }
  void SetInputTimeout(std::uint32_t v) { FInputTimeout = v; }
  bool CheckLineStatus() const { return FCheckLineStatus; }
  void SetCheckLineStatus(bool v) { FCheckLineStatus = v; }
  const TComPortReceiveDataEvent& OnReceiveData() const { return FOnReceiveData; }
  void SetOnReceiveData(TComPortReceiveDataEvent h) { FOnReceiveData = std::move(h); }
  const TComPortReceivePacketEvent& OnReceivePacket() const { return FOnReceivePacket; }
  void SetOnReceivePacket(TComPortReceivePacketEvent h) { FOnReceivePacket = std::move(h); }
  // Who hears every byte that crosses the line (see WireObserver.h); none by
  // default. Not owned: it must outlive the component or be taken away first.
  // Bytes an input flush would drop are read first while one listens, so
  // that it hears them too.
  TWireObserver* WireObserver() const { return FWire; }
  void SetWireObserver(TWireObserver* observer) { FWire = observer; }

  // --- transfer -----------------------------------------------------------------
  void FlushBuffers(bool inBuffer, bool outBuffer);
  std::int32_t InputCount();
  std::uint16_t OutputFree();
  TLineStatusSet GetLineStatus();
  std::uint32_t SendData(const void* data, std::uint32_t count, std::uint32_t timeout);
  std::uint32_t SendData(const void* data, std::uint32_t count);
  bool SendByte(std::uint8_t value);
  bool SendString(std::string_view text);
  std::uint32_t ReadData(void* buffer, std::uint32_t count);
  bool ReadByte(std::uint8_t& value);

  // --- sending in blocks ------------------------------------------------------------
  // Between BeginCoalescing and the matching EndCoalescing (they nest), sends
  // are gathered here instead of going to the driver one system call each,
  // as long as the room last known free in the output queue holds them all;
  // a send that does not fit first hands over what is gathered. Everything
  // gathered goes to the driver in one write at the outermost EndCoalescing
  // and before any read, flush, status query or wait of this component, so
  // nothing is ever held back while the caller waits for an answer. With
  // CheckLineStatus on, sends are not gathered (each checks the lines).
  void BeginCoalescing() { ++FCoalescing; }
  void EndCoalescing();
  // Hands whatever is gathered to the driver now.
  void SendPending();
  // Waits until what was sent has left the PC: the driver's output queue
  // reports empty and the line time at ComPortSpeed of every byte still on
  // its way has passed since it was written (a pty's queue is empty at once,
  // a USB adapter's before its own buffer is); or until a received byte is
  // waiting, which the far end can only have sent once it had ours. Bytes
  // read from the far end end the line time of everything written before
  // them. False when the queue stops draining for more than OutputTimeout
  // ms, the line is lost or the port is not open.
  bool WaitUntilSent();

  void PausePolling() { ++FPollPauseCount; }
  void ContinuePolling() { --FPollPauseCount; }
  // The receive poll; normally run by the poll timer, public so that a test
  // can run one tick on demand.
  void PollTick();

  static std::uint32_t BaudRateValue(TComPortBaudRate speed);
  static std::uint32_t PacketTime(TComPortBaudRate speed, std::int32_t size);

  // --- introspection and platform glue --------------------------------------------
  const std::uint8_t* ReceiveBuffer() const { return FReceiveBuffer.data(); }
  std::size_t ReceiveBufferSize() const { return FReceiveBuffer.size(); }
  std::uint32_t PacketStartTick() const { return FPacketStartTick; }
  std::int32_t PollPauseCount() const { return FPollPauseCount; }
  bool PollTimerActive() const { return FPollTimer->Active(); }
  TPollTimer& PollTimer() { return *FPollTimer; }

  // True once the open device has gone away (hang-up, adapter pulled): from
  // then on nothing more can arrive, so a caller waiting for the receiver
  // can give up at once instead of waiting out its silence limit.
  bool LineLost() const;

  // Why the last Connect failed: the device path and the system's reason,
  // with a hint where one helps (permissions, a port held by another program).
  // After a Connect that opened the port but whose settings the driver did
  // not all take: the device path and SettingsWarning.
  const std::string& LastError() const { return FLastError; }
  // The other program that kept the last Connect from opening the port;
  // none when it was not another program.
  const TPortHolder& Holder() const { return FHolder; }
  // Who is asked, before every open and after it, whether another program
  // holds the device (see PortGuard.h); none by default. Not owned: it must
  // outlive the component or be taken away while the port is closed.
  void SetPortGuard(TPortGuard* guard) { FGuard = guard; }
  // The settings Connect asks the driver for, from the properties as they
  // stand: what a pseudo-terminal cannot show (DTR and RTS) can be checked here.
  void AskedSettings(serial_platform::LineSettings& s) const;
  // What the driver did not take of the settings last applied, e.g. "the
  // port runs at 9600 bit/s, not 115200"; empty when it took them all.
  const std::string& SettingsWarning() const { return FSettingsWarning; }
  // What the USB adapter's latency timer costs a download and where the
  // operator shortens it, when the timer can be read (an FTDI adapter on
  // Windows) and holds replies long enough to matter; empty otherwise.
  const std::string& LatencyWarning() const { return FLatencyWarning; }

  // The device that port number n maps to: /dev/ttyS<n-1> on Linux, \\.\COMn
  // on Windows. Which device the tool uses is the program's choice (the
  // command line, $COM1, the remembered port), handed over as ComPortDevice.
  static std::string DevicePath(TComPortNumber port);
  // The device to open in ComPort's place, as the command line names it;
  // empty (the default): the one ComPort maps to.
  const std::string& ComPortDevice() const { return FComPortDevice; }
  void SetComPortDevice(std::string device) { FComPortDevice = std::move(device); }
  // The device Connect opens.
  std::string Device() const { return FComPortDevice.empty() ? DevicePath(FComPort) : FComPortDevice; }

  // Where the millisecond tick count comes from; tests replace it to cross the
  // wrap of the 32-bit counter.
  void SetTickSource(TickSource source);
  std::uint32_t Now() const { return FTick(); }

  std::string GetPlatformName() const;
  std::uint32_t GetPlatformVersion() const;
  // XON/XOFF limit for an input queue: a quarter of it, capped at 4096 only on
  // "WNT" version 4.0 or later.
  static std::uint32_t XonXoffLimit(std::uint16_t inBufSize, const std::string& platformName,
                                    std::uint32_t platformVersion);

private:
  bool Open(const std::string& path);
  // Connect's refusal of a port another program holds: nothing stays taken.
  bool Refuse(const std::string& path, const TPortHolder& holder);
  void ApplySettings();
  void ResizeReceiveBuffer();
  // The queue queries and the write loop without handing over gathered bytes first.
  std::int32_t QueryInput();
  std::uint16_t QueryRoom();
  TLineStatusSet QueryLines();
  std::uint32_t WriteNow(const std::uint8_t* data, std::uint32_t count, std::uint32_t timeout);
  // Sleeps for the rest of a time-out: (timeout - elapsed + 1) ms at most, so
  // that the first wake-up after it finds the time-out expired.
  void WaitRemaining(bool forInput, std::uint32_t elapsed, std::uint32_t timeout);
  void AnswerArrived();
  // Reads what the input flush is about to drop, for the wire observer.
  void TakeUnread();
  void Heard(TWireDirection direction, const std::uint8_t* data, std::size_t count) {
    if (FWire != nullptr && count > 0) FWire->WireBytes(direction, data, count, Now());
  }
  void StartPollTimer();
  void StopPollTimer();

  std::unique_ptr<serial_platform::PortHandle> FPortHandle;
  TComPortNumber FComPort = pnCOM2;
  std::string FComPortDevice;
  std::string FReturningName;  // where the device opened last can come back; empty: it cannot
  TComPortBaudRate FComPortSpeed = br115200;
  TComPortDataBits FComPortDataBits = db8BITS;
  TComPortStopBits FComPortStopBits = sb1BITS;
  TComPortParity FComPortParity = ptNONE;
  TComPortHwHandshaking FComPortHwHandshaking = hhNONERTSON;
  TComPortSwHandshaking FComPortSwHandshaking = shNONE;
  std::uint16_t FComPortInBufSize = 2048;
  std::uint16_t FComPortOutBufSize = 2048;
  std::int16_t FPacketSize = -1;
  std::int32_t FPacketTimeout = -1;
  TPacketMode FPacketMode = pmDiscard;
  TComPortReceiveDataEvent FOnReceiveData;
  TComPortReceivePacketEvent FOnReceivePacket;
  TWireObserver* FWire = nullptr;
  TPortGuard* FGuard = nullptr;
  TPortHolder FHolder;
  std::uint16_t FComPortPollingDelay = 50;
  bool FEnableDTROnOpen = true;
  std::uint16_t FOutputTimeout = 500;
  std::uint32_t FInputTimeout = 200;
  bool FCheckLineStatus = false;
  std::unique_ptr<TPollTimer> FPollTimer;  // plays the part of the poll window: ticks reach PollTick on our thread
  std::vector<std::uint8_t> FReceiveBuffer;
  std::uint32_t FPacketStartTick = 0xFFFFFFFFu;
  std::int32_t FPollPauseCount = 0;
  std::uint16_t FKnownRoom = 0;  // output queue room known to be free, see SendData
  std::vector<std::uint8_t> FPending;  // gathered sends, not yet handed to the driver
  int FCoalescing = 0;
  std::int64_t FLineFreeAtUs = 0;  // steady clock: when the bytes written are off the line

  TickSource FTick;
  std::string FLastError;
  std::string FSettingsWarning;
  std::string FLatencyWarning;
};

// Gathers the sends made while it lives; see BeginCoalescing.
class TCoalescedSends {
public:
  explicit TCoalescedSends(TSerialPortDriver& port) : FPort(port) { FPort.BeginCoalescing(); }
  ~TCoalescedSends() { FPort.EndCoalescing(); }
  TCoalescedSends(const TCoalescedSends&) = delete;
  TCoalescedSends& operator=(const TCoalescedSends&) = delete;

private:
  TSerialPortDriver& FPort;
};

// Holds the receive poll off while it lives; see PausePolling.
class TPollingPaused {
public:
  explicit TPollingPaused(TSerialPortDriver& port) : FPort(port) { FPort.PausePolling(); }
  ~TPollingPaused() { FPort.ContinuePolling(); }
  TPollingPaused(const TPollingPaused&) = delete;
  TPollingPaused& operator=(const TPollingPaused&) = delete;

private:
  TSerialPortDriver& FPort;
};

// Runs the port's reads with another input time-out while it lives.
class TInputTimeoutFor {
public:
  TInputTimeoutFor(TSerialPortDriver& port, std::uint32_t ms) : FPort(port), FSaved(port.InputTimeout()) {
    FPort.SetInputTimeout(ms);
  }
  ~TInputTimeoutFor() { FPort.SetInputTimeout(FSaved); }
  TInputTimeoutFor(const TInputTimeoutFor&) = delete;
  TInputTimeoutFor& operator=(const TInputTimeoutFor&) = delete;

private:
  TSerialPortDriver& FPort;
  std::uint32_t FSaved;
};
