#include "Application.h"

#include <QMessageBox>

#include <exception>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName("stb-downloader");
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    QMessageBox::critical(activeWindow(), applicationName(), QString::fromLocal8Bit(e.what()));
  } catch (...) {
    QMessageBox::critical(activeWindow(), applicationName(), "Unknown error");
  }
  return false;
}
