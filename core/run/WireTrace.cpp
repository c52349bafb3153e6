#include "WireTrace.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "FileAccess.h"
#include "TickSource.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int Side(TWireDirection d) { return d == TWireDirection::Sent ? 0 : 1; }

bool Printable(std::uint8_t b) { return b >= 0x20 && b < 0x7F; }

// One line from any source of bytes: `at(i)` is the run's i-th byte.
template <class ByteAt>
void AppendLine(std::string& out, std::uint32_t ms, TWireDirection direction, std::size_t count, ByteAt at,
                const TRunLabel& label) {
  if (count == 0) return;
  out += std::to_string(ms);
  out += direction == TWireDirection::Sent ? " >" : " <";
  bool text = false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t b = at(i);
    const char hex[3] = {' ', kHex[b >> 4], kHex[b & 0x0F]};
    out.append(hex, 3);
    text = text || Printable(b);
  }
  if (label.Named()) {
    // An image's bytes as text tell nobody anything; which block they are does.
    out += " | block ";
    out += std::to_string(label.Block);
    if (label.Resend || label.Continued)
      out += label.Resend && label.Continued ? " (resend, continued)" : label.Resend ? " (resend)" : " (continued)";
  } else if (text) {
    out += " | ";
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t b = at(i);
      out += Printable(b) ? char(b) : '.';
    }
  }
  out += '\n';
}

void AppendDropped(std::string& out, const TWireStretch& stretch, const char* where) {
  const std::uint64_t sent = stretch.Dropped(TWireDirection::Sent);
  const std::uint64_t received = stretch.Dropped(TWireDirection::Received);
  if (sent == 0 && received == 0) return;
  out += "# " + std::to_string(sent) + " bytes to the box and " + std::to_string(received) +
         " from it not kept " + where + "\n";
}

}  // namespace

// --- the ring -------------------------------------------------------------------------------------

void TByteRing::Append(const std::uint8_t* data, std::size_t count) {
  const std::size_t size = FBytes.size();
  if (size == 0) {
    FTotal += count;
    return;
  }
  // More than it holds: only the last `size` bytes can stay.
  const std::size_t skip = count > size ? count - size : 0;
  FTotal += skip;
  data += skip;
  count -= skip;
  const std::size_t at = std::size_t(FTotal % size);
  const std::size_t first = std::min(count, size - at);
  std::memcpy(FBytes.data() + at, data, first);
  std::memcpy(FBytes.data(), data + first, count - first);
  FTotal += count;
}

std::uint64_t TByteRing::Oldest() const {
  const std::uint64_t held = FTotal > FBytes.size() ? FTotal - FBytes.size() : 0;
  return std::max(held, FFloor);
}

void TByteRing::KeepLast(std::uint64_t count) { FFloor = std::max(FFloor, FTotal - std::min(FTotal, count)); }

// --- a stretch of the wire ------------------------------------------------------------------------

TWireStretch::TWireStretch(std::size_t perDirection) : FRings{TByteRing(perDirection), TByteRing(perDirection)} {}

void TWireStretch::Append(const TWireRun& run, const std::uint8_t* data, bool extend) {
  const int side = Side(run.Direction);
  if (extend && !FRuns[side].empty()) {
    FRuns[side].back().Length += run.Length;
  } else {
    TWireRun added = run;
    added.Start = FRings[side].Total();
    FRuns[side].push_back(added);
  }
  FRings[side].Append(data, run.Length);
  Prune(side);
}

void TWireStretch::Prune(int side) {
  std::deque<TWireRun>& runs = FRuns[side];
  const std::uint64_t oldest = FRings[side].Oldest();
  while (!runs.empty() && runs.front().Start + runs.front().Length <= oldest) runs.pop_front();
}

void TWireStretch::KeepLast(std::uint64_t count) {
  for (int side = 0; side < 2; ++side) {
    FRings[side].KeepLast(count);
    Prune(side);
  }
}

