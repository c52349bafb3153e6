// The far end on Windows (under Wine): a pty held by the far agent, steered
// one text line at a time over a control pty that $STB_FAR_AGENT names.
//
//   OPEN               -> OK <near pty path>
//   WRITE <hex>        -> OK
//   READ <n> <ms>      -> OK <hex>
//   DRAIN | HANGUP     -> OK
//   VIEW               -> OK <baud> <odd> <stick> <two stop> <rtscts> <xonxoff> <xon> <xoff>
#include "FarEnd.h"
#include "HexText.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace {

// The control line, opened once for the whole test program.
class Control {
public:
  Control() {
    const char* name = std::getenv("STB_FAR_AGENT");
    if (name == nullptr || *name == '\0') throw std::runtime_error("STB_FAR_AGENT names no control line");
    FHandle = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (FHandle == INVALID_HANDLE_VALUE) throw std::runtime_error(std::string("cannot open ") + name);
    // The agent answers within a few seconds; waiting longer means it is gone.
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 30000;
    t.WriteTotalTimeoutConstant = 30000;
    ::SetCommTimeouts(FHandle, &t);
  }

  std::string Ask(const std::string& command) {
    const std::string line = command + "\n";
    DWORD put = 0;
    if (!::WriteFile(FHandle, line.data(), DWORD(line.size()), &put, nullptr) || put != line.size())
      throw std::runtime_error("far agent: cannot send " + command);
    std::string reply;
    for (;;) {
      char c = 0;
      DWORD got = 0;
      if (!::ReadFile(FHandle, &c, 1, &got, nullptr) || got == 0) throw std::runtime_error("far agent: no answer to " + command);
      if (c == '\n') break;
      reply += c;
    }
    if (reply.rfind("OK", 0) != 0) throw std::runtime_error("far agent: " + command + ": " + reply);
    return reply.size() > 3 ? reply.substr(3) : std::string();
  }

private:
  HANDLE FHandle = INVALID_HANDLE_VALUE;
};

Control& Agent() {
  static Control control;
  return control;
}

class AgentFarEnd : public FarEnd {
public:
  AgentFarEnd() {
    // Wine's Z: drive is the Linux root.
    std::string path = Agent().Ask("OPEN");
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    FNear = "Z:" + path;
  }
  std::string NearName() const override { return FNear; }
  void Write(const std::vector<std::uint8_t>& bytes) override { Agent().Ask("WRITE " + ToHex(bytes)); }
  std::vector<std::uint8_t> Read(std::size_t want, int timeoutMs) override {
    return FromHex(Agent().Ask("READ " + std::to_string(want) + " " + std::to_string(timeoutMs)));
  }
  void Drain() override { Agent().Ask("DRAIN"); }
  void HangUp() override { Agent().Ask("HANGUP"); }
  FarView View() override {
    std::istringstream in(Agent().Ask("VIEW"));
    unsigned odd = 0, stick = 0, two = 0, rtscts = 0, xonxoff = 0, xon = 0, xoff = 0;
    FarView v;
    in >> v.baud >> odd >> stick >> two >> rtscts >> xonxoff >> xon >> xoff;
    v.oddParity = odd != 0;
    v.stickParity = stick != 0;
    v.twoStopBits = two != 0;
    v.rtsCts = rtscts != 0;
    v.xonXoff = xonxoff != 0;
    v.xonChar = std::uint8_t(xon);
    v.xoffChar = std::uint8_t(xoff);
    return v;
  }

private:
  std::string FNear;
};

}  // namespace

std::unique_ptr<FarEnd> MakeFarEnd() { return std::make_unique<AgentFarEnd>(); }
