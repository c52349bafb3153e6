// The wire trace: every byte that crosses the serial line, as text a person
// or a script can read, one line per run of bytes in one direction:
//
//   1234 > 1F 32 | .2
//   1236 < 31 00 41 43 4B | 1.ACK
//
//   1250 > 00 3F 8A [and the rest of the block's 1025 bytes in hex] | block 23
//
// milliseconds since the port opened (when the program wrote the bytes or
// read them, not when they crossed the cable), ">" for bytes to the box or
// "<" for bytes from it, the bytes in hex, then " | " and the bytes as text
// (a dot for each that is no printable character) when any of them is one.
// An image block's line names the block there instead of its bytes as text:
// "block 23", "block 23 (resend)", and "(continued)" on the rest of a block
// that came in more than one run. Lines that begin with "#" are notes: what
// the trace is of, and where bytes were left out.
//
// It listens to the serial component on the component's own thread, so it
// must never slow the line: a byte costs a copy into memory, a run is
// formatted once it is over, and the text goes to the file in bulk from a
// thread of its own (TTraceWriter), so that a slow disk never holds the line
// up. Two traces are kept:
//  - the whole run, to the file named with --trace, when one was named;
//  - for every download, in memory and bounded, what a failure keeps beside
//    its log: the handshake (the bytes up to the first block, with a little
//    of the probing before the receiver answered) and the last bytes of
//    each direction, up to KeptPerDirection each.
// A file that cannot be written is told through TakeProblem once, and the
// download goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FileHandle.h"
#include "WireObserver.h"

// The last bytes of one direction, in a buffer that never grows. A byte is
// known by its place in the whole stream, counted from 0.
class TByteRing {
public:
  explicit TByteRing(std::size_t capacity) : FBytes(capacity) {}
  void Append(const std::uint8_t* data, std::size_t count);
  std::uint64_t Total() const { return FTotal; }
  // The place of the oldest byte still held.
  std::uint64_t Oldest() const;
  // Forgets all but the last `count` bytes.
  void KeepLast(std::uint64_t count);
  std::uint8_t At(std::uint64_t place) const { return FBytes[std::size_t(place % FBytes.size())]; }
  std::size_t Capacity() const { return FBytes.size(); }

private:
  std::vector<std::uint8_t> FBytes;
  std::uint64_t FTotal = 0;
  std::uint64_t FFloor = 0;  // nothing before this place is held, whatever the buffer still has
};

// What the exchange said a run of bytes to the box is: an image block, sent
// for the first time or again, or the rest of one.
struct TRunLabel {
  std::int32_t Block = -1;  // none
  bool Resend = false;
  bool Continued = false;
  bool Named() const { return Block >= 0; }
};

struct TWireRun {
  std::uint64_t Order = 0;  // of the run among both directions' runs
  std::uint32_t Ms = 0;     // since the port opened
  TWireDirection Direction = TWireDirection::Sent;
  std::uint64_t Start = 0;  // the place of its first byte in its direction's stream
  std::uint32_t Length = 0;
  TRunLabel Label;
};

// A stretch of the wire as kept in memory: each direction's last bytes and
// the runs they came in.
class TWireStretch {
public:
  explicit TWireStretch(std::size_t perDirection);
  // `extend`: the bytes continue the last run of their direction.
  void Append(const TWireRun& run, const std::uint8_t* data, bool extend);
  void KeepLast(std::uint64_t count);
  // The bytes of each direction no longer held.
  std::uint64_t Dropped(TWireDirection direction) const { return Ring(direction).Oldest(); }
  std::size_t HeldRuns() const { return FRuns[0].size() + FRuns[1].size(); }
  // Its runs as trace lines, in the order they crossed.
  void AppendText(std::string& out) const;

private:
  const TByteRing& Ring(TWireDirection d) const { return FRings[d == TWireDirection::Sent ? 0 : 1]; }
  void Prune(int side);

  TByteRing FRings[2];
  std::deque<TWireRun> FRuns[2];
};

// One trace line: the run's bytes taken from `ring` (those it no longer
// holds are left out).
void AppendTraceLine(std::string& out, const TWireRun& run, const TByteRing& ring);
// The same from bytes at hand.
void AppendTraceLine(std::string& out, std::uint32_t ms, TWireDirection direction, const std::uint8_t* data,
                     std::size_t count, const TRunLabel& label = {});

