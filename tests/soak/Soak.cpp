// soak: many whole downloads of the real window against the simulated
// receiver, each with a fault drawn by a seeded generator, each judged from
// outside. Every run is a child process, so a crash is counted, not fatal.
//
//   soak [--runs N] [--seed S] [--only K] [--verbose]
//
// Exits non-zero on any false success, bad failure, crash, hang, byte sent
// after a failure, or port left held.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Application.h"
#include "Harness.h"

namespace {

using stbsim::Stage;

constexpr std::uint32_t kSilenceLimitMs = 1500;
// How often the window resends a block the receiver keeps rejecting, as the
// operator's guide promises it: the soak's own figure, not the product's.
constexpr int kResendsPromised = 16;
// The window must have closed this long after the keyword; the parent kills
// a run that has not reported a little after that.
constexpr int kCloseBoundMs = 40000;
constexpr int kKillBoundMs = kCloseBoundMs + 20000;

enum class Expect { Success, Failure, Either };

struct Draw {
  std::string Kind;  // the fault's kind, for the tally
  std::string Name;  // the fault in full, for the report of a bad run
  std::uint8_t Mode = 2;
  std::size_t ImageBytes = 0;
  std::string Selector = "2";
  stbsim::Config Cfg;
  Expect Outcome = Expect::Success;
  // A failure must end the log with a line starting with one of these.
  std::vector<std::string> FailurePrefixes;
  // A hang-up may meet the console still probing: it then reports the loss
  // once and waits with the window open.
  bool MayStopProbing = false;
  // Bytes the console may still send after the receiver gave up: the resends
  // of a block into silence.
  std::uint32_t BytesAfterAllowed = 0;
  // The console's thread is blocked this long (0: never), this long after the
  // keyword, whatever it is doing then (handling messages between blocks).
  int StallAtMs = 0, StallMs = 0;
};

std::uint32_t Blocks(std::size_t bytes) { return std::uint32_t((bytes + 1023) / 1024); }

const char* StageText(Stage s) { return stbsim::StageName(s); }

Draw DrawRun(std::uint64_t seed, int run) {
  std::mt19937_64 rng(seed * 1000003u + std::uint64_t(run));
  auto pick = [&rng](int lo, int hi) { return int(std::uniform_int_distribution<int>(lo, hi)(rng)); };

  Draw d;
  d.Mode = std::uint8_t(pick(1, 8));
  const int sizeClass = pick(0, 3);
  d.ImageBytes = sizeClass == 0 ? std::size_t(pick(0, 3 * 1024))
               : sizeClass == 3 ? std::size_t(pick(33 * 1024, 50 * 1024))
                                : std::size_t(pick(1, 24 * 1024));
  if (d.Mode == 1) d.ImageBytes = std::min<std::size_t>(d.ImageBytes, 60 * 1024);
  d.Selector = std::to_string(pick(0, 4));
  d.Cfg.Id.AcceptMode = d.Mode;
  d.Cfg.Id.DownloadAddress = d.Mode == 1 ? 0xBFC00000u : 0x80010000u;

  const std::uint32_t blocks = Blocks(d.ImageBytes);
  const std::uint32_t marks = (blocks + 3) / 4;
  stbsim::Faults& f = d.Cfg.Fault;
  const std::vector<Stage> stopStages = {Stage::Identified,  Stage::SizeReceived, Stage::Transferring,
                                         Stage::DownloadCrc, Stage::RamImage,     Stage::FlashWrite,
                                         Stage::FlashImage,  Stage::VersionUpdate, Stage::VersionTable};
  auto stopStage = [&]() {
    Stage s = stopStages[std::size_t(pick(0, int(stopStages.size()) - 1))];
    if (s == Stage::Transferring && blocks == 0) s = Stage::DownloadCrc;
    return s;
  };

  switch (pick(0, 15)) {
    case 0:
      d.Kind = "none";
      d.Name = "none";
      break;
    case 1: {
      d.Kind = "reject";
      if (blocks == 0) {
        d.Name = "none (no block to reject)";
        break;
      }
      static const int kTimes[] = {1, 2, 16, 17, -1};
      f.RejectBlock = pick(0, int(blocks) - 1);
      f.RejectTimes = kTimes[pick(0, 4)];
      d.Name = "reject block " + std::to_string(f.RejectBlock) + " x" + std::to_string(f.RejectTimes);
      if (f.RejectBlock == 0 || f.RejectTimes < 0 || f.RejectTimes > kResendsPromised) {
        d.Outcome = Expect::Failure;
        d.FailurePrefixes = {"  DownLoad Fail !!"};
      }
      break;
    }
    case 2:
      d.Kind = "sequence";
      f.SequenceCheck = std::uint32_t(pick(1, 4));
      f.SequenceMissing = pick(0, 1) == 1;
      d.Name = std::string("sequence check ") + std::to_string(f.SequenceCheck) +
               (f.SequenceMissing ? " missing" : " wrong");
      if (blocks >= 11 * f.SequenceCheck) {
        d.Outcome = Expect::Failure;
        d.FailurePrefixes = {"  DownLoad Fail !!"};
      }
      break;
    case 3:
      d.Kind = "echo";
      do f.Echo = pick(0, 255); while (f.Echo == d.Mode);
      d.Name = "echo " + std::to_string(f.Echo);
      d.Outcome = Expect::Failure;
      d.FailurePrefixes = {"  ERROR:MisMatch Software Number !!"};
      break;
    case 4: {
      d.Kind = "text";
      static const std::pair<Stage, const char*> kTexts[] = {
          {Stage::DownloadCrc, "  DownLoad BAD CRC !!"},
          {Stage::RamImage, "  Ram Image BAD CRC !!"},
          {Stage::FlashImage, "  Flash Image BAD CRC !!"},
          {Stage::VersionUpdate, "  ERROR: Update software version!!!"},
          {Stage::VersionTable, "  CRC ERROR: Update software version!!!"}};
      const auto& t = kTexts[pick(0, 4)];
      f.TextStage = t.first;
      f.TextPos = std::uint32_t(pick(0, 25));
      d.Name = std::string("wrong text at ") + StageText(t.first) + " char " + std::to_string(f.TextPos);
      d.Outcome = Expect::Failure;
      d.FailurePrefixes = {t.second};
      break;
    }
    case 5:
      d.Kind = "flash byte";
      if (marks == 0) {
        d.Name = "none (no flash write)";
        break;
      }
      f.FlashByteAt = pick(0, int(marks) - 1);
      f.FlashByte = std::uint8_t(pick(0, 3) == 0 ? '@' : pick(0, 255));
      d.Name = "flash byte " + std::to_string(f.FlashByte) + " at " + std::to_string(f.FlashByteAt);
      if (f.FlashByte != '@' && std::uint32_t(f.FlashByteAt) + 1 < marks) {
        d.Outcome = Expect::Failure;
        d.FailurePrefixes = {"  Flash Write Error !!"};
      }
      break;
    case 6:
      d.Kind = "version reply";
      f.VersionReply = pick(0, 255);
      d.Name = "version reply " + std::to_string(f.VersionReply);
      break;
    case 7:
      d.Kind = "silence";
      f.SilentAt = stopStage();
      if (f.SilentAt == Stage::Transferring) {
        f.SilentBlock = std::uint32_t(pick(0, int(blocks) - 1));
        // Sixteen resends, each the resend byte and the block with its checksum.
        d.BytesAfterAllowed = std::uint32_t(kResendsPromised) * (1 + 1025);
      }
      d.Name = std::string("silent from ") + StageText(f.SilentAt) +
               (f.SilentAt == Stage::Transferring ? " block " + std::to_string(f.SilentBlock) : "");
      d.Outcome = Expect::Failure;
      d.FailurePrefixes = {"  ERROR:No Response from STB", "  DownLoad Fail !!"};
      break;
    case 8:
      d.Kind = "hang-up";
      f.HangUpAt = stopStage();
      if (f.HangUpAt == Stage::Transferring) f.HangUpBlock = std::uint32_t(pick(0, int(blocks) - 1));
      d.Name = std::string("hang-up at ") + StageText(f.HangUpAt) +
               (f.HangUpAt == Stage::Transferring ? " block " + std::to_string(f.HangUpBlock) : "");
      d.Outcome = Expect::Failure;
      d.FailurePrefixes = {"  ERROR:Serial Line Lost", "  DownLoad Fail !!"};
      d.MayStopProbing = f.HangUpAt == Stage::Identified;
      break;
    case 9:
    case 10: {
      d.Kind = "junk";
      f.Junk.clear();
      for (int n = pick(1, 4); n > 0; --n) f.Junk.push_back(std::uint8_t(pick(0, 255)));
      f.JunkEarly = pick(0, 1) == 1;
      if (f.JunkEarly) {
        static const Stage kEarly[] = {Stage::DownloadCrc, Stage::FlashWrite, Stage::VersionUpdate,
                                       Stage::VersionTable};
        f.JunkAt = kEarly[pick(0, 3)];
      } else {
        f.JunkAt = pick(0, 3) == 0 ? Stage::Probed : stopStage();
        if (f.JunkAt == Stage::Transferring) f.JunkBlock = std::uint32_t(pick(0, int(blocks) - 1));
        // Junk where a reply is read as it comes may spoil it; the console
        // must then fail cleanly, or never claim what did not happen.
        if (f.JunkAt != Stage::Probed) d.Outcome = Expect::Either;
      }
      d.Name = std::to_string(f.Junk.size()) + " junk byte(s) " + (f.JunkEarly ? "early for " : "at ") +
               StageText(f.JunkAt) + (f.JunkAt == Stage::Transferring ? " block " + std::to_string(f.JunkBlock) : "");
      break;
    }
    case 11: {
      d.Kind = "reply delay";
      // A probe reply later than the 200 ms read time-out is never heard, so
      // slower receivers only ever see the probe. The receiver waits twice
      // before its reply to block 0 (entering the transfer, then the block),
      // so from 100 ms on that reply may come too late and fail the download.
      static const int kDelays[] = {20, 60, 120, 170};
      f.ReplyDelayMs = kDelays[pick(0, 3)];
      d.Name = "reply delay " + std::to_string(f.ReplyDelayMs) + " ms";
      if (f.ReplyDelayMs > 60) d.Outcome = Expect::Either;
      break;
    }
    case 13: {
      d.Kind = "late reply";
      if (blocks == 0) {
        d.Name = "none (no block to answer late)";
        break;
      }
      // One reply held back: past the first reply byte's time-out it is read
      // in the quiet spell that follows; later still, the block goes again
      // while the receiver has moved on.
      static const int kLate[] = {100, 180, 250, 300, 600};
      f.LateBlock = pick(0, int(blocks) - 1);
      f.LateMs = kLate[pick(0, 4)];
      d.Name = "reply to block " + std::to_string(f.LateBlock) + " " + std::to_string(f.LateMs) + " ms late";
      if (f.LateMs > 250) {
        d.Outcome = Expect::Either;
        d.BytesAfterAllowed = std::uint32_t(kMaxResends) * (1 + 1025);
      }
      break;
    }
    case 14:
      d.Kind = "noise between blocks";
      if (blocks == 0) {
        d.Name = "none (no block)";
        break;
      }
      f.Junk.clear();
      for (int n = pick(1, 4); n > 0; --n) f.Junk.push_back(std::uint8_t(pick(0, 255)));
      f.NoiseBlock = pick(0, int(blocks) - 1);
      d.Name = std::to_string(f.Junk.size()) + " noise byte(s) after the reply to block " +
               std::to_string(f.NoiseBlock);
      // Behind the last block's reply the noise races the console's flush
      // before the total checksum, and may be read as the verdict's lead-in.
      if (std::uint32_t(f.NoiseBlock) + 1 == blocks) d.Outcome = Expect::Either;
      break;
    case 15:
      d.Kind = "console stall";
      d.StallAtMs = pick(0, 4000);
      d.StallMs = pick(50, 1500);
      d.Name = "the console's thread stalls " + std::to_string(d.StallMs) + " ms, " + std::to_string(d.StallAtMs) +
               " ms after the keyword";
      break;
    default:
      d.Kind = "flash delay";
      d.Cfg.FlashWriteDelayMs = pick(0, 300);
      d.Name = "flash write delay " + std::to_string(d.Cfg.FlashWriteDelayMs) + " ms";
      break;
  }
  if (d.Outcome != Expect::Success && d.FailurePrefixes.empty()) d.FailurePrefixes = {"  "};
  return d;
}

// --- one run, in the child -------------------------------------------------------

enum Verdict { kSuccess, kCorrectFailure, kFalseSuccess, kBadFailure, kCrash, kHang, kBytesAfter, kPortHeld, kVerdicts };
const char* const kVerdictNames[kVerdicts] = {"successes",   "correct failures", "false successes", "bad failures",
                                              "crashes",     "hangs",            "bytes after failure",
                                              "port held"};

bool StartsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

// Bytes the receiver saw from the console after the download had ended.
std::uint32_t BytesAfterEnd(const stbsim::Summary& sum, std::string& text) {
  std::uint32_t total = 0;
  for (const auto& v : sum.Violations) {
    if (v.find("byte(s) from the console after") == std::string::npos) continue;
    total += std::uint32_t(std::strtoul(v.c_str(), nullptr, 10));
    text = v;
  }
  return total;
}

std::string LastLines(const std::vector<std::string>& log, std::size_t n) {
  std::string out;
  for (std::size_t i = log.size() > n ? log.size() - n : 0; i < log.size(); ++i) out += " | " + log[i];
  return out;
}

struct Outcome {
  Verdict V;
  std::string Why;
};

Outcome JudgeRun(const Draw& d) {
  Workbench bench;
  JobFile job;
  job.Selector = d.Selector;
  job.Address = Format("0x%08X", d.Cfg.Id.DownloadAddress);
  bench.WriteJob(d.Mode, job);
  const auto image = bench.WriteImage(job.Image, d.ImageBytes, unsigned(d.ImageBytes));

  Session rig(d.Cfg);
  const int receiverDescriptors = DescriptorsOn(rig.PortPath());
  rig.SilenceLimitMs = kSilenceLimitMs;
  rig.Open();
  rig.Type(kKeywords[d.Mode]);
  if (d.StallMs > 0)
    QTimer::singleShot(d.StallAtMs, [ms = d.StallMs] { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); });

