// stb-downloader --console as a script runs it: no display, the keyword on
// standard input, the simulated receiver on a pty, and what comes out: the
// log or the JSON events, the messages, the record and the exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "Harness.h"
#include "Processes.h"
#include "Download.h"
#include "TraceText.h"
#include "WireTrace.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The terminal face as a process of its own.
pid_t SpawnConsole(const fs::path& dir, const std::string& input, std::vector<std::string> args) {
  args.insert(args.begin(), {STB_DOWNLOADER, "--console"});
  return SpawnProgram(dir, input, std::move(args));
}

int RunConsole(const fs::path& dir, const std::string& input, std::vector<std::string> args, int timeoutMs) {
  const pid_t pid = SpawnConsole(dir, input, std::move(args));
  return pid < 0 ? -2 : AwaitExit(pid, timeoutMs);
}

// The payload of a line at 115200 bit/s: 1024 bytes of each block in the
// 1028 that the block, its checksum and its reply take on the line.
constexpr double kPayloadLimit = 11520.0 * 1024 / 1028;

// What a successful run tells a program that follows it: every numbered
// step in order, the whole image before the receiver's checks, and a pace no
// line can beat with the time left at that pace, none after the last block.
// From half way on the pace is steady: within a tenth of the last, a margin
// a loaded machine's late wake-ups stay well inside.
void ExpectEveryStepAndAPaceTheLineCarries(const std::vector<QJsonObject>& events) {
  std::vector<int> steps;
  std::vector<double> secondHalf;
  bool wholeImage = false, wholeBeforeChecks = false;
  for (const QJsonObject& e : events) {
    if (e["event"] == "step") steps.push_back(e["step"].toInt());
    if (e["event"] == "step" && e["step"] == 4) wholeBeforeChecks = wholeImage;
    if (e["event"] != "progress" || e["phase"] != "download") continue;
    const std::int64_t bytes = e["bytes"].toInteger(), total = e["total"].toInteger();
    wholeImage |= bytes == total && e["percent"] == 100;
    if (e["rate"].isNull()) continue;
    const double rate = e["rate"].toDouble(), left = e["seconds_left"].toDouble();
    EXPECT_LE(rate, kPayloadLimit + 0.05) << bytes << " bytes";
    // Each written to a tenth.
    EXPECT_NEAR(left, double(total - bytes) / rate, 0.06) << bytes << " bytes";
    if (bytes == total) {
      EXPECT_EQ(left, 0.0);
    }
    if (2 * bytes >= total) secondHalf.push_back(rate);
  }
  for (double rate : secondHalf) EXPECT_NEAR(rate, secondHalf.back(), secondHalf.back() / 10);
  EXPECT_EQ(steps, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_TRUE(wholeBeforeChecks) << "the whole image is told before step 4";
}

struct ConsoleRow {
  const char* name;
  std::string input;  // standard input
  std::vector<std::string> args;
  void (*fault)(stbsim::Config&);
  int exitStatus;
  const char* result;   // the result event's, or the record's
  const char* lastLog;  // the last log line: what happened, when it did not succeed
};

void PrintTo(const ConsoleRow& r, std::ostream* os) { *os << r.name; }

class ConsoleFace : public ::testing::TestWithParam<ConsoleRow> {};

TEST_P(ConsoleFace, RunsOneDownloadFromAScript) {
  const ConsoleRow& row = GetParam();
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  const auto image = bench.WriteImage("image.bin", 20 * 1024 + 7);
  stbsim::Config cfg;
  row.fault(cfg);
  stbsim::Receiver rx(cfg);
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();
  std::vector<std::string> args = row.args;
  args.insert(args.end(), {"--port", rx.ConsolePath()});
  const bool json = std::find(args.begin(), args.end(), "--json") != args.end();

  EXPECT_EQ(RunConsole(bench.Dir(), row.input, args, 90000), row.exitStatus);
  const auto out = FileLines(bench.Dir() / "stdout.txt");
  const std::string err = [&] {
    std::ifstream in(bench.Dir() / "stderr.txt");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }();
  ASSERT_FALSE(out.empty()) << err;

  std::vector<std::string> log;
  QJsonObject result;
  std::vector<QJsonObject> events;
  for (const std::string& line : out) {
    if (!json) {
      log.push_back(line);
      continue;
    }
    const QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    ASSERT_FALSE(event.isEmpty()) << "not a JSON object: " << line;
    events.push_back(event);
    if (event["event"] == "progress" && event["phase"] == "download") {
      // The transfer's percent is its bytes' share, the bar a block ahead of the counter at most.
      const std::int64_t bytes = event["bytes"].toInteger(), total = event["total"].toInteger();
      EXPECT_GE(event["percent"].toInt(), ProgressPercent(bytes, total)) << line;
      EXPECT_LE(event["percent"].toInt(), ProgressPercent(std::min(bytes + 1024, total), total)) << line;
    }
    if (event["event"] == "log") log.push_back(event["text"].toString().toStdString());
    if (event["event"] == "result") result = event;
  }
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), std::string(73, '-'));
  EXPECT_EQ(log.back(), row.lastLog) << err;
  if (json) {
    ASSERT_FALSE(result.isEmpty()) << "no result event";
    EXPECT_EQ(out.back().find("{\"event\":\"result\""), 0u) << "the result comes last";
    EXPECT_EQ(result["result"].toString().toStdString(), row.result);
    if (row.exitStatus == 0) ExpectEveryStepAndAPaceTheLineCarries(events);
  }
  const auto records = FinalRecords(bench.RecordDir() / "downloads.jsonl");
  if (row.exitStatus == 2) {
    EXPECT_TRUE(records.empty());
    return;
  }
  ASSERT_EQ(records.size(), 1u);
  const QJsonObject record = QJsonDocument::fromJson(QByteArray::fromStdString(records[0])).object();
  EXPECT_EQ(record["result"].toString().toStdString(), row.result);
  EXPECT_EQ(FileLines(record["log"].toString().toStdString()), log) << "the saved log is the log printed";
  if (json) {
    EXPECT_EQ(result["record"].toObject(), record);
  }
  if (row.exitStatus == 0) {
    ASSERT_TRUE(rx.WaitFinished(5000));
    EXPECT_EQ(rx.Flash(), Padded(image));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Script, ConsoleFace,
    ::testing::Values(
        ConsoleRow{"PlainSuccessOnAPacedLine", "W4n!Rk\n", {}, [](stbsim::Config& c) { c.Paced = true; }, 0, "success",
                   "Please Turn Off and On the STB set !!!"},
        ConsoleRow{"JsonSuccessOnAPacedLine", "W4n!Rk\n", {"--json"}, [](stbsim::Config& c) { c.Paced = true; }, 0,
                   "success", "Please Turn Off and On the STB set !!!"},
        ConsoleRow{"JsonFlashWriteFailure", "W4n!Rk\n", {"--json"}, [](stbsim::Config& c) { c.Fault.FlashByteAt = 1; },
                   1, "failure", "  What happened: the box reported a flash write error at mark 2 of 6"},
        ConsoleRow{"JsonAddressMismatchStopsUnlessTold", "W4n!Rk\n", {"--json"},
                   [](stbsim::Config& c) { c.Id.DownloadAddress = 0x80020000; }, 1, "stopped",
                   "  What happened: the box's download address 0x80020000 is not the description's: stopped at the "
                   "question"},
        ConsoleRow{"AddressMismatchGoesOnWhenTold", "W4n!Rk\n", {"--address-mismatch", "continue"},
                   [](stbsim::Config& c) { c.Id.DownloadAddress = 0x80020000; }, 0, "success",
                   "Please Turn Off and On the STB set !!!"},
        ConsoleRow{"KeywordWithoutALineEnd", "W4n!Rk", {}, [](stbsim::Config&) {}, 0, "success",
                   "Please Turn Off and On the STB set !!!"},
        ConsoleRow{"WrongKeywordIsNoDownload", "W4n!Rx\n", {"--json"}, [](stbsim::Config&) {}, 2, "no-download",
                   "-------------------------------------------------------------------------"}),
    [](const auto& row) { return std::string(row.param.name); });

