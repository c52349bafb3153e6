// The window's pictures drawn with GDI+: the banner with its outline, and the
// busy animation, from the same numbers as the Qt window's (ArtworkData.h),
// at the window's scale (1 at 96 DPI, 1.5 at 144).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <cstdint>

#include "ArtworkData.h"

// GDI+ is started for as long as one of these lives.
class TArtworkSession {
public:
  TArtworkSession();
  ~TArtworkSession();
  TArtworkSession(const TArtworkSession&) = delete;
  TArtworkSession& operator=(const TArtworkSession&) = delete;

private:
  ULONG_PTR FToken = 0;
};

// Shape1 and Image1, at their places in the window.
void PaintBanner(HDC dc, double scale);

// Animate1's frames. Each is drawn once on the panel's colour and kept: the
// transfer shows a frame per block, and a picture copied costs a fraction of
// one drawn.
class TBusyPicture {
public:
  TBusyPicture() = default;
  ~TBusyPicture() { Forget(); }
  TBusyPicture(const TBusyPicture&) = delete;
  TBusyPicture& operator=(const TBusyPicture&) = delete;

  bool Playing = false;
  int Frame = artwork::kStopFrame;
  double Scale = 1;

  void Advance() { Frame = (Frame + 1) % artwork::kFrames; }
  void Paint(HDC dc, int width, int height, double scale);
  // The size or the scale changed: the kept frames no longer fit.
  void Forget();

private:
  // The frames of the flight, and last the still picture.
  std::array<HBITMAP, artwork::kFrames + 1> FFrames{};
  int FWidth = 0, FHeight = 0;
};
