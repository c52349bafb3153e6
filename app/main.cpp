// The downloader's entry: the application, its one window and the message loop.
//
// SIGTERM and SIGINT close the window as its close button does, so that a
// session's logout or a script ends the program cleanly, with exit status 0
// and the port released. A download under way stops at its next block.
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "Application.h"
#include "MainFrm.h"

namespace {

int SignalPipe[2] = {-1, -1};

// A signal handler may do next to nothing: one byte into the pipe, which the
// message loop picks up.
void OnCloseSignal(int) {
  const int saved = errno;
  const char b = 1;
  [[maybe_unused]] ssize_t n = ::write(SignalPipe[1], &b, 1);
  errno = saved;
}

}  // namespace

int main(int argc, char** argv) {
  TApplication app(argc, argv);

  bool closeAsked = false;
  std::unique_ptr<QSocketNotifier> closeSignal;
  if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    closeSignal = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
    QObject::connect(closeSignal.get(), &QSocketNotifier::activated, [&closeAsked] {
      char drain[16];
      while (::read(SignalPipe[0], drain, sizeof drain) > 0) {
      }
      closeAsked = true;
      // Every top-level window: a dialog open at start-up must go as well.
      QApplication::closeAllWindows();
    });
    struct sigaction sa {};
    sa.sa_handler = OnCloseSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
  }

  TForm1 Form1;
  // Asked to close while the connect error was showing, before the window was up.
  if (closeAsked) return 0;
  Form1.show();
  return TApplication::exec();
}
