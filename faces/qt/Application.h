// The application object: a last-resort handler that shows the text of an
// error raised in an event handler in a message box and lets the program go on.
#pragma once

#include <QApplication>

class TApplication : public QApplication {
public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// Shows the text of an error raised in an event handler, as the application's
// last-resort handler does. Handlers catch their own errors and call this, so
// that no error has to unwind through the toolkit's frames.
void ShowHandlerError(const char* text);
