// The port's guard as every face has it: nobody else on the port before we
// open it or after, and the lock file terminal programs honour held while
// it is ours.
#pragma once

#include "PortGuard.h"
#include "PortHolders.h"

class TPortClaim : public TPortGuard {
public:
  TPortHolder Claim(const std::string& device) override;
  TPortHolder Confirm(const std::string& device) override;
  void Release() override { FLock.Release(); }
  std::string Reason(const TPortHolder& holder) const override;

private:
  TPortLock FLock;
};

// Who holds `device` besides us, by its open descriptors or its lock file;
// none when nobody does.
TPortHolder PortHolderOf(const std::string& device);