// Stopped while it probes for a box that never answers: no download reached
// a receiver, so no record and status 2, whichever signal it was.
struct SignalRow {
  const char* name;
  int signal;
  const char* said;  // how the signal is named
};

void PrintTo(const SignalRow& r, std::ostream* os) { *os << r.name; }

class ConsoleFaceStopped : public ::testing::TestWithParam<SignalRow> {};

TEST_P(ConsoleFaceStopped, BeforeTheTransferEndsWithoutADownload) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 4096);
  PtyPair line;
  const pid_t pid = SpawnConsole(bench.Dir(), "W4n!Rk\n", {"--json", "--port", line.NearPath()});
  ASSERT_GT(pid, 0);
  // Its first probe: the keyword was taken and the face waits in its loop.
  const auto probe = line.Read(6, 60000);
  ASSERT_GE(probe.size(), 6u);
  EXPECT_EQ(std::vector<std::uint8_t>(probe.begin(), probe.begin() + 6),
            (std::vector<std::uint8_t>{0x1F, 'N', 'A', 'T', 'I', 'V'}));
  ASSERT_EQ(kill(pid, GetParam().signal), 0);
  EXPECT_EQ(AwaitExit(pid, 60000), 2);
  const auto out = FileLines(bench.Dir() / "stdout.txt");
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back().rfind("{\"event\":\"result\",\"result\":\"no-download\",", 0), 0u) << out.back();
  // Said in a word, and given as the cause.
  EXPECT_TRUE(Contains(out, std::string("{\"event\":\"log\",\"text\":\"  What happened: stopped before a box answered: ") +
                                GetParam().said + "\"}"))
      << ::testing::PrintToString(out);
  EXPECT_NE(out.back().find("\"cause\":\"no-receiver\""), std::string::npos) << out.back();
  EXPECT_TRUE(FileLines(bench.RecordDir() / "downloads.jsonl").empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, ConsoleFaceStopped,
                         ::testing::Values(SignalRow{"Interrupt", SIGINT, "interrupted (Ctrl-C)"},
                                           SignalRow{"Terminate", SIGTERM, "terminated (SIGTERM)"}),
                         [](const auto& row) { return std::string(row.param.name); });

