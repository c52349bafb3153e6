// The strip under the log, as the core words it: the port in use and
// whether it is open, and during a download its speed and time left, or
// what the tool is waiting for. A port that is not open shows in a warning
// colour. A click on it opens the list of ports while one may be chosen.
#pragma once

#include <QLabel>

#include <functional>

#include "FormLayout.h"
#include "StatusText.h"

class TStatusStrip : public QLabel {
public:
  explicit TStatusStrip(QWidget* parent);
  void Show(const TStripState& strip);
  // A click on the strip: the operator asks for the list of ports.
  void SetOnClick(std::function<void()> handler) { FOnClick = std::move(handler); }

protected:
  void mousePressEvent(QMouseEvent* event) override;

private:
  std::function<void()> FOnClick;
  std::string FPortText;
  bool FWarning = false;
  bool FChoosable = false;
};
