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

bool WriteFile(const std::string& path, const void* data, std::size_t size) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), std::streamsize(size));
  return bool(f);
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

  // Signals are taken synchronously below; the receiver's thread inherits the mask.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

  stbsim::Receiver rx(opt.Cfg);
  bool opened = opt.Device.empty() ? rx.OpenPty(&error) : rx.OpenDevice(opt.Device, &error);
  if (!opened) {
    std::cerr << "stb-receiver-sim: " << error << '\n';
    return 2;
  }
  if (!opt.Link.empty() && !MakeLink(opt.Link, rx.ConsolePath(), error)) {
    std::cerr << "stb-receiver-sim: " << error << '\n';
    return 2;
  }
  std::cout << rx.ConsolePath() << std::endl;
  if (!opt.WireLog.empty()) rx.KeepWireAccount();
  rx.Start();

  for (;;) {
    timespec tick{0, 100 * 1000 * 1000};
    if (sigtimedwait(&sigs, nullptr, &tick) > 0) break;
    if (opt.ExitWhenDone && rx.WaitFinished(0)) break;
  }
  rx.Stop();
  if (!opt.Link.empty()) RemoveLink(opt.Link, rx.ConsolePath());

  stbsim::Summary sum = rx.GetSummary();
  std::cout << sum.ToText() << std::flush;
  int rc = sum.Success ? 0 : 1;
  const auto keep = [&rc](const std::string& path, const std::string& bytes) {
    if (path.empty() || WriteFile(path, bytes.data(), bytes.size())) return;
    std::cerr << "stb-receiver-sim: cannot write " << path << '\n';
    rc = rc ? rc : 3;
  };
  const auto flash = rx.Flash();
  keep(opt.SaveFlash, std::string(flash.begin(), flash.end()));
  keep(opt.WireLog, rx.WireAccount());
  keep(opt.SummaryJson, sum.ToJson());
  return rc;
}