// The device goes away while it probes (an adapter pulled out; here the pty's
// far end closes): nobody at a script's side can plug it back in, so the run
// ends with a message naming the port, status 2 and no record.
TEST(ConsoleFaceLostPort, WhileProbingEndsNamingThePort) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 4096);
  PtyPair line;
  const pid_t pid = SpawnConsole(bench.Dir(), "W4n!Rk\n", {"--json", "--port", line.NearPath()});
  ASSERT_GT(pid, 0);
  ASSERT_GE(line.Read(6, 60000).size(), 6u);
  line.HangUp();
  EXPECT_EQ(AwaitExit(pid, 60000), 2);
  const auto out = FileLines(bench.Dir() / "stdout.txt");
  const auto err = FileLines(bench.Dir() / "stderr.txt");
  ASSERT_FALSE(err.empty());
  EXPECT_NE(err.back().find(line.NearPath()), std::string::npos) << err.back();
  EXPECT_TRUE(Contains(out, "{\"event\":\"log\",\"text\":\"  ERROR:Serial Line Lost - Probe !!\"}"));
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back().rfind("{\"event\":\"result\",\"result\":\"no-download\",", 0), 0u) << out.back();
  EXPECT_TRUE(FileLines(bench.RecordDir() / "downloads.jsonl").empty());
}

// --- the wire trace ----------------------------------------------------------------------------

QJsonObject OnlyRecord(const Workbench& bench) {
  const auto records = FinalRecords(bench.RecordDir() / "downloads.jsonl");
  return records.size() == 1 ? QJsonDocument::fromJson(QByteArray::fromStdString(records[0])).object()
                             : QJsonObject();
}

struct TraceRow {
  const char* name;
  std::size_t imageBytes;
  void (*fault)(stbsim::Config&);
  int exitStatus;
  int resends = 0;
};

// Block k as it goes on the line: its 1024 bytes of the image, zeros past the
// image's end, its checksum, and before a resent one the request byte 'A'.
std::vector<std::uint8_t> BlockOnTheLine(const std::vector<std::uint8_t>& image, std::size_t k, bool resend) {
  std::vector<std::uint8_t> out;
  if (resend) out.push_back('A');
  std::uint8_t sum = 0;
  for (std::size_t i = k * 1024; i < (k + 1) * 1024; ++i) {
    const std::uint8_t b = i < image.size() ? image[i] : 0;
    out.push_back(b);
    sum = std::uint8_t(sum + b);
  }
  out.push_back(sum);
  return out;
}

