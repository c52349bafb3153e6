// The place of every control in the window, its labels and colours, in client
// pixels: one window, whichever toolkit draws it.
#pragma once

namespace form_layout {

struct TBox {
  int X, Y, Width, Height;
};

inline constexpr int kClientWidth = 553;
inline constexpr int kStripHeight = 20;
// The status strip adds its own height under the log, and nothing else.
inline constexpr int kClientHeight = 681 + kStripHeight;
inline constexpr int kFontPixels = 11;

inline constexpr TBox kShape1{8, 8, 537, 113};
inline constexpr TBox kImage1{24, 16, 505, 97};
// The maker's address, in three pieces on the banner; the middle one red.
inline constexpr const char* kAddressPieces[3] = {"www.", "tarnwell", ".example"};
inline constexpr int kAddressX = 344;
inline constexpr int kAddressY = 88;
inline constexpr int kAddressHeight = 22;
inline constexpr int kAddressFontPixels = 16;

// Inside Panel1.
inline constexpr TBox kPanel1{8, 132, 537, 129};
inline constexpr const char* kLabel1Text = "Down Load";
inline constexpr int kLabel1X = 16, kLabel1Y = 20;
inline constexpr const char* kLabel2Text = "Flash Write";
inline constexpr int kLabel2X = 16, kLabel2Y = 44;
// The counter keeps its place right of the Down Load bar and reaches to the
// panel's inner edge; it never grows over the bar.
inline constexpr int kLabel4X = 428, kLabel4Y = 20, kLabel4Height = 16;
inline constexpr TBox kProgressBar1{84, 20, 337, 16};
inline constexpr TBox kProgressBar2{84, 44, 337, 16};
inline constexpr TBox kAnimate1{76, 60, 385, 61};

inline constexpr TBox kRxMemo{8, 272, 537, 401};
inline constexpr TBox kStatusStrip{8, 677, 537, kStripHeight};

// A port that is not open shows in this colour on the strip.
inline constexpr int kWarningRed = 0xB0, kWarningGreen = 0x00, kWarningBlue = 0x00;

}  // namespace form_layout
