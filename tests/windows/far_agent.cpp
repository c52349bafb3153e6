// stb-far-agent: the far end of the platform contract tests when they run as
// Windows programs under Wine. It holds one pty pair at a time for the test
// and obeys one text line at a time from a control pty, whose near end it
// links at the path given (the runner hands that to the test as
// $STB_FAR_AGENT). The commands are listed in tests/FarEndAgent.cpp.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "PtyPair.h"
#include "HexText.h"

namespace {

std::string Obey(const std::string& line, std::unique_ptr<PtyPair>& line_pty) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  if (verb == "OPEN") {
    line_pty.reset();
    line_pty = std::make_unique<PtyPair>();
    return "OK " + line_pty->NearPath();
  }
  if (!line_pty) return "ERR no line open";
  if (verb == "WRITE") {
    std::string hex;
    in >> hex;
    line_pty->Write(FromHex(hex));
    return "OK";
  }
  if (verb == "READ") {
    std::size_t want = 0;
    int ms = 0;
    in >> want >> ms;
    return "OK " + ToHex(line_pty->Read(want, ms));
  }
  if (verb == "DRAIN") {
    line_pty->Drain();
    return "OK";
  }
  if (verb == "HANGUP") {
    line_pty->HangUp();
    return "OK";
  }
  if (verb == "VIEW") {
    const FarView v = line_pty->View();
    std::ostringstream out;
    out << "OK " << v.baud << ' ' << v.oddParity << ' ' << v.stickParity << ' ' << v.twoStopBits << ' ' << v.rtsCts
        << ' ' << v.xonXoff << ' ' << unsigned(v.xonChar) << ' ' << unsigned(v.xoffChar);
    return out.str();
  }
  return "ERR unknown command " + verb;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: stb-far-agent LINK\n");
    return 2;
  }
  const std::string link = argv[1];
  PtyPair control;
  ::unlink(link.c_str());
  if (::symlink(control.NearPath().c_str(), link.c_str()) != 0) {
    std::perror(link.c_str());
    return 2;
  }
  std::unique_ptr<PtyPair> line_pty;
  std::string pending;
  // Runs until the runner stops it.
  for (;;) {
    pollfd p{control.FarFd(), POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) continue;
    const auto got = control.Read(1, 100);
    pending.append(got.begin(), got.end());
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      std::string reply;
      try {
        reply = Obey(line, line_pty);
      } catch (const std::exception& e) {
        reply = std::string("ERR ") + e.what();
      }
      control.Write(reply + "\n");
    }
  }
}