// Writes text handed to it into an open file, on a thread of its own. What
// a stalled disk leaves queued is bounded: past kMostQueued bytes, text is
// left out and a note in the file says how much.
class TTraceWriter {
public:
  static constexpr std::size_t kMostQueued = 16 * 1024 * 1024;
  TTraceWriter(TFileHandle file, std::string path);
  // Writes what was handed before it ends.
  ~TTraceWriter();
  TTraceWriter(const TTraceWriter&) = delete;
  TTraceWriter& operator=(const TTraceWriter&) = delete;
  // Takes the text; `text` is left empty.
  void Hand(std::string& text);
  // Why the file could not be written; none while it can.
  std::optional<std::string> Problem() const;

private:
  void Run();
  bool WriteQueued(std::unique_lock<std::mutex>& lock);

  TFileHandle FFile;
  const std::string FPath;
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::string FQueued;
  std::size_t FLeftOut = 0;
  bool FStop = false;
  std::optional<std::string> FProblem;
  std::thread FThread;  // last: it starts once everything above is there
};

class TWireTrace final : public TWireObserver {
public:
  static constexpr std::size_t kKeptPerDirection = 64 * 1024;
  // Bytes of each direction kept from before the receiver answered.
  static constexpr std::size_t kKeptBeforeReached = 4 * 1024;
  // Bytes in one direction within this many ms of each other are one run...
  static constexpr std::uint32_t kRunGapMs = 10;
  // ... of at most this many bytes (a block and its checksum fit).
  static constexpr std::size_t kLongestRun = 4096;
  // Text of the whole trace gathered before it is handed to the writer.
  static constexpr std::size_t kWriteAt = 64 * 1024;

  // `device`: what the notes call the line. `fullPath` empty: no file of
  // the whole run; else that file is created (or emptied) now.
  explicit TWireTrace(std::string device, std::string fullPath = {},
                      std::size_t keptPerDirection = kKeptPerDirection);
  ~TWireTrace();
  TWireTrace(const TWireTrace&) = delete;
  TWireTrace& operator=(const TWireTrace&) = delete;

  // TWireObserver
  void PortOpened(std::uint32_t tick) override;
  void WireBytes(TWireDirection direction, const std::uint8_t* data, std::size_t count, std::uint32_t tick) override;

  // The moments of a download: the receiver answered (the probing before it
  // is kept short); the first block goes out (what came before is the
  // handshake, kept whole); the download ended (the whole trace is written
  // out, and the next download keeps its own).
  void DownloadReached();
  void TransferStarting();
  void DownloadEnded();
  // The next bytes to the box are block `block` (from 0), sent again when
  // `resend`: they begin a line of their own, which names the block, and
  // the block's later runs up to the box's next byte say they continue it.
  void BlockGoingOut(std::int32_t block, bool resend);
  // The operator chose another port: the notes name it from here on, and
  // the whole trace says where the line changed.
  void PortChanged(const std::string& device);
  // What a failed download keeps: the notes, the handshake and the last bytes.
  std::string KeptText() const;

  // Hands what the whole trace has gathered to its writer.
  void WriteOut();
  // The first trouble with the file of the whole trace, once; none after or without.
  std::optional<std::string> TakeProblem();
  const std::string& FullPath() const { return FFullPath; }
  // What memory the kept trace holds, in runs, for the bounds' test.
  std::size_t HeldRuns() const;

private:
  bool Continues(TWireDirection direction, std::uint32_t ms, std::size_t count) const;
  void CloseRun();
  void Fail(const std::string& problem);
  std::string Header(const char* what) const;

  std::string FDevice;
  std::string FFullPath;
  std::size_t FKeptPerDirection;
  std::optional<std::uint32_t> FZero;  // the tick the port first opened at

  TWireStretch FActive;
  std::optional<TWireStretch> FHead;  // frozen when the first block went out
  std::uint64_t FOrder = 0;
  bool FOpen = false;  // a run is open and may go on
  TWireRun FLast;      // the open run
  std::optional<TRunLabel> FNextLabel;  // of the next bytes to the box
  TRunLabel FBlock;  // the block going out, until the box speaks
  std::uint32_t FLastMs = 0;  // its last bytes'

  // The whole trace: the open run's bytes, the text not yet written.
  bool FFull = false;
  std::vector<std::uint8_t> FOpenBytes;
  std::string FText;
  std::unique_ptr<TTraceWriter> FWriter;
  std::optional<std::string> FProblem;
  bool FProblemTold = false;
};
