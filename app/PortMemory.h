// The port remembered from the last --port that opened, so that a start
// with no port named (the Start-menu entry, a shortcut) finds the adapter.
#pragma once

#include <string>

std::string RememberedPort();
void RememberPort(const std::string& device);
// A port named as the system names it (COM3, com12) as the device to open:
// \\.\COM12 reaches ports above 9 too; anything else is a device already.
std::string PortDeviceFor(const std::string& name);
