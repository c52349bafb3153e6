// The window's pictures as numbers: the banner, the rounded outline around
// it and the busy animation, in the window's unscaled pixels. Both windows
// paint from these, each with its own toolkit, so that they look alike.
#pragma once

#include <cmath>

namespace artwork {

struct TColour {
  int R, G, B, A = 255;
};
struct TRect {
  double X, Y, Width, Height;
};

// Shape1: the purple outline.
inline constexpr TColour kOutline{128, 0, 128};
inline constexpr double kOutlineRadius = 10;

// Image1: a sky from the top left to the bottom right.
struct TStop {
  double At;
  TColour Colour;
};
inline constexpr TStop kSky[3] = {{0, {36, 44, 110}}, {0.6, {88, 40, 130}}, {1, {160, 60, 140}}};
// Signal arcs behind the box: rings 14 px apart round one centre, a third of a turn each.
inline constexpr TColour kArc{255, 255, 255, 40};
inline constexpr double kArcPen = 3, kArcStep = 14, kArcCentreX = 58, kArcCentreY = 48;
inline constexpr int kArcs = 4;
inline constexpr double kArcStartDegrees = -60, kArcSpanDegrees = 120;  // counter-clockwise from east
inline constexpr TRect kBannerReceiver{16, 34, 84, 30};
inline constexpr TColour kBannerLamp{80, 255, 120};
inline constexpr const char* kTitle = "Tarnwell STB";
inline constexpr double kTitlePixels = 26;
inline constexpr TRect kTitleBox{120, 12, -130, 36};  // a negative width: the banner's width less this
inline constexpr TColour kTitleShadow{0, 0, 0, 90};
inline constexpr const char* kSubtitle = "Serial DownLoader v3.5";
inline constexpr double kSubtitlePixels = 14;
inline constexpr TRect kSubtitleBox{122, 46, -130, 20};
inline constexpr TColour kSubtitleColour{230, 220, 255};

// A set-top box seen from the front: body, display and a status lamp; parts
// in fractions of its box.
inline constexpr TColour kBodyTop{70, 74, 88}, kBodyBottom{28, 30, 38}, kBodyEdge{18, 18, 24};
inline constexpr double kBodyRadius = 4;
inline constexpr TRect kDisplay{0.12, 0.3, 0.34, 0.36};
inline constexpr TColour kDisplayFill{20, 60, 40}, kDisplayText{90, 255, 160};
inline constexpr const char* kDisplayCaption = "DL";
inline constexpr double kDisplayTextHeight = 0.7;       // of the display's height
inline constexpr double kLampFromRight = 0.12, kLampRadius = 0.09;  // of the width, of the height

// Animate1: a folder on the left, the receiver on the right, pages between.
inline constexpr int kFrames = 35;
inline constexpr int kStopFrame = 34;
inline constexpr int kFrameMs = 60;
// While a window holds its painting the frames rest; each paint it lets
// through moves the flight on this many, so that pages painted a few times a
// second still fly one way.
inline constexpr int kHeldStep = 3;
inline constexpr TRect kFolder{8, -16, 44, 30};  // Y from the middle
inline constexpr TRect kFolderTab{0, -5, 18, 6};  // from the folder's top left
inline constexpr double kFolderRadius = 3;
inline constexpr TColour kFolderEdge{150, 110, 20}, kFolderFill{240, 200, 90};
inline constexpr TRect kBusyReceiver{-96, -14, 88, 28};  // X from the right, Y from the middle
inline constexpr TColour kLampOn{255, 190, 40}, kLampOff{120, 80, 0}, kLampIdle{80, 200, 100};
inline constexpr int kLampBlinkFrames = 4;
inline constexpr int kPages = 3;
inline constexpr double kPagesFrom = 4, kPagesToFromRight = 104;  // past the folder; before the right edge
inline constexpr double kPageLift = 18, kPageDrop = 4;
inline constexpr TRect kPage{-7, -9, 14, 18};
inline constexpr TColour kPageEdge{110, 110, 130}, kPageLines{170, 170, 190};

// The lamp of the busy receiver in a frame.
constexpr TColour BusyLamp(bool playing, int frame) {
  return !playing ? kLampIdle : (frame / kLampBlinkFrames) % 2 ? kLampOn : kLampOff;
}

struct TPagePlace {
  double X, Y, Degrees;
};
// Where page i of the flight is in a frame, from the start to the end of the arc.
inline TPagePlace PagePlace(int frame, int page, double from, double to, double mid) {
  const double t = std::fmod(double(frame) / kFrames + page / double(kPages), 1.0);
  return {from + (to - from) * t, mid - kPageDrop - std::sin(t * 3.14159265358979) * kPageLift, -20 + 40 * t};
}

}  // namespace artwork
