// What the window's title and its message boxes say, whichever face shows them.
#pragma once

inline constexpr const char* kCaption = "::::: Tarnwell STB  Serial DownLoader v3.5 For Downgrade Version:::::";
inline constexpr const char* kConnectError = "Error: could not connect.  Check COM port settings";
inline constexpr const char* kStopQuestion =
    "A download is running. Closing now leaves the receiver without a complete image. Stop the download and close?";
// The title of every message box where the toolkit does not name the program itself.
inline constexpr const char* kApplicationName = "stb-downloader";
// The list of ports the strip opens: its title, and what it says when it is empty.
inline constexpr const char* kPortListTitle = "Choose the port for COM1";
inline constexpr const char* kNoPortsPresent = "No serial ports are present";
