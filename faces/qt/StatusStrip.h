// The strip under the log, as the core words it: the port in use and
// whether it is open, and during a download its speed and time left, or
// what the tool is waiting for. A port that is not open shows in a warning
// colour.
#pragma once

#include <QLabel>

#include "FormLayout.h"
#include "StatusText.h"

class TStatusStrip : public QLabel {
public:
  explicit TStatusStrip(QWidget* parent);
  void Show(const TStripState& strip);

private:
  std::string FPortText;
  bool FWarning = false;
};
