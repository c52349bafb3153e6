// What the status strip under the log says, as text any window can show.
#pragma once

#include <cstdint>
#include <string>

#include "PortGuard.h"
#include "RunState.h"

// What the strip under the log says, and how.
struct TStripState {
  std::string Text;        // the port, then what the download is doing
  std::string PortText;    // the port's part alone
  bool Warning = false;    // the port is not open
  bool Choosable = false;  // a click (or F4) opens the list of ports
  bool operator==(const TStripState&) const = default;
};

struct TSerialDevice;

// What the strip offers while the port is not open and may be chosen.
inline constexpr const char* kChoosePortOffer = "click here or press F4 to choose a port";
// What the strip says when the port is asked for while a download runs.
inline constexpr const char* kPortStaysNote = "the port cannot change while a download runs";
// What the strip says of a port the operator chose, until a receiver answers on it.
inline constexpr const char* kPortChosenNote = "chosen from the list";

// A port's line in the list the operator chooses from: the device, its
// maker and model, its other names, as --list-ports names them; then who
// else holds it, when another program does.
std::string PortOfferText(const TSerialDevice& device, const TPortHolder& holder = {});
// A port's first line in --list-ports: the device, its maker and model, and
// who else holds it.
std::string PortListLine(const TSerialDevice& device, const TPortHolder& holder);
// "open in picocom (process 4242)" or "locked by minicom (process 4242)":
// who holds a port besides us, as a list of ports notes it beside the port.
std::string HolderNote(const TPortHolder& holder);
// "the port is open in picocom (process 4242); close it first": why a port
// held by another program was not opened.
std::string HeldPortReason(const TPortHolder& holder);
// The log's line for a port the operator chose: "  Port chosen: COM1 =
// /dev/ttyUSB1 (was /dev/ttyS0), open", or "..., not open: <reason>".
std::string PortChosenLine(const std::string& was, const std::string& device, bool open, const std::string& reason);

// What the download is doing, as the strip says it after the port: its
// pace, a wait, or how it ended; empty when there is nothing to say.
std::string ActivityText(const TRunState& state);
// The strip for a run as it stands.
TStripState StripOf(const TRunState& state);

// The separator between the strip's parts: a middle dot, in UTF-8.
inline constexpr const char* kStripSeparator = " \xC2\xB7 ";

// "COM1 = /dev/ttyUSB0 · 115200 8N1 · open", then what the port did not take
// of its settings when `reason` says so; or "... · not open: <reason>".
std::string PortText(const std::string& device, bool open, const std::string& reason);
// "COM1 = /dev/ttyUSB0 · lost · waiting for it to come back"
std::string LostPortText(const std::string& device);
// The message of a run that ends because the port's device went away while
// the receiver was being probed.
std::string LostPortMessage(const std::string& device);
// Why the port is not open, without the device the reason starts with.
std::string PortReason(const std::string& device, const std::string& reason);
// "11.2 KiB/s · 4:32 left" after `done` of `total` blocks in `elapsedS` seconds.
std::string TransferRateText(std::int32_t done, std::int32_t total, double elapsedS);
// "11.2 KiB/s · 4:32 left" at bytesPerSecond with secondsLeft to go.
std::string RateText(double bytesPerSecond, double secondsLeft);
// "11.2 KiB/s": a pace, in the one unit every window, the bench and the
// guides show: KiB, as the image's size and its blocks are counted.
std::string PaceText(double bytesPerSecond);
// "waiting for Flash Write · 12 s"
std::string WaitingText(const char* stage, std::uint32_t silentMs);
