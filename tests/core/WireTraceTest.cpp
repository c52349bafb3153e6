// The wire trace: its lines, how bytes fall into runs, what a failed
// download keeps within its bounds, the whole run's file, a file that
// cannot be written, and the serial component telling it every byte that
// crosses a real pty, those an input flush drops included.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "PtyPair.h"
#include "SerialDrv.h"
#include "TestNames.h"
#include "TraceText.h"
#include "WireTrace.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kSent = TWireDirection::Sent;
constexpr auto kReceived = TWireDirection::Received;

// What follows the note lines.
std::string RunLines(const std::string& trace) {
  std::istringstream in(trace);
  std::string out;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("#", 0) != 0) out += line + "\n";
  return out;
}

void Feed(TWireTrace& trace, TWireDirection d, const std::vector<std::uint8_t>& bytes, std::uint32_t tick) {
  trace.WireBytes(d, bytes.data(), bytes.size(), tick);
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = std::uint8_t((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
  return out;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// --- one line ---------------------------------------------------------------------------------

struct LineRow {
  const char* name;
  std::uint32_t ms;
  TWireDirection direction;
  std::vector<std::uint8_t> bytes;
  const char* line;
};

void PrintTo(const LineRow& r, std::ostream* os) { *os << r.name; }

class TraceLine : public ::testing::TestWithParam<LineRow> {};

TEST_P(TraceLine, IsTimeDirectionHexAndText) {
  const LineRow& row = GetParam();
  std::string out;
  AppendTraceLine(out, row.ms, row.direction, row.bytes.data(), row.bytes.size());
  EXPECT_EQ(out, row.line);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TraceLine,
    ::testing::Values(LineRow{"WakeByteAloneHasNoText", 1000, kSent, {0x1F}, "1000 > 1F\n"},
                      LineRow{"ReplyWithTextShowsDotsForTheRest", 1003, kReceived, {0x06, 0x00, 'A', 'C', 'K'},
                              "1003 < 06 00 41 43 4B | ..ACK\n"},
                      LineRow{"BlankAndTildeArePrintableDelAndHighBytesAreNot", 0, kSent, {' ', '~', 0x7F, 0x80, 0xFF},
                              "0 > 20 7E 7F 80 FF |  ~...\n"},
                      LineRow{"NothingIsNoLine", 5, kReceived, {}, ""}),
    RowName());

// --- runs -----------------------------------------------------------------------------------------

struct Piece {
  TWireDirection direction;
  std::vector<std::uint8_t> bytes;
  std::uint32_t tick;
};

struct RunRow {
  const char* name;
  std::vector<Piece> pieces;
  const char* lines;
};

void PrintTo(const RunRow& r, std::ostream* os) { *os << r.name; }

class TraceRuns : public ::testing::TestWithParam<RunRow> {};

TEST_P(TraceRuns, OneLinePerRunOfBytesInOneDirection) {
  TWireTrace trace("/dev/pts/9");
  trace.PortOpened(100);
  for (const Piece& p : GetParam().pieces) Feed(trace, p.direction, p.bytes, p.tick);
  EXPECT_EQ(RunLines(trace.KeptText()), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, TraceRuns,
    ::testing::Values(
        RunRow{"BytesCloseTogetherAreOneRun",
               {{kSent, {0x1F}, 1100}, {kSent, Bytes("NATIV"), 1101}, {kSent, {0x00}, 1110}},
               "1000 > 1F 4E 41 54 49 56 00 | .NATIV.\n"},
        RunRow{"TheOtherDirectionStartsARun",
               {{kSent, Bytes("ok"), 1100}, {kReceived, Bytes("Size OK"), 1100}, {kSent, {0x1F}, 1100}},
               "1000 > 6F 6B | ok\n1000 < 53 69 7A 65 20 4F 4B | Size OK\n1000 > 1F\n"},
        RunRow{"ASilenceOfMoreThanTenMsStartsARun",
               {{kReceived, Bytes("o"), 1100}, {kReceived, Bytes("k"), 1111}},
               "1000 < 6F | o\n1011 < 6B | k\n"}),
    RowName());

TEST(TraceRuns, ARunIsCutAfter4096Bytes) {
  TWireTrace trace("/dev/pts/9");
  trace.PortOpened(0);
  const auto bytes = Pattern(4096 + 100, 1);
  Feed(trace, kSent, bytes, 5);
  const WireBytes back = ReadTrace(trace.KeptText());
  EXPECT_EQ(back.Problem, "");
  EXPECT_EQ(back.Runs, 2u);
  EXPECT_EQ(back.ToBox, bytes);
}

// --- the blocks' lines ------------------------------------------------------------------------------

fs::path TempDir();

// Bytes as they cross, or the exchange saying which block goes out next.
struct Step {
  TWireDirection direction;
  std::vector<std::uint8_t> bytes;
  std::uint32_t tick;
  std::int32_t block = -1;  // >= 0: no bytes, the block named
  bool resend = false;
};

Step BlockGoes(std::int32_t block, bool resend = false) { return Step{kSent, {}, 0, block, resend}; }

struct BlockRow {
  const char* name;
  std::vector<Step> steps;
  const char* lines;
};

void PrintTo(const BlockRow& r, std::ostream* os) { *os << r.name; }

class BlockLines : public ::testing::TestWithParam<BlockRow> {};

// The same lines in what a failed download keeps and in the --trace file.
TEST_P(BlockLines, NameTheBlockInTheTextColumn) {
  const fs::path dir = TempDir();
  std::string kept;
  {
    TWireTrace trace("/dev/pts/9", (dir / "wire.txt").string());
    trace.PortOpened(100);
    for (const Step& s : GetParam().steps) {
      if (s.block >= 0) trace.BlockGoingOut(s.block, s.resend);
      else Feed(trace, s.direction, s.bytes, s.tick);
    }
    kept = trace.KeptText();
  }
  EXPECT_EQ(RunLines(kept), GetParam().lines);
  EXPECT_EQ(RunLines(ReadFile(dir / "wire.txt")), GetParam().lines);
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, BlockLines,
    ::testing::Values(
        BlockRow{"ABlockNamesItselfInPlaceOfItsBytesAsText",
                 {BlockGoes(23), {kSent, Bytes("AB\x7F"), 1100}, {kReceived, Bytes("ok."), 1104}},
                 "1000 > 41 42 7F | block 23\n1004 < 6F 6B 2E | ok.\n"},
        BlockRow{"AResentBlockSaysSo",
                 {BlockGoes(3, true), {kSent, {0x41, 0x00, 0x01}, 1100}},
                 "1000 > 41 00 01 | block 3 (resend)\n"},
        BlockRow{"ABlockBeginsALineRightAfterOtherBytesToTheBox",
                 {{kSent, {0x1F}, 1100}, BlockGoes(0), {kSent, {0x00, 0x01}, 1101}},
                 "1000 > 1F\n1001 > 00 01 | block 0\n"},
        BlockRow{"TheRestOfABlockAfterASilenceContinuesIt",
                 {BlockGoes(5), {kSent, {0x01, 0x02}, 1100}, {kSent, {0x03}, 1120}},
                 "1000 > 01 02 | block 5\n1020 > 03 | block 5 (continued)\n"},
        BlockRow{"TheRestOfAResendContinuesIt",
                 {BlockGoes(5, true), {kSent, {0x41}, 1100}, {kSent, {0x03}, 1120}},
                 "1000 > 41 | block 5 (resend)\n1020 > 03 | block 5 (resend, continued)\n"},
        BlockRow{"BytesAfterTheBoxSpokeAreNoBlock",
                 {BlockGoes(7), {kSent, {0x01}, 1100}, {kReceived, Bytes("ok."), 1101}, {kSent, {0x1F}, 1200}},
                 "1000 > 01 | block 7\n1001 < 6F 6B 2E | ok.\n1100 > 1F\n"},
        BlockRow{"BytesFromTheBoxAreNeverABlock",
                 {BlockGoes(2), {kReceived, Bytes("ng!"), 1100}, {kSent, {0x01}, 1101}},
                 "1000 < 6E 67 21 | ng!\n1001 > 01 | block 2\n"}),
    RowName());

// --- what a failed download keeps ----------------------------------------------------------------

// A download as the wire carries it: probes, the handshake, `blocks` blocks
// each answered "ok.", fed to the trace with the moments the console marks.
struct Download {
  std::vector<std::uint8_t> probeSent, handshakeSent, handshakeReceived, blocksSent, blocksReceived;
};

Download RunDownload(TWireTrace& trace, int probes, int blocks) {
  Download d;
  std::uint32_t t = 0;
  trace.PortOpened(t);
  for (int i = 0; i < probes; ++i) {
    const auto probe = Bytes("\x1FNATIV");
    Feed(trace, kSent, probe, t += 1000);
    d.probeSent.insert(d.probeSent.end(), probe.begin(), probe.end());
  }
  const auto answer = Bytes(std::string("\x06\x00" "ACK", 5) + std::string(32, '\x12'));
  Feed(trace, kReceived, answer, t += 2);
  trace.DownloadReached();
  d.handshakeReceived = answer;
  d.handshakeSent = Bytes(std::string("ok\x80\x01\x00\x00\x14\x00", 8));
  Feed(trace, kSent, d.handshakeSent, t += 2);
  trace.TransferStarting();
  for (int b = 0; b < blocks; ++b) {
    const auto block = Pattern(1025, unsigned(b));
    Feed(trace, kSent, block, t += 20);
    Feed(trace, kReceived, Bytes("ok."), t += 70);
    d.blocksSent.insert(d.blocksSent.end(), block.begin(), block.end());
    for (char c : std::string("ok.")) d.blocksReceived.push_back(std::uint8_t(c));
  }
  return d;
}

std::vector<std::uint8_t> Joined(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct BoundRow {
  const char* name;
  int probes;
  int blocks;
};

void PrintTo(const BoundRow& r, std::ostream* os) { *os << r.name; }

class KeptTrace : public ::testing::TestWithParam<BoundRow> {};

// The handshake whole, with no more than 4 KiB of the probing before it;
// then the last 64 KiB of each direction; notes where bytes were left out.
TEST_P(KeptTrace, HoldsTheHandshakeAndTheLastBytesOfEachDirection) {
  TWireTrace trace("/dev/ttyUSB0");
  const Download d = RunDownload(trace, GetParam().probes, GetParam().blocks);
  const WireBytes back = ReadTrace(trace.KeptText());
  ASSERT_EQ(back.Problem, "");
  const std::size_t keep = TWireTrace::kKeptPerDirection;
  const auto probing = LastBytes(d.probeSent, TWireTrace::kKeptBeforeReached);
  EXPECT_EQ(back.ToBox, Joined(Joined(probing, d.handshakeSent), LastBytes(d.blocksSent, keep)));
  EXPECT_EQ(back.FromBox, Joined(d.handshakeReceived, LastBytes(d.blocksReceived, keep)));
  ASSERT_FALSE(back.Notes.empty());
  EXPECT_NE(back.Notes[0].find("/dev/ttyUSB0"), std::string::npos) << back.Notes[0];
  const std::size_t leftOut = d.blocksSent.size() - LastBytes(d.blocksSent, keep).size();
  const std::string note = "# " + std::to_string(leftOut) + " bytes to the box and 0 from it not kept between the "
                           "handshake and the last bytes";
  EXPECT_EQ(std::count(back.Notes.begin(), back.Notes.end(), note), leftOut > 0 ? 1 : 0) << back.Notes.back();
  // Every run kept holds at least one byte kept: the runs are bounded as the bytes are.
  EXPECT_LE(trace.HeldRuns(), back.Runs);
}

INSTANTIATE_TEST_SUITE_P(Bounds, KeptTrace,
                         ::testing::Values(BoundRow{"SmallImageWhole", 3, 10},
                                           BoundRow{"LargeImageLastBytes", 3, 1000},
                                           BoundRow{"LongProbingCutShort", 2000, 100}),
                         RowName());

// A download that ends before its first block keeps everything since the
// receiver answered; the next download keeps only its own.
TEST(KeptTrace, EachDownloadKeepsItsOwnHandshake) {
  TWireTrace trace("/dev/ttyUSB0");
  RunDownload(trace, 1, 200);
  trace.DownloadEnded();
  const Download second = RunDownload(trace, 1, 0);
  const WireBytes back = ReadTrace(trace.KeptText());
  EXPECT_EQ(back.Problem, "");
  EXPECT_EQ(LastBytes(back.ToBox, second.handshakeSent.size()), second.handshakeSent);
  EXPECT_LE(back.ToBox.size(), TWireTrace::kKeptBeforeReached + second.handshakeSent.size());
}

// --- the whole run's file ------------------------------------------------------------------------

fs::path TempDir() {
  char tmpl[] = "/tmp/stb-trace-XXXXXX";
  return mkdtemp(tmpl) != nullptr ? fs::path(tmpl) : fs::path();
}

TEST(WholeTrace, TheFileHoldsEveryByteOfTheRun) {
  const fs::path dir = TempDir();
  const fs::path file = dir / "wire.txt";
  Download d;
  {
    TWireTrace trace("/dev/ttyUSB0", file.string());
    d = RunDownload(trace, 5, 300);
    // Written in bulk while the run goes on, not only at its end.
    for (int waited = 0; fs::file_size(file) <= 300u * 1025u * 2u && waited < 30000; waited += 10) usleep(10000);
    EXPECT_GT(fs::file_size(file), 300u * 1025u * 2u);
    EXPECT_EQ(trace.TakeProblem(), std::nullopt);
  }
  const WireBytes back = ReadTrace(ReadFile(file));
  EXPECT_EQ(back.Problem, "");
  EXPECT_EQ(back.ToBox, Joined(Joined(d.probeSent, d.handshakeSent), d.blocksSent));
  EXPECT_EQ(back.FromBox, Joined(d.handshakeReceived, d.blocksReceived));
  EXPECT_EQ(back.Notes.size(), 1u);
  fs::remove_all(dir);
}

// The operator moved COM1 to another device: the file says where the line
// changed, and what a failed download keeps names the device it ran on.
TEST(WholeTrace, AnotherPortChosenIsNamedFromThereOn) {
  const fs::path dir = TempDir();
  const fs::path file = dir / "wire.txt";
  std::string kept;
  {
    TWireTrace trace("/dev/ttyS0", file.string());
    trace.PortOpened(100);
    Feed(trace, kSent, Bytes("\x1F"), 100);
    trace.PortChanged("/dev/ttyUSB1");
    Feed(trace, kSent, Bytes("\x1F"), 105);
    kept = trace.KeptText();
  }
  const WireBytes back = ReadTrace(ReadFile(file));
  ASSERT_EQ(back.Notes.size(), 2u);
  EXPECT_NE(back.Notes[0].find("/dev/ttyS0"), std::string::npos) << back.Notes[0];
  EXPECT_NE(back.Notes[1].find("/dev/ttyUSB1 from here on"), std::string::npos) << back.Notes[1];
  EXPECT_EQ(RunLines(ReadFile(file)), "0 > 1F\n5 > 1F\n") << "the run before the change is a line of its own";
  EXPECT_NE(kept.find("of /dev/ttyUSB1, kept"), std::string::npos) << kept;
  fs::remove_all(dir);
}

// Said once; the run and the kept trace go on.
TEST(WholeTrace, AFileThatCannotBeWrittenIsSaidOnce) {
  TWireTrace trace("/dev/ttyUSB0", "/nonexistent-folder-of-the-trace/wire.txt");
  const auto problem = trace.TakeProblem();
  ASSERT_TRUE(problem.has_value());
  EXPECT_NE(problem->find("/nonexistent-folder-of-the-trace/wire.txt"), std::string::npos) << *problem;
  const Download d = RunDownload(trace, 1, 20);
  EXPECT_EQ(trace.TakeProblem(), std::nullopt);
  EXPECT_EQ(ReadTrace(trace.KeptText()).FromBox, Joined(d.handshakeReceived, d.blocksReceived));
}

// A disk that fills up: the writer's trouble is said once, from the line's
// thread, and the kept trace goes on.
TEST(WholeTrace, AFullDiskIsSaidOnce) {
  TWireTrace trace("/dev/ttyUSB0", "/dev/full");
  EXPECT_EQ(trace.TakeProblem(), std::nullopt);
  const Download d = RunDownload(trace, 1, 100);
  trace.DownloadEnded();
  std::optional<std::string> problem;
  for (int waited = 0; !(problem = trace.TakeProblem()) && waited < 30000; waited += 10) usleep(10000);
  ASSERT_TRUE(problem.has_value());
  EXPECT_NE(problem->find("/dev/full"), std::string::npos) << *problem;
  RunDownload(trace, 1, 100);
  trace.DownloadEnded();
  EXPECT_EQ(trace.TakeProblem(), std::nullopt);
  EXPECT_EQ(ReadTrace(trace.KeptText()).Problem, "");
}

// --- what the serial component tells --------------------------------------------------------------

class Heard final : public TWireObserver {
public:
  void PortOpened(std::uint32_t) override { ++opened; }
  void WireBytes(TWireDirection d, const std::uint8_t* data, std::size_t count, std::uint32_t) override {
    (d == kSent ? sent : received).insert((d == kSent ? sent : received).end(), data, data + count);
  }
  int opened = 0;
  std::vector<std::uint8_t> sent, received;
};

// Sends, reads, the receive poll and the bytes an input flush drops: each
// byte once, as it crossed.
TEST(SerialWire, EveryByteThatCrossesIsHeardOnce) {
  PtyPair line;
  TSerialPortDriver port;
  Heard heard;
  port.SetWireObserver(&heard);
  port.SetComPortDevice(line.NearPath());
  ASSERT_TRUE(port.Connect()) << port.LastError();
  EXPECT_EQ(heard.opened, 1);

  const auto block = Pattern(1025, 3);
  ASSERT_EQ(port.SendData(block.data(), std::uint32_t(block.size())), block.size());
  {
    TCoalescedSends gathered(port);
    port.SendString("ok");
    port.SendByte(0x1F);
  }
  EXPECT_EQ(line.Read(1028, 5000).size(), 1028u);
  line.Write("dropped");
  for (int i = 0; i < 200 && port.InputCount() < 7; ++i) usleep(5000);
  port.FlushBuffers(true, false);
  line.Write("read");
  std::uint8_t got[4] = {};
  EXPECT_EQ(port.ReadData(got, 4), 4u);
  line.Write("polled");
  for (int i = 0; i < 200 && port.InputCount() < 6; ++i) usleep(5000);
  port.PollTick();

  EXPECT_EQ(heard.sent, Joined(block, Bytes("ok\x1F")));
  EXPECT_EQ(heard.received, Bytes("droppedreadpolled"));
}

}  // namespace