void TWireStretch::AppendText(std::string& out) const {
  auto sent = FRuns[0].begin(), received = FRuns[1].begin();
  while (sent != FRuns[0].end() || received != FRuns[1].end()) {
    const bool takeSent = received == FRuns[1].end() || (sent != FRuns[0].end() && sent->Order < received->Order);
    const TWireRun& run = takeSent ? *sent++ : *received++;
    AppendTraceLine(out, run, Ring(run.Direction));
  }
}

void AppendTraceLine(std::string& out, const TWireRun& run, const TByteRing& ring) {
  const std::uint64_t from = std::max(run.Start, ring.Oldest());
  const std::uint64_t end = run.Start + run.Length;
  if (from >= end) return;
  AppendLine(
      out, run.Ms, run.Direction, std::size_t(end - from), [&](std::size_t i) { return ring.At(from + i); },
      run.Label);
}

void AppendTraceLine(std::string& out, std::uint32_t ms, TWireDirection direction, const std::uint8_t* data,
                     std::size_t count, const TRunLabel& label) {
  AppendLine(out, ms, direction, count, [data](std::size_t i) { return data[i]; }, label);
}

// --- the trace ------------------------------------------------------------------------------------

TWireTrace::TWireTrace(std::string device, std::string fullPath, std::size_t keptPerDirection)
    : FDevice(std::move(device)), FFullPath(std::move(fullPath)), FKeptPerDirection(keptPerDirection),
      FActive(keptPerDirection) {
  if (FFullPath.empty()) return;
  std::string error;
  const int fd = file_access::CreateForWriting(FFullPath, error);
  if (fd < 0) {
    Fail(error);
    return;
  }
  FWriter = std::make_unique<TTraceWriter>(TFileHandle(fd), FFullPath);
  FFull = true;
  FOpenBytes.reserve(kLongestRun);
  FText.reserve(2 * kWriteAt);
  FText += Header("");
}

TWireTrace::~TWireTrace() {
  CloseRun();
  WriteOut();
}

std::string TWireTrace::Header(const char* what) const {
  return "# stb-downloader wire trace of " + FDevice + what +
         ": milliseconds since the port opened, > to the box or < from it, the bytes in hex | as text\n";
}

void TWireTrace::PortOpened(std::uint32_t tick) {
  if (!FZero) FZero = tick;
}

bool TWireTrace::Continues(TWireDirection direction, std::uint32_t ms, std::size_t count) const {
  return FOpen && FLast.Direction == direction && ms - FLastMs <= kRunGapMs && FLast.Length + count <= kLongestRun;
}

void TWireTrace::WireBytes(TWireDirection direction, const std::uint8_t* data, std::size_t count,
                           std::uint32_t tick) {
  const std::uint32_t ms = FZero ? TicksSince(*FZero, tick) : 0;
  const bool sent = direction == TWireDirection::Sent;
  // A block named by the exchange begins a line of its own; a reply ends it.
  const bool blockBegins = sent && FNextLabel.has_value();
  if (blockBegins) {
    FBlock = *FNextLabel;
    FNextLabel.reset();
  } else if (!sent && count > 0) {
    FBlock = {};
  }
  bool first = true;
  while (count > 0) {
    const std::size_t piece = std::min(count, kLongestRun);
    const bool extend = !(blockBegins && first) && Continues(direction, ms, piece);
    if (!extend) {
      CloseRun();
      TRunLabel label;
      if (sent && FBlock.Named()) {
        label = FBlock;
        label.Continued = !(blockBegins && first);
      }
      FLast = TWireRun{FOrder++, ms, direction, 0, 0, label};
      FOpen = true;
    }
    first = false;
    FLast.Length += std::uint32_t(piece);
    FActive.Append(TWireRun{FLast.Order, ms, direction, 0, std::uint32_t(piece), FLast.Label}, data, extend);
    if (FFull) FOpenBytes.insert(FOpenBytes.end(), data, data + piece);
    FLastMs = ms;
    data += piece;
    count -= piece;
  }
  if (FText.size() >= kWriteAt) WriteOut();
}