// Every line that names a block, with the lines that continue it, holds that
// block exactly; every block is named once, and each resend once more.
void ExpectBlocksNamed(const WireBytes& trace, const std::vector<std::uint8_t>& image, int resends) {
  const std::size_t blocks = (image.size() + 1023) / 1024;
  std::vector<int> sent(blocks, 0);
  int resent = 0;
  for (std::size_t i = 0; i < trace.Blocks.size();) {
    const std::string& label = trace.Blocks[i].Label;
    ASSERT_EQ(label.find("continued"), std::string::npos) << "a block's first line says it continues: " << label;
    const std::size_t k = std::stoul(label.substr(std::string("block ").size()));
    const bool resend = label.find("(resend)") != std::string::npos;
    std::vector<std::uint8_t> bytes = trace.Blocks[i].Bytes;
    for (++i; i < trace.Blocks.size() && trace.Blocks[i].Label.find("continued") != std::string::npos; ++i)
      bytes.insert(bytes.end(), trace.Blocks[i].Bytes.begin(), trace.Blocks[i].Bytes.end());
    ASSERT_LT(k, blocks) << label;
    EXPECT_TRUE(bytes == BlockOnTheLine(image, k, resend)) << "the line named " << label << " holds other bytes";
    if (resend) ++resent;
    else ++sent[k];
  }
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 1), std::ptrdiff_t(blocks));
  EXPECT_EQ(resent, resends);
}

void PrintTo(const TraceRow& r, std::ostream* os) { *os << r.name; }

class ConsoleTrace : public ::testing::TestWithParam<TraceRow> {};

