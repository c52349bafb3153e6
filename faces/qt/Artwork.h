// The window's drawn pieces: the banner, the rounded outline around it and
// the busy animation shown while the image goes out. All painted in code.
#pragma once

#include <QPainter>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include "ArtworkData.h"

class TShape : public QWidget {
public:
  explicit TShape(QWidget* parent);

protected:
  void paintEvent(QPaintEvent*) override;
};

class TBanner : public QWidget {
public:
  explicit TBanner(QWidget* parent);

protected:
  void paintEvent(QPaintEvent*) override;
};

// Pages flying from a box to a set-top box. Stands still on its stop frame
// until Play(); the frame moves on a timer, so it only advances when the
// window gets to handle its messages.
class TBusyAnimation : public QWidget {
public:
  static constexpr int kFrames = artwork::kFrames;
  static constexpr int kStopFrame = artwork::kStopFrame;

  explicit TBusyAnimation(QWidget* parent);
  void Play();
  void Stop();
  // While blocks go out the window is shown the run at the core's pace: the
  // timer rests, and each state shown moves the flight on kHeldStep frames.
  void Pace(bool paced);
  bool Playing() const { return FTimer.isActive() || FHeld; }
  int Frame() const { return FFrame; }

protected:
  void paintEvent(QPaintEvent*) override;

private:
  QRectF Folder() const;
  QRectF Receiver() const;
  void DrawStill(QPainter& p) const;
  void DrawMoving(QPainter& p, int frame) const;

  QTimer FTimer;
  bool FHeld = false;
  int FFrame = kStopFrame;
  QPixmap FStill;  // the folder and the receiver, without its lamp
};