  auto stoppedProbing = [&rig] {
    const auto log = rig.Log();
    return !rig.Form().Download().Running() && !rig.Form().PortOpen() && !log.empty() &&
           log.back() == "  ERROR:Serial Line Lost - Probe !!";
  };
  const bool ended =
      rig.RunUntil([&] { return rig.Closed() || (d.MayStopProbing && stoppedProbing()); }, kCloseBoundMs);
  if (!ended)
    return {kHang, "the window did not close within " + std::to_string(kCloseBoundMs) + " ms:" + LastLines(rig.Log(), 6)};
  const bool closed = rig.Closed();

  // Anything the window still sends after its verdict reaches the receiver now.
  rig.RunFor(300);
  const auto log = rig.Log();
  const auto dialogs = rig.Dialogs;
  const bool claimed = Contains(log, "Congraturation! Software Upgrade OK !!!") ||
                       Contains(dialogs, "Congraturation! Software Upgrade OK !!!!");
  rig.DestroyForm();
  // Nothing of ours may still point at the device, and, where the receiver
  // has not pulled it away, a new component must be able to open it.
  const bool portFree = DescriptorsOn(rig.PortPath()) <= receiverDescriptors &&
                        (d.Cfg.Fault.HangUpAt != Stage::Off || rig.PortFree());
  rig.Rx().WaitFinished(200);
  rig.Rx().Stop();
  const stbsim::Summary sum = rig.Rx().GetSummary();
  const std::string tail = log.empty() ? "" : log.back();

