#include "Application.h"

#include <QMessageBox>

#include <exception>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName("stb-downloader");
}

void ShowHandlerError(const char* text) {
  QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), QString::fromLocal8Bit(text));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowHandlerError(e.what());
  } catch (...) {
    ShowHandlerError("Unknown error");
  }
  return false;
}