// --trace FILE holds every byte of the run, each direction exactly as the
// simulated receiver took it from the line and put it on.
TEST_P(ConsoleTrace, IsTheWireAsTheReceiverSawIt) {
  const TraceRow& row = GetParam();
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  const auto image = bench.WriteImage("image.bin", row.imageBytes);
  stbsim::Config cfg;
  row.fault(cfg);
  stbsim::Receiver rx(cfg);
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.KeepWireAccount();
  rx.Start();
  const fs::path file = bench.Dir() / "wire.txt";
  EXPECT_EQ(RunConsole(bench.Dir(), "W4n!Rk\n", {"--trace", file.string(), "--port", rx.ConsolePath()}, 90000),
            row.exitStatus);
  ASSERT_TRUE(rx.WaitFinished(10000));
  const WireBytes trace = ReadTrace(ReadAll(file));
  const WireBytes account = ReadReceiverAccount(rx.WireAccount());
  EXPECT_EQ(trace.Problem, "");
  ASSERT_FALSE(trace.Notes.empty());
  EXPECT_NE(trace.Notes[0].find(rx.ConsolePath()), std::string::npos) << trace.Notes[0];
  EXPECT_GT(account.ToBox.size(), row.imageBytes);
  EXPECT_TRUE(trace.ToBox == account.ToBox) << trace.ToBox.size() << " bytes traced to the box, the receiver took "
                                            << account.ToBox.size();
  EXPECT_TRUE(trace.FromBox == account.FromBox) << trace.FromBox.size() << " bytes traced from the box, it sent "
                                                << account.FromBox.size();
  ExpectBlocksNamed(trace, image, row.resends);
  // A success keeps no trace beside its log; a failure does, whatever --trace said.
  EXPECT_EQ(OnlyRecord(bench).contains("trace"), row.exitStatus != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Downloads, ConsoleTrace,
    ::testing::Values(TraceRow{"Success", 20 * 1024 + 7, [](stbsim::Config&) {}, 0},
                      TraceRow{"SuccessOnAPacedLine", 6 * 1024, [](stbsim::Config& c) { c.Paced = true; }, 0},
                      TraceRow{"ResentBlocks", 12 * 1024,
                               [](stbsim::Config& c) {
                                 c.Fault.RejectBlock = 3;
                                 c.Fault.RejectTimes = 2;
                               },
                               0, 2},
                      TraceRow{"JunkThatAFlushDrops", 8 * 1024,
                               [](stbsim::Config& c) {
                                 c.Fault.JunkAt = stbsim::Stage::FlashWrite;
                                 c.Fault.JunkEarly = true;
                               },
                               0},
                      TraceRow{"FlashWriteFailure", 9 * 1024, [](stbsim::Config& c) { c.Fault.FlashByteAt = 1; }, 1}),
    [](const auto& row) { return std::string(row.param.name); });

// The probing: a receiver that refuses the mode word at once ("00 41 41 41",
// as a box set for another mode does) is heard at once. Each refusal is one
// line, stamped within a few milliseconds of the mode word it answers, not
// at the receive poll's next tick; on a line paced at 115200 too.
struct ProbeRow {
  const char* name;
  bool paced;
};

void PrintTo(const ProbeRow& r, std::ostream* os) { *os << r.name; }

class ConsoleTraceProbing : public ::testing::TestWithParam<ProbeRow> {};

TEST_P(ConsoleTraceProbing, ARefusalIsOneLineStampedAtOnce) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 4 * 1024);
  stbsim::Config cfg;
  cfg.Paced = GetParam().paced;
  cfg.Id.AcceptMode = 3;
  cfg.Fault.RefuseReply = {0x00, 0x41, 0x41, 0x41};
  stbsim::Receiver rx(cfg);
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.KeepWireAccount();
  rx.Start();
  const fs::path file = bench.Dir() / "wire.txt";
  const pid_t pid = SpawnConsole(bench.Dir(), "W4n!Rk\n", {"--trace", file.string(), "--port", rx.ConsolePath()});
  ASSERT_GT(pid, 0);
  // Three refusals sent, then the console is stopped as an operator would.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  // On a paced line the receiver's account has a line per byte.
  auto refusals = [&] {
    const auto sent = ReadReceiverAccount(rx.WireAccount()).FromBox;
    return std::size_t(std::count(sent.begin(), sent.end(), std::uint8_t(0x00)));
  };
  while (refusals() < 3 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GE(refusals(), 3u) << rx.WireAccount();
  kill(pid, SIGTERM);
  EXPECT_EQ(AwaitExit(pid, 60000), 2);

  // After each mode word, the refusal whole, within 20 ms.
  std::istringstream in(ReadAll(file));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("#", 0) != 0) lines.push_back(line);
  int checked = 0;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i].find(" > 1F 4E 41 54 49 56 | .NATIV") == std::string::npos) continue;
    const std::string& reply = lines[i + 1];
    const long sentMs = std::stol(lines[i]), repliedMs = std::stol(reply);
    EXPECT_EQ(reply.substr(reply.find(' ')), " < 00 41 41 41 | .AAA") << "the refusal cut: " << reply;
    EXPECT_LE(repliedMs - sentMs, 20) << lines[i] << "\n" << reply;
    ++checked;
  }
  EXPECT_GE(checked, 3) << ReadAll(file);
}

INSTANTIATE_TEST_SUITE_P(Probing, ConsoleTraceProbing,
                         ::testing::Values(ProbeRow{"Pty", false}, ProbeRow{"PacedLine", true}),
                         [](const auto& row) { return std::string(row.param.name); });

