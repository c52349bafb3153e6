// stb-receiver-sim: the simulated set-top box as a program, for running the
// downloader by hand against it.
#include "Options.h"
#include "Receiver.h"

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

namespace {

bool MakeLink(const std::string& link, const std::string& target, std::string& error) {
  struct stat st{};
  if (lstat(link.c_str(), &st) == 0) {
    // Never clobber a real file: only a stale link of ours may go.
    if (!S_ISLNK(st.st_mode)) {
      error = link + ": exists and is not a symlink";
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    error = link + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void RemoveLink(const std::string& link, const std::string& target) {
  char buf[4096];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n > 0 && std::string(buf, std::size_t(n)) == target) unlink(link.c_str());
}

// False, having said so, when the file could not be written.
bool WriteFile(const std::string& path, const void* data, std::size_t size) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), std::streamsize(size));
  if (f) return true;
  std::cerr << "stb-receiver-sim: cannot write " << path << '\n';
  return false;
}

// Signals are taken synchronously by the caller; the receiver's thread inherits the mask.
sigset_t BlockStopSignals() {
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  return sigs;
}

// The pseudo-terminal or the device, and the link to it when one was asked for.
bool OpenConsoleEnd(stbsim::Receiver& rx, const stbsim::ProgramOptions& opt, std::string& error) {
  bool opened = opt.Device.empty() ? rx.OpenPty(&error) : rx.OpenDevice(opt.Device, &error);
  if (!opened) return false;
  return opt.Link.empty() || MakeLink(opt.Link, rx.ConsolePath(), error);
}

// Until a signal comes, or the download ended when that was asked for.
void WaitForEnd(stbsim::Receiver& rx, const sigset_t& sigs, bool exitWhenDone) {
  for (;;) {
    timespec tick{0, 100 * 1000 * 1000};
    if (sigtimedwait(&sigs, nullptr, &tick) > 0) break;
    if (exitWhenDone && rx.WaitFinished(0)) break;
  }
}

// The summary, and the files asked for; the exit code.
int Report(const stbsim::Receiver& rx, const stbsim::ProgramOptions& opt) {
  stbsim::Summary sum = rx.GetSummary();
  std::cout << sum.ToText() << std::flush;
  int rc = sum.Success ? 0 : 1;
  if (!opt.SaveFlash.empty()) {
    auto flash = rx.Flash();
    if (!WriteFile(opt.SaveFlash, flash.data(), flash.size())) rc = rc ? rc : 3;
  }
  if (!opt.WireLog.empty()) {
    const std::string account = rx.WireAccount();
    if (!WriteFile(opt.WireLog, account.data(), account.size())) rc = rc ? rc : 3;
  }
  if (!opt.SummaryJson.empty()) {
    std::string json = sum.ToJson();
    if (!WriteFile(opt.SummaryJson, json.data(), json.size())) rc = rc ? rc : 3;
  }
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  stbsim::ProgramOptions opt;
  std::string error;
  if (!stbsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), opt, error)) {
    std::cerr << "stb-receiver-sim: " << error << "\nTry --help.\n";
    return 2;
  }
  if (opt.Help) {
    std::cout << stbsim::UsageText();
    return 0;
  }
  if (opt.Version) {
    std::cout << "stb-receiver-sim " STB_VERSION "\n";
    return 0;
  }

  const sigset_t sigs = BlockStopSignals();
  stbsim::Receiver rx(opt.Cfg);
  if (!OpenConsoleEnd(rx, opt, error)) {
    std::cerr << "stb-receiver-sim: " << error << '\n';
    return 2;
  }
  std::cout << rx.ConsolePath() << std::endl;
  if (!opt.WireLog.empty()) rx.KeepWireAccount();
  rx.Start();
  WaitForEnd(rx, sigs, opt.ExitWhenDone);
  rx.Stop();
  if (!opt.Link.empty()) RemoveLink(opt.Link, rx.ConsolePath());
  return Report(rx, opt);
}