  if (claimed) {
    if (!sum.Success || rig.Rx().Flash() != Padded(image))
      return {kFalseSuccess, "the window said OK; receiver: " + sum.ToText()};
    if (!sum.Violations.empty()) return {kFalseSuccess, "OK with violations: " + sum.ToText()};
    if (!closed) return {kBadFailure, "success but the window stayed open"};
  } else {
    if (d.Outcome == Expect::Success) return {kBadFailure, "failed where it must succeed:" + LastLines(log, 6)};
    bool matched = false;
    for (const auto& line : log)
      for (const auto& p : d.FailurePrefixes) matched = matched || StartsWith(line, p);
    if (!StartsWith(tail, "  ") || !matched) return {kBadFailure, "failure without its log line; last '" + tail + "'"};
  }
  std::string after;
  const std::uint32_t bytesAfter = BytesAfterEnd(sum, after);
  if (!claimed && bytesAfter > d.BytesAfterAllowed) return {kBytesAfter, after};
  if (!portFree) return {kPortHeld, "the port stayed held after the window was destroyed"};
  return {claimed ? kSuccess : kCorrectFailure, closed ? tail : "stopped probing: " + tail};
}

int RunChild(const Draw& d, int fd) {
  int argc = 1;
  char name[] = "soak";
  char* argv[] = {name, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  TApplication app(argc, argv);
  TApplication::setQuitOnLastWindowClosed(false);
  Outcome o{kCrash, "threw"};
  try {
    o = JudgeRun(d);
  } catch (const std::exception& e) {
    o = {kCrash, std::string("exception: ") + e.what()};
  }
  const std::string line = std::to_string(int(o.V)) + "\t" + o.Why + "\n";
  (void)!write(fd, line.data(), line.size());
  return 0;
}

// --- the batch, in the parent -----------------------------------------------------------

Outcome RunOne(const Draw& d) {
  int fds[2];
  if (pipe(fds) != 0) return {kCrash, "pipe failed"};
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    _exit(RunChild(d, fds[1]));
  }
  close(fds[1]);
  std::string reply;
  const auto start = std::chrono::steady_clock::now();
  bool killed = false;
  for (;;) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    const int left = kKillBoundMs - int(waited.count());
    if (left <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    reply.append(buf, std::size_t(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (killed) return {kHang, "no verdict within " + std::to_string(kKillBoundMs) + " ms"};
  if (WIFSIGNALED(status)) return {kCrash, std::string("signal ") + strsignal(WTERMSIG(status))};
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || reply.empty())
    return {kCrash, "exit status " + std::to_string(WEXITSTATUS(status))};
  const int v = std::atoi(reply.c_str());
  const auto tab = reply.find('\t');
  std::string why = tab == std::string::npos ? "" : reply.substr(tab + 1);
  while (!why.empty() && why.back() == '\n') why.pop_back();
  return {v >= 0 && v < kVerdicts ? Verdict(v) : kCrash, why};
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 40;
  std::uint64_t seed = 1;
  int only = -1;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : "0"; };
    if (a == "--runs") runs = std::atoi(next());
    else if (a == "--seed") seed = std::strtoull(next(), nullptr, 10);
    else if (a == "--only") only = std::atoi(next());
    else if (a == "--verbose" || a == "-v") verbose = true;
    else {
      std::fprintf(stderr, "usage: soak [--runs N] [--seed S] [--only K] [--verbose]\n");
      return 2;
    }
  }

  std::array<int, kVerdicts> counts{};
  std::map<std::string, int> faultCounts;
  const auto start = std::chrono::steady_clock::now();
  const int first = only >= 0 ? only : 0;
  const int last = only >= 0 ? only + 1 : runs;
  for (int k = first; k < last; ++k) {
    const Draw d = DrawRun(seed, k);
    const auto t0 = std::chrono::steady_clock::now();
    const Outcome o = RunOne(d);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    ++counts[o.V];
    faultCounts[d.Kind]++;
    const bool bad = o.V != kSuccess && o.V != kCorrectFailure;
    if (verbose || bad)
      std::printf("%s run %d: mode %d, %zu bytes, %s: %s (%s) [%lld ms]  -- soak --seed %llu --only %d\n",
                  bad ? "BAD" : "   ", k, d.Mode, d.ImageBytes, d.Name.c_str(), kVerdictNames[o.V], o.Why.c_str(),
                  (long long)ms, (unsigned long long)seed, k);
    std::fflush(stdout);
  }
  const auto total =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();

  std::printf("\nsoak: seed %llu, %d runs in %lld s\n", (unsigned long long)seed, last - first, (long long)total);
  std::printf("  %-22s %6d\n", "runs", last - first);
  for (int v = 0; v < kVerdicts; ++v) std::printf("  %-22s %6d\n", kVerdictNames[v], counts[std::size_t(v)]);
  std::printf("  faults drawn:");
  for (const auto& [name, n] : faultCounts) std::printf(" %s %d,", name.c_str(), n);
  std::printf("\n");
  const int badRuns = last - first - counts[kSuccess] - counts[kCorrectFailure];
  return badRuns == 0 ? 0 : 1;
}