// Without being asked, a failed download keeps beside its log the handshake
// and the last 64 KiB of each direction, and its record names the file.
TEST(ConsoleTraceKept, AFailedDownloadsRecordNamesItsTrace) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  const std::size_t blocks = 300;
  bench.WriteImage("image.bin", blocks * 1024);
  stbsim::Config cfg;
  cfg.Fault.FlashByteAt = 1;
  stbsim::Receiver rx(cfg);
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.KeepWireAccount();
  rx.Start();
  EXPECT_EQ(RunConsole(bench.Dir(), "W4n!Rk\n", {"--port", rx.ConsolePath()}, 90000), 1);
  ASSERT_TRUE(rx.WaitFinished(10000));

  const QJsonObject record = OnlyRecord(bench);
  ASSERT_TRUE(record.contains("trace")) << "no trace in the record";
  const fs::path log = record["log"].toString().toStdString();
  const fs::path kept = record["trace"].toString().toStdString();
  EXPECT_EQ(kept, fs::path(log).replace_extension(".trace.txt")) << "beside the log, under its name";
  const WireBytes trace = ReadTrace(ReadAll(kept));
  const WireBytes account = ReadReceiverAccount(rx.WireAccount());
  EXPECT_EQ(trace.Problem, "");

  // The handshake: the receiver's identification, and the address and block count sent.
  const std::string from(trace.FromBox.begin(), trace.FromBox.end()), to(trace.ToBox.begin(), trace.ToBox.end());
  EXPECT_NE(from.find("ACK"), std::string::npos);
  EXPECT_NE(to.find(std::string("ok\x00\x00\x01\x80", 6) + char(blocks & 0xFF) + char(blocks >> 8)),
            std::string::npos);
  // The last bytes of each direction, and no more than they and the handshake.
  const std::size_t keep = TWireTrace::kKeptPerDirection;
  EXPECT_TRUE(LastBytes(trace.ToBox, keep) == LastBytes(account.ToBox, keep));
  EXPECT_TRUE(LastBytes(trace.FromBox, keep) == LastBytes(account.FromBox, keep));
  EXPECT_LE(trace.ToBox.size(), keep + TWireTrace::kKeptBeforeReached + 64);
  EXPECT_LT(trace.ToBox.size(), account.ToBox.size());
}

// A --trace file that cannot be written costs one line of the log, and the
// download goes on to its end.
TEST(ConsoleTraceUnwritable, IsSaidOnceAndTheDownloadGoesOn) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  const auto image = bench.WriteImage("image.bin", 30 * 1024);
  stbsim::Receiver rx(stbsim::Config{});
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();
  const std::string file = (bench.Dir() / "no-such-folder" / "wire.txt").string();
  EXPECT_EQ(RunConsole(bench.Dir(), "W4n!Rk\n", {"--trace", file, "--port", rx.ConsolePath()}, 90000), 0);
  ASSERT_TRUE(rx.WaitFinished(5000));
  EXPECT_EQ(rx.Flash(), Padded(image));
  const auto out = FileLines(bench.Dir() / "stdout.txt");
  const auto said = std::count_if(out.begin(), out.end(), [&](const std::string& l) {
    return l.rfind("  Warning: the wire trace is not written: " + file, 0) == 0;
  });
  EXPECT_EQ(said, 1) << ::testing::PrintToString(out);
  EXPECT_EQ(out.back(), "Please Turn Off and On the STB set !!!");
}

// --- what happened, and nothing lost ---------------------------------------------------------

QJsonObject Json(const std::string& line) { return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object(); }

// Waits for the receiver to have taken `blocks`; false after timeoutMs.
bool AwaitBlocks(stbsim::Receiver& rx, std::uint32_t blocks, int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (rx.GetSummary().BlocksAccepted < blocks)
    if (std::chrono::steady_clock::now() > until) return false;
    else std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return true;
}

// A station killed mid-transfer leaves its running line and the side file
// counting its blocks; the next start of the program, whatever it then
// does, closes that download in the record as interrupted.
TEST(ConsoleFaceKilled, TheNextStartRecordsTheDownloadAsInterrupted) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 120 * 1024);
  stbsim::Config cfg;
  cfg.Paced = true;
  stbsim::Receiver rx(cfg);
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();
  const pid_t pid = SpawnConsole(bench.Dir(), "W4n!Rk\n", {"--json", "--port", rx.ConsolePath()});
  ASSERT_GT(pid, 0);
  // The side file has counted once blocks went out for more than a second.
  const fs::path records = bench.RecordDir() / "downloads.jsonl";
  const auto sideFile = [&] {
    for (const auto& e : fs::directory_iterator(bench.RecordDir()))
      if (e.path().extension() == ".running") return e.path();
    return fs::path();
  };
  ASSERT_TRUE(AwaitBlocks(rx, 15, 60000));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (sideFile().empty() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_FALSE(sideFile().empty()) << "no side file counting the blocks";
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_EQ(AwaitExit(pid, 60000), -3);
  const auto before = FileLines(records);
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(Json(before[0])["result"], "running");

  // The next start: a wrong word, no download of its own.
  rx.Stop();
  PtyPair line;
  EXPECT_EQ(RunConsole(bench.Dir(), "nothing\n", {"--port", line.NearPath()}, 60000), 2);
  const auto after = FileLines(records);
  ASSERT_EQ(after.size(), 2u);
  const QJsonObject marked = Json(after[1]);
  EXPECT_EQ(marked["result"], "failure");
  EXPECT_EQ(marked["cause"], "interrupted");
  EXPECT_EQ(marked["run"], Json(before[0])["run"]);
  EXPECT_GE(marked["blocks_accepted"].toInt(), 1);
  EXPECT_LE(marked["blocks_accepted"].toInt(), int(rx.GetSummary().BlocksAccepted));
  EXPECT_TRUE(sideFile().empty()) << "the side file is gone with its download";
  const auto out = FileLines(bench.Dir() / "stdout.txt");
  EXPECT_TRUE(std::any_of(out.begin(), out.end(), [](const std::string& l) {
    return l.rfind("  An earlier download did not end", 0) == 0;
  })) << ::testing::PrintToString(out);

  // Marked once: a third start leaves the record as it is.
  EXPECT_EQ(RunConsole(bench.Dir(), "nothing\n", {"--port", line.NearPath()}, 60000), 2);
  EXPECT_EQ(FileLines(records).size(), 2u);
}

