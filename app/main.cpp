// The downloader's entry: the application, its one window and the message loop.
#include "Application.h"
#include "MainFrm.h"

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  TForm1 Form1;
  Form1.show();
  return TApplication::exec();
}
