// The far end on Linux: a pty pair in the test's own process.
#include "FarEnd.h"
#include "PtyPair.h"

namespace {

class PtyFarEnd : public FarEnd {
public:
  std::string NearName() const override { return FPty.NearPath(); }
  void Write(const std::vector<std::uint8_t>& bytes) override { FPty.Write(bytes); }
  std::vector<std::uint8_t> Read(std::size_t want, int timeoutMs) override { return FPty.Read(want, timeoutMs); }
  void Drain() override { FPty.Drain(); }
  void HangUp() override { FPty.HangUp(); }
  FarView View() override { return FPty.View(); }

private:
  PtyPair FPty;
};

}  // namespace

std::unique_ptr<FarEnd> MakeFarEnd() { return std::make_unique<PtyFarEnd>(); }