void TWireTrace::CloseRun() {
  if (!FOpen) return;
  FOpen = false;
  if (FFull) AppendTraceLine(FText, FLast.Ms, FLast.Direction, FOpenBytes.data(), FOpenBytes.size(), FLast.Label);
  FOpenBytes.clear();
}

void TWireTrace::DownloadReached() {
  FHead.reset();
  FActive.KeepLast(kKeptBeforeReached);
}

void TWireTrace::TransferStarting() {
  if (FHead) return;
  CloseRun();
  FHead.emplace(std::move(FActive));
  FActive = TWireStretch(FKeptPerDirection);
}

void TWireTrace::DownloadEnded() {
  CloseRun();
  WriteOut();
  FHead.reset();
  FNextLabel.reset();
  FBlock = {};
}

void TWireTrace::BlockGoingOut(std::int32_t block, bool resend) { FNextLabel = TRunLabel{block, resend, false}; }

void TWireTrace::PortChanged(const std::string& device) {
  CloseRun();
  FDevice = device;
  if (FFull) FText += Header(" from here on");
}

std::string TWireTrace::KeptText() const {
  std::string out = Header(", kept for a failed download");
  if (FHead) {
    AppendDropped(out, *FHead, "before these");
    FHead->AppendText(out);
  }
  AppendDropped(out, FActive, FHead ? "between the handshake and the last bytes" : "before these");
  FActive.AppendText(out);
  return out;
}

void TWireTrace::WriteOut() {
  if (FFull && !FText.empty()) FWriter->Hand(FText);
}

// The whole trace stops; the kept one, in memory, goes on.
void TWireTrace::Fail(const std::string& problem) {
  if (!FProblem) FProblem = problem;
  FFull = false;
  FText.clear();
  FText.shrink_to_fit();
  FOpenBytes.clear();
}

std::optional<std::string> TWireTrace::TakeProblem() {
  if (FProblemTold) return std::nullopt;
  if (!FProblem && FWriter) FProblem = FWriter->Problem();
  if (!FProblem) return std::nullopt;
  FProblemTold = true;
  return FProblem;
}

// --- the writer -----------------------------------------------------------------------------------

TTraceWriter::TTraceWriter(TFileHandle file, std::string path)
    : FFile(std::move(file)), FPath(std::move(path)), FThread([this] { Run(); }) {}

TTraceWriter::~TTraceWriter() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FStop = true;
  }
  FWake.notify_one();
  FThread.join();
}

void TTraceWriter::Hand(std::string& text) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (FProblem || FQueued.size() >= kMostQueued)
      FLeftOut += text.size();
    else if (FQueued.empty())
      FQueued.swap(text);  // `text` gets the buffer the writer gave back
    else
      FQueued += text;
  }
  text.clear();
  FWake.notify_one();
}

std::optional<std::string> TTraceWriter::Problem() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FProblem;
}

void TTraceWriter::Run() {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    FWake.wait(lock, [this] { return FStop || !FQueued.empty(); });
    if (!WriteQueued(lock) || (FStop && FQueued.empty())) return;
  }
}

// The lock is let go while the disk works, so that handing text never waits for it.
bool TTraceWriter::WriteQueued(std::unique_lock<std::mutex>& lock) {
  std::string text;
  text.swap(FQueued);
  if (FLeftOut > 0) {
    text = "# " + std::to_string(FLeftOut) + " bytes of this trace left out: the file did not keep up\n" + text;
    FLeftOut = 0;
  }
  lock.unlock();
  std::string error;
  const bool written = file_access::WriteAll(FFile.Fd(), text, FPath, error);
  lock.lock();
  if (!written) FProblem = error;
  // The buffer goes back for the next hand-over: no memory is taken or
  // given back to the system while the line runs.
  text.clear();
  if (FQueued.empty()) FQueued.swap(text);
  return written;
}

std::size_t TWireTrace::HeldRuns() const { return FActive.HeldRuns() + (FHead ? FHead->HeldRuns() : 0); }
