// The exchange on its own: TDownload with the real serial component on a pty,
// the simulated receiver or a line the test writes itself on the far end, and
// a view double in place of the window that records what is shown and
// answers the dialogs. No window, no event loop: each case takes milliseconds.
#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Download.h"
#include "DownloadConsole.h"
#include "DownloadRecord.h"
#include "PtyPair.h"
#include "Receiver.h"
#include "DescriptionFile.h"
#include "SerialDrv.h"
#include "Sha256.h"
#include "TestNames.h"
#include "CounterText.h"

namespace {

const std::vector<std::string> kClosingLines = {
    "7. Update Version Table OK", "---------------------------------------",
    "Congraturation! Software Upgrade OK !!!", "Please Turn Off and On the STB set !!!"};

class RecordingView : public TDownloadView {
public:
  std::vector<std::string> Log;
  std::vector<std::string> Dialogs;
  std::vector<int> TransferBar, FlashBar;
  std::vector<std::string> Counter;
  bool AnswerYes = false;
  bool ProbeTimerStopped = false;
  bool Closed = false;
  bool CloseRequestedFlag = false;
  std::function<void()> OnPump;  // the once-per-block message handling
  std::chrono::steady_clock::time_point FirstDialogAt;

  void AppendLog(const std::string& line) override { Log.push_back(line); }
  void BlockAccepted(const TTransferProgress& p) override {
    TransferBar.push_back(p.Percent);
    Counter.push_back(ByteCounterText(p.BytesSent, p.BytesTotal));
  }
  void FlashProgress(int percent) override { FlashBar.push_back(percent); }
  void Working(bool) override {}
  void ProbeAnswered() override { ProbeTimerStopped = true; }
  void Tell(const std::string& text) override {
    if (Dialogs.empty()) FirstDialogAt = std::chrono::steady_clock::now();
    Dialogs.push_back(text);
  }
  bool AskYesNo(const std::string& text) override {
    Dialogs.push_back(text);
    return AnswerYes;
  }
  void Inform(const std::string& text) override { Dialogs.push_back(text); }
  void BetweenBlocks() override {
    if (OnPump) OnPump();
  }
  bool StopAsked() const override { return CloseRequestedFlag; }
  void Finished() override { Closed = true; }

  // The moments a record is made of, when a test gives it one.
  TDownloadRecorder* Recorder = nullptr;
  TFailure Failure;  // as the last download ended
  std::uint32_t LongestWaitMs = 0;
  void Waiting(const char*, std::uint32_t silentMs) override { LongestWaitMs = std::max(LongestWaitMs, silentMs); }
  void Reached(std::uint8_t mode, const TDownloadJob& j) override {
    if (Recorder) Recorder->Reached(mode, j);
  }
  void Ended(TDownloadResult result, const std::string& reason, const TFailure& failure) override {
    Failure = failure;
    if (Recorder) Recorder->Finish(result, reason);
  }
};

// A folder for the image file, gone with the test.
class ImageFolder {
public:
  ImageFolder() {
    char tmpl[] = "/tmp/stb-exchange-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    FDir = tmpl;
  }
  ~ImageFolder() {
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
  std::string Write(const std::vector<std::uint8_t>& bytes) const {
    const std::string path = (FDir / "image.bin").string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                std::streamsize(bytes.size()));
    return path;
  }

private:
  std::filesystem::path FDir;
};

// The job the simulated receiver's default identity accepts, for the image
// `bytes`, written to the folder.
TDownloadJob JobFor(const ImageFolder& folder, const std::vector<std::uint8_t>& bytes) {
  TDownloadJob job;
  const auto blocks = std::int32_t((bytes.size() + 1023) / 1024);
  job.ImageFileName = folder.Write(bytes);
  std::vector<std::uint8_t> padded = bytes;
  padded.resize(std::size_t(blocks) * 1024, 0);
  for (std::int32_t k = 0; k < blocks; ++k) job.BlockDigests.push_back(BlockDigest(padded.data() + k * 1024));
  job.ImageFileBytes = std::int64_t(bytes.size());
  job.Oui = {0x00, 0x12, 0x34};
  job.ModelCode = {0x0A, 0x01};
  job.HardwareVersion = {0x01, 0x05};
  job.BootloaderVersion = {0x02, 0x00};
  job.NativeVersion = {0x03, 0x01};
  job.Application1Version = {0x04, 0x02};
  job.Application2Version = {0x05, 0x03};
  job.DateCode = "26120";
  job.VersionSelector = 2;
  job.DownloadAddress = {0x00, 0x00, 0x01, 0x80};  // 0x80010000, least significant byte first
  return job;
}

// The component on the near end of a pty: the simulated receiver's, or one
// whose far end the test holds.
class Exchange : public ::testing::Test {
protected:
  void WithReceiver(const stbsim::Config& cfg) {
    FReceiver = std::make_unique<stbsim::Receiver>(cfg);
    Receiver = FReceiver.get();
    std::string error;
    ASSERT_TRUE(FReceiver->OpenPty(&error)) << error;
    Connect(FReceiver->ConsolePath());
    FReceiver->Start();
  }
  void WithSilentLine() {
    FLine = std::make_unique<PtyPair>();
    Connect(FLine->NearPath());
  }

