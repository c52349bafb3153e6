// The download address question as an operator meets it: the terminal face
// on a real terminal (a pty it has for its standard input, output and
// error), the simulated receiver reporting another address than the
// description's; and the question as a program reads it in --json.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <fstream>

#include "Harness.h"
#include "TestNames.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kQuestion = "Warning!!!. Download Address MisMatch!!!  Exit now? [y/n] ";
constexpr const char* kAddresses =
    "Download address in ./inc/native.inc: 0x80010000   Download address of the receiver: 0x80020000";

// stb-downloader --console with a terminal of its own: the test types on
// the terminal's far side and reads what the program shows there.
class OnATerminal {
public:
  explicit OnATerminal(const std::vector<std::string>& args) {
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0) return;
    const std::string slave = ::ptsname(FMaster);
    std::vector<std::string> all{STB_DOWNLOADER, "--console"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    FPid = ::fork();
    if (FPid == 0) {
      // Only what may run between fork and exec: a session, the terminal as its own.
      ::setsid();
      const int fd = ::open(slave.c_str(), O_RDWR);
      if (fd < 0) ::_exit(127);
      ::ioctl(fd, TIOCSCTTY, 0);
      ::dup2(fd, 0);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execve(argv[0], argv.data(), environ);
      ::_exit(127);
    }
  }
  ~OnATerminal() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    if (FMaster >= 0) ::close(FMaster);
  }
  bool Started() const { return FPid > 0; }
  void Type(const std::string& text) { ASSERT_EQ(::write(FMaster, text.data(), text.size()), ssize_t(text.size())); }
  // Reads until `count` appearances of `text` were shown in all, or timeoutMs.
  bool WaitFor(const std::string& text, int timeoutMs, std::size_t count = 1) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Count(text) < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(int(left.count()))) return false;
    }
    return true;
  }
  // Its exit status once it ended, all it showed read; -1 when it did not end in time.
  int Exit(int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      // The terminal reads an error once the program and all its descriptors are gone.
      if (!ReadSome(int(left.count()))) break;
    }
    // Still running (waiting for an answer, say): it did not end in time.
    while (::waitpid(FPid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= until) return -1;
      ReadSome(20);
    }
    FPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& Shown() const { return FShown; }

private:
  std::size_t Count(const std::string& text) const {
    std::size_t n = 0;
    for (std::size_t at = FShown.find(text); at != std::string::npos; at = FShown.find(text, at + 1)) ++n;
    return n;
  }
  bool ReadSome(int timeoutMs) {
    pollfd p{FMaster, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(FMaster, buffer, sizeof buffer);
    if (n <= 0) return false;
    FShown.append(buffer, std::size_t(n));
    return true;
  }

  int FMaster = -1;
  pid_t FPid = -1;
  std::string FShown;
};

struct AnswerRow {
  const char* name;
  std::vector<std::string> answers;  // typed one after another, each once the question stands
  int exitStatus;                    // 1 stopped, 0 went on to a whole download
};

class TerminalAddressQuestion : public ::testing::TestWithParam<AnswerRow> {};

TEST_P(TerminalAddressQuestion, ShowsBothAddressesAndTakesTheAnswerInAnyCase) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 4096);
  stbsim::Config cfg;
  cfg.Id.DownloadAddress = 0x80020000;
  stbsim::Receiver rx(cfg);
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();

  OnATerminal tool({"--port", rx.ConsolePath()});
  ASSERT_TRUE(tool.Started());
  ASSERT_TRUE(tool.WaitFor("Download mode: ", 30000)) << tool.Shown();
  tool.Type("W4n!Rk\n");
  const auto& answers = GetParam().answers;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    ASSERT_TRUE(tool.WaitFor(kQuestion, 60000, i + 1)) << tool.Shown();
    tool.Type(answers[i] + "\n");
  }
  EXPECT_EQ(tool.Exit(60000), GetParam().exitStatus) << tool.Shown();
  const std::string& shown = tool.Shown();
  EXPECT_NE(shown.find(std::string("Warning !!!. Download Address MisMatch... !!!\r\n") + kAddresses + "\r\n" + kQuestion),
            std::string::npos)
      << "the addresses on the line before the question:\n" << shown;
  if (GetParam().exitStatus == 1) {
    EXPECT_NE(shown.find("Download Address MisMatch!!!. Check Your installation file(./inc/xxxx.inc).\r\n"
                         "The installation file of this mode: " +
                         (bench.Dir() / "inc" / "native.inc").string() + "\r\n"),
              std::string::npos)
        << shown;
    EXPECT_EQ(rx.GetSummary().BlocksAccepted, 0u);
  } else {
    EXPECT_EQ(rx.GetSummary().AddressReceived, 0x80010000u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TerminalAddressQuestion,
    ::testing::Values(AnswerRow{"LowerY", {"y"}, 1}, AnswerRow{"YesInCapitals", {"YES"}, 1},
                      AnswerRow{"MixedCaseYes", {"yEs"}, 1}, AnswerRow{"WrongWordAsksAgain", {"maybe", "Yes"}, 1},
                      AnswerRow{"NoInCapitals", {"NO"}, 0}, AnswerRow{"LowerN", {"n"}, 0}),
    RowName());

// A program reads both addresses from the question's own fields.
TEST(JsonAddressQuestion, CarriesBothAddresses) {
  Workbench bench;
  bench.WriteJob(2, JobFile{});
  bench.WriteImage("image.bin", 4096);
  stbsim::Config cfg;
  cfg.Id.DownloadAddress = 0x80020000;
  stbsim::Receiver rx(cfg);
  std::string error;
  ASSERT_TRUE(rx.OpenPty(&error)) << error;
  rx.Start();
  std::ofstream(bench.Dir() / "keyword.txt") << "W4n!Rk\n";
  const std::string command = std::string(STB_DOWNLOADER) + " --console --json --port " + rx.ConsolePath() + " < " +
                              (bench.Dir() / "keyword.txt").string() + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  QJsonObject question;
  for (std::size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    const QJsonObject e = QJsonDocument::fromJson(QByteArray::fromStdString(out.substr(start, end - start))).object();
    if (e["event"] == "question") question = e;
  }
  ASSERT_FALSE(question.isEmpty()) << out;
  EXPECT_EQ(question["text"].toString().toStdString(), "Warning!!!. Download Address MisMatch!!!  Exit now?");
  EXPECT_EQ(question["file_address"].toString().toStdString(), "0x80010000");
  EXPECT_EQ(question["box_address"].toString().toStdString(), "0x80020000");
  EXPECT_EQ(question["answer"].toString().toStdString(), "yes");
}

}  // namespace
