#include "Artwork.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cmath>
#include <string>

#include "FormLayout.h"

using namespace artwork;
namespace gp = Gdiplus;

namespace {

gp::Color Colour(const TColour& c) { return gp::Color(BYTE(c.A), BYTE(c.R), BYTE(c.G), BYTE(c.B)); }
gp::RectF Rect(double x, double y, double w, double h) { return gp::RectF(gp::REAL(x), gp::REAL(y), gp::REAL(w), gp::REAL(h)); }
gp::RectF Rect(const TRect& r) { return Rect(r.X, r.Y, r.Width, r.Height); }

void RoundedRect(gp::GraphicsPath& path, const gp::RectF& r, double radius) {
  const gp::REAL d = gp::REAL(2 * radius);
  path.AddArc(r.X, r.Y, d, d, 180, 90);
  path.AddArc(r.X + r.Width - d, r.Y, d, d, 270, 90);
  path.AddArc(r.X + r.Width - d, r.Y + r.Height - d, d, d, 0, 90);
  path.AddArc(r.X, r.Y + r.Height - d, d, d, 90, 90);
  path.CloseFigure();
}

// Text goes through GDI, whose fonts every Windows and Wine has (GDI+ finds
// only some of them), at the place the drawing's transform gives the box.
// The colour's alpha is mixed with the colour beneath the box's middle.
void Text(gp::Graphics& g, const char* text, double pixels, bool bold, const TColour& colour, const gp::RectF& box,
          UINT align) {
  gp::Matrix transform;
  g.GetTransform(&transform);
  gp::PointF corners[2] = {gp::PointF(box.X, box.Y), gp::PointF(box.X + box.Width, box.Y + box.Height)};
  transform.TransformPoints(corners, 2);
  gp::REAL m[6];
  transform.GetElements(m);
  const double scale = std::sqrt(double(m[0]) * m[0] + double(m[1]) * m[1]);
  HDC dc = g.GetHDC();
  RECT r{LONG(std::lround(corners[0].X)), LONG(std::lround(corners[0].Y)), LONG(std::lround(corners[1].X)),
         LONG(std::lround(corners[1].Y))};
  COLORREF shown = RGB(colour.R, colour.G, colour.B);
  if (colour.A < 255) {
    const COLORREF under = ::GetPixel(dc, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    const auto mix = [&colour](int a, int b) { return BYTE((a * colour.A + b * (255 - colour.A)) / 255); };
    shown = RGB(mix(colour.R, GetRValue(under)), mix(colour.G, GetGValue(under)), mix(colour.B, GetBValue(under)));
  }
  HFONT font = ::CreateFontA(-int(std::lround(pixels * scale)), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                             FALSE, DEFAULT_CHARSET, OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                             VARIABLE_PITCH | FF_SWISS, "Tahoma");
  HGDIOBJ old = ::SelectObject(dc, font);
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, shown);
  ::DrawTextA(dc, text, -1, &r, align | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
  ::SelectObject(dc, old);
  ::DeleteObject(font);
  g.ReleaseHDC(dc);
}

// A set-top box seen from the front: body, display and a status light.
void DrawReceiver(gp::Graphics& g, const gp::RectF& r, const gp::Color& light) {
  gp::LinearGradientBrush body(gp::PointF(r.X, r.Y), gp::PointF(r.X, r.Y + r.Height), Colour(kBodyTop),
                               Colour(kBodyBottom));
  gp::GraphicsPath outline;
  RoundedRect(outline, r, kBodyRadius);
  g.FillPath(&body, &outline);
  gp::Pen edge(Colour(kBodyEdge), 1);
  g.DrawPath(&edge, &outline);
  const gp::RectF display = Rect(r.X + r.Width * kDisplay.X, r.Y + r.Height * kDisplay.Y, r.Width * kDisplay.Width,
                                 r.Height * kDisplay.Height);
  gp::SolidBrush fill(Colour(kDisplayFill));
  g.FillRectangle(&fill, display);
  g.DrawRectangle(&edge, display);
  Text(g, kDisplayCaption, int(display.Height * kDisplayTextHeight), true, kDisplayText, display, DT_CENTER);
  gp::SolidBrush lamp(light);
  const double cx = r.X + r.Width - r.Width * kLampFromRight, cy = r.Y + r.Height / 2, rad = r.Height * kLampRadius;
  g.FillEllipse(&lamp, Rect(cx - rad, cy - rad, 2 * rad, 2 * rad));
}

void Prepare(gp::Graphics& g, double scale) {
  g.SetSmoothingMode(gp::SmoothingModeAntiAlias);
  g.SetTextRenderingHint(gp::TextRenderingHintAntiAliasGridFit);
  g.SetPixelOffsetMode(gp::PixelOffsetModeHalf);
  g.ScaleTransform(gp::REAL(scale), gp::REAL(scale));
}

// The busy animation's folder, with its tab, beside the middle line `mid`.
gp::RectF DrawFolder(gp::Graphics& g, double mid) {
  const gp::RectF folder = Rect(kFolder.X, mid + kFolder.Y, kFolder.Width, kFolder.Height);
  gp::Pen edge(Colour(kFolderEdge), 1);
  gp::SolidBrush fill(Colour(kFolderFill));
  gp::GraphicsPath body;
  RoundedRect(body, folder, kFolderRadius);
  g.FillPath(&fill, &body);
  g.DrawPath(&edge, &body);
  const gp::RectF tab = Rect(folder.X + kFolderTab.X, folder.Y + kFolderTab.Y, kFolderTab.Width, kFolderTab.Height);
  g.FillRectangle(&fill, tab);
  g.DrawRectangle(&edge, tab);
  return folder;
}

// The pages in flight at `frame`, between `from` and `to` on the middle line `mid`.
void DrawPages(gp::Graphics& g, int frame, double from, double to, double mid) {
  gp::Pen pageEdge(Colour(kPageEdge), 1);
  gp::Pen lines(Colour(kPageLines), 1);
  gp::SolidBrush paper(gp::Color(255, 255, 255, 255));
  for (int i = 0; i < kPages; ++i) {
    const TPagePlace place = PagePlace(frame, i, from, to, mid);
    const gp::GraphicsState state = g.Save();
    g.TranslateTransform(gp::REAL(place.X), gp::REAL(place.Y));
    g.RotateTransform(gp::REAL(place.Degrees));
    g.FillRectangle(&paper, Rect(kPage));
    g.DrawRectangle(&pageEdge, Rect(kPage));
    for (int l = 0; l < 3; ++l) g.DrawLine(&lines, gp::REAL(-4), gp::REAL(-5 + 4 * l), gp::REAL(4), gp::REAL(-5 + 4 * l));
    g.Restore(state);
  }
}

// One picture of the busy animation, drawn on the panel's colour into a new bitmap.
HBITMAP DrawBusyFrame(HDC dc, HDC memory, int width, int height, double scale, bool playing, int frame) {
  HBITMAP bitmap = ::CreateCompatibleBitmap(dc, width, height);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  RECT all{0, 0, width, height};
  ::FillRect(memory, &all, ::GetSysColorBrush(COLOR_BTNFACE));
  {
    gp::Graphics g(memory);
    Prepare(g, scale);
    const double w = width / scale, mid = height / scale / 2;
    const gp::RectF folder = DrawFolder(g, mid);
    DrawReceiver(g, Rect(w + kBusyReceiver.X, mid + kBusyReceiver.Y, kBusyReceiver.Width, kBusyReceiver.Height),
                 Colour(BusyLamp(playing, frame)));
    if (playing) DrawPages(g, frame, folder.X + folder.Width + kPagesFrom, w - kPagesToFromRight, mid);
  }
  ::SelectObject(memory, old);
  return bitmap;
}

}  // namespace

TArtworkSession::TArtworkSession() {
  gp::GdiplusStartupInput input;
  gp::GdiplusStartup(&FToken, &input, nullptr);
}

TArtworkSession::~TArtworkSession() {
  if (FToken != 0) gp::GdiplusShutdown(FToken);
}

void PaintBanner(HDC dc, double scale) {
  using form_layout::kImage1;
  using form_layout::kShape1;
  gp::Graphics g(dc);
  Prepare(g, scale);

  // Shape1: the outline, on the pixel's middle as the Qt one.
  gp::GraphicsPath shape;
  RoundedRect(shape, Rect(kShape1.X + 0.5, kShape1.Y + 0.5, kShape1.Width - 1.0, kShape1.Height - 1.0), kOutlineRadius);
  gp::Pen outline(Colour(kOutline), 1);
  g.DrawPath(&outline, &shape);

  // Image1, in its own coordinates.
  g.TranslateTransform(gp::REAL(kImage1.X), gp::REAL(kImage1.Y));
  const gp::RectF r = Rect(0, 0, kImage1.Width, kImage1.Height);
  gp::LinearGradientBrush sky(gp::PointF(0, 0), gp::PointF(r.Width, r.Height), Colour(kSky[0].Colour),
                              Colour(kSky[2].Colour));
  gp::Color colours[3];
  gp::REAL at[3];
  for (int i = 0; i < 3; ++i) {
    colours[i] = Colour(kSky[i].Colour);
    at[i] = gp::REAL(kSky[i].At);
  }
  sky.SetInterpolationColors(colours, at, 3);
  g.FillRectangle(&sky, r);

  // GDI+ turns clockwise where Qt turns counter-clockwise.
  gp::Pen arc(Colour(kArc), gp::REAL(kArcPen));
  for (int i = 1; i <= kArcs; ++i) {
    const double rad = kArcStep * i;
    g.DrawArc(&arc, Rect(kArcCentreX - rad, kArcCentreY - rad, 2 * rad, 2 * rad),
              gp::REAL(-(kArcStartDegrees + kArcSpanDegrees)), gp::REAL(kArcSpanDegrees));
  }
  DrawReceiver(g, Rect(kBannerReceiver), Colour(kBannerLamp));

  const gp::RectF title = Rect(kTitleBox.X, kTitleBox.Y, r.Width + kTitleBox.Width, kTitleBox.Height);
  gp::RectF shadow = title;
  shadow.Offset(1, 1);
  Text(g, kTitle, kTitlePixels, true, kTitleShadow, shadow, DT_LEFT);
  Text(g, kTitle, kTitlePixels, true, TColour{255, 255, 255}, title, DT_LEFT);
  Text(g, kSubtitle, kSubtitlePixels, false, kSubtitleColour,
       Rect(kSubtitleBox.X, kSubtitleBox.Y, r.Width + kSubtitleBox.Width, kSubtitleBox.Height), DT_LEFT);
}

void TBusyPicture::Forget() {
  for (HBITMAP& frame : FFrames) {
    if (frame != nullptr) ::DeleteObject(frame);
    frame = nullptr;
  }
}

void TBusyPicture::Paint(HDC dc, int width, int height, double scale) {
  if (width != FWidth || height != FHeight) {
    Forget();
    FWidth = width;
    FHeight = height;
  }
  HDC memory = ::CreateCompatibleDC(dc);
  HBITMAP& frame = FFrames[std::size_t(Playing ? Frame : kFrames)];
  if (frame == nullptr) frame = DrawBusyFrame(dc, memory, width, height, scale, Playing, Frame);
  HGDIOBJ old = ::SelectObject(memory, frame);
  ::BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);
  ::SelectObject(memory, old);
  ::DeleteDC(memory);
}
