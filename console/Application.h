// The application object: a last-resort handler that shows the text of an
// error raised in an event handler in a message box and lets the program go on.
#pragma once

#include <QApplication>

class TApplication : public QApplication {
public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};
