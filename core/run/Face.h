// What every face does for the core, and all it does: draw the run's state,
// add a line to the log, ask, and handle what is pending. The Qt window, the
// Win32 window and the terminal face each implement it once; the core
// decides what to show and when.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "RunState.h"

// The modal boxes a face shows: what each says comes with the call, how it
// looks (icon, buttons, the default answer) is the kind's.
enum class TDialog {
  Message,       // OK
  Information,   // OK, an information icon
  YesNo,         // a question; true for Yes
  StopQuestion,  // kStopQuestion; No unless chosen
  ConnectError,  // kConnectError, with the system's reason as its detail
  Error,         // an error raised in a handler, as the application's handler shows it
};

// One port of the list the operator chooses from.
struct TPortOffer {
  std::string Name;      // what is opened and remembered: /dev/ttyUSB0, COM3
  std::string Text;      // its line in the list: the device, maker and model, its other names
  bool Current = false;  // COM1 is on it now
};

class TFace {
public:
  virtual ~TFace() = default;
  // The run as it stands now, at the core's pace: while blocks go out
  // (state.Paced) the face may rest until the next state; on state.Closing
  // a window closes and a terminal face ends.
  virtual void ShowState(const TRunState& state) = 0;
  // One more line of the log, Latin-1, as the receiver's texts are.
  virtual void AddLogLine(const std::string& line) = 0;
  // Modal; true for Yes. The text is Latin-1, as the log's; the detail UTF-8.
  virtual bool Ask(TDialog kind, const std::string& text, const std::string& detail = {}) = 0;
  // Handles what is pending, once, without waiting.
  virtual void Pump() = 0;
  // The list of the ports present, modal: the index of the one chosen; none
  // when the operator chose none. An empty list says kNoPortsPresent. A face
  // without a list (the terminal) chooses none.
  virtual std::optional<std::size_t> PickPort(const std::vector<TPortOffer>& ports) {
    (void)ports;
    return std::nullopt;
  }
};
