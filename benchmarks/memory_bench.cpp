// memory_bench: the console's peak memory for whole unpaced downloads of
// images of very different sizes: the window's, and the terminal face's as
// stb-downloader --console and as stb-downloader-cli (no toolkit loaded). The image is read one block at a time, so
// the figures should barely differ. The receiver, which keeps a copy of all
// it was sent, runs as its own program (stb-receiver-sim) so that only the
// console's side is measured: each console is a fresh child process, and its
// ru_maxrss is taken when it exits.
//
//   memory_bench            all cases
//   memory_bench BLOCKS...  the given image sizes in 1024-byte blocks, for all three
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Application.h"
#include "MainFrm.h"
#include "PortChoice.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kKeyword = "W4n!Rk";  // mode 2, ./inc/native.inc

// --- the console, in its own process -------------------------------------------

int RunConsole(const char* folder) {
  if (chdir(folder) != 0) return 3;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  int argc = 1;
  char name[] = "memory_bench";
  char* argv[] = {name, nullptr};
  TApplication app(argc, argv);
  // The port as the program chooses it: $COM1, set by the parent.
  TForm1 form(ChoosePort(std::nullopt, ProcessEnvironment, *UserPortMemory()).Device);
  bool ok = false;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&ok] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ok = ok || box->text().startsWith("Congraturation");
      if (QAbstractButton* b = box->button(QMessageBox::Ok)) b->click();
      else box->accept();
    }
  });
  answer.start(50);
  form.show();
  for (char c : std::string(kKeyword)) {
    std::uint8_t key = std::uint8_t(c);
    form.RxMemoKeyPress(key);
  }
  TApplication::exec();
  // The end of the log tells a failed case apart.
  const QStringList log = form.RxMemo->toPlainText().split('\n');
  for (qsizetype i = std::max<qsizetype>(0, log.size() - 4); i < log.size(); ++i)
    std::printf("    console: %s\n", log[i].toLatin1().constData());
  return ok ? 0 : 1;
}

// --- the cases, in the parent -----------------------------------------------------

void WriteImage(const fs::path& path, std::uint64_t bytes) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> chunk(1 << 20);
  std::uint32_t x = 12345;
  for (auto& c : chunk) c = char((x = x * 1103515245u + 12345u) >> 24);
  for (std::uint64_t left = bytes; left > 0;) {
    const auto n = std::min<std::uint64_t>(left, chunk.size());
    out.write(chunk.data(), std::streamsize(n));
    left -= n;
  }
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            const std::string& output, const std::string& input = "/dev/null") {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env(extraEnv);
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Which console: the window in this program, or a terminal face's program.
struct Console {
  const char* name;
  std::vector<std::string> terminal;  // empty: the window
};

void RunCase(const std::string& self, const Console& face, std::uint32_t blocks) {
  const std::uint64_t bytes = std::uint64_t(blocks) * 1024;
  char tmpl[] = "/tmp/stb-memory-XXXXXX";
  const fs::path dir = mkdtemp(tmpl);
  fs::create_directory(dir / "inc");
  WriteImage(dir / "image.bin", bytes);
  std::ofstream(dir / "inc/native.inc", std::ios::binary)
      << "001234\r\n0A.01\r\n01.05\r\n02.00\r\n03.01\r\n04.02\r\n05.03\r\n26120\r\nspare\r\nimage.bin\r\n2\r\n"
         "0x80010000\r\n";

  const fs::path link = dir / "com1";
  const pid_t rx = Spawn({STB_RECEIVER_SIM, "--link", link.string(), "--mode", "2", "--exit-when-done"}, {},
                       (dir / "receiver.txt").string());
  for (int i = 0; i < 500 && !fs::is_symlink(link); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  const auto t0 = std::chrono::steady_clock::now();
  std::ofstream(dir / "keyword.txt") << kKeyword << "\n";
  std::vector<std::string> command = face.terminal;
  if (command.empty()) command = {self, "--console", dir.string()};
  std::error_code cwdError;
  const fs::path before = fs::current_path();
  fs::current_path(dir, cwdError);
  const pid_t console = Spawn(command, {"COM1=" + link.string(), "XDG_STATE_HOME=" + (dir / "state").string()},
                              (dir / "console.txt").string(), (dir / "keyword.txt").string());
  fs::current_path(before, cwdError);
  int status = 0;
  rusage use{};
  // A program spawned from this one starts out with this one's high-water
  // mark in its ru_maxrss (the memory shared until exec counts), so another
  // program's own peak is its VmHWM, watched until it ends: all but its last
  // few milliseconds.
  long hwmKb = 0;
  while (wait4(console, &status, WNOHANG, &use) == 0) {
    std::ifstream proc("/proc/" + std::to_string(console) + "/status");
    for (std::string line; std::getline(proc, line);)
      if (line.rfind("VmHWM:", 0) == 0) hwmKb = std::max(hwmKb, std::strtol(line.c_str() + 6, nullptr, 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const double peakMiB = face.terminal.empty() ? double(use.ru_maxrss) / 1024.0 : double(hwmKb) / 1024.0;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const bool consoleOk = WIFEXITED(status) && WEXITSTATUS(status) == 0;

  int rxStatus = 0;
  for (int i = 0; i < 300 && waitpid(rx, &rxStatus, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (waitpid(rx, &rxStatus, WNOHANG) == 0) {
    kill(rx, SIGTERM);
    waitpid(rx, &rxStatus, 0);
  }
  const bool rxOk = WIFEXITED(rxStatus) && WEXITSTATUS(rxStatus) == 0;

  std::printf("  %-28s %6u blocks %11llu bytes   peak RSS %7.1f MiB   %7.1f s   %s\n", face.name, blocks,
              (unsigned long long)bytes, peakMiB, seconds,
              consoleOk && rxOk ? "download confirmed" : "DOWNLOAD FAILED");
  std::fflush(stdout);
  if (!consoleOk || !rxOk) {
    for (const char* f : {"console.txt", "receiver.txt"}) {
      std::ifstream in(dir / f);
      for (std::string line; std::getline(in, line);) std::printf("    %s\n", line.c_str());
    }
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--console") return RunConsole(argv[2]);
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  std::vector<std::uint32_t> cases;
  for (int i = 1; i < argc; ++i) cases.push_back(std::uint32_t(std::strtoul(argv[i], nullptr, 10)));
  // 64 MiB would need 65,536 blocks, one more than the two count bytes can
  // carry: the largest image is 65,535 blocks, 67,107,840 bytes.
  const bool all = cases.empty();
  if (all) cases = {0, 1024, 65535};
  const Console window{"window (Qt, offscreen)", {}};
  const Console console{"stb-downloader --console", {STB_DOWNLOADER, "--console"}};
  const Console cli{"stb-downloader-cli", {STB_DOWNLOADER_CLI}};
  std::printf("memory_bench: console peak memory per whole download (receiver in its own process)\n");
  for (std::uint32_t b : cases) RunCase(self, window, b);
  // The terminal faces at 1 and 8 MiB, the sizes a bench station is measured at.
  if (all) cases = {1024, 8192};
  for (const Console* face : {&console, &cli})
    for (std::uint32_t b : cases) RunCase(self, *face, b);
  return 0;
}
