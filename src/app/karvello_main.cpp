// Karvello: sets up and tests a grounding-resistance online detector over a serial line.
// Closing the window ends the program; the port is closed as the serial control goes.

#include <QApplication>

#include "serial/port_map.h"
#include "serial/qt_serial_control.h"
#include "ui/main_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  karvello::SystemPortMap ports;
  karvello::QtSerialControl comm(ports);
  karvello::MainWindow form(comm, ports);
  form.show();
  return QApplication::exec();
}
