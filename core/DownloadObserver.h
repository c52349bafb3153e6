// What a download reports besides the window's controls: the moments a
// record of it is made of, and the waits a window may show. The exchange
// calls these; the record writer and the windows listen. Every call returns
// at once: none may hold up the exchange or handle the operator's input.
#pragma once

#include <cstdint>
#include <string>

#include "DeviceCheck.h"
#include "DownloadJob.h"

enum class TDownloadResult { Success, Failure, Stopped };

class TDownloadObserver {
public:
  virtual ~TDownloadObserver() = default;
  // The receiver answered the mode word: from here on there is a download.
  virtual void Reached(std::uint8_t /*mode*/, const TDownloadJob& /*job*/) {}
  // The receiver's identification; its download address once it came.
  virtual void Identified(const TDeviceInfo& /*info*/, bool /*addressRead*/) {}
  virtual void TransferStarting(std::int32_t /*blockCount*/) {}
  virtual void BlockAccepted(std::int32_t /*done*/, std::int32_t /*blockCount*/) {}
  virtual void BlockResent(std::int32_t /*block*/) {}
  // The receiver has been silent this long where the exchange waits for it:
  // reported about once a second after the first second. A window may repaint
  // here, and nothing more.
  virtual void Waiting(const char* /*stage*/, std::uint32_t /*silentMs*/) {}
  // The device went away while the receiver was being probed (said once,
  // after its log line). Nothing more is sent until the line is back; the
  // probe timer goes on ticking unless the listener stops it.
  virtual void LineLost() {}
  // The download is over, before its closing message is shown. `reason`
  // names a failure the log has no line for.
  virtual void Ended(TDownloadResult /*result*/, const std::string& /*reason*/) {}
};
