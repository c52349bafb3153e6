#include "PortClaim.h"

#include "StatusText.h"

TPortHolder TPortClaim::Claim(const std::string& device) {
  if (TPortHolder holder = OpenElsewhere(device)) return holder;
  return FLock.Take(device);
}

TPortHolder TPortClaim::Confirm(const std::string& device) { return OpenElsewhere(device); }

std::string TPortClaim::Reason(const TPortHolder& holder) const { return HeldPortReason(holder); }

TPortHolder PortHolderOf(const std::string& device) {
  if (TPortHolder holder = OpenElsewhere(device)) return holder;
  return LockHolder(device);
}