  // Probe ticks until the receiver answers one; true when the handshake ran.
  bool RunDownload(std::uint8_t mode, const TDownloadJob& job) {
    for (int tick = 0; tick < 20 && !view.ProbeTimerStopped; ++tick) download.Timer1Timer(mode, &job);
    return view.ProbeTimerStopped;
  }
  // What the receiver saw, once it has finished or waitMs have passed.
  stbsim::Summary ReceiverSummary(int waitMs = 3000) {
    FReceiver->WaitFinished(waitMs);
    return FReceiver->GetSummary();
  }
  // Bytes the far end holds, put there before the exchange looks.
  void Queue(const std::string& bytes) {
    const std::int32_t before = port.InputCount();
    FLine->Write(bytes);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (port.InputCount() < before + std::int32_t(bytes.size()) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(port.InputCount(), before + std::int32_t(bytes.size()));
  }
  std::vector<std::uint8_t> Sent(std::size_t want) { return FLine->Read(want, 5000); }
  PtyPair& Line() { return *FLine; }

  TSerialPortDriver port;
  RecordingView view;
  TDownload download{port, view};
  ImageFolder folder;
  stbsim::Receiver* Receiver = nullptr;

private:
  void Connect(const std::string& path) {
    port.SetComPortDevice(path);
    ASSERT_TRUE(port.Connect()) << port.LastError();
    download.SetSilenceLimitMs(1500);
  }

  std::unique_ptr<stbsim::Receiver> FReceiver;
  std::unique_ptr<PtyPair> FLine;
};

std::vector<std::string> Tail(const std::vector<std::string>& log, std::size_t n) {
  return {log.end() - std::ptrdiff_t(std::min(n, log.size())), log.end()};
}

// --- the probe -------------------------------------------------------------------------------------

TEST_F(Exchange, AnAnswerWaitingBeforeTheModeWordIsDiscarded) {
  WithSilentLine();
  // A whole acknowledgement and echo, left over from before the probe.
  Queue(std::string("\x06\x00" "ACK\x02", 6));
  const TDownloadJob job = JobFor(folder, {1, 2, 3});
  download.Timer1Timer(2, &job);
  EXPECT_TRUE(view.Log.empty()) << ::testing::PrintToString(view.Log);
  EXPECT_FALSE(view.ProbeTimerStopped);
  EXPECT_EQ(Sent(6), (std::vector<std::uint8_t>{0x1F, 'N', 'A', 'T', 'I', 'V'}));
}

// --- the transfer --------------------------------------------------------------------------------

// Past the tenth sequence digit, where the digits start again from "1"; the
// receiver is told the address and the count least significant byte first.
TEST_F(Exchange, AWholeDownloadPastTheLastSequenceDigitAndItsSizeCommand) {
  WithReceiver(stbsim::Config{});
  ASSERT_TRUE(RunDownload(2, JobFor(folder, std::vector<std::uint8_t>(260 * 1024, 0x3C))));
  const stbsim::Summary sum = ReceiverSummary();
  EXPECT_TRUE(sum.Success) << sum.ToText();
  EXPECT_EQ(sum.SequenceDigitsSent, 23u);
  EXPECT_EQ(sum.AddressReceived, 0x80010000u);
  EXPECT_EQ(sum.BlockCountReceived, 260u);
  EXPECT_EQ(Tail(view.Log, 4), kClosingLines);
}

// On a line paced like a cable, the reply to block 10 comes well after the
// reply window, with the first sequence digit behind it: it is judged as a
// reply in time would be, and no block is ever sent twice.
struct LateRow {
  const char* name;
  bool wrongDigit;
};

class LateReplyWithDigit : public Exchange, public ::testing::WithParamInterface<LateRow> {};

TEST_P(LateReplyWithDigit, IsJudgedAsAReplyInTime) {
  stbsim::Config cfg;
  cfg.Paced = true;
  cfg.Fault.LateBlock = 10;
  cfg.Fault.LateMs = 300;
  if (GetParam().wrongDigit) cfg.Fault.SequenceCheck = 1;
  WithReceiver(cfg);
  ASSERT_TRUE(RunDownload(2, JobFor(folder, std::vector<std::uint8_t>(12 * 1024, 0x42))));
  EXPECT_EQ(std::count(view.Log.begin(), view.Log.end(), "  retry : 10 block"), 0) << ::testing::PrintToString(view.Log);
  const stbsim::Summary sum = ReceiverSummary();
  EXPECT_EQ(sum.BlocksRejected, 0u);
  if (GetParam().wrongDigit) {
    EXPECT_EQ(view.Log.back(), "  DownLoad Fail !!");
    EXPECT_EQ(view.Dialogs, std::vector<std::string>{"Software Upgrade Fail !!!"});
    EXPECT_TRUE(sum.Violations.empty()) << sum.ToText();
  } else {
    EXPECT_TRUE(sum.Success) << sum.ToText();
  }
}

INSTANTIATE_TEST_SUITE_P(Paced, LateReplyWithDigit,
                         ::testing::Values(LateRow{"RightDigitGoesOn", false}, LateRow{"WrongDigitFails", true}),
                         [](const auto& row) { return std::string(row.param.name); });

// However long the wait it falls in, a hang-up shows as a failure within two
// input time-outs and a second.
struct HangUpRow {
  const char* name;
  bool paced;
  stbsim::Stage stage;
  std::uint32_t block;
  int delayMs;  // the receiver holds the line this long first
  const char* dialog;
};

class HangUp : public Exchange, public ::testing::WithParamInterface<HangUpRow> {};

TEST_P(HangUp, IsNoticedAtOnce) {
  const HangUpRow& row = GetParam();
  stbsim::Config cfg;
  cfg.Paced = row.paced;
  cfg.Fault.HangUpAt = row.stage;
  cfg.Fault.HangUpBlock = row.block;
  cfg.Fault.HangUpDelayMs = row.delayMs;
  WithReceiver(cfg);
  download.SetSilenceLimitMs(30000);
  ASSERT_TRUE(RunDownload(2, JobFor(folder, std::vector<std::uint8_t>(20 * 1024, 0x24))));
  ASSERT_EQ(view.Dialogs, std::vector<std::string>{row.dialog}) << ::testing::PrintToString(view.Log);
  const std::int64_t hungUpNs = ReceiverSummary().HungUpNs;
  ASSERT_NE(hungUpNs, 0);
  const auto shownNs = std::chrono::duration_cast<std::chrono::nanoseconds>(view.FirstDialogAt.time_since_epoch()).count();
  const std::int64_t tookMs = (shownNs - hungUpNs) / 1000000;
  RecordProperty("hang_up_to_failure_ms", std::to_string(tookMs));
  std::printf("      hang-up to failure: %lld ms\n", static_cast<long long>(tookMs));
  EXPECT_LT(tookMs, 2 * std::int64_t(port.InputTimeout()) + 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Stages, HangUp,
    ::testing::Values(
        HangUpRow{"HandshakePaced", true, stbsim::Stage::SizeReceived, 0, 0, "ERROR:Serial Line Lost !!"},
        HangUpRow{"TransferUnpaced", false, stbsim::Stage::Transferring, 15, 0, "Software Upgrade Fail !!!"},
        HangUpRow{"TransferPaced", true, stbsim::Stage::Transferring, 15, 0, "Software Upgrade Fail !!!"},
        HangUpRow{"LongFlashWriteWaitPaced", true, stbsim::Stage::FlashWrite, 0, 2500, "Software Upgrade Fail !!!"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(Exchange, ABlockRejectedForEverIsSentSeventeenTimesInAll) {
  stbsim::Config cfg;
  cfg.Fault.RejectBlock = 3;
  cfg.Fault.RejectTimes = -1;
  WithReceiver(cfg);
  ASSERT_TRUE(RunDownload(2, JobFor(folder, std::vector<std::uint8_t>(6 * 1024, 0x5A))));
  EXPECT_EQ(std::count(view.Log.begin(), view.Log.end(), "  retry : 3 block"), 17);
  EXPECT_EQ(view.Log.back(), "  DownLoad Fail !!");
  EXPECT_EQ(view.Dialogs, std::vector<std::string>{"Software Upgrade Fail !!!"});
  EXPECT_EQ(ReceiverSummary(0).BlocksRejected, 17u);
  EXPECT_EQ(view.Failure.Cause, TFailureCause::Rejected);
  EXPECT_EQ(view.Failure.Block, 3);
  EXPECT_FALSE(view.Failure.LastHeard.empty()) << "what the receiver answered instead";
  EXPECT_EQ(view.Failure.Text.find("the box rejected block 3 17 times"), 0u) << view.Failure.Text;
}

// The same retry lines, but nothing came back at all: a box that stopped
// answering, not a block it rejected.
TEST_F(Exchange, ABlockNeverAnsweredIsNoReplyNotARejection) {
  stbsim::Config cfg;
  cfg.Fault.SilentAt = stbsim::Stage::Transferring;
  cfg.Fault.SilentBlock = 2;
  WithReceiver(cfg);
  ASSERT_TRUE(RunDownload(2, JobFor(folder, std::vector<std::uint8_t>(4 * 1024, 0x5A))));
  EXPECT_EQ(std::count(view.Log.begin(), view.Log.end(), "  retry : 2 block"), 17);
  EXPECT_EQ(view.Log.back(), "  DownLoad Fail !!");
  EXPECT_EQ(view.Failure.Cause, TFailureCause::NoReply);
  EXPECT_EQ(view.Failure.Block, 2);
  EXPECT_EQ(view.Failure.LastHeard, "");
  EXPECT_EQ(view.Failure.Text.find("the box stopped answering at block 2: no reply for "), 0u) << view.Failure.Text;
}

TEST_F(Exchange, AMissingSequenceDigitIsTheSequencesFault) {
  stbsim::Config cfg;
  cfg.Fault.SequenceCheck = 1;
  cfg.Fault.SequenceMissing = true;
  WithReceiver(cfg);
  ASSERT_TRUE(RunDownload(2, JobFor(folder, std::vector<std::uint8_t>(14 * 1024, 0x5A))));
  EXPECT_EQ(view.Log.back(), "  DownLoad Fail !!");
  EXPECT_EQ(view.Failure.Cause, TFailureCause::Sequence);
  // The eleventh block's reply owes the first digit.
  EXPECT_EQ(view.Failure.Block, 10);
}

// Wherever the far end hangs up once the receiver answered (the probe has
// its own way), the log says the line was lost, once, at the stage the cause
// names, and the cause is the lost line: on an unpaced and a paced line.
struct LostRow {
  const char* name;
  bool paced;
  stbsim::Stage stage;
  std::uint32_t block;
};

void PrintTo(const LostRow& r, std::ostream* os) { *os << r.name; }

class LineLostAnywhere : public Exchange, public ::testing::WithParamInterface<LostRow> {};

TEST_P(LineLostAnywhere, IsSaidOnceWithItsCause) {
  const LostRow& row = GetParam();
  stbsim::Config cfg;
  cfg.Paced = row.paced;
  cfg.Fault.HangUpAt = row.stage;
  cfg.Fault.HangUpBlock = row.block;
  WithReceiver(cfg);
  download.SetSilenceLimitMs(30000);
  ASSERT_TRUE(RunDownload(2, JobFor(folder, std::vector<std::uint8_t>(12 * 1024 + 5, 0x3C))));
  const std::string lostPrefix = "  ERROR:Serial Line Lost - ";
  const auto lost = std::count_if(view.Log.begin(), view.Log.end(),
                                  [&](const std::string& l) { return l.rfind(lostPrefix, 0) == 0; });
  EXPECT_EQ(lost, 1) << ::testing::PrintToString(view.Log);
  EXPECT_EQ(view.Failure.Cause, TFailureCause::LineLost) << view.Failure.Text;
  EXPECT_NE(std::find(view.Log.begin(), view.Log.end(), lostPrefix + view.Failure.Stage + " !!"), view.Log.end())
      << view.Failure.Stage << ": " << ::testing::PrintToString(view.Log);
  if (row.stage == stbsim::Stage::Transferring) {
    EXPECT_EQ(view.Failure.Block, int(row.block));
    EXPECT_EQ(view.Failure.Text, "the line hung up at block " + std::to_string(row.block));
  }
}

std::vector<LostRow> LostRows() {
  const std::pair<const char*, stbsim::Stage> stages[] = {
      {"SizeReply", stbsim::Stage::SizeReceived},   {"DownloadCrc", stbsim::Stage::DownloadCrc},
      {"RamImage", stbsim::Stage::RamImage},         {"FlashWrite", stbsim::Stage::FlashWrite},
      {"FlashImage", stbsim::Stage::FlashImage},     {"VersionUpdate", stbsim::Stage::VersionUpdate},
      {"VersionTable", stbsim::Stage::VersionTable}};
  static std::vector<std::string> names;
  std::vector<LostRow> rows;
  for (bool paced : {false, true}) {
    const std::string line = paced ? "Paced" : "Unpaced";
    // Block 10 owes a sequence digit with its reply; 12 is the last. The
    // receiver takes block 0 for its size reply: SizeReply is that.
    for (std::uint32_t block : {1u, 10u, 11u, 12u}) {
      names.push_back("Block" + std::to_string(block) + line);
      rows.push_back({nullptr, paced, stbsim::Stage::Transferring, block});
    }
    for (const auto& [name, stage] : stages) {
      names.push_back(name + line);
      rows.push_back({nullptr, paced, stage, 0});
    }
  }
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].name = names[i].c_str();
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Points, LineLostAnywhere, ::testing::ValuesIn(LostRows()),
                         [](const auto& row) { return std::string(row.param.name); });

// --- the verification stages -----------------------------------------------------------------------

// Every test shortens the silence limit; the one the tool runs with is a
// minute. The clock jumps a quarter of a second at each look.
TEST_F(Exchange, ASilentReceiverIsGivenAMinute) {
  WithSilentLine();
  TDownload patient{port, view};
  port.SetTickSource([t = std::uint32_t(0)]() mutable { return t += 250; });
  EXPECT_FALSE(patient.UploadFile(2, JobFor(folder, {})));
  EXPECT_EQ(view.Log, std::vector<std::string>{"  ERROR:No Response from STB - DownLoad CRC !!"});
  EXPECT_GT(view.LongestWaitMs, 59000u);
  EXPECT_LE(view.LongestWaitMs, 60000u);
}

// A receiver that talks on and on without the 0x1F that ends its report:
// the silence limit counts from the start of the wait, not from its last
// byte. It chatters for ten limits, then sends the 0x1F and its verdict,
// which by then must be too late.
TEST_F(Exchange, AReceiverThatChattersWithoutTheWakeByteIsGivenTheSilenceLimitAsAWhole) {
  WithSilentLine();
  constexpr std::uint32_t kLimitMs = 300;
  download.SetSilenceLimitMs(kLimitMs);
  std::atomic<bool> over{false};
  std::thread receiver([&] {
    // Writes as the line takes it, giving up once the exchange has ended.
    const auto say = [&](const std::string& bytes) {
      for (std::size_t at = 0; at < bytes.size() && !over;) {
        pollfd p{Line().FarFd(), POLLOUT, 0};
        if (::poll(&p, 1, 10) != 1) continue;
        const ssize_t n = ::write(Line().FarFd(), bytes.data() + at, bytes.size() - at);
        if (n > 0) at += std::size_t(n);
        else if (errno != EAGAIN) return;
      }
    };
    if (Sent(1).empty()) return;  // the total checksum
    say("\r\nCRC OK. : DownLoad" "abc");  // "abc": the report before the 0x1F
    const std::string chatter(256, 'U');
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(10 * kLimitMs);
    while (!over && std::chrono::steady_clock::now() < until) say(chatter);
    say(std::string("\x1F\x00\x00" "CRC OK. : Ram Image", 22));
  });
  EXPECT_FALSE(download.UploadFile(2, JobFor(folder, {})));
  over = true;
  receiver.join();
  EXPECT_EQ(view.Log, (std::vector<std::string>{"4. DownLoad OK", "  ERROR:No Response from STB - Ram Image CRC !!"}));
}

TEST_F(Exchange, AConfirmationWaitingBeforeTheTotalChecksumIsDiscarded) {
  WithSilentLine();
  Queue("\r\nCRC OK. : DownLoad");
  EXPECT_FALSE(download.UploadFile(2, JobFor(folder, {})));
  EXPECT_EQ(view.Log, std::vector<std::string>{"  ERROR:No Response from STB - DownLoad CRC !!"});
  EXPECT_EQ(Sent(1), std::vector<std::uint8_t>{0x00}) << "the total checksum of an empty image";
}

// The record names the image by the bytes the receiver got, even when the
// file is replaced between the last block and the end of the download.
TEST_F(Exchange, TheRecordNamesTheImageSentNotTheFileReplacedAfterIt) {
  WithReceiver(stbsim::Config{});
  const std::vector<std::uint8_t> image(6 * 1024 + 10, 0x6E);
  TDownloadJob job = JobFor(folder, image);
  TSha256 sha;
  sha.Update(image.data(), image.size());
  job.ImageSha256 = sha.HexDigest();
  view.OnPump = [&] {
    if (Receiver->GetSummary().BlocksAccepted == std::uint32_t(job.BlockCount()))
      folder.Write(std::vector<std::uint8_t>(image.size(), 0x99));
  };
  TDownloadRecorder recorder("/dev/test", (std::filesystem::path(job.ImageFileName).parent_path() / "records").string());
  view.Recorder = &recorder;
  ASSERT_TRUE(RunDownload(2, job));
  ASSERT_EQ(recorder.Result(), TDownloadResult::Success);

  std::vector<std::uint8_t> received = Receiver->Flash();
  received.resize(image.size());
  TSha256 got;
  got.Update(received.data(), received.size());
  EXPECT_EQ(recorder.Record().ImageSha256, got.HexDigest());
  std::ifstream lines(std::filesystem::path(recorder.Folder()) / kRecordFileName);
  std::string line;
  std::getline(lines, line);
  EXPECT_NE(line.find("\"image_sha256\":\"" + recorder.Record().ImageSha256 + "\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"version_written\":\"03.01\",\"date_code\":\"26120\""), std::string::npos) << line;
}

TEST_F(Exchange, AReportByteEqualToTheWakeByteDoesNotEndTheRamImageSkip) {
  WithReceiver(stbsim::Config{});
  // One block whose bytes sum to 0x1F: the receiver's report opens with it.
  const TDownloadJob job = JobFor(folder, {0x1F});
  ASSERT_TRUE(RunDownload(2, job));
  EXPECT_EQ(ReceiverSummary().TotalChecksumReceived, 0x1F);
  EXPECT_EQ(Tail(view.Log, 4), kClosingLines) << ::testing::PrintToString(view.Log);
}

TEST_F(Exchange, TheLastFlashMarkMayBeAnyByteEveryEarlierOneMustBeTheMark) {
  stbsim::Config cfg;
  cfg.Fault.FlashByteAt = 1;  // five blocks: two marks, the second spoiled
  cfg.Fault.FlashByte = '#';
  WithReceiver(cfg);
  ASSERT_TRUE(RunDownload(2, JobFor(folder, std::vector<std::uint8_t>(5 * 1024, 0x11))));
  EXPECT_EQ(view.FlashBar, (std::vector<int>{50, 100}));
  EXPECT_EQ(Tail(view.Log, 4), kClosingLines) << ::testing::PrintToString(view.Log);
  EXPECT_TRUE(ReceiverSummary().Success);
}

struct SelectorRow {
  const char* name;
  std::uint8_t selector;
  std::vector<std::uint8_t> pair;  // what goes before the date code
};

class VersionPairBySelector : public Exchange, public ::testing::WithParamInterface<SelectorRow> {};

TEST_P(VersionPairBySelector, GoesBeforeTheDateCode) {
  WithReceiver(stbsim::Config{});
  TDownloadJob job = JobFor(folder, {7});
  job.VersionSelector = GetParam().selector;
  ASSERT_TRUE(RunDownload(2, job));
  std::vector<std::uint8_t> expected = GetParam().pair;
  for (char c : std::string("26120")) expected.push_back(std::uint8_t(c));
  const stbsim::Summary sum = ReceiverSummary();
  EXPECT_EQ(sum.VersionWrite, expected);
  EXPECT_TRUE(sum.Success) << sum.ToText();
}

INSTANTIATE_TEST_SUITE_P(Selectors, VersionPairBySelector,
                         ::testing::Values(SelectorRow{"NoneForZero", 0, {}},
                                           SelectorRow{"Bootloader", 1, {0x02, 0x00}},
                                           SelectorRow{"Native", 2, {0x03, 0x01}},
                                           SelectorRow{"Application1", 3, {0x04, 0x02}},
                                           SelectorRow{"Application2", 4, {0x05, 0x03}},
                                           SelectorRow{"NoneForFive", 5, {}}),
                         [](const auto& row) { return std::string(row.param.name); });

// --- what the core decides for every window --------------------------------------------------------

// TDownloadConsole with a double for the toolkit's part: it keeps what is
// shown, answers the stop question as told, and closes the window (or asks
// to) at the pump of a chosen block, as an operator would.
class ConsoleDouble : public TDownloadConsole {
public:
  explicit ConsoleDouble(const std::string& port) {
    CreateComponents(port, std::make_unique<TManualPollTimer>(), std::make_unique<TManualPollTimer>());
    Download().SetSilenceLimitMs(1500);
    FormCreate();
  }
  void Choose(std::uint8_t mode, const TDownloadJob& job) { ChooseJob(mode, job); }
  std::vector<std::string> Shown;
  bool ShownAfterRecorded = true;
  bool AnswerYes = false;
  int Asked = 0;
  bool Destroyed = false;
  bool Held = false;
  int LastTransferPercent = -1;
  std::string LastCounter;
  int CloseAtBlock = -1;
  std::vector<bool> CloseDecisions;
  std::vector<TRunState> States;  // every state the face was shown
  // Set: the run's clock is the test's, and each block takes this long on
  // the line (from the transfer's start to the first reply, and from one
  // block's message handling to the next reply).
  std::optional<std::chrono::microseconds> BlockTime;

private:
  int FPumps = 0;
  std::chrono::steady_clock::time_point FNow;
  std::chrono::steady_clock::time_point Now() const override {
    return BlockTime ? FNow : std::chrono::steady_clock::now();
  }
  void AddLogLine(const std::string& line) override {
    ShownAfterRecorded &= !Recorder().Log().empty() && Recorder().Log().back() == line;
    Shown.push_back(line);
  }
  // Held: blocks go out and the face was told to rest between states.
  void ShowState(const TRunState& state) override {
    if (BlockTime && state.Phase == TRunPhase::Sending && state.BlocksAccepted == 0) FNow += *BlockTime;
    States.push_back(state);
    LastTransferPercent = state.TransferPercent;
    LastCounter = ByteCounterText(state.BytesSent, state.BytesTotal);
    Held = state.Paced;
    Destroyed |= state.Closing;
  }
  void Pump() override {
    if (BlockTime) FNow += *BlockTime;
    // The operator closes at this block, and again at once, impatient.
    if (++FPumps != CloseAtBlock) return;
    CloseDecisions.push_back(CloseQuery());
    CloseDecisions.push_back(CloseQuery());
  }
  bool Ask(TDialog kind, const std::string& text, const std::string&) override {
    if (kind == TDialog::Error) Shown.push_back("error: " + text);
    if (kind != TDialog::StopQuestion) return false;
    ++Asked;
    return AnswerYes;
  }
};

class Console : public ::testing::Test {
protected:
  explicit Console(const stbsim::Config& cfg = {}) : FReceiver(cfg) {
    std::string error;
    if (!FReceiver.OpenPty(&error)) throw std::runtime_error(error);
    FReceiver.Start();
    // The record goes beside the image, not into the home folder.
    ::setenv("XDG_STATE_HOME", std::filesystem::path(folder.Write({})).parent_path().c_str(), 1);
  }
  std::unique_ptr<ConsoleDouble> Open() { return std::make_unique<ConsoleDouble>(FReceiver.ConsolePath()); }
  void Run(ConsoleDouble& c, std::size_t imageBytes) {
    c.Choose(2, JobFor(folder, std::vector<std::uint8_t>(imageBytes, 0x5A)));
    for (int tick = 0; tick < 20 && !c.DownloadResult(); ++tick) c.Timer1Timer();
  }
  ImageFolder folder;

private:
  stbsim::Receiver FReceiver;
};

TEST_F(Console, EveryLogLineIsRecordedBeforeItIsShownAndTheRecordNamesThePortGiven) {
  auto c = Open();
  Run(*c, 3 * 1024);
  ASSERT_EQ(c->DownloadResult(), TDownloadResult::Success);
  EXPECT_TRUE(c->ShownAfterRecorded);
  EXPECT_EQ(c->Shown, c->Recorder().Log());
  EXPECT_EQ(Tail(c->Shown, kClosingLines.size()), kClosingLines);
  EXPECT_EQ(c->Recorder().Record().Port, c->PortDevice());
  // The last block is painted whatever the pace: the full bar and counter.
  EXPECT_EQ(c->LastTransferPercent, 100);
  EXPECT_EQ(c->LastCounter, "( 3072 / 3072 )");
  EXPECT_FALSE(c->Held);
  EXPECT_TRUE(c->Destroyed);
  EXPECT_TRUE(c->CloseQuery()) << "the download is over: nothing holds the window";
}

// Whatever the pace of painting, the face is shown every numbered step and,
// before the receiver's checks, the whole image taken.
TEST_F(Console, ASuccessfulRunShowsEveryStepAndTheWholeImageBeforeTheChecks) {
  auto c = Open();
  Run(*c, 5 * 1024);
  ASSERT_EQ(c->DownloadResult(), TDownloadResult::Success);
  std::vector<int> steps;  // the job is chosen without its keyword: no step 0
  for (const TRunState& s : c->States)
    if (s.Step >= 0 && (steps.empty() || steps.back() != s.Step)) steps.push_back(s.Step);
  EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
  const auto checks = std::find_if(c->States.begin(), c->States.end(), [](const TRunState& s) { return s.Step == 4; });
  EXPECT_TRUE(std::any_of(c->States.begin(), checks, [](const TRunState& s) {
    return s.BytesTotal == 5 * 1024 && s.BytesSent == s.BytesTotal && s.TransferPercent == 100;
  })) << "the whole image is shown before step 4";
}

// The pace is the payload the receiver took over the time since the first
// block: steady on a steady line, however often the face is painted; the
// time left is what remains at that pace, none at the last block. The clock
// is the test's: each block takes its time on a line at 115200 bit/s
// (1024 bytes of payload in 1028 bytes on the line).
TEST_F(Console, ThePaceIsTheBytesSinceTheFirstBlockAndTheTimeLeftWhatRemainsAtIt) {
  auto c = Open();
  c->BlockTime = std::chrono::microseconds(89236);
  Run(*c, 20 * 1024);
  ASSERT_EQ(c->DownloadResult(), TDownloadResult::Success);
  const double pace = 1024 / 0.089236;
  int paced = 0;
  for (const TRunState& s : c->States) {
    if (!s.BytesPerSecond || s.BlocksAccepted == 0) continue;
    ++paced;
    EXPECT_NEAR(*s.BytesPerSecond, pace, pace * 1e-3) << "at block " << s.BlocksAccepted;
    ASSERT_TRUE(s.SecondsLeft.has_value());
    EXPECT_NEAR(*s.SecondsLeft, (20 - s.BlocksAccepted) * 0.089236, 1e-3) << "at block " << s.BlocksAccepted;
  }
  EXPECT_GE(paced, 4) << "painted at the first block, every 500 ms and at the last";
  EXPECT_EQ(c->State().BytesSent, 20 * 1024);
  EXPECT_EQ(c->State().SecondsLeft, std::optional<double>(0.0));
}

stbsim::Config HangsUpBeforeBlock(std::uint32_t block) {
  stbsim::Config cfg;
  cfg.Fault.HangUpAt = stbsim::Stage::Transferring;
  cfg.Fault.HangUpBlock = block;
  return cfg;
}

class ConsoleLosingTheLine : public Console {
protected:
  ConsoleLosingTheLine() : Console(HangsUpBeforeBlock(4)) {}  // the fifth: four taken
};

// The counter is kept, not drawn, while painting is held: a transfer that
// ends between paints still shows the last block the receiver took.
TEST_F(ConsoleLosingTheLine, TheCounterShowsTheLastAcceptedBlock) {
  auto c = Open();
  Run(*c, 6 * 1024);
  ASSERT_EQ(c->DownloadResult(), TDownloadResult::Failure);
  EXPECT_EQ(c->LastCounter, "( 4096 / 6144 )");
  EXPECT_FALSE(c->Held);
}

struct CloseRow {
  const char* name;
  bool AnswerYes;
  bool NoQuestion;
  int Asked;
  std::vector<bool> Decisions;  // closing at a block, then at once again
  TDownloadResult Result;
};

class CloseDuringTheTransfer : public Console, public ::testing::WithParamInterface<CloseRow> {};

TEST_P(CloseDuringTheTransfer, StaysOpenAsksAtMostOnceAndStopsOnlyWhenTold) {
  const CloseRow& row = GetParam();
  auto c = Open();
  EXPECT_TRUE(c->CloseQuery()) << "no download yet";
  c->AnswerYes = row.AnswerYes;
  if (row.NoQuestion) c->NoStopQuestion();
  c->CloseAtBlock = 2;
  Run(*c, 6 * 1024);
  EXPECT_EQ(c->Asked, row.Asked);
  EXPECT_EQ(c->CloseDecisions, row.Decisions);
  EXPECT_EQ(c->DownloadResult(), row.Result);
  const auto& log = c->Recorder().Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "  DownLoad stopped: the window was closed !!"),
            row.Result == TDownloadResult::Stopped ? 1 : 0);
  EXPECT_TRUE(c->Destroyed);
}

INSTANTIATE_TEST_SUITE_P(
    Closing, CloseDuringTheTransfer,
    ::testing::Values(CloseRow{"AnsweredNoGoesOnAndAsksAgain", false, false, 2, {false, false}, TDownloadResult::Success},
                      CloseRow{"AnsweredYesStopsAndIsNotAskedAgain", true, false, 1, {false, false},
                               TDownloadResult::Stopped},
                      CloseRow{"ASignalStopsWithoutAsking", false, true, 0, {false, false}, TDownloadResult::Stopped}),
    RowName());

}  // namespace
