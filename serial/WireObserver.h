// What a watcher of the line hears from the serial component: the moment the
// port opened, and every run of bytes as it crosses, in the order it crosses.
//
// The component calls it on its own thread, right after the bytes were
// handed to the driver or taken from it, with a pointer into its own buffer
// (valid only for the call) and the tick count of the moment. Whatever
// listens must be cheap: it runs inside every send and read of a transfer.
#pragma once

#include <cstddef>
#include <cstdint>

enum class TWireDirection : std::uint8_t { Sent, Received };

class TWireObserver {
public:
  virtual void PortOpened(std::uint32_t tick) = 0;
  virtual void WireBytes(TWireDirection direction, const std::uint8_t* data, std::size_t count,
                         std::uint32_t tick) = 0;

protected:
  ~TWireObserver() = default;
};
