// The strip under the log: the port in use and whether it is open, and
// during a download its speed and time left, or what the tool is waiting
// for. A port that is not open shows in a warning colour.
#pragma once

#include <QLabel>

#include <string>

class TStatusStrip : public QLabel {
public:
  explicit TStatusStrip(QWidget* parent);
  void ShowPort(const std::string& device, bool open, const std::string& reason);
  // Shown after the port's part until the next call; empty: the port alone.
  void ShowActivity(const std::string& text);

private:
  std::string FPortText;
};