// A state folder that cannot be written: the download goes on, and the
// record that could not be kept is said on standard error and in the result.
TEST(ConsoleFaceUnwritableState, IsSaidOnStandardErrorAndInTheResult) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 8 * 1024);
  fs::create_directories(bench.Dir() / "state");
  std::ofstream(bench.Dir() / "state" / "stb-downloader") << "a file where the folder should be";
  stbsim::Receiver rx(stbsim::Config{});
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();
  EXPECT_EQ(RunConsole(bench.Dir(), "W4n!Rk\n", {"--json", "--port", rx.ConsolePath()}, 90000), 0);
  const auto err = FileLines(bench.Dir() / "stderr.txt");
  EXPECT_TRUE(std::any_of(err.begin(), err.end(), [](const std::string& l) {
    return l.rfind("stb-downloader: Download record not saved: ", 0) == 0;
  })) << ::testing::PrintToString(err);
  const auto out = FileLines(bench.Dir() / "stdout.txt");
  ASSERT_FALSE(out.empty());
  const QJsonObject result = Json(out.back());
  EXPECT_EQ(result["result"], "success");
  EXPECT_NE(result["record_error"].toString().toStdString().find("Not a directory"), std::string::npos)
      << out.back();
}

// Ctrl-C or SIGTERM while blocks go out: the stop's line names the signal,
// and the result and the record say the download was stopped.
struct NamedSignalRow {
  const char* name;
  int signal;
  const char* line;
};

void PrintTo(const NamedSignalRow& r, std::ostream* os) { *os << r.name; }

class ConsoleFaceSignalled : public ::testing::TestWithParam<NamedSignalRow> {};

TEST_P(ConsoleFaceSignalled, MidTransferTheStopNamesTheSignal) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 120 * 1024);
  stbsim::Config cfg;
  cfg.Paced = true;
  stbsim::Receiver rx(cfg);
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();
  const pid_t pid = SpawnConsole(bench.Dir(), "W4n!Rk\n", {"--json", "--port", rx.ConsolePath()});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(AwaitBlocks(rx, 5, 60000));
  ASSERT_EQ(kill(pid, GetParam().signal), 0);
  EXPECT_EQ(AwaitExit(pid, 60000), 1);
  const auto out = FileLines(bench.Dir() / "stdout.txt");
  EXPECT_TRUE(Contains(out, "{\"event\":\"log\",\"text\":" + std::string(GetParam().line) + "}"))
      << ::testing::PrintToString(out);
  ASSERT_FALSE(out.empty());
  const QJsonObject result = Json(out.back());
  EXPECT_EQ(result["result"], "stopped");
  EXPECT_EQ(result["cause"], "stopped");
  EXPECT_EQ(result["record"].toObject()["cause"], "stopped");
}

INSTANTIATE_TEST_SUITE_P(
    Signals, ConsoleFaceSignalled,
    ::testing::Values(NamedSignalRow{"Interrupt", SIGINT, "\"  DownLoad stopped: interrupted (Ctrl-C) !!\""},
                      NamedSignalRow{"Terminate", SIGTERM, "\"  DownLoad stopped: terminated (SIGTERM) !!\""}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
